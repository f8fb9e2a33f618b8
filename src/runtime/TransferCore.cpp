#include "TransferCore.h"

#include "ExitRemoval.h"
#include "RuntimeError.h"
#include "SupportLog.h"
#include "Text.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

namespace runtime::transfer {

namespace {

using namespace std::chrono_literals;

// Writing through a buffer of its own turns the network library's small pieces into few large
// writes.
constexpr std::size_t kBufferSize = 1024 * 1024;
constexpr auto kProgressInterval = 33ms;

/// What a failed attempt leaves for the next: the file with its bytes, kept open, and what
/// names the server's version of it.
class PartialFile final : public PartialDownload
{
public:
    PartialFile(std::unique_ptr<BodyFile> file, std::int64_t bytes, std::int64_t total,
                std::string validator)
        : m_file(std::move(file)), m_bytes(bytes), m_total(total), m_validator(std::move(validator))
    {}
    ~PartialFile() override { discard(); }

    void discard() noexcept override
    {
        if (m_file)
            m_file->discard();
        m_file.reset();
    }

    std::int64_t bytes() const noexcept override { return m_bytes; }
    std::int64_t total() const noexcept override { return m_total; }
    const std::string &validator() const noexcept override { return m_validator; }

    bool taken() const noexcept { return !m_file; }
    std::unique_ptr<BodyFile> take() noexcept { return std::move(m_file); }

private:
    std::unique_ptr<BodyFile> m_file;
    const std::int64_t m_bytes;
    const std::int64_t m_total;
    const std::string m_validator;
};

/// Failures after which the bytes so far are worth keeping: the connection or the server had a
/// bad moment, and the file on the server may well be the same next time.
bool interrupted(TransferError kind) noexcept
{
    return isTransient(kind) || kind == TransferError::HttpStatus;
}

std::string wholeSeconds(std::chrono::milliseconds duration)
{
    const std::int64_t seconds =
        std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::seconds>(duration).count());
    return countOf(seconds, "second", "seconds");
}

} // namespace

int BodyFile::prepare(std::int64_t length) noexcept
{
    if (length > 0) {
        if (const int error = reserve(length); error != 0)
            return error;
    }
    if (!m_buffer)
        m_buffer.reset(new (std::nothrow) char[kBufferSize]);
    return m_buffer ? 0 : outOfMemory();
}

int BodyFile::append(const char *data, std::size_t size) noexcept
{
    if (!m_buffer) {
        if (const int error = prepare(0); error != 0)
            return error;
    }
    // Hashed while the network library's piece is still in the cache, never read back later.
    if (m_hash)
        m_hash->update(std::string_view(data, size));
    std::size_t taken = 0;
    while (taken < size) {
        const std::size_t piece = std::min(size - taken, kBufferSize - m_buffered);
        std::memcpy(m_buffer.get() + m_buffered, data + taken, piece);
        m_buffered += piece;
        taken += piece;
        if (m_buffered == kBufferSize) {
            if (const int error = flushBuffer(); error != 0)
                return error;
        }
    }
    return 0;
}

int BodyFile::flushBuffer() noexcept
{
    if (m_buffered == 0)
        return 0;
    const int error = writeThrough(m_buffer.get(), m_buffered);
    m_buffered = 0;
    return error;
}

int BodyFile::restart() noexcept
{
    m_buffered = 0;
    if (m_hash) {
        try {
            m_hash = m_makeHash();
        } catch (...) {
            m_hash.reset();
            return outOfMemory();
        }
    }
    return truncateToZero();
}

int BodyFile::finish() noexcept
{
    const int flushError = flushBuffer();
    m_buffer.reset();
    const int closeError = syncAndClose();
    return flushError != 0 ? flushError : closeError;
}

std::optional<Sha256Digest> BodyFile::finishHash()
{
    if (!m_hash)
        return std::nullopt;
    const std::unique_ptr<Sha256> hash = std::move(m_hash);
    return hash->finish();
}

void BodyFile::releaseBuffers() noexcept
{
    m_buffer.reset();
    m_buffered = 0;
    m_hash.reset();
    m_makeHash = nullptr;
}

