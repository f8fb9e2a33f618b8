#include "runtime/Testing.h"

#include "Unicode.h"
#include "Window.h"
#include "WindowClass.h"
#include "runtime/RuntimeError.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>
#include <wincrypt.h>
#include <windows.h>

namespace runtime::testing {

namespace {

// The static text of a message box made by MessageBoxW.
constexpr int kMessageBoxText = 0xFFFF;

void dispatchPending()
{
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

UINT virtualKey(Key key)
{
    switch (key) {
    case Key::Space:
        return VK_SPACE;
    case Key::Tab:
        return VK_TAB;
    case Key::Up:
        return VK_UP;
    case Key::Down:
        return VK_DOWN;
    case Key::Return:
        break;
    }
    return VK_RETURN;
}

bool isExtended(UINT key)
{
    return key == VK_UP || key == VK_DOWN;
}

LPARAM keyData(UINT key, bool release)
{
    const UINT scan = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
    LPARAM data = 1 | (static_cast<LPARAM>(scan & 0xFF) << 16);
    if (isExtended(key))
        data |= LPARAM{1} << 24;
    if (release)
        data |= (LPARAM{1} << 30) | (LPARAM{1} << 31);
    return data;
}

/// A hidden message-only window whose timer calls back while events are dispatched, also inside
/// the nested loop of a modal message box.
class TimerWindow
{
public:
    TimerWindow(int intervalMs, std::function<void()> tick) : m_tick(std::move(tick))
    {
        static const ATOM atom = win32::windowclass::registerOnce(win32::windowclass::kTestTimer,
                                                                  &TimerWindow::procedure);
        m_hwnd = CreateWindowExW(0, MAKEINTATOM(atom), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetTimer(m_hwnd, 1, static_cast<UINT>(intervalMs > 0 ? intervalMs : 1), nullptr);
    }
    ~TimerWindow()
    {
        KillTimer(m_hwnd, 1);
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
        DestroyWindow(m_hwnd);
    }
    TimerWindow(const TimerWindow &) = delete;
    TimerWindow &operator=(const TimerWindow &) = delete;

private:
    static LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto *self = reinterpret_cast<TimerWindow *>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (message == WM_TIMER && self != nullptr) {
            win32::callHandler(self->m_tick, "test timer");
            return 0;
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }

    HWND m_hwnd = nullptr;
    std::function<void()> m_tick;
};

class Win32Ticker final : public Ticker
{
public:
    Win32Ticker(int intervalMs, std::function<void()> tick) : m_timer(intervalMs, std::move(tick))
    {}

private:
    TimerWindow m_timer;
};

std::wstring textOf(HWND hwnd)
{
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), length + 1)));
    return text;
}

/// Answers each message box of this thread it finds, from a timer that the box's own loop
/// dispatches.
class Win32MessageBoxAnswerer final : public MessageBoxAnswerer
{
public:
    explicit Win32MessageBoxAnswerer(
        std::function<void(const std::string &text, const std::string &title)> seen)
        : m_seen(std::move(seen)), m_timer(50, [this] { answer(); })
    {}

private:
    void answer()
    {
        HWND box = nullptr;
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND hwnd, LPARAM found) -> BOOL {
                wchar_t className[16] = {};
                GetClassNameW(hwnd, className, 16);
                if (std::wstring_view(className) == L"#32770" && IsWindowVisible(hwnd) &&
                    GetDlgItem(hwnd, kMessageBoxText) != nullptr) {
                    *reinterpret_cast<HWND *>(found) = hwnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&box));
        // A box that was answered may linger until its loop ends; it is answered once.
        if (box == nullptr || !m_answered.insert(box).second)
            return;
        if (m_seen)
            m_seen(win32::utf8FromUtf16(textOf(GetDlgItem(box, kMessageBoxText))),
                   win32::utf8FromUtf16(textOf(box)));
        if (HWND ok = GetDlgItem(box, IDOK))
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(ok));
        else
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }

    std::function<void(const std::string &, const std::string &)> m_seen;
    std::set<HWND> m_answered;
    TimerWindow m_timer;
};

