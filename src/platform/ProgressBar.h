#pragma once

#include <QWidget>

class QProgressBar;

namespace platform {

/// A horizontal progress bar over a single-precision range. UI thread only.
class ProgressBar : public QWidget
{
    Q_OBJECT
public:
    /// UI thread. A bar from 0 to 100 holding 0.
    explicit ProgressBar(QWidget *parent = nullptr);

    /// UI thread. The value last set, exactly. Never throws.
    float Value() const { return m_value; }
    /// UI thread. Sets and shows value. Throws PlatformError when it lies outside
    /// [Min(), Max()] or is not a number; the bar then keeps its value.
    void setValue(float value);

    float Min() const { return m_min; }
    float Max() const { return m_max; }

    /// The drawn bar, for looks (the skin engine styles it).
    QProgressBar *bar() const { return m_bar; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QProgressBar *m_bar;
    float m_min = 0.0F;
    float m_max = 100.0F;
    float m_value = 0.0F;
};

} // namespace platform
