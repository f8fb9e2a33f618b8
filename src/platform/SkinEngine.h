#pragma once

#include "SkinStyle.h"

#include <QColor>
#include <QFont>
#include <QObject>
#include <QPalette>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform {

class SkinBackdrop;
class SkinTitleBar;

/// The engine's own settings, stored with the window's design. They take effect at the next
/// ApplySkin.
struct SkinSettings
{
    QString author;
    QString description;
    QString application;
    /// Turns the hue of every colour the skin declares by this many degrees; 0 keeps them.
    std::int32_t hue = 0;
    /// With applyColors: the background and text of the window's plain controls (text boxes,
    /// buttons, lists, plain labels) ...
    QColor backColor{255, 255, 255};
    QColor foreColor{0, 0, 0};
    /// ... and the panel's fill and the skin labels' text, where the skin declares none.
    QColor panelColor{216, 233, 236};
    QColor panelTextColor{0, 0, 0};
    bool applyColors = true;
    /// Whether the skin draws the client area (background, panel, skin labels, progress bar) or
    /// only the frame and title bar.
    bool skinClientArea = true;
    QString name;
    QString tag;
};

/// The skin engine: draws a window in the style of a skin file. The window gets a skinned frame
/// and title bar, and the skin labels, progress bars and panel shapes on it take the skin's
/// looks. Every operation may refuse what it cannot use by throwing PlatformError; a refused
/// skin file leaves the skin in force. UI thread only.
class SkinEngine : public QObject
{
    Q_OBJECT
public:
    /// Automation identifiers of the three operations and of a skin label's text, kept with
    /// the operations they name; nothing here dispatches by them.
    static constexpr std::int32_t kDispIdAttachWindow = 0x60020009;
    static constexpr std::int32_t kDispIdLoadSkinFile = 0x60020001;
    static constexpr std::int32_t kDispIdApplySkin = 0x60020006;
    static constexpr std::int32_t kDispIdLabelCaption = 0;

    /// UI thread.
    explicit SkinEngine(QObject *parent = nullptr);
    ~SkinEngine() override;

    /// UI thread. First window-handle operation: takes the window whose native handle this is.
    /// Throws PlatformError for a handle of no top-level widget of this program.
    void AttachWindow(WId handle);
    /// UI thread. Skin-file operation: reads the skin at the full path given; it is drawn at the
    /// next ApplySkin. Throws PlatformError when the file is missing, unreadable or malformed,
    /// and then keeps the skin it had.
    void LoadSkinFile(const QString &path);
    /// UI thread. Second window-handle operation: draws the window with the loaded skin and the
    /// current settings. Throws PlatformError for an unknown handle, a window other than the
    /// attached one, or when no skin has been loaded.
    void ApplySkin(WId handle);

    /// UI thread. Never throws.
    SkinSettings settings() const { return m_settings; }
    void setSettings(const SkinSettings &settings) { m_settings = settings; }

    /// UI thread. The window last attached, or nullptr. Never throws.
    QWidget *window() const { return m_window; }
    /// UI thread. The full path of the loaded skin, "" when none. Never throws.
    QString skinFile() const { return m_skinFile; }
    /// UI thread. The skin last drawn, with the hue turned as drawn; unset before the first
    /// ApplySkin. Never throws.
    const std::optional<Skin> &appliedSkin() const { return m_applied; }
    /// UI thread. The window's client area in its own coordinates: where its controls' design
    /// positions start. The whole window when unskinned. Never throws.
    static QRect clientArea(const QWidget *window);

private:
    struct Touched
    {
        QPointer<QWidget> widget;
        QFont font;
        QPalette palette;
    };

    static QWidget *windowOf(WId handle);
    void prepareWindow(QWidget *window);
    void fitFrame(QWidget *window, const Skin &skin);
    void styleControls(QWidget *window, const Skin &skin);
    void touch(QWidget *widget);
    void restoreTouched();

    QPointer<QWidget> m_window;
    QString m_skinFile;
    std::optional<Skin> m_loaded;
    std::optional<Skin> m_applied;
    SkinSettings m_settings;

    // What the first ApplySkin found on the window, so later skins start from the design.
    QPointer<QWidget> m_prepared;
    QSize m_clientSize;
    std::vector<std::pair<QPointer<QWidget>, QPoint>> m_designPositions;
    QPointer<SkinBackdrop> m_backdrop;
    QPointer<SkinTitleBar> m_titleBar;
    std::vector<Touched> m_touched;
};

} // namespace platform
