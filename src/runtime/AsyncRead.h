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

/// Why a transfer failed, in kinds a caller can act on (whether trying again can help); the
/// sentence for people travels beside it.
enum class TransferError
{
    None,
    Cancelled,
    NameNotFound,     // the server's or the proxy's name could not be found
    ConnectFailed,    // refused, or no way to the server
    ConnectTimedOut,  // no connection within the connect limit
    NoAnswer,         // the server closed the connection without answering
    Cut,              // the connection ended before the body did
    Reset,            // the connection was reset
    Stalled,          // nothing arrived for the stall limit
    TooSlow,          // less than the low-speed floor over its whole period
    OutOfTime,        // the time budget of the whole download ran out
    Tls,              // no secure connection could be made
    Certificate,      // the server's certificate could not be verified
    HttpStatus,       // an answer other than the file (AsyncProperty::httpStatus says which)
    BadAnswer,        // an answer that could not be understood
    Encoded,          // a coding nobody asked for
    Unframed,         // a body whose end cannot be told from a cut
    LengthAndChunks,  // both a length and chunks
    TooLarge,         // more than the limit or the signed size, announced or sent
    InsecureRedirect, // from https to plain http
    RedirectLoop,
    RedirectNotWeb,
    BadRange,    // a part of the file other than the one asked for, or none asked for
    WriteFailed, // the temporary file could not be written
    DiskFull,
    Other
};

/// Any thread. Whether kind is a bad moment of the network or of the server's connection (a
/// name not found, refused, unreachable, no connection in time, no answer, cut, reset, stalled,
/// too slow), which the same request may pass a little later. Never throws.
bool isTransient(TransferError kind) noexcept;

/// What a transfer that failed after some bytes leaves for the next attempt: its temporary file,
/// still open, with those bytes (and their running SHA-256 where the transfer hashes), and what
/// names the server's version of the file. Made by the runtime, handed back to it by
/// TransferAttempt::resume; whoever drops the last reference removes the file. One thread at a
/// time.
class PartialDownload
{
public:
    /// Any thread. Closes and removes the file unless an attempt took it over. Never throws.
    virtual ~PartialDownload() = default;
    /// Any thread. The bytes the file holds. Never throws.
    virtual std::int64_t bytes() const noexcept = 0;
    /// Any thread. The whole file's size as the server announced it; 0 when unknown. Never throws.
    virtual std::int64_t total() const noexcept = 0;
    /// Any thread. The strong ETag or the Last-Modified date that names the server's version of
    /// the file, for If-Range; "" when the server sent neither. Never throws.
    virtual const std::string &validator() const noexcept = 0;
    /// The UI thread, when nobody will continue it. Closes and removes the file now, rather than
    /// when the last copy of the record goes (which an ending program may never reach). Never
    /// throws.
    virtual void discard() noexcept = 0;
};

/// How a transfer ended, beyond its sentence: what a caller needs to decide what comes next.
struct TransferEnd
{
    TransferError error = TransferError::None;
    /// The status of the server's final answer; 0 when none arrived.
    int httpStatus = 0;
    /// The seconds a Retry-After header asked for, -1 when there was none.
    int retryAfterSeconds = -1;
    /// The bytes so far, for an attempt that may continue them; null when there is nothing to
    /// continue (nothing arrived, or nothing names the server's version of the file).
    std::shared_ptr<PartialDownload> partial;
};

/// The record a transfer hands over with each notification. A plain value: copied across
/// threads, never shared. Byte counts are 64-bit; whoever needs 32-bit figures derives them.
class AsyncProperty
{
public:
    AsyncProperty() = default;
    /// Any thread. value is the finished file ("" before completion or after a failure);
    /// failure is why the transfer failed ("" when it did not); sha256 the digest of the
    /// finished file when the transfer hashed it (none otherwise); end what a completion says
    /// besides. Never throws beyond bad_alloc.
    AsyncProperty(std::string name, std::int64_t bytesRead, std::int64_t bytesMax,
                  std::filesystem::path value, std::string failure,
                  std::optional<Sha256Digest> sha256 = std::nullopt, TransferEnd end = {})
        : m_name(std::move(name)), m_bytesRead(bytesRead), m_bytesMax(bytesMax),
          m_value(std::move(value)), m_failure(std::move(failure)), m_sha256(sha256),
          m_end(std::move(end))
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
    /// Any thread. The kind of failure at a completion; None before it and after a success.
    /// Never throws.
    TransferError error() const { return m_end.error; }
    /// Any thread. At a completion, the status of the final answer (0: none arrived), the
    /// seconds its Retry-After asked for (-1: none), and the bytes a next attempt may continue
    /// (null: none). Never throws.
    int httpStatus() const { return m_end.httpStatus; }
    int retryAfterSeconds() const { return m_end.retryAfterSeconds; }
    const std::shared_ptr<PartialDownload> &partial() const { return m_end.partial; }

private:
    std::string m_name;
    std::int64_t m_bytesRead = 0;
    std::int64_t m_bytesMax = 0;
    std::filesystem::path m_value;
    std::string m_failure;
    std::optional<Sha256Digest> m_sha256;
    TransferEnd m_end;
};

/// Limits that decide when a transfer counts as failed. Process-wide; a transfer takes the
/// limits in force when it starts.
struct TransferLimits
{
    std::chrono::milliseconds connectTimeout{std::chrono::seconds(30)};
    /// A transfer that receives nothing for this long has stalled and fails.
    std::chrono::milliseconds stallTimeout{std::chrono::seconds(60)};
    /// The low-speed floor: a body that brings fewer than lowSpeedBytes in any lowSpeedPeriod
    /// (1 KiB a second over a minute) counts as stalled; 0 bytes: no floor.
    std::int64_t lowSpeedBytes = std::int64_t{1024} * 60;
    std::chrono::milliseconds lowSpeedPeriod{std::chrono::seconds(60)};
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

/// One request of a transfer, as the caller wants it made: where from, into which folder, under
/// which limits, continuing which bytes, and when.
struct TransferAttempt
{
    std::string target;
    int kind = 1;
    std::string name;
    int options = 0;
    std::filesystem::path tempFolder;
    TransferLimits limits;
    /// Bytes an earlier attempt left: the request asks for the rest (Range, guarded by If-Range
    /// with the partial's validator) and a 206 continues the same file; a 200 starts it again
    /// from its first byte. Null: a fresh file in tempFolder.
    std::shared_ptr<PartialDownload> resume;
    /// How long the request waits before it goes out; the transfer runs (and can be cancelled)
    /// meanwhile.
    std::chrono::milliseconds delay{0};
    /// When the transfer fails as out of time, whatever it is doing; none: no such limit.
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

/// Reads URLs in the background, each into a temporary file, under a name. Transfers run on a
/// worker thread of the runtime's own; every notification is delivered on the UI thread, in
/// order per transfer, by calling the handlers the reader was made with. Only a complete final
/// 200 body counts (or, for a request that continues a partial download, a 206 that brings
/// exactly the rest): any other answer, an encoding nobody asked for, a body whose end cannot be
/// told from a cut, a short, stalled or oversized body fails the transfer. Its file is removed,
/// or handed on (AsyncProperty::partial) where a later attempt may continue it. A transfer that
/// starts at an https address follows no redirect to plain http.
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
    void start(const std::string &target, int kind, const std::string &name, int options,
               const std::filesystem::path &tempFolder);

    /// UI thread. Starts one request as attempt describes it, under its limits rather than the
    /// process-wide ones, and returns at once. Throws as the call above does; a refused attempt
    /// leaves its resume untouched.
    virtual void start(TransferAttempt attempt) = 0;

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
