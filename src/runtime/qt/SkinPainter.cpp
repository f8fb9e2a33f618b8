#include "SkinPainter.h"

#include "Conversions.h"
#include "SkinDecoration.h"
#include "Widgets.h"
#include "runtime/RuntimeError.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QLabel>
#include <QLineEdit>
#include <new>

namespace runtime::qt {

namespace {

// Only the window's own widgets: a message box open on it has labels and buttons too.
template <typename W> QList<W *> ownWidgets(QWidget *window)
{
    QList<W *> found = window->findChildren<W *>();
    found.removeIf([window](const W *widget) { return widget->window() != window; });
    return found;
}

} // namespace

QtSkinPainter::QtSkinPainter() = default;

QtSkinPainter::~QtSkinPainter() = default;

QWidget *QtSkinPainter::windowOf(WindowHandle handle)
{
    QWidget *widget = handle != 0 ? QWidget::find(static_cast<WId>(handle)) : nullptr;
    if (widget == nullptr || !widget->isWindow())
        throw RuntimeError(ErrorKind::Refused,
                           "the window handle belongs to no window of this program");
    return widget;
}

void QtSkinPainter::setSettings(const SkinSettings &settings)
{
    m_settings = settings;
}

void QtSkinPainter::attach(WindowHandle window)
{
    m_window = windowOf(window);
}

void QtSkinPainter::load(const SkinLook &look)
{
    m_look.load(look, [](const SkinLook &source) { return prepareLook(source); });
}

void QtSkinPainter::apply(WindowHandle handle)
{
    QWidget *window = windowOf(handle);
    if (window != m_window)
        throw RuntimeError(ErrorKind::Refused, "the window was not attached to the skin painter");
    const PreparedLook &look = *m_look.current();
    if (m_backdrop == nullptr || m_backdrop->parentWidget() != window) {
        restoreTouched();
        m_backdrop = new SkinBackdrop(window);
        m_titleBar = new SkinTitleBar(window);
    }
    fitFrame(window, look);
    styleControls(window, look);
    window->update();
}

void QtSkinPainter::fitFrame(QWidget *window, const PreparedLook &look)
{
    const int border = look.frame.borderWidth;
    const QMargins frame(border, border + look.title.height, border, border);
    const QMargins before = window->contentsMargins();
    const QSize client = window->contentsRect().size();
    const QSize size = client.grownBy(frame);
    const QPoint centre = window->geometry().center();

    if (!window->windowFlags().testFlag(Qt::FramelessWindowHint)) {
        // Changing the flags hides a shown window; it comes back where it was.
        const bool shown = window->isVisible();
        // Qt drops the frameless hint of a window that asks for a title bar's buttons.
        const Qt::WindowFlags titleBar = Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                         Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint |
                                         Qt::WindowContextHelpButtonHint;
        window->setWindowFlags((window->windowFlags() & ~titleBar) | Qt::FramelessWindowHint);
        if (shown)
            window->show();
    }
    window->setContentsMargins(frame);
    // Controls keep their places on the client area, wherever the last frame had put it.
    const QPoint shift = QPoint(frame.left(), frame.top()) - QPoint(before.left(), before.top());
    for (QWidget *child : window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (child != m_backdrop && child != m_titleBar && !child->isWindow())
            child->move(child->pos() + shift);
    }
    window->setFixedSize(size);
    // The frame grows about the window's centre, so a centred window stays centred. Placed by
    // its own rectangle: the platform's frame, if it still reports one, does not count.
    window->setGeometry(
        QRect(centre - QPoint((size.width() - 1) / 2, (size.height() - 1) / 2), size));

    m_backdrop->setGeometry(QRect(QPoint(0, 0), size));
    m_backdrop->lower();
    m_backdrop->show();
    m_titleBar->setGeometry(border, border, client.width(), look.title.height);
    m_titleBar->raise();
    m_titleBar->show();
}

void QtSkinPainter::styleControls(QWidget *window, const PreparedLook &look)
{
    restoreTouched();
    const bool client = m_settings.skinClientArea;
    const bool colors = m_settings.applyColors;
    m_backdrop->setLook(look, client);
    m_titleBar->setLook(look);
    for (ProgressBarWidget *bar : ownWidgets<ProgressBarWidget>(window))
        bar->setLook(client ? std::optional(look.bar) : std::nullopt);

    for (ShapeWidget *shape : ownWidgets<ShapeWidget>(window)) {
        if (!client && !colors) {
            shape->setLook(std::nullopt);
            continue;
        }
        ShapeWidget::Look shapeLook;
        if (client && look.panel.background)
            shapeLook.fill = *look.panel.background;
        else if (colors)
            shapeLook.fill = SkinFill::solid(m_settings.panelColor);
        shapeLook.borderColor = client ? toQColor(look.panel.borderColor) : shape->borderColor();
        shapeLook.cornerRadius = client ? look.panel.cornerRadius : 0;
        shape->setLook(shapeLook);
    }

    for (SkinLabelWidget *label : ownWidgets<SkinLabelWidget>(window)) {
        std::optional<QColor> text;
        if (client && look.label.textColor)
            text = toQColor(*look.label.textColor);
        else if (colors)
            text = toQColor(m_settings.panelTextColor);
        const bool font = client && look.label.font;
        if (!text && !font)
            continue;
        touch(label);
        if (font)
            label->setFont(*look.label.font);
        if (text) {
            QPalette palette = label->palette();
            palette.setColor(QPalette::WindowText, *text);
            label->setPalette(palette);
        }
    }

    if (!colors)
        return;
    const QColor back = toQColor(m_settings.backColor);
    const QColor fore = toQColor(m_settings.foreColor);
    for (QWidget *widget : ownWidgets<QWidget>(window)) {
        const bool plain = qobject_cast<QLineEdit *>(widget) != nullptr ||
                           qobject_cast<QAbstractButton *>(widget) != nullptr ||
                           qobject_cast<QAbstractItemView *>(widget) != nullptr ||
                           (qobject_cast<QLabel *>(widget) != nullptr &&
                            qobject_cast<SkinLabelWidget *>(widget) == nullptr);
        if (!plain)
            continue;
        touch(widget);
        QPalette palette = widget->palette();
        for (const auto role : {QPalette::Base, QPalette::Window, QPalette::Button})
            palette.setColor(role, back);
        for (const auto role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
            palette.setColor(role, fore);
        widget->setPalette(palette);
    }
}

void QtSkinPainter::touch(QWidget *widget)
{
    m_touched.push_back({widget, widget->font(), widget->palette()});
}

void QtSkinPainter::restoreTouched()
{
    // Newest first, so a widget touched twice ends with what it had before the first touch.
    for (auto it = m_touched.rbegin(); it != m_touched.rend(); ++it) {
        if (!it->widget)
            continue;
        it->widget->setFont(it->font);
        it->widget->setPalette(it->palette);
    }
    m_touched.clear();
}

} // namespace runtime::qt
