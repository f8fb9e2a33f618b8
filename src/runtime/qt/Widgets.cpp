#include "Widgets.h"

#include "runtime/RuntimeError.h"
#include "runtime/Statement.h"

#include <QCloseEvent>
#include <QCollator>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QPainter>
#include <QProgressBar>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace runtime::qt {

namespace {
// The drawn bar counts in hundredths of the range so that it moves smoothly, not in whole steps.
constexpr int kSteps = 10000;
} // namespace

WindowWidget::WindowWidget()
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint)
{
    setAutoFillBackground(true);
}

void WindowWidget::closeEvent(QCloseEvent *event)
{
    // The platform frame's button, the window manager, close() and a skin's close button all
    // arrive here, so the system hears of each the same way.
    const bool nested = m_closing;
    m_closing = true;
    callHandler(m_onClose, "close");
    m_closing = nested;
    event->accept();
}

LabelWidget::LabelWidget(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
}

void LabelWidget::setCaption(const QString &caption)
{
    setText(caption);
    if (m_autoSize)
        adjustSize();
}

void LabelWidget::setAutoSize(bool autoSize)
{
    m_autoSize = autoSize;
    if (m_autoSize)
        adjustSize();
}

void LabelWidget::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    // A label that sizes itself follows its font too, the window's included.
    if (event->type() == QEvent::FontChange && m_autoSize)
        adjustSize();
}

SkinLabelWidget::SkinLabelWidget(QWidget *parent) : QLabel(QStringLiteral("00"), parent)
{
    setTextFormat(Qt::PlainText);
    setFocusPolicy(Qt::NoFocus);
}

ShapeWidget::ShapeWidget(QWidget *parent)
    : QWidget(parent), m_color(palette().color(QPalette::Button))
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
}

void ShapeWidget::setBorderColor(const QColor &color)
{
    m_color = color;
    update();
}

void ShapeWidget::setLook(const std::optional<Look> &look)
{
    m_look = look;
    update();
}

void ShapeWidget::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    if (m_look) {
        paintFill(painter, rect(), m_look->fill, m_look->cornerRadius);
        paintBorder(painter, rect(), m_look->borderColor, 1, m_look->cornerRadius);
        return;
    }
    painter.setPen(QPen(m_color, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

ProgressBarWidget::ProgressBarWidget(QWidget *parent)
    : QWidget(parent), m_bar(new QProgressBar(this))
{
    m_bar->setRange(0, kSteps);
    m_bar->setValue(0);
    m_bar->setTextVisible(false);
    m_bar->setOrientation(Qt::Horizontal);
    setFocusPolicy(Qt::NoFocus);
}

void ProgressBarWidget::setValue(float value)
{
    if (std::isnan(value) || value < m_min || value > m_max)
        throw RuntimeError(ErrorKind::Refused, "the value lies outside the progress bar's range");
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

void ProgressBarWidget::setLook(const std::optional<PreparedLook::Bar> &look)
{
    m_look = look;
    m_bar->setVisible(!m_look);
    update();
}

void ProgressBarWidget::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    if (!m_look)
        return;
    QPainter painter(this);
    const PreparedLook::Bar &look = *m_look;
    const QRect outer = rect();
    paintFill(painter, outer, look.groove, look.cornerRadius);
    paintBorder(painter, outer, toQColor(look.grooveBorderColor), 1, look.cornerRadius);
    const int inset = look.grooveBorderColor ? 1 : 0;
    const QRect track = outer.adjusted(inset, inset, -inset, -inset);
    const double fraction = (static_cast<double>(m_value) - m_min) / (m_max - m_min);
    // Whole logical pixels, so the fill's end is a sharp edge at any scale.
    const int filled = static_cast<int>(std::lround(fraction * track.width()));
    if (filled <= 0)
        return;
    const QRect fill(track.left(), track.top(), filled, track.height());
    const qreal radius = std::max(0, look.cornerRadius - inset);
    paintFill(painter, fill, look.fill, radius);
    paintBorder(painter, fill, toQColor(look.fillBorderColor), 1, radius);
}

void ProgressBarWidget::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_bar->setGeometry(rect());
}

FileListWidget::FileListWidget(QWidget *parent) : QListWidget(parent), m_path(QDir::currentPath())
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QListWidget::currentRowChanged, this, &FileListWidget::onCurrentRowChanged);
    refresh();
}

void FileListWidget::setPath(const QString &folder)
{
    const QFileInfo info(folder);
    if (folder.isEmpty() || !info.isDir())
        throw RuntimeError(ErrorKind::NotFound,
                           "the folder " + folder.toStdString() + " does not exist");
    QString path = QDir::toNativeSeparators(folder);
    while (path.size() > 1 && (path.endsWith(u'/') || path.endsWith(u'\\')) &&
           !path.endsWith(u":\\"))
        path.chop(1);
    m_path = path;
    refresh();
}

void FileListWidget::setPattern(const QString &pattern)
{
    m_pattern = pattern;
    refresh();
}

void FileListWidget::setFileName(const QString &name)
{
    m_fileName = name;
    selectFileName();
}

void FileListWidget::selectFileName()
{
    const auto matches = findItems(m_fileName, Qt::MatchFixedString); // case-insensitive, whole
    m_settingByCode = true;
    setCurrentRow(matches.isEmpty() ? -1 : row(matches.front()));
    m_settingByCode = false;
}

void FileListWidget::refresh()
{
    const QDir dir(m_path);
    QStringList names = dir.entryList(m_pattern.split(u';', Qt::SkipEmptyParts),
                                      QDir::Files | QDir::Readable | QDir::NoDotAndDotDot);
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(false);
    std::sort(names.begin(), names.end(), [&collator](const QString &a, const QString &b) {
        return collator.compare(a, b) < 0;
    });
    m_settingByCode = true;
    clear();
    addItems(names);
    m_settingByCode = false;
    selectFileName();
}

void FileListWidget::focusInEvent(QFocusEvent *event)
{
    // An item view makes its first item current when it takes the focus with none; here that
    // would choose a file nobody chose (and apply a skin with it). Only the user's keys and
    // clicks choose.
    const bool hadCurrent = currentRow() >= 0;
    m_settingByCode = true;
    QListWidget::focusInEvent(event);
    if (!hadCurrent)
        setCurrentRow(-1);
    m_settingByCode = false;
}

void FileListWidget::onCurrentRowChanged(int row)
{
    if (m_settingByCode || row < 0)
        return;
    m_fileName = item(row)->text();
    callHandler(m_onClick, "file list's click");
}

FaceWidget::FaceWidget(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    resize(0, 0);
    m_reported = size();
}

void FaceWidget::setPicture(const QImage &picture)
{
    m_picture = picture;
    update();
}

void FaceWidget::setFaceSize(const QSize &size)
{
    resize(size);
    reportSize();
}

void FaceWidget::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    if (m_picture.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect(), m_picture);
}

void FaceWidget::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    reportSize();
}

void FaceWidget::reportSize()
{
    if (size() == m_reported)
        return;
    m_reported = size();
    callHandler(m_onResize, "control's resize");
}

} // namespace runtime::qt
