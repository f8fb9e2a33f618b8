#pragma once

#include "runtime/TransferCore.h"

#include <atomic>
#include <curl/curl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace runtime::qt {

/// What a transfer needs to run, handed from the UI thread to the worker.
struct TransferRequest
{
    transfer::Setup setup;
    /// An http or https URL, percent-encoded, without a fragment.
    std::string url;
    /// A file of certificate authorities trusted besides the system's; empty for the system's
    /// alone, as in the program, which never sets one.
    std::string authorityFile;
    /// The User-Agent: the updater's name as the program set it; empty: none sent.
    std::string userAgent;
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

/// One request of a URL through a libcurl easy handle: the handle's set-up, the headers and
/// body handed to the shared core, and libcurl's results told as kinds of failure. Created on
/// the UI thread, then touched by the worker thread only.
class Transfer
{
public:
    /// UI thread. cancelled is the flag the UI thread sets to stop it. Never throws.
    Transfer(TransferRequest request, std::shared_ptr<std::atomic<bool>> cancelled,
             TransferListener &listener) noexcept;
    /// Worker thread. Releases the easy handle (out of any multi handle); the core's file goes
    /// unless it was kept or handed on. Never throws.
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
    /// Worker thread. Ends the transfer with libcurl's code: releases the handle and returns the
    /// final record (the file kept, handed on as a partial download, or gone). Throws only
    /// std::bad_alloc, the file already discarded.
    AsyncProperty conclude(CURLM *multi, CURLcode code);

    /// Worker thread, or the UI thread before the worker has it. The shared part. Never throws.
    transfer::Core &core() noexcept { return m_core; }
    const transfer::Core &core() const noexcept { return m_core; }

private:
    void logRequest() const noexcept;
    void readStatusLine(std::string_view line) noexcept;
    std::size_t takeBody(const char *data, std::size_t size) noexcept;
    TransferError kindOf(CURLcode code, bool requestSent, int &detail) const noexcept;

    static std::size_t onHeader(char *data, std::size_t size, std::size_t count,
                                void *context) noexcept;
    static std::size_t onWrite(char *data, std::size_t size, std::size_t count,
                               void *context) noexcept;
    static int onTransferInfo(void *context, curl_off_t, curl_off_t, curl_off_t,
                              curl_off_t) noexcept;

    transfer::Core m_core;
    const std::string m_url;
    const std::string m_authorityFile;
    const std::string m_userAgent;
    TransferListener &m_listener;

    CURL *m_easy = nullptr;
    curl_slist *m_headers = nullptr;
    bool m_headEnded = false;
};

} // namespace runtime::qt
