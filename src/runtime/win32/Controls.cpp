#include "Controls.h"

#include "Unicode.h"
#include "WindowClass.h"

#include <algorithm>
#include <cmath>
#include <commctrl.h>
#include <cwctype>

namespace runtime::win32 {

namespace {

// The common control counts in ten-thousandths of the range, so that it moves smoothly.
constexpr int kSteps = 10000;

std::wstring windowText(HWND hwnd)
{
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), length + 1)));
    return text;
}

POINT originOnWindow(HWND child)
{
    POINT origin{0, 0};
    MapWindowPoints(child, GetParent(child), &origin, 1);
    return origin;
}

// The text colour of controls and labels when nobody set one: black on the design's grey.
Color defaultTextColor()
{
    const COLORREF text = GetSysColor(COLOR_BTNTEXT);
    return {GetRValue(text), GetGValue(text), GetBValue(text)};
}

} // namespace

ControlBase::ControlBase(Win32Window *window, HWND child) : m_window(window), m_child(child)
{
    if (m_child != nullptr)
        SetWindowSubclass(m_child, &ControlBase::subclassProcedure, 1,
                          reinterpret_cast<DWORD_PTR>(this));
    if (m_window != nullptr)
        m_window->addControl(*this);
}

ControlBase::~ControlBase()
{
    if (m_window != nullptr) {
        m_window->removeControl(*this);
        // Virtual calls no longer reach the shape it was: the window repaints everything.
        if (m_child == nullptr && m_visible)
            m_window->backdropChanged();
    }
    if (m_child != nullptr) {
        RemoveWindowSubclass(m_child, &ControlBase::subclassProcedure, 1);
        DestroyWindow(m_child);
    }
}

Win32Window &ControlBase::window() const
{
    if (m_window == nullptr)
        throw RuntimeError(ErrorKind::Unavailable, "the control's window is gone");
    return *m_window;
}

HWND ControlBase::self() const
{
    if (m_child == nullptr)
        throw RuntimeError(ErrorKind::Unavailable, "the control's window is gone");
    return m_child;
}

void ControlBase::place(const PixelRect &logical)
{
    const PixelRect before = m_logical;
    m_logical = logical;
    if (m_child != nullptr)
        applyPlace();
    else
        windowlessChanged(before);
}

void ControlBase::applyPlace()
{
    if (m_child == nullptr || m_window == nullptr)
        return;
    const RECT device = m_window->deviceRect(m_logical);
    // Placed by the control: the child's new rectangle is the logical place, not news of a
    // change made by someone else.
    ++m_placing;
    SetWindowPos(m_child, nullptr, device.left, device.top, device.right - device.left,
                 device.bottom - device.top, SWP_NOZORDER | SWP_NOACTIVATE);
    --m_placing;
}

void ControlBase::syncFromChild()
{
    if (m_child == nullptr || m_window == nullptr)
        return;
    RECT device{};
    GetWindowRect(m_child, &device);
    MapWindowPoints(nullptr, m_window->hwnd(), reinterpret_cast<POINT *>(&device), 2);
    const RECT placed = m_window->deviceRect(m_logical);
    if (EqualRect(&device, &placed) != FALSE)
        return;
    const double factor = m_window->scale().factor();
    const auto logical = [factor](LONG pixels) {
        return static_cast<int>(std::lround(pixels / factor));
    };
    m_logical = {logical(device.left), logical(device.top), logical(device.right - device.left),
                 logical(device.bottom - device.top)};
}

void ControlBase::windowlessChanged(const PixelRect &before)
{
    if (m_window == nullptr)
        return;
    if (beneath()) {
        m_window->backdropChanged();
    } else {
        m_window->repaint(before);
        m_window->repaint(m_logical);
    }
}

bool ControlBase::shown() const
{
    if (m_child != nullptr)
        return (GetWindowLongPtrW(m_child, GWL_STYLE) & WS_VISIBLE) != 0;
    return m_visible;
}

