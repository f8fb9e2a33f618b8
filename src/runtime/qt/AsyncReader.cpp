#include "TemporaryFile.h"
#include "Transfer.h"
#include "TransferWorker.h"
#include "runtime/AsyncRead.h"
#include "runtime/Crypto.h"
#include "runtime/RuntimeError.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace runtime {

namespace qt {

namespace {

/// The reader of the Linux runtime: validates on the UI thread what it is asked to read, then
/// hands each transfer to its worker, whose notifications arrive as queued calls on a QObject
/// of its own.
class QtAsyncReader final : public AsyncReader
{
public:
    /// UI thread. Throws RuntimeError (Unavailable) when libcurl or the worker cannot start.
    QtAsyncReader(Handler onProgress, Handler onComplete)
        : m_worker(m_context, std::make_shared<const ReaderHandlers>(
                                  ReaderHandlers{std::move(onProgress), std::move(onComplete)}))
    {}

    void start(const std::string &target, int kind, const std::string &name, int options,
               const std::filesystem::path &tempFolder) override
    {
        if (kind != kKindFile) {
            throw RuntimeError(ErrorKind::Refused,
                               "a read of kind " + std::to_string(kind) + " is not supported");
        }
        const QUrl url(QString::fromStdString(target));
        const QString scheme = url.scheme();
        const bool webScheme = scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 ||
                               scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
        if (!url.isValid() || !webScheme || url.host().isEmpty())
            throw RuntimeError(ErrorKind::Refused, target + " is not an http or https address");
        if (m_worker.isRunning(name)) {
            throw RuntimeError(ErrorKind::Busy,
                               "a download named \"" + name + "\" is already running");
        }

        TransferRequest request;
        request.name = name;
        request.url = url.toEncoded(QUrl::RemoveFragment).toStdString();
        request.noCache = (options & kOptionForceUpdate) != 0;
        request.limits = transferLimits();
        request.authorityFile = extraAuthorityFile().string();
        request.file = TemporaryFile::create(tempFolder);
        // Only a signed release's file is hashed; every other transfer costs no more than it did.
        if (request.limits.signedBytes >= 0)
            request.file.hashWith(createSha256());
        m_worker.submit(std::move(request));
    }

    void cancel(const std::string &name) override { m_worker.cancel(name); }

    bool isRunning(const std::string &name) const override { return m_worker.isRunning(name); }

private:
    // Declared first so that it goes last: once the worker is joined, destroying the context
    // drops the notifications still queued on it, also while one of them is being delivered.
    QObject m_context;
    TransferWorker m_worker;
};

} // namespace

} // namespace qt

std::unique_ptr<AsyncReader> createAsyncReader(AsyncReader::Handler onProgress,
                                               AsyncReader::Handler onComplete)
{
    return std::make_unique<qt::QtAsyncReader>(std::move(onProgress), std::move(onComplete));
}

} // namespace runtime
