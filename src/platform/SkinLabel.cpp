#include "SkinLabel.h"

namespace platform {

SkinLabel::SkinLabel(QWidget *parent) : QLabel(QStringLiteral("00"), parent)
{
    setTextFormat(Qt::PlainText);
    setFocusPolicy(Qt::NoFocus);
}

} // namespace platform
