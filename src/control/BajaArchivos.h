#pragma once

#include "runtime/AsyncRead.h"
#include "runtime/Controls.h"
#include "runtime/Crypto.h"
#include "runtime/KeyedCollection.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

/// How a transfer ended, as far as the control knows: whether its file was moved into place and,
/// if not, why and where its data is. Paths and texts are UTF-8.
struct DownloadResult
{
    bool inPlace = false;
    std::string destination;
    /// One short sentence, "" when the file is in place.
    std::string failure;
    /// The kind of the transfer's failure, for a host that acts on it; None when the transfer
    /// succeeded (the file may still have failed its check or its move: see failure).
    runtime::TransferError error = runtime::TransferError::None;
    /// The attempts made, retries included.
    int attempts = 0;
    /// Where the downloaded data still is when it could not be moved into place (a file already
    /// at the destination is never overwritten): the transfer's temporary file, now the host's to
    /// use or remove. "" when the file is in place or the transfer failed.
    std::string temporary;
    /// Why the destination's folder could not be flushed to disk after the file was moved into
    /// place, "" when it was; the file is in place either way.
    std::string syncFailure;
};

/// How a download tries again after a failure that may pass: a refused or unreachable server, a
/// connect timeout, a connection cut, reset, stalled or under the low-speed floor, and the
/// answers 408, 429, 500, 502, 503 and 504. Nothing else is tried again.
struct RetryPolicy
{
    /// The waits before the second, third and fourth attempt; each is varied by up to
    /// jitter either way, so that many clients cut off at once do not come back at once.
    std::vector<std::chrono::milliseconds> waits{std::chrono::seconds(1), std::chrono::seconds(2),
                                                 std::chrono::seconds(4)};
    double jitter = 0.2;
    /// A Retry-After of up to this long is waited instead; a longer one is not honoured.
    std::chrono::seconds longestRetryAfter{60};
    /// The whole download's time, attempts and waits included.
    std::chrono::milliseconds budget{std::chrono::minutes(30)};
};

/// What the control tells its container when a download will be tried again.
struct RetryNotice
{
    std::string sId;
    /// Why the attempt that just ended failed: one short sentence.
    std::string reason;
    /// The attempt about to be made (2 for the first retry) and the most there will be.
    int attempt = 0;
    int attempts = 0;
    /// How long until it starts.
    std::chrono::milliseconds wait{0};
    /// The bytes the next attempt continues from (0: it starts from the first byte).
    std::int64_t resumeFrom = 0;
};

/// A control that fetches files from URLs in the background, each to a destination under a
/// string key, and moves each finished file into place with one rename. It never reads or copies
/// the downloaded bytes itself. UI thread only.
class BajaArchivos
{
public:
    /// The control's programmatic identifier and automation identifiers of its members, kept for
    /// reference to the component it stands in for; callers use the C++ interface.
    static constexpr const char *kProgId = "Hauldeck.BajaArchivos";
    static constexpr std::int32_t kDispIdDownload = 0x60030000;
    static constexpr std::int32_t kDispIdCancelDownload = 0x60030003;
    static constexpr std::int32_t kDispIdProgress = 1;
    static constexpr std::int32_t kDispIdCompleted = 2;
    /// The face is 720 x 720 twips: 48 x 48 pixels at 15 twips a pixel.
    static constexpr int kFaceTwips = 720;

    /// The container's handlers of the control's events, called synchronously with references
    /// to copies of the control's own. The counts are the transfer's own, 64-bit, so that they
    /// stay true past 2 and 4 GiB.
    using ProgressHandler =
        std::function<void(const std::int64_t &DownLoadedBytes, const std::int64_t &TotalBytes,
                           const std::string &sId)>;
    using CompletedHandler = std::function<void(const std::int64_t &Bytes, const std::string &sId)>;

    /// UI thread. A control placed on container (null: on no window). Throws RuntimeError when
    /// the transfer facility cannot start.
    explicit BajaArchivos(runtime::Window *container = nullptr);
    /// UI thread. Cancels every transfer and removes its files; no event is raised afterwards.
    ~BajaArchivos();
    BajaArchivos(const BajaArchivos &) = delete;
    BajaArchivos &operator=(const BajaArchivos &) = delete;

    /// UI thread. Fetches sWWWFile into the file sDestination under the key sId and returns at
    /// once. Throws RuntimeError when sId is already pending (nothing is started or touched) or
    /// when the transfer is refused (the key then stays pending until a completion).
    void Download(const std::string &sWWWFile, const std::string &sDestination,
                  const std::string &sId = "Id");

