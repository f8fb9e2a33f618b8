#include "BajaArchivos.h"

#include "FacePicture.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"
#include "runtime/Statement.h"
#include "runtime/SupportLog.h"
#include "runtime/Text.h"

#include <algorithm>
#include <random>

BajaArchivos::BajaArchivos(runtime::Window *container)
    : m_face(runtime::controls().createControlFace(container))
{
    runtime::runStatement([&] { m_face->setPicture(downloadControlFace()); });
    m_face->onResize([this] { UserControl_Resize(); });
    UserControl_Resize();
    m_reader = runtime::createAsyncReader(
        [this](const runtime::AsyncProperty &record) { UserControl_ReadProgress(record); },
        [this](const runtime::AsyncProperty &record) { UserControl_ReadComplete(record); });
}

BajaArchivos::~BajaArchivos() = default;

runtime::KeyedCollection &BajaArchivos::downloads()
{
    if (!colDownloads)
        colDownloads.emplace();
    return *colDownloads;
}

void BajaArchivos::Download(const std::string &sWWWFile, const std::string &sDestination,
                            const std::string &sId)
{
    downloads().add(sDestination, sId);
    // The temporary file lives beside the destination, so the final move is one rename on one
    // file system and never a copy.
    const std::string folder = runtime::folderOf(sDestination);
    Attempts attempts;
    attempts.url = sWWWFile;
    attempts.folder = folder.empty() ? std::filesystem::path(".") : runtime::pathFromUtf8(folder);
    attempts.limits = runtime::transferLimits();
    attempts.deadline = std::chrono::steady_clock::now() + m_policy.budget;
    // A signed release's file is capped at the signed size and hashed as it is written; the
    // others are left as they were.
    if (const auto cap = m_caps.find(sId); cap != m_caps.end()) {
        attempts.limits.maxBytes = std::min(attempts.limits.maxBytes, cap->second);
        m_caps.erase(cap);
    }
    const auto expected = m_expected.find(sId);
    if (expected != m_expected.end())
        attempts.limits.signedBytes = expected->second.size;
    runtime::supportlog::line("download " + sId + ": " +
                              runtime::supportlog::withoutCredentials(sWWWFile));
    m_attempts[sId] = std::move(attempts);
    try {
        startAttempt(sId, nullptr, std::chrono::milliseconds(0));
    } catch (...) {
        m_attempts.erase(sId);
        throw;
    }
}

void BajaArchivos::startAttempt(const std::string &sId,
                                std::shared_ptr<runtime::PartialDownload> resume,
                                std::chrono::milliseconds wait)
{
    Attempts &attempts = m_attempts.at(sId);
    runtime::TransferAttempt attempt;
    attempt.target = attempts.url;
    attempt.kind = runtime::AsyncReader::kKindFile;
    attempt.name = sId;
    attempt.options = runtime::AsyncReader::kOptionForceUpdate;
    attempt.tempFolder = attempts.folder;
    attempt.limits = attempts.limits;
    attempt.resume = std::move(resume);
    attempt.delay = wait;
    attempt.deadline = attempts.deadline;
    m_reader->start(std::move(attempt));
    ++attempts.made;
}

void BajaArchivos::expect(const std::string &sId, std::int64_t size,
                          const runtime::Sha256Digest &sha256)
{
    m_expected[sId] = Expectation{size, sha256};
}

void BajaArchivos::CancelDownload(const std::string &sId)
{
    m_reader->cancel(sId);
}

DownloadResult BajaArchivos::lastResult(const std::string &sId) const
{
    const auto it = m_results.find(sId);
    if (it == m_results.end())
        throw runtime::RuntimeError(runtime::ErrorKind::NotFound,
                                    "no download under \"" + sId + "\" has completed");
    return it->second;
}

void BajaArchivos::UserControl_ReadProgress(const runtime::AsyncProperty &AsyncProp)
{
    const std::int64_t downloaded = AsyncProp.BytesRead();
    const std::int64_t total = AsyncProp.BytesMax();
    const std::string id = AsyncProp.PropertyName();
    if (m_progress)
        m_progress(downloaded, total, id);
}

