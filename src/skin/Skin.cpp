#include "Skin.h"

#include <algorithm>
#include <cmath>

namespace skin {

namespace {

int normalized(int degrees)
{
    return (degrees % 360 + 360) % 360;
}

void rotateFill(Fill &fill, int degrees)
{
    for (GradientStop &stop : fill.stops)
        stop.color = rotateHue(stop.color, degrees);
    if (fill.image)
        fill.image->hue = (fill.image->hue + degrees) % 360;
}

void rotateOptional(std::optional<Color> &color, int degrees)
{
    if (color)
        *color = rotateHue(*color, degrees);
}

} // namespace

Skin rotateHue(const Skin &skin, int degrees)
{
    degrees = normalized(degrees);
    Skin result = skin;
    if (degrees == 0)
        return result;
    result.frame.borderColor = rotateHue(result.frame.borderColor, degrees);
    rotateOptional(result.frame.innerBorderColor, degrees);
    result.title.textColor = rotateHue(result.title.textColor, degrees);
    for (Fill *fill : {&result.title.background, &result.closeButton.background,
                       &result.closeButton.hoverBackground, &result.closeButton.pressedBackground,
                       &result.client, &result.bar.groove, &result.bar.fill})
        rotateFill(*fill, degrees);
    rotateOptional(result.closeButton.borderColor, degrees);
    result.closeButton.glyphColor = rotateHue(result.closeButton.glyphColor, degrees);
    result.closeButton.hoverGlyphColor = rotateHue(result.closeButton.hoverGlyphColor, degrees);
    if (result.panel.background)
        rotateFill(*result.panel.background, degrees);
    rotateOptional(result.panel.borderColor, degrees);
    rotateOptional(result.label.textColor, degrees);
    rotateOptional(result.bar.grooveBorderColor, degrees);
    rotateOptional(result.bar.fillBorderColor, degrees);
    return result;
}

} // namespace skin