void checkKind(const TransferAttempt &attempt)
{
    if (attempt.kind != AsyncReader::kKindFile) {
        throw RuntimeError(ErrorKind::Refused,
                           "a read of kind " + std::to_string(attempt.kind) + " is not supported");
    }
}

void checkFree(const TransferAttempt &attempt, bool running)
{
    if (running) {
        throw RuntimeError(ErrorKind::Busy,
                           "a download named \"" + attempt.name + "\" is already running");
    }
}

Setup setUp(TransferAttempt &attempt, bool secureStart, const FileMaker &makeFile,
            std::unique_ptr<Sha256> (*makeHash)())
{
    Setup setup;
    setup.name = attempt.name;
    setup.limits = attempt.limits;
    setup.noCache = (attempt.options & AsyncReader::kOptionForceUpdate) != 0;
    setup.secureStart = secureStart;
    setup.startsAt = Clock::now() + std::max(attempt.delay, std::chrono::milliseconds(0));
    setup.deadline = attempt.deadline;
    if (attempt.resume) {
        auto *const partial = dynamic_cast<PartialFile *>(attempt.resume.get());
        if (!partial || partial->taken())
            throw RuntimeError(ErrorKind::Refused, "the download to continue is no longer there");
        setup.resumeFrom = partial->bytes();
        setup.resumeTotal = partial->total();
        setup.validator = partial->validator();
        setup.file = partial->take();
        return setup;
    }
    setup.file = makeFile(attempt.tempFolder);
    // Only a signed release's file is hashed; every other transfer costs no more than it did.
    if (setup.limits.signedBytes >= 0)
        setup.file->hashWith(makeHash);
    return setup;
}

Core::Core(Setup setup, std::shared_ptr<std::atomic<bool>> cancelled) noexcept
    : m_setup(std::move(setup)), m_cancelled(std::move(cancelled)), m_received(m_setup.resumeFrom),
      m_expected(m_setup.resumeTotal),
      // A continuing attempt has nothing new to tell until new bytes come.
      m_reported{m_received, m_expected, {}}
{}

std::vector<std::string> Core::requestHeaders() const
{
    if (m_setup.resumeFrom <= 0)
        return {};
    std::vector<std::string> lines{"Range: bytes=" + std::to_string(m_setup.resumeFrom) + "-"};
    // Without a validator only a signed size and hash can tell a changed file, and they will.
    if (!m_setup.validator.empty())
        lines.push_back("If-Range: " + m_setup.validator);
    return lines;
}

void Core::logRequest(std::string_view url, std::string_view proxy) const noexcept
{
    try {
        std::string line = "request " + supportlog::withoutCredentials(url) + ", proxy ";
        line += proxy;
        for (const std::string &header : requestHeaders())
            line += ", " + header;
        supportlog::line(line);
    } catch (...) {
    }
}

void Core::beginAnswer(int status) noexcept
{
    m_head = ResponseHead{};
    m_head.status = status;
    m_accepted = false;
    m_answerBody = 0;
}

