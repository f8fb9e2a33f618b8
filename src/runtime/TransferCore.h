#pragma once

#include "AsyncRead.h"
#include "Crypto.h"
#include "ResponseHead.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// What every runtime's transfers do alike, whatever network library carries them: the file a
// body goes into, the judgement of an answer, the counts, the time limits, the kinds of failure
// and their sentences, the coalescing of progress, and the UI thread's bookkeeping of running
// transfers. A runtime adds only its library's I/O and the mapping of its results to kinds.
namespace runtime::transfer {

using Clock = std::chrono::steady_clock;

/// The temporary file a body goes into: written once front to back through a buffer of its own,
/// hashed in the same pass where asked, and removed unless someone keeps it. Each runtime
/// supplies the file itself; errors are the platform's codes (errno, or a Win32 error). One
/// thread at a time.
class BodyFile
{
public:
    /// Any thread. The platform's destructor closes the file and removes it unless kept.
    virtual ~BodyFile() = default;

    /// The writing thread, before the first append. Reserves room for length more bytes (0:
    /// unknown) and readies the buffer. Returns 0 or the platform's error. Never throws.
    int prepare(std::int64_t length) noexcept;
    /// Any thread, before the first append. Every byte appended from now on is hashed too, by a
    /// hash makeHash makes (again for a restart). Throws RuntimeError (Unavailable) when the
    /// hash cannot start.
    void hashWith(std::unique_ptr<Sha256> (*makeHash)())
    {
        m_hash = makeHash();
        m_makeHash = makeHash;
    }
    /// Any thread. Whether appended bytes are hashed. Never throws.
    bool hashes() const noexcept { return m_hash != nullptr; }
    /// The writing thread. Appends size bytes; 0 or the platform's error, after which the file
    /// is only good for discarding. Never throws.
    int append(const char *data, std::size_t size) noexcept;
    /// The writing thread. Empties the file and starts its hash again, for a body that starts
    /// over from its first byte. 0 or the platform's error. Never throws.
    int restart() noexcept;
    /// The writing thread. Writes what is buffered, flushes the file to the disk and closes it.
    /// 0 or the error of the step that failed (closed either way). Never throws.
    int finish() noexcept;
    /// The writing thread, once, after a successful finish. The SHA-256 of every byte appended;
    /// none without a hash. Throws RuntimeError (Failed) when the hash failed.
    std::optional<Sha256Digest> finishHash();

    /// Any thread. Closes and deletes the file. Never throws.
    virtual void discard() noexcept = 0;
    /// Any thread, after finish. Gives the file up without deleting it; it stays on the list
    /// removed at exit until handed over. Returns its path. Never throws.
    virtual std::filesystem::path keep() noexcept = 0;
    /// Any thread. The file's full path; "" once discarded or kept. Never throws.
    virtual const std::filesystem::path &path() const noexcept = 0;
    /// Any thread. The platform's sentence for one of its error codes. Throws std::bad_alloc.
    virtual std::string errorText(int error) const = 0;
    /// Any thread. Whether an error code means the disk is full. Never throws.
    virtual bool isDiskFull(int error) const noexcept = 0;

protected:
    /// Reserves room for length more bytes; 0, or the error of a disk that cannot hold them.
    virtual int reserve(std::int64_t length) noexcept = 0;
    /// Writes size bytes at the end of the file.
    virtual int writeThrough(const char *data, std::size_t size) noexcept = 0;
    /// Cuts the file to nothing and writes from its start again.
    virtual int truncateToZero() noexcept = 0;
    /// Flushes the file to the disk and closes it.
    virtual int syncAndClose() noexcept = 0;
    /// The platform's code for memory that could not be had.
    virtual int outOfMemory() const noexcept = 0;
    /// Drops the buffer and the hash, for discard and keep.
    void releaseBuffers() noexcept;

private:
    int flushBuffer() noexcept;

