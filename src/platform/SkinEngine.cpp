#include "SkinEngine.h"

#include "PlatformError.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>

namespace platform {

SkinEngine::SkinEngine(QObject *parent) : QObject(parent) {}

QWidget *SkinEngine::windowOf(WId handle)
{
    QWidget *widget = QWidget::find(handle);
    if (handle == 0 || widget == nullptr || !widget->isWindow())
        throw PlatformError("the window handle belongs to no window of this program");
    return widget;
}

void SkinEngine::AttachWindow(WId handle)
{
    m_window = windowOf(handle);
}

void SkinEngine::LoadSkinFile(const QString &path)
{
    QFileInfo info(path);
    if (!info.isFile())
        throw PlatformError(QStringLiteral("the skin file %1 does not exist").arg(path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw PlatformError(QStringLiteral("the skin file %1 cannot be read").arg(path));
    // This build draws no skins yet: every file is refused, so the window keeps the
    // platform's own look and the update runs the same.
    throw PlatformError(QStringLiteral("%1 is not a skin this engine can draw").arg(path));
}

void SkinEngine::ApplySkin(WId handle)
{
    QWidget *widget = windowOf(handle);
    if (widget != m_window)
        throw PlatformError("the window was not attached to the skin engine");
}

} // namespace platform