void ControlBase::show(bool visible)
{
    if (m_child != nullptr) {
        ShowWindow(m_child, visible ? SW_SHOWNA : SW_HIDE);
        return;
    }
    if (visible == m_visible)
        return;
    m_visible = visible;
    windowlessChanged(m_logical);
}

void ControlBase::useFont(const FontSpec &font)
{
    m_fontSpec = font;
    // The previous font goes only once the control has taken the new one.
    const GdiObject<HFONT> previous = std::move(m_font);
    m_font.reset(m_window != nullptr ? createFont(font, m_window->scale().dpi) : nullptr);
    if (m_child != nullptr)
        SendMessageW(m_child, WM_SETFONT, reinterpret_cast<WPARAM>(currentFont()), TRUE);
    else if (m_visible)
        windowlessChanged(m_logical);
}

HFONT ControlBase::currentFont() const
{
    if (m_font)
        return m_font.get();
    return m_window != nullptr ? m_window->font() : nullptr;
}

void ControlBase::dpiChanged()
{
    if (m_fontSpec)
        useFont(*m_fontSpec);
    if (m_child != nullptr)
        applyPlace();
}

void ControlBase::windowFontChanged()
{
    if (m_fontSpec)
        return;
    if (m_child != nullptr)
        SendMessageW(m_child, WM_SETFONT, reinterpret_cast<WPARAM>(currentFont()), TRUE);
    else if (m_visible)
        windowlessChanged(m_logical);
}

void ControlBase::skinChanged()
{
    if (m_child != nullptr)
        InvalidateRect(m_child, nullptr, TRUE);
}

void ControlBase::paintBeneath(HDC) {}

void ControlBase::paintAbove(HDC) {}

HBRUSH ControlBase::colorFor(UINT, HDC dc)
{
    if (m_window == nullptr)
        return nullptr;
    const auto colors = m_window->plainColors();
    if (!colors)
        return nullptr;
    SetTextColor(dc, colorRef(colors->second));
    SetBkColor(dc, colorRef(colors->first));
    return m_window->solidBrush(colors->first);
}

void ControlBase::command(WORD) {}

bool ControlBase::handleMessage(UINT, WPARAM, LPARAM, LRESULT &)
{
    return false;
}

void ControlBase::resized() {}

