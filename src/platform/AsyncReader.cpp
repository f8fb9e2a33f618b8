#include "AsyncReader.h"

#include "PlatformError.h"
#include "TransferWorker.h"

#include <QUrl>
#include <mutex>

namespace platform {

namespace {

struct LimitsStore
{
    std::mutex mutex;
    TransferLimits limits;
};

LimitsStore &limitsStore()
{
    static LimitsStore store;
    return store;
}

bool isAsciiAlphanumeric(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
}

} // namespace

AsyncProperty::AsyncProperty(QString name, std::int32_t bytesRead, std::int32_t bytesMax,
                             QString value, QString failure)
    : m_name(std::move(name)), m_bytesRead(bytesRead), m_bytesMax(bytesMax),
      m_value(std::move(value)), m_failure(std::move(failure))
{}

QString AsyncProperty::Value() const
{
    if (!m_failure.isEmpty())
        throw PlatformError(m_failure);
    if (m_value.isEmpty())
        throw PlatformError("the download has not finished yet");
    return m_value;
}

AsyncReader::AsyncReader(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<platform::AsyncProperty>();
    m_worker = std::make_unique<TransferWorker>(*this);
}

AsyncReader::~AsyncReader() = default;

void AsyncReader::start(const QString &target, int kind, const QString &name, int options,
                        const QString &tempFolder)
{
    if (kind != kKindFile)
        throw PlatformError(QStringLiteral("a read of kind %1 is not supported").arg(kind));
    const QUrl url(target);
    const QString scheme = url.scheme();
    const bool webScheme = scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 ||
                           scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    if (!url.isValid() || !webScheme || url.host().isEmpty())
        throw PlatformError(QStringLiteral("%1 is not an http or https address").arg(target));
    if (m_worker->isRunning(name))
        throw PlatformError(QStringLiteral("a download named \"%1\" is already running").arg(name));

    TransferRequest request;
    request.name = name;
    request.url = url.toEncoded(QUrl::RemoveFragment);
    request.noCache = (options & kOptionForceUpdate) != 0;
    request.limits = limits();
    request.file = createTemporaryFile(tempFolder);
    m_worker->submit(std::move(request));
}

void AsyncReader::cancel(const QString &name)
{
    m_worker->cancel(name);
}

bool AsyncReader::isRunning(const QString &name) const
{
    return m_worker->isRunning(name);
}

bool AsyncReader::isTemporaryFileName(const QString &fileName)
{
    static const QLatin1String prefix(".refitor-");
    static const QLatin1String suffix(".part");
    constexpr qsizetype randomLength = 6;
    if (fileName.size() != prefix.size() + randomLength + suffix.size() ||
        !fileName.startsWith(prefix) || !fileName.endsWith(suffix))
        return false;
    for (qsizetype i = prefix.size(); i < prefix.size() + randomLength; ++i) {
        if (!isAsciiAlphanumeric(fileName.at(i)))
            return false;
    }
    return true;
}

void AsyncReader::setLimits(const TransferLimits &limits)
{
    LimitsStore &store = limitsStore();
    const std::lock_guard lock(store.mutex);
    store.limits = limits;
}

TransferLimits AsyncReader::limits()
{
    LimitsStore &store = limitsStore();
    const std::lock_guard lock(store.mutex);
    return store.limits;
}

} // namespace platform
