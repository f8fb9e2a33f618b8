#pragma once

#include "TemporaryFile.h"
#include "runtime/AsyncRead.h"
#include "runtime/Crypto.h"
#include "runtime/ResponseHead.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <curl/curl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace runtime::qt {

/// What a transfer needs to run, handed from the UI thread to the worker.
struct TransferRequest
{
    std::string name;
    /// An http or https URL, percent-encoded, without a fragment.
    std::string url;
    bool noCache = false;
    TransferLimits limits;
    /// A file of certificate authorities trusted besides the system's; empty for the system's
    /// alone, as in the program, which never sets one.
    std::string authorityFile;
    TemporaryFile file;
};

/// UI thread; tests only (runtime::testing::trustCertificateAuthority). The authority file of
/// transfers started afterwards; an empty path sets none. Never throws beyond bad_alloc.
void setExtraAuthorityFile(std::filesystem::path file);
/// UI thread. What setExtraAuthorityFile set last; empty when nothing is. Never throws beyond
/// bad_alloc.
std::filesystem::path extraAuthorityFile();

class Transfer;

/// Hears from a transfer while libcurl runs it, on the worker thread.
class TransferListener
{
public:
    virtual ~TransferListener() = default;
    /// Worker thread, inside libcurl's write callback, after body bytes reached the file. Must
    /// not throw.
    virtual void bodyArrived(Transfer &transfer) noexcept = 0;
};

/// One read of a URL into a temporary file through a libcurl easy handle: the handle's set-up,
/// the judgement of the answer's headers, the body's way into the file, and the sentence that
/// tells why it failed. Created on the UI thread, then touched by the worker thread only.
class Transfer
{
public:
    using Clock = std::chrono::steady_clock;

    /// What the worker last reported of this transfer, kept here for it.
    struct Reported
    {
        std::int64_t read = 0;
        std::int64_t max = 0;
        Clock::time_point at;
    };

    /// UI thread. Takes the request's file, which it deletes unless it completes and is kept.
    /// cancelled is the flag the UI thread sets to stop it. Never throws.
    Transfer(TransferRequest request, std::shared_ptr<std::atomic<bool>> cancelled,
             TransferListener &listener) noexcept;
    /// Worker thread. Releases the easy handle (out of any multi handle) and deletes the file
    /// unless it was kept. Never throws.
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    /// Worker thread. Creates and sets up the easy handle; CURLE_OK or why it could not be.
    /// Never throws.
    CURLcode configure() noexcept;
    /// Worker thread. The easy handle; null before configure and after release. Never throws.
    CURL *easy() const noexcept { return m_easy; }
    /// Worker thread. Takes the easy handle out of multi (if it was added) and frees it.
    /// Never throws.
    void release(CURLM *multi) noexcept;
    /// Worker thread. Ends the transfer with libcurl's code: releases the handle, then flushes
    /// the file to the disk and closes it, or deletes it. Returns why the transfer failed, ""
    /// when it succeeded. Throws only std::bad_alloc, the file already deleted or closed.
    std::string conclude(CURLM *multi, CURLcode code);
    /// Worker thread, after a successful conclude. Gives the file up without deleting it and
    /// returns its path. Never throws.
    std::filesystem::path keepFile() noexcept { return m_file.keep(); }

    /// Any thread. The name the transfer was started under. Never throws.
    const std::string &name() const noexcept { return m_name; }
    /// Any thread. The flag the UI thread sets to cancel this transfer. Never throws.
    const std::shared_ptr<std::atomic<bool>> &cancelFlag() const noexcept { return m_cancelled; }
    /// Worker thread. Whether a cancel was asked for. Never throws.
    bool cancelRequested() const noexcept { return m_cancelled->load(); }
    /// Worker thread. Body bytes written so far. Never throws.
    std::int64_t bytesReceived() const noexcept { return m_received; }
    /// Worker thread. Body bytes announced; 0 while unknown. Never throws.
    std::int64_t bytesExpected() const noexcept { return m_expected; }
    /// Worker thread, after a successful conclude. The SHA-256 of the file when its limits
    /// named a signed size, none otherwise. Never throws.
    const std::optional<Sha256Digest> &digest() const noexcept { return m_digest; }

    /// Worker thread only.
    Reported reported;

private:
    // Why the facility itself ended a transfer whose connection was fine.
    enum class Refusal
    {
        None,
        Encoded,
        Unframed,
        LengthAndChunks,
        AnnouncedTooLong,
        SentTooLong,
        AnnouncedBeyondRelease,
        SentBeyondRelease,
        InsecureRedirect
    };

    // What the headers of the response now arriving said. Reset at each status line: a
    // redirect's or an interim answer's headers say nothing about the final response.
    void readStatusLine(std::string_view line) noexcept;
    bool acceptHead() noexcept;
    std::size_t takeBody(const char *data, std::size_t size) noexcept;
    bool stillActive() noexcept;
    std::int64_t bodyCap() const noexcept;
    Refusal overCap(bool announced) const noexcept;
    std::string completeFile();
    std::string reasonFor(CURLcode code, bool requestSent) const;
    std::string refusalText() const;

    static std::size_t onHeader(char *data, std::size_t size, std::size_t count,
                                void *context) noexcept;
    static std::size_t onWrite(char *data, std::size_t size, std::size_t count,
                               void *context) noexcept;
    static int onTransferInfo(void *context, curl_off_t, curl_off_t, curl_off_t,
                              curl_off_t) noexcept;

    const std::string m_name;
    const std::string m_url;
    const bool m_secureStart;
    const bool m_noCache;
    const TransferLimits m_limits;
    const std::string m_authorityFile;
    TemporaryFile m_file;
    const std::shared_ptr<std::atomic<bool>> m_cancelled;
    TransferListener &m_listener;

    CURL *m_easy = nullptr;
    curl_slist *m_headers = nullptr;

    std::int64_t m_received = 0;
    std::int64_t m_expected = 0;
    bool m_bodyStarted = false;
    bool m_stalled = false;
    std::int64_t m_lastActiveCount = -1;
    Clock::time_point m_lastActiveAt;
    long m_rejectedStatus = 0;
    int m_writeError = 0;
    ResponseHead m_head;
    Refusal m_refusal = Refusal::None;
    std::optional<Sha256Digest> m_digest;
};

} // namespace runtime::qt