LRESULT CALLBACK ControlBase::subclassProcedure(HWND hwnd, UINT message, WPARAM wParam,
                                                LPARAM lParam, UINT_PTR id, DWORD_PTR data)
{
    auto *self = reinterpret_cast<ControlBase *>(data);
    switch (message) {
    case WM_NCDESTROY:
        // The window went first: its children go with it, and the control keeps no handle.
        RemoveWindowSubclass(hwnd, &ControlBase::subclassProcedure, id);
        self->m_child = nullptr;
        return DefSubclassProc(hwnd, message, wParam, lParam);
    case WM_GETDLGCODE:
        // Tab is the control's own to handle, also where a dialog manager runs the loop.
        return DefSubclassProc(hwnd, message, wParam, lParam) | DLGC_WANTTAB;
    case WM_KEYDOWN:
        if (wParam == VK_TAB) {
            if (self->m_window != nullptr)
                self->m_window->focusNext(hwnd, GetKeyState(VK_SHIFT) < 0);
            return 0;
        }
        break;
    case WM_CHAR:
        if (wParam == L'\t')
            return 0;
        break;
    case WM_SETFOCUS:
        if (self->m_window != nullptr)
            self->m_window->focusTaken(hwnd);
        break;
    case WM_WINDOWPOSCHANGED:
        if (self->m_placing == 0)
            self->syncFromChild();
        break;
    case WM_SIZE: {
        const LRESULT result = DefSubclassProc(hwnd, message, wParam, lParam);
        self->resized();
        return result;
    }
    case kReflectedCommand:
        self->command(HIWORD(wParam));
        return 0;
    default:
        break;
    }
    LRESULT result = 0;
    if (self->handleMessage(message, wParam, lParam, result))
        return result;
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

Win32Label::Win32Label(Win32Window &window)
    : ControlOf(&window, window.createChild(L"STATIC", WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0))
{}

std::string Win32Label::Caption() const
{
    return utf8FromUtf16(windowText(self()));
}

void Win32Label::setCaption(const std::string &caption)
{
    SetWindowTextW(self(), utf16FromUtf8(caption).c_str());
    if (m_autoSize)
        fit();
}

void Win32Label::setAutoSize(bool autoSize)
{
    m_autoSize = autoSize;
    if (m_autoSize)
        fit();
}

void Win32Label::setCentred(bool centred)
{
    const HWND label = self();
    const LONG_PTR style = GetWindowLongPtrW(label, GWL_STYLE);
    SetWindowLongPtrW(label, GWL_STYLE,
                      (style & ~LONG_PTR{SS_TYPEMASK}) | (centred ? SS_CENTER : SS_LEFT));
    InvalidateRect(label, nullptr, TRUE);
}

void Win32Label::setBackColor(Color color)
{
    m_backColor = color;
    InvalidateRect(self(), nullptr, TRUE);
}

void Win32Label::dpiChanged()
{
    ControlBase::dpiChanged();
    if (m_autoSize)
        fit();
}

void Win32Label::windowFontChanged()
{
    ControlBase::windowFontChanged();
    // A label that sizes itself follows its font too, the window's included.
    if (m_autoSize)
        fit();
}

void Win32Label::fit()
{
    const HWND label = child();
    if (label == nullptr)
        return;
    const std::wstring text = windowText(label);
    RECT bounds{0, 0, 0, 0};
    TEXTMETRICW metrics{};
    {
        const WindowDc dc(label);
        const Selection font(dc.get(), currentFont());
        DrawTextW(dc.get(), text.c_str(), static_cast<int>(text.size()), &bounds,
                  DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS | DT_LEFT);
        GetTextMetricsW(dc.get(), &metrics);
    }
    const double factor = window().scale().factor();
    const int width = static_cast<int>(std::ceil(bounds.right / factor));
    const int height =
        static_cast<int>(std::ceil(std::max<LONG>(bounds.bottom, metrics.tmHeight) / factor));
    place({logical().left, logical().top, width, height});
}

HBRUSH Win32Label::colorFor(UINT, HDC dc)
{
    Win32Window &owner = window();
    const auto colors = owner.plainColors();
    SetTextColor(dc, colorRef(colors ? colors->second : defaultTextColor()));
    if (m_backColor) {
        const Color back = colors ? colors->first : *m_backColor;
        SetBkColor(dc, colorRef(back));
        return owner.solidBrush(back);
    }
    // No colour of its own: the window, or the skin's client area, shows through.
    SetBkMode(dc, TRANSPARENT);
    const POINT origin = originOnWindow(self());
    return owner.backdropBrush(dc, origin);
}

Win32TextBox::Win32TextBox(Win32Window &window)
    : ControlOf(&window, window.createChild(L"EDIT", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                                            WS_EX_CLIENTEDGE))
{}

std::string Win32TextBox::Text() const
{
    return utf8FromUtf16(windowText(self()));
}

void Win32TextBox::setText(const std::string &text)
{
    SetWindowTextW(self(), utf16FromUtf8(text).c_str());
}

Win32CommandButton::Win32CommandButton(Win32Window &window)
    : ControlOf(&window, window.createChild(L"BUTTON", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0))
{}

std::string Win32CommandButton::Caption() const
{
    return utf8FromUtf16(windowText(self()));
}

void Win32CommandButton::setCaption(const std::string &caption)
{
    SetWindowTextW(self(), utf16FromUtf8(caption).c_str());
}

void Win32CommandButton::onClick(std::function<void()> handler)
{
    m_onClick = std::move(handler);
}

void Win32CommandButton::command(WORD notification)
{
    if (notification == BN_CLICKED)
        callHandler(m_onClick, "button's click");
}

Win32FileListBox::Win32FileListBox(Win32Window &window)
    : ControlOf(&window, window.createChild(L"LISTBOX",
                                            WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY |
                                                LBS_NOINTEGRALHEIGHT | LBS_HASSTRINGS,
                                            WS_EX_CLIENTEDGE))
{
    const DWORD length = GetCurrentDirectoryW(0, nullptr);
    std::wstring current(length, L'\0');
    current.resize(GetCurrentDirectoryW(length, current.data()));
    m_path = normalizedFolder(current);
    refresh();
}

std::wstring Win32FileListBox::normalizedFolder(std::wstring folder)
{
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    while (folder.size() > 1 && folder.back() == L'\\' &&
           !(folder.size() == 3 && folder[1] == L':'))
        folder.pop_back();
    return folder;
}

bool Win32FileListBox::matches(std::wstring_view name, std::wstring_view pattern)
{
    if (pattern == L"*.*")
        pattern = L"*";
    // A name without an extension matches a pattern that allows any extension, as the
    // platform's own matching does.
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == L".*" &&
        name.find(L'.') == std::wstring_view::npos &&
        matches(name, pattern.substr(0, pattern.size() - 2)))
        return true;
    const auto same = [](wchar_t a, wchar_t b) { return std::towupper(a) == std::towupper(b); };
    std::size_t n = 0;
    std::size_t p = 0;
    std::size_t starAt = std::wstring_view::npos;
    std::size_t resumeAt = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || same(pattern[p], name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            starAt = p++;
            resumeAt = n;
        } else if (starAt != std::wstring_view::npos) {
            p = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

std::string Win32FileListBox::Path() const
{
    return utf8FromUtf16(m_path);
}

void Win32FileListBox::setPath(const std::string &folder)
{
    const std::wstring path = normalizedFolder(utf16FromUtf8(folder));
    const DWORD attributes =
        path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw RuntimeError(ErrorKind::NotFound, "the folder " + folder + " does not exist");
    m_path = path;
    refresh();
}

std::string Win32FileListBox::Pattern() const
{
    return utf8FromUtf16(m_pattern);
}

void Win32FileListBox::setPattern(const std::string &pattern)
{
    m_pattern = utf16FromUtf8(pattern);
    refresh();
}

std::string Win32FileListBox::FileName() const
{
    return utf8FromUtf16(m_fileName);
}

void Win32FileListBox::setFileName(const std::string &name)
{
    m_fileName = utf16FromUtf8(name);
    selectFileName();
}

std::vector<std::string> Win32FileListBox::entries() const
{
    const HWND list = self();
    const auto count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    std::vector<std::string> names;
    for (int row = 0; row < count; ++row) {
        const auto length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(row), 0);
        std::wstring name(static_cast<std::size_t>(std::max<LRESULT>(0, length)) + 1, L'\0');
        const auto copied = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(row),
                                         reinterpret_cast<LPARAM>(name.data()));
        name.resize(static_cast<std::size_t>(std::max<LRESULT>(0, copied)));
        names.push_back(utf8FromUtf16(name));
    }
    return names;
}

