#include "SkinEngine.h"

#include "PlatformError.h"
#include "ProgressBar.h"
#include "Shape.h"
#include "SkinDecoration.h"
#include "SkinFile.h"
#include "SkinLabel.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QLabel>
#include <QLineEdit>
#include <new>

namespace platform {

SkinEngine::SkinEngine(QObject *parent) : QObject(parent) {}

SkinEngine::~SkinEngine() = default;

QWidget *SkinEngine::windowOf(WId handle)
{
    QWidget *widget = QWidget::find(handle);
    if (handle == 0 || widget == nullptr || !widget->isWindow())
        throw PlatformError("the window handle belongs to no window of this program");
    return widget;
}

QRect SkinEngine::clientArea(const QWidget *window)
{
    return window->contentsRect();
}

void SkinEngine::AttachWindow(WId handle)
{
    m_window = windowOf(handle);
}

void SkinEngine::LoadSkinFile(const QString &path)
{
    // Parsed in full before anything changes, so a refused file leaves the loaded skin alone.
    std::optional<Skin> skin;
    try {
        skin = readSkinFile(path);
    } catch (const std::bad_alloc &) {
        // The reader refuses its own allocation failures; this one came while it worded such a
        // refusal. Running short of memory still only refuses the file.
        throw PlatformError("there is not enough memory to load the skin file");
    }
    m_loaded = std::move(skin);
    m_skinFile = path;
}

void SkinEngine::ApplySkin(WId handle)
{
    QWidget *window = windowOf(handle);
    if (window != m_window)
        throw PlatformError("the window was not attached to the skin engine");
    if (!m_loaded)
        throw PlatformError("no skin has been loaded");
    if (m_prepared != window)
        prepareWindow(window);
    const Skin skin = rotateHue(*m_loaded, m_settings.hue);
    fitFrame(window, skin);
    styleControls(window, skin);
    window->update();
    m_applied = skin;
}

void SkinEngine::prepareWindow(QWidget *window)
{
    restoreTouched();
    m_designPositions.clear();
    const QMargins margins = window->contentsMargins();
    m_clientSize = window->size().shrunkBy(margins);
    for (QWidget *child : window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        m_designPositions.emplace_back(child, child->pos() - QPoint(margins.left(), margins.top()));
    m_backdrop = new SkinBackdrop(window);
    m_titleBar = new SkinTitleBar(window);
    m_prepared = window;
}

void SkinEngine::fitFrame(QWidget *window, const Skin &skin)
{
    const int border = skin.frame.borderWidth;
    const QMargins frame(border, border + skin.title.height, border, border);
    const QSize size = m_clientSize.grownBy(frame);
    const QPoint centre = window->geometry().center();

    if (!window->windowFlags().testFlag(Qt::FramelessWindowHint)) {
        // Changing the flags hides a shown window; it comes back where it was.
        const bool shown = window->isVisible();
        window->setWindowFlags(window->windowFlags() | Qt::FramelessWindowHint);
        if (shown)
            window->show();
    }
    window->setContentsMargins(frame);
    for (const auto &[child, design] : m_designPositions)
        if (child)
            child->move(design + QPoint(frame.left(), frame.top()));
    window->setFixedSize(size);
    // The frame grows about the window's centre, so a centred window stays centred. Placed by
    // its own rectangle: the platform's frame, if it still reports one, does not count.
    window->setGeometry(
        QRect(centre - QPoint((size.width() - 1) / 2, (size.height() - 1) / 2), size));

    m_backdrop->setGeometry(QRect(QPoint(0, 0), size));
    m_backdrop->lower();
    m_backdrop->show();
    m_titleBar->setGeometry(border, border, m_clientSize.width(), skin.title.height);
    m_titleBar->raise();
    m_titleBar->show();
}

void SkinEngine::styleControls(QWidget *window, const Skin &skin)
{
    restoreTouched();
    const bool client = m_settings.skinClientArea;
    const bool colors = m_settings.applyColors;
    m_backdrop->setSkin(skin, client);
    m_titleBar->setSkin(skin);

    for (ProgressBar *bar : window->findChildren<ProgressBar *>())
        bar->setLook(client ? std::optional(skin.bar) : std::nullopt);

    for (Shape *shape : window->findChildren<Shape *>()) {
        if (!client && !colors) {
            shape->setLook(std::nullopt);
            continue;
        }
        Shape::Look look;
        if (client && skin.panel.background)
            look.fill = *skin.panel.background;
        else if (colors)
            look.fill = SkinFill::solid(m_settings.panelColor);
        look.borderColor = client ? skin.panel.borderColor : shape->borderColor();
        look.cornerRadius = client ? skin.panel.cornerRadius : 0;
        shape->setLook(look);
    }

    for (SkinLabel *label : window->findChildren<SkinLabel *>()) {
        std::optional<QColor> text;
        if (client && skin.label.textColor)
            text = skin.label.textColor;
        else if (colors)
            text = m_settings.panelTextColor;
        const bool font = client && skin.label.font;
        if (!text && !font)
            continue;
        touch(label);
        if (font)
            label->setFont(skin.label.font->toFont());
        if (text) {
            QPalette palette = label->palette();
            palette.setColor(QPalette::WindowText, *text);
            label->setPalette(palette);
        }
    }

    if (!colors)
        return;
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        const bool plain = qobject_cast<QLineEdit *>(widget) != nullptr ||
                           qobject_cast<QAbstractButton *>(widget) != nullptr ||
                           qobject_cast<QAbstractItemView *>(widget) != nullptr ||
                           (qobject_cast<QLabel *>(widget) != nullptr &&
                            qobject_cast<SkinLabel *>(widget) == nullptr);
        if (!plain)
            continue;
        touch(widget);
        QPalette palette = widget->palette();
        for (const auto role : {QPalette::Base, QPalette::Window, QPalette::Button})
            palette.setColor(role, m_settings.backColor);
        for (const auto role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
            palette.setColor(role, m_settings.foreColor);
        widget->setPalette(palette);
    }
}

void SkinEngine::touch(QWidget *widget)
{
    m_touched.push_back({widget, widget->font(), widget->palette()});
}

void SkinEngine::restoreTouched()
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

} // namespace platform
