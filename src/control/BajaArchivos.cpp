#include "BajaArchivos.h"

#include "FacePicture.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"
#include "runtime/Statement.h"
#include "runtime/Text.h"

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
    const auto start = [&] {
        m_reader->start(sWWWFile, runtime::AsyncReader::kKindFile, sId,
                        runtime::AsyncReader::kOptionForceUpdate,
                        folder.empty() ? std::filesystem::path(".")
                                       : runtime::pathFromUtf8(folder));
    };
    const auto expected = m_expected.find(sId);
    if (expected == m_expected.end()) {
        start();
        return;
    }
    // A transfer takes the limits in force as it starts: this one is capped at the signed size
    // and hashed as it is written; the others are left as they were.
    const runtime::TransferLimits saved = runtime::transferLimits();
    runtime::TransferLimits limits = saved;
    limits.signedBytes = expected->second.size;
    runtime::setTransferLimits(limits);
    try {
        start();
    } catch (...) {
        runtime::setTransferLimits(saved);
        throw;
    }
    runtime::setTransferLimits(saved);
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

void BajaArchivos::UserControl_ReadComplete(const runtime::AsyncProperty &AsyncProp)
{
    DownloadResult result;
    result.failure = AsyncProp.failure();
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