void Win32FileListBox::onClick(std::function<void()> handler)
{
    m_onClick = std::move(handler);
}

void Win32FileListBox::command(WORD notification)
{
    // The list box tells of the user's changes only; a selection made in code sends nothing.
    if (notification != LBN_SELCHANGE)
        return;
    const HWND list = self();
    const auto row = SendMessageW(list, LB_GETCURSEL, 0, 0);
    if (row < 0)
        return;
    const auto length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(row), 0);
    std::wstring name(static_cast<std::size_t>(std::max<LRESULT>(0, length)) + 1, L'\0');
    name.resize(static_cast<std::size_t>(
        std::max<LRESULT>(0, SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(row),
                                          reinterpret_cast<LPARAM>(name.data())))));
    m_fileName = name;
    callHandler(m_onClick, "file list's click");
}

void Win32FileListBox::refresh()
{
    std::vector<std::wstring> patterns;
    for (std::size_t start = 0; start <= m_pattern.size();) {
        const std::size_t end = std::min(m_pattern.find(L';', start), m_pattern.size());
        std::wstring one = m_pattern.substr(start, end - start);
        one.erase(0, one.find_first_not_of(L' '));
        one.erase(one.find_last_not_of(L' ') + 1);
        if (!one.empty())
            patterns.push_back(one);
        start = end + 1;
    }

    std::vector<std::wstring> names;
    const std::wstring search = m_path + (m_path.ends_with(L'\\') ? L"*" : L"\\*");
    WIN32_FIND_DATAW found{};
    HANDLE listing = FindFirstFileExW(search.c_str(), FindExInfoBasic, &found,
                                      FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            // Folders, hidden and system files are not listed, as a file list box shows them.
            if (found.dwFileAttributes &
                (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
                continue;
            // Matched on the long name only: the platform's own search also matches the short
            // 8.3 name, so "*.skn" would take "theme.sknx".
            const std::wstring_view name = found.cFileName;
            if (std::any_of(patterns.begin(), patterns.end(), [&name](const std::wstring &pattern) {
                    return matches(name, pattern);
                }))
                names.emplace_back(name);
        } while (FindNextFileW(listing, &found));
        FindClose(listing);
    }
    std::sort(names.begin(), names.end(), [](const std::wstring &a, const std::wstring &b) {
        const int order = CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, a.c_str(),
                                          static_cast<int>(a.size()), b.c_str(),
                                          static_cast<int>(b.size()), nullptr, nullptr, 0);
        return order != CSTR_EQUAL ? order == CSTR_LESS_THAN : a < b;
    });

    const HWND list = self();
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    for (const std::wstring &name : names)
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    selectFileName();
}

