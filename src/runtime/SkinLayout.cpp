#include "SkinLayout.h"

#include <algorithm>

namespace runtime::layout {

Box closeButton(int barWidth, int barHeight, int buttonSize) noexcept
{
    const int margin = (barHeight - buttonSize) / 2;
    return {barWidth - margin - buttonSize, margin, buttonSize, buttonSize};
}

Box caption(int barWidth, int barHeight, int buttonLeft, int indent, int halfIndent,
            bool centred) noexcept
{
    const int textRight = buttonLeft - halfIndent;
    if (centred) {
        const int reserved = barWidth - textRight;
        return {reserved, 0, std::max(0, barWidth - 2 * reserved), barHeight};
    }
    return {indent, 0, std::max(0, textRight - indent), barHeight};
}

} // namespace runtime::layout
