#pragma once

#include "platform/AsyncReader.h"
#include "platform/KeyedCollection.h"

#include <QPixmap>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <map>
#include <optional>

/// How a transfer ended, as far as the control knows: whether its file was moved into place and,
/// if not, why and where its data is.
struct DownloadResult
{
    bool inPlace = false;
    QString destination;
    /// One short sentence, "" when the file is in place.
    QString failure;
    /// Where the downloaded data still is when it could not be moved into place (a file already
    /// at the destination is never overwritten): the transfer's temporary file, now the host's to
    /// use or remove. "" when the file is in place or the transfer failed.
    QString temporary;
    /// Why the destination's folder could not be flushed to disk after the file was moved into
    /// place, "" when it was; the file is in place either way.
    QString syncFailure;
};

/// A control that fetches files from URLs in the background, each to a destination under a
/// string key, and moves each finished file into place with one rename. It never reads or copies
/// the downloaded bytes itself. UI thread only.
class BajaArchivos : public QWidget
{
    Q_OBJECT
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

    /// UI thread. Throws PlatformError when the transfer facility cannot start.
    explicit BajaArchivos(QWidget *parent = nullptr);
    ~BajaArchivos() override;

    /// UI thread. Fetches sWWWFile into the file sDestination under the key sId and returns at
    /// once. Throws PlatformError when sId is already pending (nothing is started or touched)
    /// or when the transfer is refused (the key then stays pending until a completion).
    void Download(const QString &sWWWFile, const QString &sDestination,
                  const QString &sId = QStringLiteral("Id"));

    /// UI thread. Cancels the transfer named sId; it still completes, failed. An unknown name is
    /// ignored. Never throws.
    void CancelDownload(const QString &sId = QStringLiteral("Id"));

    /// UI thread. How the last completed transfer under sId ended; set before its Completed is
    /// raised. Throws PlatformError when no transfer under sId has completed.
    DownloadResult lastResult(const QString &sId) const;

Q_SIGNALS:
    /// Raised synchronously for every progress notification, counts as the transfer reports
    /// them; TotalBytes is 0 while the size is unknown.
    void Progress(int DownLoadedBytes, int TotalBytes, QString sId);
    /// Raised synchronously when the transfer under sId is over and the key is free again; it
    /// does not say the file is in place (see lastResult).
    void Completed(int Bytes, QString sId);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void UserControl_ReadProgress(const platform::AsyncProperty &AsyncProp);
    void UserControl_ReadComplete(const platform::AsyncProperty &AsyncProp);
    void UserControl_Resize();
    platform::KeyedCollection &downloads();

    platform::AsyncReader m_reader;
    std::optional<platform::KeyedCollection> colDownloads;
    std::map<QString, DownloadResult> m_results;
    QPixmap m_face;
};
