#include "BajaArchivos.h"

#include "FacePicture.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"
#include "runtime/Statement.h"

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
    m_reader->start(sWWWFile, runtime::AsyncReader::kKindFile, sId,
                    runtime::AsyncReader::kOptionForceUpdate,
                    folder.empty() ? std::filesystem::path(".") : runtime::pathFromUtf8(folder));
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

    // Move the file into place. A failed transfer's Value() throws, so nothing is moved.
    runtime::runStatement(
        [&] {
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
