#pragma once

#include "Crypto.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace runtime {

/// The record a transfer hands over with each notification. A plain value: copied across
/// threads, never shared. Byte counts are 64-bit; whoever needs 32-bit figures derives them.
class AsyncProperty
{
public:
    AsyncProperty() = default;
    /// Any thread. value is the finished file ("" before completion or after a failure);
    /// failure is why the transfer failed ("" when it did not); sha256 the digest of the
    /// finished file when the transfer hashed it (none otherwise). Never throws beyond bad_alloc.
    AsyncProperty(std::string name, std::int64_t bytesRead, std::int64_t bytesMax,
                  std::filesystem::path value, std::string failure,
                  std::optional<Sha256Digest> sha256 = std::nullopt)
        : m_name(std::move(name)), m_bytesRead(bytesRead), m_bytesMax(bytesMax),
          m_value(std::move(value)), m_failure(std::move(failure)), m_sha256(sha256)
    {}

    /// Any thread. Body bytes written so far. Never throws.
    std::int64_t BytesRead() const { return m_bytesRead; }
    /// Any thread. Bytes expected in all; 0 while the size is unknown. Never throws.
    std::int64_t BytesMax() const { return m_bytesMax; }
    /// Any thread. The name the transfer was started under. Never throws.
    const std::string &PropertyName() const { return m_name; }
    /// Any thread. At the completion of a successful file read, the full path of the temporary
    /// file holding the data. Throws RuntimeError with the failure's reason for a failed or
    /// cancelled transfer (Failed), and before completion (Unavailable).
    std::filesystem::path Value() const;
    /// Any thread. Why the transfer failed, "" when it did not (or has not yet). Never throws.
    const std::string &failure() const { return m_failure; }
    /// Any thread. At the completion of a successful transfer started with a signed size
    /// (TransferLimits::signedBytes), the SHA-256 of every byte of its file, computed as they
    /// were written; empty before completion, after a failure, and for a transfer without a
    /// signed size. Never throws.
    const std::optional<Sha256Digest> &Sha256() const { return m_sha256; }

private:
    std::string m_name;
    std::int64_t m_bytesRead = 0;
    std::int64_t m_bytesMax = 0;
    std::filesystem::path m_value;
    std::string m_failure;
    std::optional<Sha256Digest> m_sha256;
};

/// Limits that decide when a transfer counts as failed. Process-wide; a transfer takes the
/// limits in force when it starts.
struct TransferLimits
{
    std::chrono::milliseconds connectTimeout{std::chrono::seconds(30)};
    /// A transfer that receives nothing for this long has stalled and fails.
    std::chrono::milliseconds stallTimeout{std::chrono::seconds(60)};
    /// Redirects followed before a transfer fails as a loop.
    int maxRedirects = 10;
    /// The largest body taken, announced or received.
    std::int64_t maxBytes = std::int64_t{4} * 1024 * 1024 * 1024;
    /// The size a signed release names for the file, or -1 for a transfer of no signed release.
    /// From 0 up, the transfer hashes every body byte as it writes it (AsyncProperty::Sha256), a
    /// body that announces or sends more is refused with a reason of its own (the lower of this
    /// and maxBytes decides), and a chunked body is taken even where the network library cannot
    /// tell its end from a cut: the size and hash judge the file afterwards. -1 costs nothing.
    std::int64_t signedBytes = -1;
};

/// Any thread. The most body bytes a transfer under limits takes: a signed release's size where
/// there is one, never above the general limit. Never throws.
std::int64_t bodyCap(const TransferLimits &limits) noexcept;

/// Any thread. Whether that cap is a signed release's size rather than the general limit, so
/// that a refusal names the figure the user can check. Never throws.
bool capIsSigned(const TransferLimits &limits) noexcept;

/// Reads URLs in the background, each into a temporary file, under a name. Transfers run on a
/// worker thread of the runtime's own; every notification is delivered on the UI thread, in
/// order per transfer, by calling the handlers the reader was made with. Only a complete final
/// 200 body counts: any other answer, an encoding nobody asked for, a body whose end cannot be
/// told from a cut, a short, stalled or oversized body fails the transfer and removes its file.
/// A transfer that starts at an https address follows no redirect to plain http.
class AsyncReader
{
public:
    using Handler = std::function<void(const AsyncProperty &)>;

    /// Kinds of read; only a read into a file is supported.
    static constexpr int kKindFile = 1;
    /// Option: fetch from the server even when a cached copy exists.
    static constexpr int kOptionForceUpdate = 16;

    /// UI thread. Cancels every running transfer, removes the files of transfers whose
    /// completion was not delivered, stops and joins the worker. No handler runs afterwards.
    /// Never throws.
    virtual ~AsyncReader() = default;

    /// UI thread. Starts reading target (an http or https URL) into a new temporary file in
    /// tempFolder, under name, and returns at once. Throws RuntimeError: Refused for a kind
    /// other than a file or an address that is not http or https, Busy for a name already
    /// running, Failed when the temporary file cannot be created, Unavailable when a signed
    /// transfer's hash cannot start.
    virtual void start(const std::string &target, int kind, const std::string &name, int options,
                       const std::filesystem::path &tempFolder) = 0;

    /// UI thread. Cancels the transfer running under name; it still completes, failed. An
    /// unknown name is ignored. Never throws.
    virtual void cancel(const std::string &name) = 0;

    /// UI thread. Whether a transfer runs under name (until its completion is delivered).
    /// Never throws.
    virtual bool isRunning(const std::string &name) const = 0;
};

/// UI thread. A reader whose progress and completion notifications call onProgress and
/// onComplete on the UI thread. Progress is coalesced to about 30 a second per transfer, and
/// a last one precedes each completion. A successful completion's file is already flushed to
/// disk; a failed one's is already gone. Throws RuntimeError (Unavailable) when the network
/// library or the worker cannot start.
std::unique_ptr<AsyncReader> createAsyncReader(AsyncReader::Handler onProgress,
                                               AsyncReader::Handler onComplete);

/// Any thread. Whether a file name (no folder) follows the temporary files' naming pattern, so
/// leftovers of a killed run can be told apart from everything else. Never throws.
bool isTemporaryFileName(const std::string &fileName);

/// Any thread. The limits for transfers started afterwards, and those in force. Never throw.
void setTransferLimits(const TransferLimits &limits);
TransferLimits transferLimits();

} // namespace runtime
