#include "TemporaryFile.h"
#include "Transfer.h"
#include "TransferWorker.h"
#include "runtime/Application.h"
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
        : m_worker(m_context,
                   std::make_shared<const transfer::ReaderHandlers>(
                       transfer::ReaderHandlers{std::move(onProgress), std::move(onComplete)}))
    {}

    using AsyncReader::start;

    void start(TransferAttempt attempt) override
    {
        transfer::checkKind(attempt);
        const QUrl url(QString::fromStdString(attempt.target));
        const QString scheme = url.scheme();
        const bool secure = scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
        const bool webScheme =
            secure || scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0;
        if (!url.isValid() || !webScheme || url.host().isEmpty()) {
            throw RuntimeError(ErrorKind::Refused,
                               attempt.target + " is not an http or https address");
        }
        transfer::checkFree(attempt, m_worker.isRunning(attempt.name));

        TransferRequest request;
        request.url = url.toEncoded(QUrl::RemoveFragment).toStdString();
        request.authorityFile = extraAuthorityFile().string();
        request.userAgent = applicationName();
        request.setup = transfer::setUp(
            attempt, secure,
            [](const std::filesystem::path &folder) -> std::unique_ptr<transfer::BodyFile> {
                return TemporaryFile::create(folder);
            },
            &createSha256);
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