    std::unique_ptr<char[]> m_buffer;
    std::size_t m_buffered = 0;
    std::unique_ptr<Sha256> m_hash;
    std::unique_ptr<Sha256> (*m_makeHash)() = nullptr;
};

/// What a runtime's reader makes a temporary file with: a new ".refitor-XXXXXX.part" in folder.
/// Throws RuntimeError (Failed) with the system's reason.
using FileMaker = std::function<std::unique_ptr<BodyFile>(const std::filesystem::path &folder)>;

/// Everything one request needs besides its address, made on the UI thread from an attempt.
struct Setup
{
    std::string name;
    TransferLimits limits;
    std::unique_ptr<BodyFile> file;
    /// The bytes the file already holds, their file's announced size and its validator, when
    /// the request continues an earlier attempt's; 0, 0 and "" otherwise.
    std::int64_t resumeFrom = 0;
    std::int64_t resumeTotal = 0;
    std::string validator;
    bool noCache = false;
    bool secureStart = false;
    Clock::time_point startsAt;
    std::optional<Clock::time_point> deadline;
};

/// The handlers notifications end in, shared by a reader and every notification on its way, so
/// that a handler that destroys the reader does not destroy itself while it runs.
struct ReaderHandlers
{
    AsyncReader::Handler onProgress;
    AsyncReader::Handler onComplete;
};

/// UI thread. Throws RuntimeError (Refused) for an attempt of any kind but a file. Never throws
/// otherwise.
void checkKind(const TransferAttempt &attempt);
/// UI thread. Throws RuntimeError (Busy) when a transfer runs under the attempt's name.
void checkFree(const TransferAttempt &attempt, bool running);

/// UI thread. The set-up of attempt: its file taken over from attempt.resume (which must be one
/// of this runtime's) or made with makeFile, hashed by makeHash's hashes under a signed size
/// (passed in, since the hash is each platform's own). secureStart says
/// whether the address is https. Throws RuntimeError (Refused for a resume of another kind,
/// Failed when no file can be made, Unavailable when the hash cannot start), leaving
/// attempt.resume untouched.
Setup setUp(TransferAttempt &attempt, bool secureStart, const FileMaker &makeFile,
            std::unique_ptr<Sha256> (*makeHash)());

/// One attempt's judgement and bookkeeping, touched by the worker thread only once it starts.
class Core
{
public:
    /// What the worker last reported.
    struct Reported
    {
        std::int64_t read = 0;
        std::int64_t max = 0;
        Clock::time_point at;
    };

    /// UI thread. Never throws.
    Core(Setup setup, std::shared_ptr<std::atomic<bool>> cancelled) noexcept;
    Core(const Core &) = delete;
    Core &operator=(const Core &) = delete;

    /// Any thread. Never throws.
    const std::string &name() const noexcept { return m_setup.name; }
    const TransferLimits &limits() const noexcept { return m_setup.limits; }
    const std::shared_ptr<std::atomic<bool>> &cancelFlag() const noexcept { return m_cancelled; }
    bool cancelRequested() const noexcept { return m_cancelled->load(); }
    bool noCache() const noexcept { return m_setup.noCache; }
    bool secureStart() const noexcept { return m_setup.secureStart; }
    /// Worker thread. When the request may go out. Never throws.
    Clock::time_point startsAt() const noexcept { return m_setup.startsAt; }

    /// Worker thread. The header lines a continuing request adds ("Range: bytes=N-", and
    /// "If-Range: V" where there is a validator); none for a fresh one. Throws std::bad_alloc.
    std::vector<std::string> requestHeaders() const;

    /// Worker thread. Writes the request's line to the support log: url without credentials,
    /// proxy as the runtime tells it, and requestHeaders(). Never throws.
    void logRequest(std::string_view url, std::string_view proxy) const noexcept;

    /// Worker thread. The head of the answer now arriving, read by the runtime one header at a
    /// time; beginAnswer starts a new one at each status line. Never throw.
    ResponseHead &head() noexcept { return m_head; }
    const ResponseHead &head() const noexcept { return m_head; }
    void beginAnswer(int status) noexcept;
    /// Worker thread, at the end of the final answer's headers (a runtime that follows
    /// redirects itself calls it for every answer). Refuses a redirect from https to http, and
    /// for a 200 or 206 decides whether the body may come: its range, coding, framing and size.
    /// A 200 to a continuing request empties the file first. chunksTold says whether the
    /// network library tells a chunked body's end from a cut. Returns false, the failure set,
    /// when the transfer must end. Never throws.
    bool acceptHead(bool chunksTold) noexcept;
    /// Worker thread. Whether the final answer's body is being taken. Never throws.
    bool bodyAccepted() const noexcept { return m_accepted; }
    /// Worker thread. Takes a piece of the body into the file. Returns false, the failure set,
    /// when the transfer must end. Never throws.
    bool takeBody(const char *data, std::size_t size) noexcept;
    /// Worker thread. Whether the answer's body ended before its announced length. Never throws.
    bool bodyShort() const noexcept;

