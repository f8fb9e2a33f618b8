#pragma once

#include "SkinPaint.h"
#include "runtime/Controls.h"
#include "runtime/PreparedLook.h"

#include <QFont>
#include <QPalette>
#include <QPointer>
#include <QWidget>
#include <optional>
#include <vector>

namespace runtime::qt {

class SkinBackdrop;
class SkinTitleBar;

/// The Linux runtime's skin painter. It gives the window a frame of the skin's own in place of
/// the platform's, moves the window's controls into the client area inside it, and styles the skin
/// labels, progress bars and shapes (and, with colours applied, the plain controls) it finds among
/// the window's widgets. What it draws stays on the window until another look replaces it, also
/// after the painter is gone. UI thread only.
class QtSkinPainter final : public SkinPainter
{
public:
    /// UI thread. A painter with no window and no look.
    QtSkinPainter();
    ~QtSkinPainter() override;
    QtSkinPainter(const QtSkinPainter &) = delete;
    QtSkinPainter &operator=(const QtSkinPainter &) = delete;

    /// UI thread. The hue is the system's to turn; the painter only turns images by their own.
    void setSettings(const SkinSettings &settings) override;
    void attach(WindowHandle window) override;
    void load(const SkinLook &look) override;
    /// UI thread. Also throws RuntimeError (Refused) for a window other than the attached one.
    void apply(WindowHandle window) override;

private:
    struct Touched
    {
        QPointer<QWidget> widget;
        QFont font;
        QPalette palette;
    };

    static QWidget *windowOf(WindowHandle handle);
    void fitFrame(QWidget *window, const PreparedLook &look);
    void styleControls(QWidget *window, const PreparedLook &look);
    void touch(QWidget *widget);
    void restoreTouched();

    QPointer<QWidget> m_window;
    // The same look loaded again (the system loads before each drawing) is not decoded again.
    look::LoadedLook<PreparedLook> m_look;
    SkinSettings m_settings;
    QPointer<SkinBackdrop> m_backdrop;
    QPointer<SkinTitleBar> m_titleBar;
    // What styling changed, so that each drawing starts from the design again.
    std::vector<Touched> m_touched;
};

} // namespace runtime::qt
