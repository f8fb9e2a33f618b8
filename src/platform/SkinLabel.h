#pragma once

#include <QLabel>

namespace platform {

/// A one-line text label drawn in the skin's label style. UI thread only.
class SkinLabel : public QLabel
{
    Q_OBJECT
public:
    /// UI thread. Shows "00" until a text is set.
    explicit SkinLabel(QWidget *parent = nullptr);

    /// UI thread. The label's default property: the text it shows. Never throws.
    QString Caption() const { return text(); }
    void setCaption(const QString &text) { setText(text); }
};

} // namespace platform