    /// Worker thread. Whether the transfer may go on at now: not cancelled, within its deadline,
    /// its body neither stalled nor under the low-speed floor. Returns false, the failure set,
    /// when it must end. Never throws.
    bool checkTime(Clock::time_point now) noexcept;
    /// Worker thread. When checkTime must run next should nothing arrive; max() for never.
    /// Never throws.
    Clock::time_point nextCheck() const noexcept;

    /// Worker thread. Ends the transfer as failed with kind (the first failure stands); detail
    /// is the platform's error code for a write failure. Never throws.
    void fail(TransferError kind, int detail = 0) noexcept;
    /// Worker thread. The failure so far; None while there is none. Never throws.
    TransferError error() const noexcept { return m_error; }

    /// Worker thread, once. The final record: the file flushed and kept, or failed with its kind
    /// and sentence, the file discarded or handed on as a partial download a later attempt may
    /// continue. otherText is the network library's own words for a failure of kind Other.
    /// Throws only std::bad_alloc, the file discarded.
    AsyncProperty conclude(const std::string &otherText);

    /// Worker thread. Body bytes counted from the file's first byte; bytes expected in all (0
    /// while unknown). Never throw.
    std::int64_t bytesReceived() const noexcept { return m_received; }
    std::int64_t bytesExpected() const noexcept { return m_expected; }
    bool bodyStarted() const noexcept { return m_bodyStarted; }

    /// Worker thread. A progress record when the counts changed and the interval passed (or
    /// force); none otherwise. Throws std::bad_alloc.
    std::optional<AsyncProperty> progress(Clock::time_point now, bool force);
    /// Worker thread. When held-back counts fall due; max() when none are held back. Never
    /// throws.
    Clock::time_point progressDue() const noexcept;

private:
    std::string sentence(const std::string &otherText) const;
    std::string lostText() const;
    std::int64_t cap() const noexcept;

    Setup m_setup;
    const std::shared_ptr<std::atomic<bool>> m_cancelled;
    ResponseHead m_head;
    std::string m_validator;
    bool m_accepted = false;
    bool m_bodyStarted = false;
    std::int64_t m_received = 0;
    std::int64_t m_expected = 0;
    std::int64_t m_answerBody = 0;
    bool m_announced = false; // a TooLarge that was announced rather than sent
    TransferError m_error = TransferError::None;
    int m_detail = 0;
    std::int64_t m_lastCount = -1;
    Clock::time_point m_lastActiveAt;
    std::int64_t m_floorCount = 0;
    Clock::time_point m_floorFrom;
    Reported m_reported;
};

/// The UI thread's record of a reader's running transfers, and the files of completions on
/// their way to it. A transfer's entry lasts until its completion is delivered.
class Pending
{
public:
    /// UI thread. Removes the files of completions never delivered. Never throws.
    ~Pending();

    /// UI thread. A new entry for name, with its cancel flag. Throws std::bad_alloc.
    std::shared_ptr<std::atomic<bool>> add(const std::string &name);
    /// UI thread. Drops name's entry if flag is its own. Never throws.
    void drop(const std::string &name, const std::shared_ptr<std::atomic<bool>> &flag) noexcept;
    /// UI thread. Sets name's cancel flag; false for an unknown name. Never throws.
    bool cancel(const std::string &name) noexcept;
    /// UI thread. Sets every cancel flag. Never throws.
    void cancelAll() noexcept;
    /// UI thread. Whether name runs. Never throws.
    bool isRunning(const std::string &name) const noexcept;
    /// Worker thread. A successful completion's file is on its way to the UI thread. Throws
    /// std::bad_alloc.
    void noteHandOver(const std::filesystem::path &file);
    /// UI thread, as a completion is delivered. Drops the entry and hands the file (if any) over
    /// to the receiver for good. Never throws.
    void settle(const std::string &name, const std::shared_ptr<std::atomic<bool>> &flag,
                const std::filesystem::path &file) noexcept;

private:
    std::unordered_map<std::string, std::shared_ptr<std::atomic<bool>>> m_running; // UI thread
    std::mutex m_mutex;
    std::vector<std::filesystem::path> m_handedOver; // guarded by m_mutex
};

} // namespace runtime::transfer
