#include "runtime/Application.h"

#include "runtime/EventPump.h"
#include "runtime/MessageBox.h"
#include "runtime/RuntimeError.h"
#include "runtime/Termination.h"
#include "runtime/win32/Startup.h"
#include "runtime/win32/WindowClass.h"
#include "support/SystemSupport.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <windows.h>

namespace {

double processorSeconds()
{
    FILETIME created;
    FILETIME ended;
    FILETIME kernel;
    FILETIME user;
    ::GetThreadTimes(::GetCurrentThread(), &created, &ended, &kernel, &user);
    const auto seconds = [](const FILETIME &time) {
        return static_cast<double>((std::uint64_t{time.dwHighDateTime} << 32U) |
                                   time.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

std::wstring textOf(HWND window)
{
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

/// The first window of this thread of the class given.
HWND windowOfClass(const wchar_t *className)
{
    struct Search
    {
        const wchar_t *className;
        HWND found;
    } search{className, nullptr};
    ::EnumThreadWindows(
        ::GetCurrentThreadId(),
        [](HWND window, LPARAM context) -> BOOL {
            auto *wanted = reinterpret_cast<Search *>(context);
            wchar_t name[64] = {};
            ::GetClassNameW(window, name, 64);
            if (std::wstring_view(name) != wanted->className)
                return TRUE;
            wanted->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// What the message box looked like, seen from a timer its modal loop dispatches.
struct SeenBox
{
    std::wstring title;
    std::wstring text;
    HWND owner = nullptr;
};
SeenBox g_seen;

void CALLBACK answerBox(HWND, UINT, UINT_PTR timer, DWORD)
{
    const HWND box = windowOfClass(L"#32770");
    if (box == nullptr)
        return;
    ::KillTimer(nullptr, timer);
    g_seen = {textOf(box), textOf(::GetDlgItem(box, 0xFFFF)), ::GetWindow(box, GW_OWNER)};
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
}

} // namespace

TEST(Win32Application, FolderTitleAndEnding)
{
    std::wstring self(MAX_PATH * 4, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const std::string folder = runtime::applicationFolder();
    EXPECT_EQ(folder + "\\" + std::filesystem::path(self).filename().string(),
              std::filesystem::path(self).string());
    EXPECT_NE(folder.back(), '\\');
    EXPECT_EQ(runtime::separator(), "\\");

    runtime::setApplicationFolder("C:\\Elsewhere");
    EXPECT_EQ(runtime::applicationFolder(), "C:\\Elsewhere");
    runtime::setApplicationFolder({});
    EXPECT_EQ(runtime::applicationFolder(), folder);

    int ended = -1;
    runtime::setEndProgramHandler([&](int code) { ended = code; });
    runtime::endProgram(4);
    runtime::setEndProgramHandler({});
    EXPECT_EQ(ended, 4) << "a host's handler replaces the ending, and the call returns";
}

TEST(Win32EventPump, WaitsWithoutSpinningWakesForMessagesAndLeavesQuitToTheMainLoop)
{
    const auto started = std::chrono::steady_clock::now();
    runtime::waitForEvents(300);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

    std::thread poster(
        [thread = ::GetCurrentThreadId()] { ::PostThreadMessageW(thread, WM_APP, 0, 0); });
    poster.join();
    const auto woken = std::chrono::steady_clock::now();
    runtime::waitForEvents(20'000);
    EXPECT_LT(std::chrono::steady_clock::now() - woken, std::chrono::seconds(5))
        << "a message ends the wait";

    // The filter sees every message first and may keep it from being dispatched.
    int filtered = 0;
    runtime::win32::setMessageFilter([&](MSG &message) {
        if (message.message != WM_APP + 1)
            return false;
        ++filtered;
        return true;
    });
    ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP + 1, 0, 0);
    runtime::doEvents();
    runtime::win32::setMessageFilter({});
    EXPECT_EQ(filtered, 1);

    // A nested loop that meets WM_QUIT keeps it for the main loop; later waits still sleep.
    ::PostQuitMessage(7);
    runtime::doEvents();
    const double before = processorSeconds();
    support::settle(300);
    EXPECT_LT(processorSeconds() - before, 0.15) << "a pending quit turned waits into spinning";
    EXPECT_EQ(runtime::win32::runMessageLoop(), 7);
    ::PostQuitMessage(5);
    EXPECT_EQ(runtime::win32::runMessageLoop(), 5);
}

TEST(Win32MessageBox, ShowsTheTextUnderTheTitleOwnedByTheActiveWindow)
{
    runtime::setApplicationTitle("Updating Korvane");
    const HWND window =
        ::CreateWindowExW(0, L"STATIC", L"Updating Korvane", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                          200, 100, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    ::SetActiveWindow(window);
    g_seen = {};
    ::SetTimer(nullptr, 0, 50, &answerBox);
    runtime::messageBox("Update is completed\n\nKorvane 2.0 \xE2\x80\x94 ready");
    ::DestroyWindow(window);
    EXPECT_EQ(g_seen.title, L"Updating Korvane");
    EXPECT_EQ(g_seen.text, L"Update is completed\n\nKorvane 2.0 \u2014 ready");
    if (::GetActiveWindow() == nullptr && g_seen.owner == nullptr)
        GTEST_SKIP() << "this window system gave the test window no activation";
    EXPECT_EQ(g_seen.owner, window);
}

TEST(Win32Termination, TheSessionsEndReachesTheHandlerOnTheUiThread)
{
    std::vector<DWORD> calls;
    {
        const auto watcher =
            runtime::watchTermination([&] { calls.push_back(::GetCurrentThreadId()); });
        try {
            runtime::watchTermination([] {});
            ADD_FAILURE() << "a second watcher was accepted";
        } catch (const runtime::RuntimeError &error) {
            EXPECT_EQ(error.kind(), runtime::ErrorKind::Busy);
        }
        const HWND window = windowOfClass(runtime::win32::windowclass::kTerminationWatcher);
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(::IsWindowVisible(window));
        EXPECT_EQ(::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE)
            << "the end of the session is not opposed";
        ::SendMessageW(window, WM_ENDSESSION, FALSE, 0);
        EXPECT_TRUE(calls.empty()) << "asked, or called off: not ended yet";
        ::SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
        EXPECT_EQ(calls, std::vector<DWORD>{::GetCurrentThreadId()});
    }
    EXPECT_EQ(windowOfClass(runtime::win32::windowclass::kTerminationWatcher), nullptr);
    EXPECT_NE(runtime::watchTermination([] {}), nullptr) << "one may watch again";
}
