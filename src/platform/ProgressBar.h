#pragma once

#include "SkinStyle.h"

#include <QWidget>
#include <optional>

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

    /// The platform's own bar, which draws the value while no skin does.
    QProgressBar *bar() const { return m_bar; }

    /// UI thread. Draws the bar in a skin's looks, or with the platform's own look when unset.
    /// Never throws.
    void setLook(const std::optional<SkinBarStyle> &look);
    const std::optional<SkinBarStyle> &look() const { return m_look; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QProgressBar *m_bar;
    float m_min = 0.0F;
    float m_max = 100.0F;
    float m_value = 0.0F;
    std::optional<SkinBarStyle> m_look;
};

} // namespace platform