namespace {

/// Whether a failure may pass when the same request is made again a little later: a bad moment
/// of the network, or a server that says it is busy or had a passing fault.
bool mayPass(const runtime::AsyncProperty &record)
{
    if (runtime::isTransient(record.error()))
        return true;
    const int status = record.httpStatus();
    return record.error() == runtime::TransferError::HttpStatus &&
           (status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
            status == 504);
}

std::string minutesText(std::chrono::milliseconds budget)
{
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(budget).count();
    if (seconds % 60 == 0)
        return runtime::countOf(seconds / 60, "minute", "minutes");
    return runtime::countOf(seconds, "second", "seconds");
}

} // namespace

// A failed attempt that may pass is made again after its wait, continuing its bytes where it
// can, as long as attempts and time remain; the key stays pending throughout and no Completed
// is raised for it.
bool BajaArchivos::retry(const runtime::AsyncProperty &AsyncProp)
{
    const std::string sId = AsyncProp.PropertyName();
    const auto found = m_attempts.find(sId);
    if (found == m_attempts.end() || !mayPass(AsyncProp))
        return false;
    Attempts &attempts = found->second;
    const int made = attempts.made;
    if (made > static_cast<int>(m_policy.waits.size()))
        return false;
    std::chrono::milliseconds wait{0};
    const int retryAfter = AsyncProp.retryAfterSeconds();
    if (retryAfter >= 0 && std::chrono::seconds(retryAfter) <= m_policy.longestRetryAfter) {
        wait = std::chrono::seconds(retryAfter);
    } else {
        const auto base = m_policy.waits[static_cast<std::size_t>(made - 1)];
        std::uniform_real_distribution<double> spread(-m_policy.jitter, m_policy.jitter);
        wait = std::chrono::milliseconds(static_cast<std::int64_t>(
            static_cast<double>(base.count()) * (1.0 + spread(m_random))));
    }
    // A wait that would end past the budget only puts off the same failure.
    if (std::chrono::steady_clock::now() + wait >= attempts.deadline)
        return false;
    RetryNotice notice;
    notice.sId = sId;
    notice.reason = AsyncProp.failure();
    notice.attempt = made + 1;
    notice.attempts = static_cast<int>(m_policy.waits.size()) + 1;
    notice.wait = wait;
    notice.resumeFrom = AsyncProp.partial() ? AsyncProp.partial()->bytes() : 0;
    std::string refused;
    if (!runtime::runStatement([&] { startAttempt(sId, AsyncProp.partial(), wait); }, &refused)) {
        runtime::supportlog::line("download " + sId + ": no further attempt: " + refused);
        return false;
    }
    runtime::supportlog::line("download " + sId + ": attempt " + std::to_string(notice.attempt) +
                              " in " + std::to_string(wait.count()) + " ms, " +
                              (notice.resumeFrom > 0
                                   ? "continuing from byte " + std::to_string(notice.resumeFrom)
                                   : std::string("from the first byte")));
    if (m_retrying)
        runtime::runStatement([&] { m_retrying(notice); });
    return true;
}

void BajaArchivos::logAttempt(const runtime::AsyncProperty &AsyncProp) const
{
    const auto found = m_attempts.find(AsyncProp.PropertyName());
    std::string text = "download " + AsyncProp.PropertyName() + ", attempt " +
                       std::to_string(found == m_attempts.end() ? 0 : found->second.made) +
                       ": status " + std::to_string(AsyncProp.httpStatus()) + ", " +
                       std::to_string(AsyncProp.BytesRead()) + " of " +
                       std::to_string(AsyncProp.BytesMax()) + " bytes, ";
    text += AsyncProp.failure().empty() ? std::string("complete") : AsyncProp.failure();
    if (const auto &partial = AsyncProp.partial())
        text += "; " + std::to_string(partial->bytes()) + " bytes kept, validator " +
                (partial->validator().empty() ? std::string("none") : partial->validator());
    runtime::supportlog::line(text);
}