void Win32FileListBox::selectFileName()
{
    const HWND list = self();
    // Case-insensitive and whole, as file names compare here.
    const LRESULT row = m_fileName.empty()
                            ? LB_ERR
                            : SendMessageW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                           reinterpret_cast<LPARAM>(m_fileName.c_str()));
    SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(row == LB_ERR ? -1 : row), 0);
}

Win32Shape::Win32Shape(Win32Window &window) : ControlOf(&window, nullptr)
{
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    m_borderColor = {GetRValue(face), GetGValue(face), GetBValue(face)};
}

void Win32Shape::setBorderColor(Color color)
{
    m_borderColor = color;
    if (shown())
        window().backdropChanged();
}

void Win32Shape::paintBeneath(HDC dc)
{
    Win32Window &owner = window();
    if (!shown())
        return;
    const RECT area = owner.deviceRect(logical());
    const DeviceScale scale = owner.scale();
    const SkinState *skin = owner.skin();
    const bool client = skin != nullptr && skin->settings.skinClientArea;
    const bool colors = skin != nullptr && skin->settings.applyColors;
    Gdiplus::Graphics graphics(dc);
    if (!client && !colors) {
        paintBorder(graphics, area, m_borderColor, scale.line(1), 0);
        return;
    }
    const PreparedLook &look = *skin->look;
    const double radius = client ? look.panel.cornerRadius * scale.factor() : 0.0;
    if (client && look.panel.background)
        paintFill(graphics, area, *look.panel.background, radius, scale);
    else if (colors)
        paintFill(graphics, area, PaintFill::solid(skin->settings.panelColor), radius, scale);
    paintBorder(graphics, area, client ? look.panel.borderColor : std::optional(m_borderColor),
                scale.line(1), radius);
}

Win32ProgressBar::Win32ProgressBar(Win32Window &window)
    : ControlOf(&window, window.createChild(PROGRESS_CLASSW, WS_VISIBLE | PBS_SMOOTH, 0))
{
    SendMessageW(child(), PBM_SETRANGE32, 0, kSteps);
    SendMessageW(child(), PBM_SETPOS, 0, 0);
}

void Win32ProgressBar::setValue(float value)
{
    if (std::isnan(value) || value < m_min || value > m_max)
        throw RuntimeError(ErrorKind::Refused, "the value lies outside the progress bar's range");
    const HWND bar = self();
    m_value = value;
    const double fraction = (static_cast<double>(value) - m_min) / (m_max - m_min);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(std::lround(fraction * kSteps)), 0);
    // The common control repaints only what its own whole steps change; the skin draws the
    // exact value.
    if (look() != nullptr)
        InvalidateRect(bar, nullptr, FALSE);
}