    /// UI thread. Cancels the transfer named sId; it still completes, failed. An unknown name
    /// is ignored. Never throws.
    void CancelDownload(const std::string &sId = "Id");

    /// UI thread. The next transfer under sId goes into place only when it is exactly size bytes
    /// with the SHA-256 sha256, which the transfer computes as it writes; a body that grows past
    /// size is refused as it arrives. Anything else completes as failed, its file removed, so
    /// that bytes nobody vouched for never reach the destination. Lasts until that transfer
    /// completes. Never throws beyond std::bad_alloc.
    void expect(const std::string &sId, std::int64_t size, const runtime::Sha256Digest &sha256);

    /// UI thread. The next transfer under sId takes at most maxBytes, whatever the process-wide
    /// limit; a larger body is refused as it is announced or arrives. Lasts until that transfer
    /// completes. Never throws beyond std::bad_alloc.
    void capSize(const std::string &sId, std::int64_t maxBytes) { m_caps[sId] = maxBytes; }

    /// UI thread. How the last completed transfer under sId ended; set before its Completed is
    /// raised. Throws RuntimeError (NotFound) when no transfer under sId has completed.
    DownloadResult lastResult(const std::string &sId) const;

    /// UI thread. The handler of Progress, raised for every progress notification with the
    /// counts as the transfer reports them (TotalBytes 0 while the size is unknown); empty: none.
    void onProgress(ProgressHandler handler) { m_progress = std::move(handler); }
    /// UI thread. The handler of Completed, raised when the transfer under sId is over and the
    /// key is free again; it does not say the file is in place (see lastResult).
    void onCompleted(CompletedHandler handler) { m_completed = std::move(handler); }
    /// UI thread. The handler told when a failed attempt will be tried again, before the wait;
    /// the key stays pending meanwhile, and CancelDownload ends the wait. Empty: none.
    void onRetrying(std::function<void(const RetryNotice &)> handler)
    {
        m_retrying = std::move(handler);
    }
    /// UI thread. How downloads started afterwards try again; RetryPolicy's values unless
    /// changed (the program takes its budget from REFITOR_TIME_BUDGET; tests wait less). Never
    /// throws beyond std::bad_alloc.
    void setRetryPolicy(RetryPolicy policy) { m_policy = std::move(policy); }
    /// UI thread. The policy in force. Never throws.
    const RetryPolicy &retryPolicy() const { return m_policy; }

    /// UI thread. The control's face on its container. Never throws.
    runtime::ControlFace &face() { return *m_face; }

private:
    void UserControl_ReadProgress(const runtime::AsyncProperty &AsyncProp);
    void UserControl_ReadComplete(const runtime::AsyncProperty &AsyncProp);
    void UserControl_Resize();
    runtime::KeyedCollection &downloads();
    void startAttempt(const std::string &sId, std::shared_ptr<runtime::PartialDownload> resume,
                      std::chrono::milliseconds wait);
    bool retry(const runtime::AsyncProperty &AsyncProp);
    std::string finalReason(const runtime::AsyncProperty &AsyncProp) const;
    void logAttempt(const runtime::AsyncProperty &AsyncProp) const;

    // What a running download's attempts share: where from and to, under which limits, since
    // when, and how many were made.
    struct Attempts
    {
        std::string url;
        std::filesystem::path folder;
        runtime::TransferLimits limits;
        std::chrono::steady_clock::time_point deadline;
        int made = 0;
    };
    std::map<std::string, Attempts> m_attempts;
    std::minstd_rand m_random{std::random_device{}()};
    RetryPolicy m_policy;
    std::function<void(const RetryNotice &)> m_retrying;

    std::unique_ptr<runtime::ControlFace> m_face;
    std::optional<runtime::KeyedCollection> colDownloads;
    std::map<std::string, DownloadResult> m_results;
    struct Expectation
    {
        std::int64_t size = 0;
        runtime::Sha256Digest sha256{};
    };
    std::map<std::string, Expectation> m_expected;
    std::map<std::string, std::int64_t> m_caps;
    ProgressHandler m_progress;
    CompletedHandler m_completed;
    // Last, so it goes first: no notification reaches a control that is half destroyed.
    std::unique_ptr<runtime::AsyncReader> m_reader;
};