bool Core::acceptHead(bool chunksTold) noexcept
{
    if (m_error != TransferError::None)
        return false;
    // Refused before the network library follows it: not even the request goes out in the clear.
    if (m_setup.secureStart && m_head.redirectsToPlainHttp()) {
        fail(TransferError::InsecureRedirect);
        return false;
    }
    const int status = m_head.status;
    if (status != 200 && status != 206)
        return true;
    std::int64_t total = m_head.lengthTells() ? m_head.length : 0;
    if (status == 206) {
        const std::int64_t from = m_setup.resumeFrom;
        const bool fits =
            from > 0 && m_head.rangeKnown && !m_head.rangeInvalid && m_head.rangeFirst == from &&
            m_head.rangeComplete > 0 && m_head.rangeLast == m_head.rangeComplete - 1 &&
            (m_setup.resumeTotal <= 0 || m_head.rangeComplete == m_setup.resumeTotal) &&
            (!m_head.lengthTells() || m_head.length == m_head.rangeLast - from + 1);
        if (!fits) {
            fail(TransferError::BadRange);
            return false;
        }
        total = m_head.rangeComplete;
    } else if (m_received > 0) {
        // The range was not granted, or the file changed: it comes whole, from its first byte.
        if (const int error = m_setup.file->restart(); error != 0) {
            fail(TransferError::WriteFailed, error);
            return false;
        }
        m_received = 0;
        m_expected = 0;
        m_setup.resumeFrom = 0;
    }
    const BodyEnd end = m_head.bodyEnd();
    if (!m_head.unrequestedCoding().empty())
        fail(TransferError::Encoded);
    else if (end == BodyEnd::LengthAndChunks)
        fail(TransferError::LengthAndChunks);
    else if (total > cap()) {
        m_announced = true;
        fail(TransferError::TooLarge);
    }
    // Ended only by the connection closing, such a body cannot be told from one that was cut;
    // refused at once, an endless one costs nothing either. Where the network library cannot
    // tell a chunked body's end from a cut, only a signed size and hash can judge it afterwards.
    else if (end == BodyEnd::Closing ||
             (end == BodyEnd::Chunks && !chunksTold && m_setup.limits.signedBytes < 0))
        fail(TransferError::Unframed);
    if (m_error != TransferError::None)
        return false;
    m_accepted = true;
    m_expected = total;
    if (status == 200) {
        try {
            m_validator = std::string(m_head.validator());
        } catch (...) {
            m_validator.clear(); // without it the bytes are only not continued
        }
    } else {
        m_validator = m_setup.validator;
    }
    return true;
}

bool Core::takeBody(const char *data, std::size_t size) noexcept
{
    if (m_cancelled->load(std::memory_order_relaxed)) {
        fail(TransferError::Cancelled);
        return false;
    }
    // Whatever answer a piece belongs to, only the accepted one's body may reach the file.
    if (!m_accepted) {
        fail(TransferError::HttpStatus);
        return false;
    }
    if (m_received + static_cast<std::int64_t>(size) > cap()) {
        fail(TransferError::TooLarge);
        return false;
    }
    if (!m_bodyStarted) {
        m_bodyStarted = true;
        if (const int error =
                m_setup.file->prepare(std::max<std::int64_t>(0, m_expected - m_received));
            error != 0) {
            fail(TransferError::WriteFailed, error);
            return false;
        }
    }
    if (const int error = m_setup.file->append(data, size); error != 0) {
        fail(TransferError::WriteFailed, error);
        return false;
    }
    m_received += static_cast<std::int64_t>(size);
    m_answerBody += static_cast<std::int64_t>(size);
    return true;
}

bool Core::bodyShort() const noexcept
{
    return m_accepted && m_head.lengthTells() && m_answerBody < m_head.length;
}

bool Core::checkTime(Clock::time_point now) noexcept
{
    if (m_error != TransferError::None)
        return false;
    if (cancelRequested()) {
        fail(TransferError::Cancelled);
        return false;
    }
    if (m_setup.deadline && now >= *m_setup.deadline) {
        fail(TransferError::OutOfTime);
        return false;
    }
    if (!m_bodyStarted)
        return true;
    if (m_received != m_lastCount) {
        if (m_lastCount < 0) {
            m_floorFrom = now;
            m_floorCount = m_received;
        }
        m_lastCount = m_received;
        m_lastActiveAt = now;
    } else if (now - m_lastActiveAt >= m_setup.limits.stallTimeout) {
        fail(TransferError::Stalled);
        return false;
    }
    const TransferLimits &limits = m_setup.limits;
    if (limits.lowSpeedBytes > 0 && now - m_floorFrom >= limits.lowSpeedPeriod) {
        if (m_received - m_floorCount < limits.lowSpeedBytes) {
            fail(TransferError::TooSlow);
            return false;
        }
        m_floorFrom = now;
        m_floorCount = m_received;
    }
    return true;
}

Clock::time_point Core::nextCheck() const noexcept
{
    if (m_error != TransferError::None)
        return Clock::time_point::max();
    Clock::time_point next = m_setup.deadline.value_or(Clock::time_point::max());
    if (m_bodyStarted && m_lastCount >= 0) {
        next = std::min(next, m_lastActiveAt + m_setup.limits.stallTimeout);
        if (m_setup.limits.lowSpeedBytes > 0)
            next = std::min(next, m_floorFrom + m_setup.limits.lowSpeedPeriod);
    }
    return next;
}

