#pragma once

#include <QLabel>

namespace platform {

/// A label that sizes itself to its caption whenever the caption is set, keeping its left edge.
/// UI thread only.
class AutoSizeLabel : public QLabel
{
public:
    /// UI thread.
    explicit AutoSizeLabel(const QString &caption = QString(), QWidget *parent = nullptr)
        : QLabel(caption, parent)
    {
        setTextFormat(Qt::PlainText);
    }

    QString Caption() const { return text(); }
    /// UI thread. Sets the caption and fits the label to it. Never throws.
    void setCaption(const QString &caption)
    {
        setText(caption);
        adjustSize();
    }
};

} // namespace platform