int Win32ProgressBar::steps() const
{
    return static_cast<int>(SendMessageW(self(), PBM_GETPOS, 0, 0));
}

const PreparedLook *Win32ProgressBar::look() const
{
    const SkinState *skin = window().skin();
    return skin != nullptr && skin->settings.skinClientArea ? skin->look.get() : nullptr;
}

void Win32ProgressBar::skinChanged()
{
    if (child() != nullptr)
        RedrawWindow(child(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
}

bool Win32ProgressBar::handleMessage(UINT message, WPARAM wParam, LPARAM, LRESULT &result)
{
    if (look() == nullptr)
        return false;
    switch (message) {
    case WM_ERASEBKGND:
        result = 1;
        return true;
    case WM_PAINT: {
        PAINTSTRUCT paint{};
        HDC dc = BeginPaint(child(), &paint);
        paintSkinned(dc);
        EndPaint(child(), &paint);
        result = 0;
        return true;
    }
    case WM_PRINTCLIENT:
        paintSkinned(reinterpret_cast<HDC>(wParam));
        result = 0;
        return true;
    default:
        return false;
    }
}

void Win32ProgressBar::paintSkinned(HDC dc)
{
    const HWND bar = child();
    const PreparedLook &style = *look();
    Win32Window &owner = window();
    const DeviceScale scale = owner.scale();
    RECT outer{};
    GetClientRect(bar, &outer);
    if (outer.right <= 0 || outer.bottom <= 0)
        return;
    const Canvas canvas(dc, outer.right, outer.bottom);
    HDC canvasDc = canvas.dc();
    const POINT origin = originOnWindow(bar);
    // Rounded corners show what lies beneath the bar.
    owner.paintBackdrop(canvasDc,
                        {origin.x, origin.y, origin.x + outer.right, origin.y + outer.bottom});
    {
        Gdiplus::Graphics graphics(canvasDc);
        const double radius = style.bar.cornerRadius * scale.factor();
        paintFill(graphics, outer, style.bar.groove, radius, scale);
        paintBorder(graphics, outer, style.bar.grooveBorderColor, scale.line(1), radius);
        const int inset = style.bar.grooveBorderColor ? scale.line(1) : 0;
        const RECT track{outer.left + inset, outer.top + inset, outer.right - inset,
                         outer.bottom - inset};
        const double fraction = (static_cast<double>(m_value) - m_min) / (m_max - m_min);
        // Whole device pixels, so the fill's end is a sharp edge at any scale.
        const auto filled = static_cast<LONG>(std::lround(fraction * (track.right - track.left)));
        if (filled > 0) {
            const RECT fill{track.left, track.top, track.left + filled, track.bottom};
            const double fillRadius =
                std::max(0, style.bar.cornerRadius - (style.bar.grooveBorderColor ? 1 : 0)) *
                scale.factor();
            paintFill(graphics, fill, style.bar.fill, fillRadius, scale);
            paintBorder(graphics, fill, style.bar.fillBorderColor, scale.line(1), fillRadius);
        }
    }
    BitBlt(dc, 0, 0, outer.right, outer.bottom, canvasDc, 0, 0, SRCCOPY);
}

Win32SkinLabel::Win32SkinLabel(Win32Window &window) : ControlOf(&window, nullptr) {}

std::string Win32SkinLabel::Caption() const
{
    return utf8FromUtf16(m_text);
}

void Win32SkinLabel::setCaption(const std::string &text)
{
    m_text = utf16FromUtf8(text);
    if (shown())
        window().repaint(logical());
}

void Win32SkinLabel::paintAbove(HDC dc)
{
    Win32Window &owner = window();
    if (!shown() || m_text.empty())
        return;
    const RECT area = owner.deviceRect(logical());
    const SkinState *skin = owner.skin();
    const bool client = skin != nullptr && skin->settings.skinClientArea;
    const bool colors = skin != nullptr && skin->settings.applyColors;
    Color text = defaultTextColor();
    if (client && skin->look->label.textColor)
        text = *skin->look->label.textColor;
    else if (colors)
        text = skin->settings.panelTextColor;

    if (client && skin->look->label.font) {
        Gdiplus::Graphics graphics(dc);
        graphics.SetClip(
            Gdiplus::Rect(area.left, area.top, area.right - area.left, area.bottom - area.top));
        paintText(graphics, area, m_text, *skin->look->label.font, text, look::Alignment::Left,
                  owner.scale());
        return;
    }
    RECT bounds = area;
    const Selection font(dc, currentFont());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colorRef(text));
    DrawTextW(dc, m_text.c_str(), static_cast<int>(m_text.size()), &bounds,
              DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
}

const wchar_t *faceClassName()
{
    static const ATOM registered =
        windowclass::registerOnce(windowclass::kControlFace, DefWindowProcW);
    static_cast<void>(registered);
    return windowclass::kControlFace;
}

Win32ControlFace::Win32ControlFace(Win32Window *container)
    : ControlOf(container, container != nullptr
                               ? container->createChild(faceClassName(), WS_VISIBLE, 0)
                               : nullptr),
      m_contained(container != nullptr)
{}

void Win32ControlFace::setVisible(bool visible)
{
    m_visible = visible;
    if (m_contained)
        ControlOf::setVisible(visible);
}

bool Win32ControlFace::isVisible() const
{
    return m_contained ? ControlOf::isVisible() : m_visible;
}

void Win32ControlFace::setPicture(std::string_view png)
{
    std::unique_ptr<Gdiplus::Bitmap> picture = decodePng(png);
    if (!picture)
        throw RuntimeError(ErrorKind::Refused, "the control's picture is not a PNG image");
    m_picture = std::move(picture);
    if (child() != nullptr)
        InvalidateRect(child(), nullptr, FALSE);
}

void Win32ControlFace::setSize(int widthTwips, int heightTwips)
{
    place({logical().left, logical().top, twipsToPixels(widthTwips), twipsToPixels(heightTwips)});
    reportSize();
}

int Win32ControlFace::widthTwips() const
{
    return logical().width * kTwipsPerPixel;
}

int Win32ControlFace::heightTwips() const
{
    return logical().height * kTwipsPerPixel;
}

void Win32ControlFace::onResize(std::function<void()> handler)
{
    m_onResize = std::move(handler);
}

void Win32ControlFace::resized()
{
    reportSize();
}

void Win32ControlFace::reportSize()
{
    if (logical().width == m_reportedWidth && logical().height == m_reportedHeight)
        return;
    m_reportedWidth = logical().width;
    m_reportedHeight = logical().height;
    callHandler(m_onResize, "control's resize");
}

bool Win32ControlFace::handleMessage(UINT message, WPARAM wParam, LPARAM, LRESULT &result)
{
    switch (message) {
    case WM_ERASEBKGND:
        result = 1;
        return true;
    case WM_PAINT:
    case WM_PRINTCLIENT: {
        PAINTSTRUCT paint{};
        HDC dc = message == WM_PAINT ? BeginPaint(child(), &paint) : reinterpret_cast<HDC>(wParam);
        RECT area{};
        GetClientRect(child(), &area);
        if (area.right > 0 && area.bottom > 0) {
            const Canvas canvas(dc, area.right, area.bottom);
            HDC canvasDc = canvas.dc();
            const POINT origin = originOnWindow(child());
            // A transparent background: what lies beneath shows around the picture.
            window().paintBackdrop(
                canvasDc, {origin.x, origin.y, origin.x + area.right, origin.y + area.bottom});
            if (m_picture) {
                Gdiplus::Graphics graphics(canvasDc);
                graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
                graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
                graphics.DrawImage(m_picture.get(), 0, 0, area.right, area.bottom);
            }
            BitBlt(dc, 0, 0, area.right, area.bottom, canvasDc, 0, 0, SRCCOPY);
        }
        if (message == WM_PAINT)
            EndPaint(child(), &paint);
        result = 0;
        return true;
    }
    default:
        return false;
    }
}

} // namespace runtime::win32
