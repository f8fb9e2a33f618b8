// The asynchronous reader's cases that only the Win32 runtime can show, and this platform's side
// of the shared cases in ../AsyncReaderTest.cpp: its message queue, its file sharing, and what
// Wine's WinHTTP cannot do.

#include "runtime/AsyncReaderTest.h"

#include "runtime/AsyncRead.h"
#include "runtime/win32/Unicode.h"
#include "support/LoopbackServer.h"
#include "support/SystemSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <windows.h>

using runtime::AsyncProperty;
namespace fs = std::filesystem;

namespace {

constexpr UINT kMarkerMessage = WM_APP + 7;

LRESULT CALLBACK markerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kMarkerMessage) {
        *reinterpret_cast<bool *>(lParam) = true;
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

bool runningUnderWine()
{
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

} // namespace

namespace readertest {

void deliverPosted()
{
    // The thread's posted messages come in order, so a marker posted now is seen after them.
    static const ATOM markerClass = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &markerProcedure;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"RefitorTestMarker";
        return ::RegisterClassExW(&windowClass);
    }();
    ASSERT_NE(markerClass, 0);
    const HWND window = ::CreateWindowExW(0, L"RefitorTestMarker", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                          nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    bool reached = false;
    ::PostMessageW(window, kMarkerMessage, 0, reinterpret_cast<LPARAM>(&reached));
    EXPECT_TRUE(support::waitUntil([&] { return reached; }));
    ::DestroyWindow(window);
}

int openFilesIn(const fs::path &folder)
{
    // A file some handle holds open refuses an exclusive open.
    int count = 0;
    for (const auto &entry : fs::directory_iterator(folder)) {
        const HANDLE handle = ::CreateFileW(entry.path().c_str(), GENERIC_READ, 0, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
        else if (::GetLastError() == ERROR_SHARING_VIOLATION)
            ++count;
    }
    return count;
}

std::string missingFolderWords()
{
    // The runtime passes on the system's sentence, in the user's language, without its stop.
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, ERROR_PATH_NOT_FOUND, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    const std::wstring text(buffer != nullptr ? buffer : L"", length);
    if (buffer != nullptr)
        ::LocalFree(buffer);
    return runtime::win32::utf8FromUtf16(text.substr(0, text.find_last_not_of(L" .\r\n") + 1));
}

bool takesChunkedBodies()
{
    // WinHTTP alone sees the chunks, and a read of nothing ends the body alike at its last chunk
    // and at a cut.
    return false;
}

} // namespace readertest

namespace {

class Win32AsyncReaderTest : public readertest::AsyncReaderTest
{};

TEST_F(Win32AsyncReaderTest, DiskWriteFailureIsReported)
{
    // A full disk cannot be arranged here; a lock another handle holds on the file's first
    // bytes makes Windows refuse the writes there just as firmly.
    if (runningUnderWine())
        GTEST_SKIP() << "Wine does not hold writes to a range another handle has locked";
    const Gate gate = m_server.serveHeld("/locked", support::randomBytes(3 * 1024 * 1024), 1000);
    m_server.start();
    m_reader->start(url("/locked"), 1, "locked", 0, folder());
    ASSERT_TRUE(support::waitUntil([&] { return !m_recorder.progressOf("locked").empty(); }));
    ASSERT_EQ(leftovers().size(), 1u);

    const HANDLE other = ::CreateFileW((folder() / leftovers().front()).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    OVERLAPPED from{};
    ASSERT_TRUE(::LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                             64 * 1024 * 1024, 0, &from));
    gate.open();
    const AsyncProperty done = m_recorder.waitForCompletion("locked");
    ::UnlockFileEx(other, 0, 64 * 1024 * 1024, 0, &from);
    ::CloseHandle(other);

    EXPECT_EQ(done.failure().rfind("the download could not be written: ", 0), 0u) << done.failure();
    EXPECT_GT(done.failure().size(), std::string("the download could not be written: ").size());
    EXPECT_TRUE(leftovers().empty());
}

} // namespace
