#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>

namespace platform {

/// The record a transfer hands over with each notification. A plain value: copied across
/// threads, never shared.
class AsyncProperty
{
public:
    AsyncProperty() = default;
    AsyncProperty(QString name, std::int32_t bytesRead, std::int32_t bytesMax, QString value,
                  QString failure);

    /// Any thread. Body bytes written so far (saturates at the 32-bit maximum). Never throws.
    std::int32_t BytesRead() const { return m_bytesRead; }
    /// Any thread. Bytes expected in all; 0 while the size is unknown. Never throws.
    std::int32_t BytesMax() const { return m_bytesMax; }
    /// Any thread. The name the transfer was started under. Never throws.
    QString PropertyName() const { return m_name; }
    /// Any thread. At the completion of a successful file read, the full path of the temporary
    /// file holding the data. Throws PlatformError with the failure's reason for a failed or
    /// cancelled transfer, and before completion.
    QString Value() const;
    /// Any thread. Why the transfer failed, "" when it did not (or has not yet). Never throws.
    QString failure() const { return m_failure; }

private:
    QString m_name;
    std::int32_t m_bytesRead = 0;
    std::int32_t m_bytesMax = 0;
    QString m_value;
    QString m_failure;
};

/// Limits that decide when a connection counts as failed. Process-wide; a transfer takes the
/// limits in force when it starts.
struct TransferLimits
{
    std::chrono::milliseconds connectTimeout{std::chrono::seconds(30)};
    /// A transfer that receives nothing for this long has stalled and fails.
    std::chrono::milliseconds stallTimeout{std::chrono::seconds(60)};
    /// Redirects followed before a transfer fails as a loop.
    int maxRedirects = 10;
    /// The largest file accepted, in bytes, itself included: a larger announced length fails at
    /// the headers, a body that grows beyond it fails as soon as it does.
    std::int64_t maxBytes = std::int64_t{4} * 1024 * 1024 * 1024;
};

class TransferWorker;

/// Reads URLs in the background, each into a temporary file, under a name. Transfers run on one
/// worker thread that owns libcurl; every notification arrives on the thread that owns this
/// object (the UI thread), in order per transfer. A temporary file belongs to the facility until
/// its successful readComplete is delivered: it is removed when the reader is destroyed first,
/// and when the program ends through exit() first.
class AsyncReader : public QObject
{
    Q_OBJECT
public:
    /// Kinds of read; only a read into a file is supported.
    static constexpr int kKindFile = 1;
    /// Option: fetch from the server even when a cached copy exists.
    static constexpr int kOptionForceUpdate = 16;

    /// UI thread. Starts the worker thread. Throws PlatformError when libcurl cannot start.
    explicit AsyncReader(QObject *parent = nullptr);
    /// UI thread. Cancels every running transfer, removes their temporary files and those of
    /// completions not yet delivered, stops and joins the worker. Raises no further notification.
    /// Never throws.
    ~AsyncReader() override;

    /// UI thread. Starts reading target (an http or https URL) into a new temporary file in
    /// tempFolder, under name. Returns at once. Throws PlatformError when the read is refused:
    /// a kind other than a file, an address that is not http or https, a name already running,
    /// or a temporary file that cannot be created in tempFolder.
    void start(const QString &target, int kind, const QString &name, int options,
               const QString &tempFolder);

    /// UI thread. Cancels the transfer running under name; it still ends with readComplete,
    /// failed. An unknown name is ignored. Never throws.
    void cancel(const QString &name);

    /// UI thread. Whether a transfer runs under name (until its readComplete). Never throws.
    bool isRunning(const QString &name) const;

    /// Any thread. Whether a file name (no folder) follows the temporary files' naming pattern,
    /// so leftovers of a killed run can be told apart from everything else. Never throws.
    static bool isTemporaryFileName(const QString &fileName);

    /// Any thread. Sets the limits for transfers started afterwards. Never throws.
    static void setLimits(const TransferLimits &limits);
    static TransferLimits limits();

Q_SIGNALS:
    /// More body bytes arrived. Coalesced to about 30 a second per transfer; the latest count
    /// is never held back longer than that, and a last one precedes readComplete.
    void readProgress(const platform::AsyncProperty &record);
    /// The transfer ended: succeeded, failed or cancelled. A failed record's Value() throws and
    /// its temporary file is already gone; a successful one's file is already flushed to disk.
    void readComplete(const platform::AsyncProperty &record);

private:
    std::unique_ptr<TransferWorker> m_worker;
};

} // namespace platform

Q_DECLARE_METATYPE(platform::AsyncProperty)
