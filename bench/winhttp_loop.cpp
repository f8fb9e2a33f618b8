// The plainest WinHTTP download, as a yardstick for Refitor.exe's transfer under the same Wine:
// one synchronous request, WinHttpQueryDataAvailable and WinHttpReadData in a loop, every chunk
// written to the file as it comes, then FlushFileBuffers. Prints one line of key=value figures:
// seconds (from WinHttpOpen to the flushed, closed file), bytes, status, buffer, and reads (the
// WinHttpReadData calls that brought bytes).
//
//   winhttp-loop.exe URL FILE [--buffer BYTES]
//
// FILE must not exist. The buffer is 256 KiB unless told, as large as the runtime's own reads.
// Windows only, and no part of the CMake build: bench/wine-update builds it with the MinGW-w64
// compiler (static, -lwinhttp) into its own build folder.

// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring widened(const char *text)
{
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length - 1));
    return wide;
}

int failed(const char *what)
{
    std::fprintf(stderr, "winhttp-loop: %s failed (error %lu)\n", what, ::GetLastError());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && !(argc == 5 && std::string(argv[3]) == "--buffer")) {
        std::fprintf(stderr, "usage: winhttp-loop.exe URL FILE [--buffer BYTES]\n");
        return 2;
    }
    const DWORD bufferSize = argc == 5 ? std::strtoul(argv[4], nullptr, 10) : 256 * 1024;
    if (bufferSize == 0) {
        std::fprintf(stderr, "winhttp-loop: --buffer takes a positive number\n");
        return 2;
    }
    const std::wstring url = widened(argv[1]);
    const std::wstring path = widened(argv[2]);
    std::vector<char> buffer(bufferSize);

    LARGE_INTEGER frequency, started, ended;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&started);

    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts))
        return failed("WinHttpCrackUrl");
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr)
        object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    HINTERNET session = ::WinHttpOpen(L"winhttp-loop", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr)
        return failed("WinHttpOpen");
    HINTERNET connection = ::WinHttpConnect(session, host.c_str(), parts.nPort, 0);
    if (connection == nullptr)
        return failed("WinHttpConnect");
    HINTERNET request =
        ::WinHttpOpenRequest(connection, L"GET", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                             WINHTTP_DEFAULT_ACCEPT_TYPES,
                             parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (request == nullptr)
        return failed("WinHttpOpenRequest");
    if (!::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                              0, 0))
        return failed("WinHttpSendRequest");
    if (!::WinHttpReceiveResponse(request, nullptr))
        return failed("WinHttpReceiveResponse");
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                               WINHTTP_NO_HEADER_INDEX))
        return failed("WinHttpQueryHeaders");
    if (status != 200) {
        std::fprintf(stderr, "winhttp-loop: status %lu\n", status);
        return 1;
    }

    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failed("CreateFileW");
    long long total = 0;
    long long reads = 0;
    for (;;) {
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(request, &available))
            return failed("WinHttpQueryDataAvailable");
        if (available == 0)
            break;
        DWORD read = 0;
        if (!::WinHttpReadData(request, buffer.data(), std::min(available, bufferSize), &read))
            return failed("WinHttpReadData");
        if (read == 0)
            break;
        DWORD written = 0;
        if (!::WriteFile(file, buffer.data(), read, &written, nullptr) || written != read)
            return failed("WriteFile");
        total += read;
        ++reads;
    }
    if (!::FlushFileBuffers(file))
        return failed("FlushFileBuffers");
    ::CloseHandle(file);
    ::QueryPerformanceCounter(&ended);
    ::WinHttpCloseHandle(request);
    ::WinHttpCloseHandle(connection);
    ::WinHttpCloseHandle(session);

    const double seconds = static_cast<double>(ended.QuadPart - started.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    std::printf("seconds=%.3f bytes=%lld status=%lu buffer=%lu reads=%lld\n", seconds, total,
                status, bufferSize, reads);
    return 0;
}
