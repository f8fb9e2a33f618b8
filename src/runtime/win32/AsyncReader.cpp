#include "TemporaryFile.h"
#include "Transfer.h"
#include "TransferWorker.h"
#include "Unicode.h"
#include "runtime/AsyncRead.h"
#include "runtime/Crypto.h"
#include "runtime/RuntimeError.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <windows.h>
#include <winhttp.h>

namespace runtime {

namespace win32 {

namespace {

/// The path and query as a server reads them: UTF-8, with everything but printable ASCII
/// percent-encoded, and what was encoded already left as it is.
std::wstring percentEncoded(const std::wstring &object)
{
    const std::string bytes = utf8FromUtf16(object);
    constexpr std::string_view unsafe = "\"<>\\^`{|}";
    constexpr std::string_view digits = "0123456789ABCDEF";
    std::wstring encoded;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || unsafe.find(c) != std::string_view::npos) {
            encoded += L'%';
            encoded += static_cast<wchar_t>(digits[byte >> 4]);
            encoded += static_cast<wchar_t>(digits[byte & 0xF]);
        } else {
            encoded += static_cast<wchar_t>(byte);
        }
    }
    return encoded;
}

/// An http or https address taken apart, without its fragment; nothing for anything else.
std::optional<TransferAddress> addressOf(const std::string &target)
{
    std::wstring wide = utf16FromUtf8(target);
    wide.erase(std::min(wide.find(L'#'), wide.size()));
    if (wide.empty())
        return std::nullopt;
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength =
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts))
        return std::nullopt;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        return std::nullopt;
    if (!parts.lpszHostName || parts.dwHostNameLength == 0)
        return std::nullopt;
    TransferAddress address;
    address.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    address.port = parts.nPort;
    address.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    std::wstring object;
    if (parts.lpszUrlPath)
        object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo)
        object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty() || object.front() != L'/')
        object.insert(object.begin(), L'/');
    address.object = percentEncoded(object);
    address.url = std::move(wide);
    return address;
}

/// The reader of the Windows runtime: validates on the UI thread what it is asked to read, then
/// hands each transfer to its worker, whose notifications arrive through a hidden window of its
/// own that the UI thread's message loop serves.
class Win32AsyncReader final : public AsyncReader
{
public:
    /// UI thread. Throws RuntimeError (Unavailable) when WinHTTP, the window or the worker
    /// cannot start.
    Win32AsyncReader(Handler onProgress, Handler onComplete)
        : m_worker(m_window,
                   std::make_shared<const transfer::ReaderHandlers>(
                       transfer::ReaderHandlers{std::move(onProgress), std::move(onComplete)}))
    {}

    using AsyncReader::start;

    void start(TransferAttempt attempt) override
    {
        transfer::checkKind(attempt);
        std::optional<TransferAddress> address = addressOf(attempt.target);
        if (!address) {
            throw RuntimeError(ErrorKind::Refused,
                               attempt.target + " is not an http or https address");
        }
        transfer::checkFree(attempt, m_worker.isRunning(attempt.name));

        TransferRequest request;
        const bool secure = address->secure;
        request.address = std::move(*address);
        request.setup = transfer::setUp(
            attempt, secure,
            [](const std::filesystem::path &folder) -> std::unique_ptr<transfer::BodyFile> {
                return TemporaryFile::create(folder);
            },
            &createSha256);
        m_worker.submit(std::move(request));
    }

    void cancel(const std::string &name) override { m_worker.cancel(name); }

    bool isRunning(const std::string &name) const override { return m_worker.isRunning(name); }

private:
    // Declared first so that it goes last: once the worker is joined, destroying the window
    // drops the notifications still queued on it, also while one of them is being delivered.
    NotificationWindow m_window;
    TransferWorker m_worker;
};

} // namespace

} // namespace win32

std::unique_ptr<AsyncReader> createAsyncReader(AsyncReader::Handler onProgress,
                                               AsyncReader::Handler onComplete)
{
    return std::make_unique<win32::Win32AsyncReader>(std::move(onProgress), std::move(onComplete));
}

} // namespace runtime
