#include "ProgressBar.h"

#include "PlatformError.h"

#include <QPainter>
#include <QProgressBar>
#include <cmath>

namespace platform {

namespace {
// The drawn bar counts in hundredths of the range so that it moves smoothly, not in whole steps.
constexpr int kSteps = 10000;
} // namespace

ProgressBar::ProgressBar(QWidget *parent) : QWidget(parent), m_bar(new QProgressBar(this))
{
    m_bar->setRange(0, kSteps);
    m_bar->setValue(0);
    m_bar->setTextVisible(false);
    m_bar->setOrientation(Qt::Horizontal);
    setFocusPolicy(Qt::NoFocus);
}

void ProgressBar::setValue(float value)
{
    if (std::isnan(value) || value < m_min || value > m_max)
        throw PlatformError("the value lies outside the progress bar's range");
    m_value = value;
    const double fraction = (static_cast<double>(value) - m_min) / (m_max - m_min);
    m_bar->setValue(static_cast<int>(std::lround(fraction * kSteps)));
    // QProgressBar repaints only for changes larger than what it last painted; a sibling that
    // overlaps its edge repaints a strip of it often enough to fool that check, and the fill
    // would stay off the screen. An update is cheap: Qt merges them into one paint a frame.
    m_bar->update();
    if (m_look)
        update();
}

void ProgressBar::setLook(const std::optional<SkinBarStyle> &look)
{
    m_look = look;
    m_bar->setVisible(!m_look);
    update();
}

void ProgressBar::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    if (!m_look)
        return;
    QPainter painter(this);
    const SkinBarStyle &look = *m_look;
    const QRect outer = rect();
    paintFill(painter, outer, look.groove, look.cornerRadius);
    paintBorder(painter, outer, look.grooveBorderColor, 1, look.cornerRadius);
    const int inset = look.grooveBorderColor.isValid() ? 1 : 0;
    const QRect track = outer.adjusted(inset, inset, -inset, -inset);
    const double fraction = (static_cast<double>(m_value) - m_min) / (m_max - m_min);
    // Whole logical pixels, so the fill's end is a sharp edge at any scale.
    const int filled = static_cast<int>(std::lround(fraction * track.width()));
    if (filled <= 0)
        return;
    const QRect fill(track.left(), track.top(), filled, track.height());
    const qreal radius = std::max(0, look.cornerRadius - inset);
    paintFill(painter, fill, look.fill, radius);
    paintBorder(painter, fill, look.fillBorderColor, 1, radius);
}

void ProgressBar::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_bar->setGeometry(rect());
}

} // namespace platform
