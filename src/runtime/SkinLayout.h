#pragma once

// Where a skinned title bar's pieces go, worked out once for every runtime's painter and
// hit-test. Boxes are in whatever unit the caller measures the bar in (logical pixels, or a
// device's), from the bar's own top left corner.
namespace runtime::layout {

/// A box: its left and top edges, and its size.
struct Box
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    /// Any thread. The first column and row past the box. Never throw.
    int right() const noexcept { return left + width; }
    int bottom() const noexcept { return top + height; }
    /// Any thread. Whether the point (x, y) falls inside. Never throws.
    bool contains(int x, int y) const noexcept
    {
        return x >= left && x < right() && y >= top && y < bottom();
    }
};

/// Any thread. The close button of a bar barWidth wide and barHeight high: a square of side
/// buttonSize, centred on the bar's height and as far from its right end as from its top. Never
/// throws.
Box closeButton(int barWidth, int barHeight, int buttonSize) noexcept;

/// Any thread. Where the caption goes on that bar, the close button's left edge at buttonLeft:
/// from indent to half an indent (halfIndent) short of the button, or, centred, on the middle of
/// the whole bar with as much room kept free on its left as the button takes on the right, as a
/// platform's title is centred. Never empty-negative: a width never goes below 0. Never throws.
Box caption(int barWidth, int barHeight, int buttonLeft, int indent, int halfIndent,
            bool centred) noexcept;

} // namespace runtime::layout
