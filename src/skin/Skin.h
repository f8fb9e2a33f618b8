#pragma once

#include "runtime/Hue.h"
#include "runtime/SkinLook.h"

namespace skin {

// The model a skin file is read into is what the runtime's painter draws: the look of
// runtime/SkinLook.h, under the format's own names.
using Color = runtime::Color;
using GradientStop = runtime::look::GradientStop;
using Image = runtime::look::Image;
using Fill = runtime::look::Fill;
using Font = runtime::look::Font;
using Alignment = runtime::look::Alignment;
using FrameStyle = runtime::look::FrameStyle;
using TitleStyle = runtime::look::TitleStyle;
using ButtonStyle = runtime::look::ButtonStyle;
using PanelStyle = runtime::look::PanelStyle;
using LabelStyle = runtime::look::LabelStyle;
using BarStyle = runtime::look::BarStyle;
using Skin = runtime::SkinLook;

/// Any thread. The colour with its hue turned by degrees (any integer, taken modulo 360) in the
/// HSV model at QColor's 16-bit precision, so a Qt painter turning decoded pixels gets what QColor
/// would; alpha is kept and greys stay as they are. Never throws. Painters that turn pixels
/// themselves share it from the runtime.
using runtime::rotateHue;

/// Any thread. The skin with every colour it declares turned by degrees (any integer, taken
/// modulo 360), gradient stops included; each image's pixels are left to the painter, which
/// turns them by Image::hue, so that is advanced by degrees too. Throws only std::bad_alloc.
Skin rotateHue(const Skin &skin, int degrees);

} // namespace skin