void Core::fail(TransferError kind, int detail) noexcept
{
    if (m_error != TransferError::None)
        return;
    m_error = kind;
    m_detail = detail;
}

AsyncProperty Core::conclude(const std::string &otherText)
{
    BodyFile &file = *m_setup.file;
    if (m_error == TransferError::None) {
        if (cancelRequested())
            fail(TransferError::Cancelled);
        else if (!m_accepted)
            fail(TransferError::HttpStatus);
        else if (bodyShort())
            fail(TransferError::Cut);
    }
    std::optional<Sha256Digest> digest;
    std::string failure;
    try {
        if (m_error == TransferError::None) {
            if (const int error = file.finish(); error != 0) {
                fail(TransferError::WriteFailed, error);
            } else {
                try {
                    digest = file.finishHash();
                } catch (const RuntimeError &hashFailure) {
                    failure =
                        std::string("the download could not be hashed: ") + hashFailure.what();
                    fail(TransferError::WriteFailed);
                }
            }
        }
        if (m_error == TransferError::WriteFailed && file.isDiskFull(m_detail))
            m_error = TransferError::DiskFull;
        if (m_error != TransferError::None && failure.empty())
            failure = sentence(otherText);
    } catch (...) {
        file.discard();
        throw;
    }

    TransferEnd end;
    end.error = m_error;
    end.httpStatus = m_head.status;
    end.retryAfterSeconds = static_cast<int>(std::min<std::int64_t>(m_head.retryAfter, 86400));
    if (m_error == TransferError::None) {
        const std::filesystem::path kept = file.keep();
        return AsyncProperty(m_setup.name, m_received, m_expected, kept, {}, digest, end);
    }
    // The bytes so far go to the next attempt only where something will tell whether they still
    // belong to the same file: the server's validator, or a signed size and hash.
    const std::string &validator = m_accepted ? m_validator : m_setup.validator;
    if (interrupted(m_error) && m_received > 0 && (!validator.empty() || file.hashes())) {
        end.partial = std::make_shared<PartialFile>(std::move(m_setup.file), m_received, m_expected,
                                                    validator);
    } else {
        file.discard();
    }
    // A refused body was never taken, so its announced length is no count the user should see.
    const std::int64_t expected = m_accepted ? m_expected : m_setup.resumeTotal;
    return AsyncProperty(m_setup.name, m_received, expected, {}, failure, std::nullopt,
                         std::move(end));
}

std::int64_t Core::cap() const noexcept
{
    return bodyCap(m_setup.limits);
}

std::string Core::lostText() const
{
    if (m_expected > 0) {
        return "the connection was lost after " + groupedCount(m_received) + " of " +
               groupedCount(m_expected) + " bytes";
    }
    if (m_bodyStarted || m_received > 0)
        return "the connection was lost after " + groupedCount(m_received) + " bytes";
    return "the connection to the server was lost";
}

