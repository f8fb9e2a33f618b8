#include "BajaArchivos.h"

#include "FacePicture.h"
#include "platform/Files.h"
#include "platform/PlatformError.h"
#include "platform/Statement.h"
#include "platform/Twips.h"

#include <QPainter>
#include <QResizeEvent>

namespace {

constexpr int kFacePixels = platform::twipsToPixels(BajaArchivos::kFaceTwips);

} // namespace

BajaArchivos::BajaArchivos(QWidget *parent) : QWidget(parent), m_face(downloadControlFace())
{
    // The face is fixed; a container's resize is taken back in UserControl_Resize as well.
    setFixedSize(kFacePixels, kFacePixels);
    setAttribute(Qt::WA_TranslucentBackground);
    connect(&m_reader, &platform::AsyncReader::readProgress, this,
            &BajaArchivos::UserControl_ReadProgress);
    connect(&m_reader, &platform::AsyncReader::readComplete, this,
            &BajaArchivos::UserControl_ReadComplete);
}

BajaArchivos::~BajaArchivos() = default;

platform::KeyedCollection &BajaArchivos::downloads()
{
    if (!colDownloads)
        colDownloads.emplace();
    return *colDownloads;
}

void BajaArchivos::Download(const QString &sWWWFile, const QString &sDestination,
                            const QString &sId)
{
    downloads().add(sDestination, sId);
    // The temporary file lives beside the destination, so the final move is one rename on one
    // file system and never a copy.
    const QString folder = platform::folderOf(sDestination);
    m_reader.start(sWWWFile, platform::AsyncReader::kKindFile, sId,
                   platform::AsyncReader::kOptionForceUpdate,
                   folder.isEmpty() ? QStringLiteral(".") : folder);
}

void BajaArchivos::CancelDownload(const QString &sId)
{
    m_reader.cancel(sId);
}

DownloadResult BajaArchivos::lastResult(const QString &sId) const
{
    const auto it = m_results.find(sId);
    if (it == m_results.end())
        throw platform::PlatformError(
            QStringLiteral("no download under \"%1\" has completed").arg(sId));
    return it->second;
}

void BajaArchivos::UserControl_ReadProgress(const platform::AsyncProperty &AsyncProp)
{
    const int downloaded = AsyncProp.BytesRead();
    const int total = AsyncProp.BytesMax();
    const QString id = AsyncProp.PropertyName();
    Q_EMIT Progress(downloaded, total, id);
}

void BajaArchivos::UserControl_ReadComplete(const platform::AsyncProperty &AsyncProp)
{
    DownloadResult result;
    result.failure = AsyncProp.failure();
    std::string moveFailure;

    // Move the file into place. A failed transfer's Value() throws, so nothing is moved.
    platform::runStatement(
        [&] {
            result.temporary = AsyncProp.Value();
            result.destination = downloads().item(AsyncProp.PropertyName());
            platform::renameNoReplace(result.temporary, result.destination);
            result.temporary.clear();
            result.inPlace = true;
            platform::syncFolder(platform::folderOf(result.destination));
        },
        &moveFailure);
    if (result.inPlace && !moveFailure.empty()) {
        // The rename happened; only making the new name durable failed.
        result.syncFailure = QString::fromStdString(moveFailure);
    } else if (!result.inPlace && !result.temporary.isEmpty()) {
        // The data stays in the temporary file: an existing destination is never overwritten,
        // and the host may still want what it waited for.
        result.failure = QStringLiteral("the download could not be moved into place (%1)")
                             .arg(QString::fromStdString(moveFailure));
    }

    // Forget the key.
    platform::runStatement([&] { downloads().remove(AsyncProp.PropertyName()); });

    // Report.
    platform::runStatement([&] {
        const int bytes = AsyncProp.BytesRead();
        const QString id = AsyncProp.PropertyName();
        m_results[id] = result;
        Q_EMIT Completed(bytes, id);
    });
}

void BajaArchivos::UserControl_Resize()
{
    if (height() != kFacePixels)
        resize(width(), kFacePixels);
    if (width() != kFacePixels)
        resize(kFacePixels, height());
}

void BajaArchivos::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    UserControl_Resize();
}

void BajaArchivos::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    painter.drawPixmap(rect(), m_face);
}