/// The authority's certificate in the current user's root store, where WinHTTP looks (Wine's
/// too), and out of it again when it goes. Windows would ask the user before adding it; tests
/// run where nobody does, under Wine.
class Win32TrustedAuthority final : public TrustedAuthority
{
public:
    Win32TrustedAuthority(HCERTSTORE root, PCCERT_CONTEXT added) : m_root(root), m_added(added) {}
    ~Win32TrustedAuthority() override
    {
        // Deleting frees the context as well.
        CertDeleteCertificateFromStore(m_added);
        CertControlStore(m_root, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        CertCloseStore(m_root, 0);
    }
    Win32TrustedAuthority(const Win32TrustedAuthority &) = delete;
    Win32TrustedAuthority &operator=(const Win32TrustedAuthority &) = delete;

private:
    HCERTSTORE m_root;
    PCCERT_CONTEXT m_added;
};

std::string systemText(const std::string &what)
{
    return what + " (error " + std::to_string(GetLastError()) + ")";
}

} // namespace

bool activate(Window &window, int timeoutMs)
{
    const HWND hwnd = win32::win32Window(window).hwnd();
    SetForegroundWindow(hwnd);
    SetActiveWindow(hwnd);
    const ULONGLONG deadline =
        GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        dispatchPending();
        if (GetActiveWindow() == hwnd && GetForegroundWindow() == hwnd)
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return GetActiveWindow() == hwnd;
        MsgWaitForMultipleObjects(0, nullptr, FALSE,
                                  static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)),
                                  QS_ALLINPUT);
    }
}

void pressKey(Key key)
{
    HWND target = GetFocus();
    if (target == nullptr)
        target = GetActiveWindow();
    if (target == nullptr)
        return;
    const UINT virtualKeyCode = virtualKey(key);
    // Posted like the keyboard's own messages; the dispatch below translates the press into
    // its character, as a message loop does.
    PostMessageW(target, WM_KEYDOWN, virtualKeyCode, keyData(virtualKeyCode, false));
    dispatchPending();
    PostMessageW(target, WM_KEYUP, virtualKeyCode, keyData(virtualKeyCode, true));
    dispatchPending();
}

void requestClose(Window &window)
{
    // A window manager's close request reaches a Win32 window as this system command, which
    // becomes WM_CLOSE.
    PostMessageW(win32::win32Window(window).hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
    dispatchPending();
}

bool isFrameless(Window &window)
{
    const LONG_PTR style = GetWindowLongPtrW(win32::win32Window(window).hwnd(), GWL_STYLE);
    return (style & WS_CAPTION) != WS_CAPTION;
}

std::unique_ptr<Ticker> tickEvery(int intervalMs, std::function<void()> tick)
{
    return std::make_unique<Win32Ticker>(intervalMs, std::move(tick));
}

std::unique_ptr<MessageBoxAnswerer>
answerMessageBoxes(std::function<void(const std::string &text, const std::string &title)> seen)
{
    return std::make_unique<Win32MessageBoxAnswerer>(std::move(seen));
}

std::unique_ptr<TrustedAuthority> trustCertificateAuthority(const std::filesystem::path &pemFile)
{
    std::ifstream in(pemFile, std::ios::binary);
    const std::string pem{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in || pem.empty())
        throw RuntimeError("cannot read the certificate authority " + pemFile.string());
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              nullptr, &size, nullptr, nullptr))
        throw RuntimeError(systemText("no PEM certificate in " + pemFile.string()));
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &size, nullptr, nullptr))
        throw RuntimeError(systemText("no PEM certificate in " + pemFile.string()));

    const HCERTSTORE root =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT");
    if (root == nullptr)
        throw RuntimeError(systemText("cannot open the current user's root store"));
    PCCERT_CONTEXT added = nullptr;
    // Wine writes a registry store out only when it is closed or committed, and WinHTTP reads
    // the registry, not this handle.
    if (!CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(), size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, &added) ||
        !CertControlStore(root, 0, CERT_STORE_CTRL_COMMIT, nullptr)) {
        const std::string failure = systemText("the root store refused " + pemFile.string());
        if (added != nullptr)
            CertDeleteCertificateFromStore(added);
        CertCloseStore(root, 0);
        throw RuntimeError(failure);
    }
    return std::make_unique<Win32TrustedAuthority>(root, added);
}

} // namespace runtime::testing
