#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstdint>

namespace platform {

/// The skin engine: draws a window in the style of a skin file. Every operation may refuse
/// what it cannot use by throwing PlatformError; a refused skin file leaves the skin in force.
/// UI thread only.
class SkinEngine : public QObject
{
    Q_OBJECT
public:
    /// Automation identifiers of the three operations, kept for reference to the component
    /// this engine stands in for; nothing here dispatches by them.
    static constexpr std::int32_t kDispIdAttachWindow = 0x60020009;
    static constexpr std::int32_t kDispIdLoadSkinFile = 0x60020001;
    static constexpr std::int32_t kDispIdApplySkin = 0x60020006;
    static constexpr std::int32_t kDispIdLabelCaption = 0;

    /// UI thread.
    explicit SkinEngine(QObject *parent = nullptr);

    /// UI thread. First window-handle operation: takes the window whose native handle this is.
    /// Throws PlatformError for a handle of no top-level widget of this program.
    void AttachWindow(WId handle);
    /// UI thread. Skin-file operation: reads the skin at the full path given. Throws
    /// PlatformError when the file is missing, unreadable or not a skin this engine can use.
    void LoadSkinFile(const QString &path);
    /// UI thread. Second window-handle operation: draws the window with the loaded skin.
    /// Throws PlatformError for an unknown handle or when no window was attached.
    void ApplySkin(WId handle);

    /// UI thread. The window last attached, or nullptr. Never throws.
    QWidget *window() const { return m_window; }
    /// UI thread. The full path of the skin in force, "" when none. Never throws.
    QString skinFile() const { return m_skinFile; }

private:
    static QWidget *windowOf(WId handle);

    QPointer<QWidget> m_window;
    QString m_skinFile;
};

} // namespace platform