std::string Core::sentence(const std::string &otherText) const
{
    const TransferLimits &limits = m_setup.limits;
    switch (m_error) {
    case TransferError::None:
        return {};
    case TransferError::Cancelled:
        return "the download was cancelled";
    case TransferError::NameNotFound:
        return m_detail != 0 ? "the proxy server's name could not be found"
                             : "the server's name could not be found";
    case TransferError::ConnectFailed:
    case TransferError::ConnectTimedOut:
        return "could not connect to the server";
    case TransferError::NoAnswer:
        return "the server closed the connection without answering";
    case TransferError::Cut:
    case TransferError::Reset:
        return lostText();
    case TransferError::Stalled:
        return "the server stopped sending data";
    case TransferError::TooSlow:
        return "the server sent fewer than " + groupedCount(limits.lowSpeedBytes) + " bytes in " +
               wholeSeconds(limits.lowSpeedPeriod);
    case TransferError::OutOfTime:
        return "the download ran out of time";
    case TransferError::Tls:
        return "a secure connection to the server could not be established";
    case TransferError::Certificate:
        return "the server's certificate could not be verified";
    case TransferError::HttpStatus:
        return "the server answered " + std::to_string(m_head.status);
    case TransferError::BadAnswer:
        return "the server's answer could not be understood";
    case TransferError::Encoded:
        return "the server sent the file compressed (" + std::string(m_head.unrequestedCoding()) +
               "), which was not asked for";
    case TransferError::Unframed:
        return "the server did not say how long the file is, so a cut connection could not be "
               "told from the end of the file";
    case TransferError::LengthAndChunks:
        return "the server sent both a length and chunks, so the end of the file could not be "
               "told";
    case TransferError::TooLarge: {
        const char *verb = m_announced ? "announced" : "sent";
        if (capIsSigned(limits)) {
            return std::string("the server ") + verb + " more than the " +
                   groupedCount(limits.signedBytes) + " bytes the release names";
        }
        return std::string("the server ") + verb + " more than " + groupedCount(limits.maxBytes) +
               " bytes";
    }
    case TransferError::InsecureRedirect:
        return "the server redirected the download from https to an insecure http address";
    case TransferError::RedirectLoop:
        return "the server's redirects go round in a loop";
    case TransferError::RedirectNotWeb:
        return "the server redirected to an address that is not http or https";
    case TransferError::BadRange:
        return m_setup.resumeFrom > 0
                   ? "the server sent another part of the file than the one asked for"
                   : "the server sent a part of the file when the whole was asked for";
    case TransferError::WriteFailed:
    case TransferError::DiskFull:
        return "the download could not be written: " + m_setup.file->errorText(m_detail);
    case TransferError::Other:
        break;
    }
    return otherText.empty() ? "the download failed" : otherText;
}

std::optional<AsyncProperty> Core::progress(Clock::time_point now, bool force)
{
    if (m_received == m_reported.read && m_expected == m_reported.max)
        return std::nullopt;
    if (!force && now - m_reported.at < kProgressInterval)
        return std::nullopt;
    m_reported = {m_received, m_expected, now};
    return AsyncProperty(m_setup.name, m_received, m_expected, {}, {});
}

Clock::time_point Core::progressDue() const noexcept
{
    if (m_received == m_reported.read && m_expected == m_reported.max)
        return Clock::time_point::max();
    return m_reported.at + kProgressInterval;
}

Pending::~Pending()
{
    // Completions still queued die with the reader, and nobody else knows their files.
    const std::lock_guard lock(m_mutex);
    for (const std::filesystem::path &file : m_handedOver) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        temporary::forgetAtExit(file);
    }
}

std::shared_ptr<std::atomic<bool>> Pending::add(const std::string &name)
{
    auto flag = std::make_shared<std::atomic<bool>>(false);
    m_running.emplace(name, flag);
    return flag;
}

void Pending::drop(const std::string &name, const std::shared_ptr<std::atomic<bool>> &flag) noexcept
{
    // Matched by flag as well, so that no notification can end another transfer's entry.
    const auto found = m_running.find(name);
    if (found != m_running.end() && found->second == flag)
        m_running.erase(found);
}

bool Pending::cancel(const std::string &name) noexcept
{
    const auto found = m_running.find(name);
    if (found == m_running.end())
        return false;
    found->second->store(true);
    return true;
}

void Pending::cancelAll() noexcept
{
    for (const auto &[name, flag] : m_running)
        flag->store(true);
}

bool Pending::isRunning(const std::string &name) const noexcept
{
    return m_running.find(name) != m_running.end();
}

void Pending::noteHandOver(const std::filesystem::path &file)
{
    const std::lock_guard lock(m_mutex);
    m_handedOver.push_back(file);
}

void Pending::settle(const std::string &name, const std::shared_ptr<std::atomic<bool>> &flag,
                     const std::filesystem::path &file) noexcept
{
    drop(name, flag);
    if (file.empty())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_handedOver.erase(std::remove(m_handedOver.begin(), m_handedOver.end(), file),
                           m_handedOver.end());
    }
    // From here on the file is the receiver's, to keep or move even past an exit.
    temporary::forgetAtExit(file);
}

} // namespace runtime::transfer
