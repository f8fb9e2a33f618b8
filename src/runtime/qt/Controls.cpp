#include "Controls.h"

#include "Window.h"

#include <QImage>
#include <QPalette>

namespace runtime::qt {

QWidget *controlWidget(const Control &control)
{
    const auto *ours = dynamic_cast<const ControlWidget *>(&control);
    return ours != nullptr ? ours->widget() : nullptr;
}

std::string QtLabel::Caption() const
{
    return toUtf8(self().text());
}

void QtLabel::setCaption(const std::string &caption)
{
    self().setCaption(toQString(caption));
}

void QtLabel::setAutoSize(bool autoSize)
{
    self().setAutoSize(autoSize);
}

void QtLabel::setCentred(bool centred)
{
    self().setAlignment(centred ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter);
}

void QtLabel::setBackColor(Color color)
{
    LabelWidget &label = self();
    QPalette palette = label.palette();
    palette.setColor(QPalette::Window, toQColor(color));
    label.setPalette(palette);
    label.setAutoFillBackground(true);
}

std::string QtTextBox::Text() const
{
    return toUtf8(self().text());
}

void QtTextBox::setText(const std::string &text)
{
    self().setText(toQString(text));
}

QtCommandButton::QtCommandButton(QPushButton *button) : WidgetControl(button)
{
    // A push button in a plain window: Return does not press it unless it has the focus.
    button->setAutoDefault(false);
    QObject::connect(button, &QPushButton::clicked, button,
                     [this] { callHandler(m_onClick, "button's click"); });
}

std::string QtCommandButton::Caption() const
{
    return toUtf8(self().text());
}

void QtCommandButton::setCaption(const std::string &caption)
{
    self().setText(toQString(caption));
}

void QtCommandButton::onClick(std::function<void()> handler)
{
    m_onClick = std::move(handler);
}

std::string QtFileListBox::Path() const
{
    return toUtf8(self().path());
}

void QtFileListBox::setPath(const std::string &folder)
{
    self().setPath(toQString(folder));
}

std::string QtFileListBox::Pattern() const
{
    return toUtf8(self().pattern());
}

void QtFileListBox::setPattern(const std::string &pattern)
{
    self().setPattern(toQString(pattern));
}

std::string QtFileListBox::FileName() const
{
    return toUtf8(self().fileName());
}

void QtFileListBox::setFileName(const std::string &name)
{
    self().setFileName(toQString(name));
}

std::vector<std::string> QtFileListBox::entries() const
{
    const FileListWidget &list = self();
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(list.count()));
    for (int row = 0; row < list.count(); ++row)
        names.push_back(toUtf8(list.item(row)->text()));
    return names;
}

void QtFileListBox::onClick(std::function<void()> handler)
{
    self().setClickHandler(std::move(handler));
}

void QtShape::setBorderColor(Color color)
{
    self().setBorderColor(toQColor(color));
}

float QtProgressBar::Value() const
{
    return self().value();
}

void QtProgressBar::setValue(float value)
{
    self().setValue(value);
}

float QtProgressBar::Min() const
{
    return self().minimum();
}

float QtProgressBar::Max() const
{
    return self().maximum();
}

std::string QtSkinLabel::Caption() const
{
    return toUtf8(self().text());
}

void QtSkinLabel::setCaption(const std::string &text)
{
    self().setText(toQString(text));
}

QtControlFace::QtControlFace(FaceWidget *face)
    : WidgetControl(face), m_contained(face->parentWidget() != nullptr)
{}

void QtControlFace::setVisible(bool visible)
{
    m_visible = visible;
    if (m_contained)
        WidgetControl::setVisible(visible);
}

bool QtControlFace::isVisible() const
{
    return m_contained ? WidgetControl::isVisible() : m_visible;
}

void QtControlFace::setPicture(std::string_view png)
{
    const QImage picture = decodePng(png);
    if (picture.isNull())
        throw RuntimeError(ErrorKind::Refused, "the control's picture is not a PNG image");
    self().setPicture(picture);
}

void QtControlFace::setSize(int widthTwips, int heightTwips)
{
    self().setFaceSize(QSize(twipsToPixels(widthTwips), twipsToPixels(heightTwips)));
}

int QtControlFace::widthTwips() const
{
    return self().width() * kTwipsPerPixel;
}

int QtControlFace::heightTwips() const
{
    return self().height() * kTwipsPerPixel;
}

void QtControlFace::onResize(std::function<void()> handler)
{
    self().setResizeHandler(std::move(handler));
}

} // namespace runtime::qt