std::string BajaArchivos::finalReason(const runtime::AsyncProperty &AsyncProp) const
{
    std::string reason = AsyncProp.failure();
    const auto found = m_attempts.find(AsyncProp.PropertyName());
    if (reason.empty() || found == m_attempts.end())
        return reason;
    if (AsyncProp.error() == runtime::TransferError::OutOfTime)
        reason = "the download did not finish within " + minutesText(m_policy.budget);
    if (found->second.made > 1)
        reason += "; gave up after " + std::to_string(found->second.made) + " attempts";
    return reason;
}

void BajaArchivos::UserControl_ReadComplete(const runtime::AsyncProperty &AsyncProp)
{
    runtime::runStatement([&] { logAttempt(AsyncProp); });
    if (retry(AsyncProp))
        return;
    // Bytes nobody will continue go now; the host may end the program before the record goes.
    if (AsyncProp.partial())
        AsyncProp.partial()->discard();
    DownloadResult result;
    result.failure = finalReason(AsyncProp);
    result.error = AsyncProp.error();
    if (const auto found = m_attempts.find(AsyncProp.PropertyName()); found != m_attempts.end())
        result.attempts = found->second.made;
    m_attempts.erase(AsyncProp.PropertyName());
    std::string moveFailure;

    // Hold the file to what was vouched for, if anything was: one that is not is removed, never
    // moved.
    runtime::runStatement([&] {
        const auto expected = m_expected.find(AsyncProp.PropertyName());
        if (expected == m_expected.end())
            return;
        const Expectation expectation = expected->second;
        m_expected.erase(expected);
        if (!result.failure.empty())
            return;
        if (AsyncProp.BytesRead() != expectation.size)
            result.failure = "the downloaded file has " +
                             runtime::groupedCount(AsyncProp.BytesRead()) + " bytes, not the " +
                             runtime::groupedCount(expectation.size) + " bytes its release names";
        else if (!AsyncProp.Sha256() || *AsyncProp.Sha256() != expectation.sha256)
            result.failure = "the downloaded file does not match its signed hash";
        if (!result.failure.empty())
            runtime::runStatement([&] { runtime::deleteFile(AsyncProp.Value()); });
    });

    // Move the file into place. A failed transfer's Value() throws, so nothing is moved.
    runtime::runStatement(
        [&] {
            if (!result.failure.empty())
                throw runtime::RuntimeError(runtime::ErrorKind::Failed, result.failure);
            result.temporary = runtime::utf8FromPath(AsyncProp.Value());
            result.destination = downloads().item(AsyncProp.PropertyName());
            runtime::renameNoReplace(runtime::pathFromUtf8(result.temporary),
                                     runtime::pathFromUtf8(result.destination));
            result.temporary.clear();
            result.inPlace = true;
            const std::string folder = runtime::folderOf(result.destination);
            runtime::syncFolder(runtime::pathFromUtf8(folder.empty() ? "." : folder));
        },
        &moveFailure);
    if (result.inPlace && !moveFailure.empty()) {
        // The rename happened; only making the new name durable failed.
        result.syncFailure = moveFailure;
    } else if (!result.inPlace && !result.temporary.empty()) {
        // The data stays in the temporary file: an existing destination is never overwritten,
        // and the host may still want what it waited for.
        result.failure = "the download could not be moved into place (" + moveFailure + ")";
    }

    // Forget the key.
    runtime::runStatement([&] { downloads().remove(AsyncProp.PropertyName()); });

    // Report.
    runtime::runStatement([&] {
        const std::int64_t bytes = AsyncProp.BytesRead();
        const std::string id = AsyncProp.PropertyName();
        m_results[id] = result;
        if (m_completed)
            m_completed(bytes, id);
    });
}

void BajaArchivos::UserControl_Resize()
{
    m_face->setSize(kFaceTwips, kFaceTwips);
}
