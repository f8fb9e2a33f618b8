#pragma once

#include "runtime/SkinLook.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <utility>

// What the skin painters' tests of every runtime draw: two looks with the values of the shipped
// skins of those names, and the helpers that write them.
namespace skinlooks {

using runtime::Color;
using runtime::SkinLook;
namespace look = runtime::look;

inline Color rgb(std::uint32_t value)
{
    return Color{static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 8),
                 static_cast<std::uint8_t>(value)};
}

inline look::Fill gradient(std::initializer_list<std::pair<double, std::uint32_t>> stops)
{
    look::Fill fill;
    for (const auto &[position, value] : stops)
        fill.stops.push_back({position, rgb(value)});
    return fill;
}

// Two looks with the values of the shipped skins of those names: a glassy one with gradients,
// hard steps, an inner border and no panel fill, and a flat one with a thicker border.
inline SkinLook softCrystal()
{
    SkinLook look;
    look.name = "Soft Crystal";
    look.frame = {1, rgb(0x7d9cc4), rgb(0xffffff)};
    look.title.height = 22;
    look.title.background =
        gradient({{0, 0xfbfdff}, {0.5, 0xe7f0fb}, {0.5, 0xd2e3f6}, {1, 0xe3eefa}});
    look.title.textColor = rgb(0x1f3f66);
    look.title.indent = 8;
    look.closeButton.size = 16;
    look.closeButton.cornerRadius = 3;
    look.closeButton.background =
        gradient({{0, 0xf6f9fd}, {0.5, 0xdfe9f6}, {0.5, 0xd0e0f3}, {1, 0xdfeaf7}});
    look.closeButton.borderColor = rgb(0x8aa6c9);
    look.client = gradient({{0, 0xf8fbff}, {1, 0xe8f0fa}});
    look.panel = {std::nullopt, rgb(0xa9c0dd), 4};
    look.label = {rgb(0x1f3f66), look::Font{"DejaVu Sans", 8, false, false}};
    look.bar.cornerRadius = 3;
    look.bar.groove = gradient({{0, 0xffffff}, {1, 0xedf2f8}});
    look.bar.grooveBorderColor = rgb(0x9fb6d3);
    look.bar.fill = gradient({{0, 0xd4e9ff}, {0.5, 0x97c6f6}, {0.5, 0x6eaaea}, {1, 0x9fcdf8}});
    look.bar.fillBorderColor = rgb(0x5d93d2);
    return look;
}

inline SkinLook flatSage()
{
    SkinLook look;
    look.name = "Flat Sage";
    look.frame = {2, rgb(0x56735f), std::nullopt};
    look.title.height = 20;
    look.title.background = look::Fill::solid(rgb(0x56735f));
    look.title.textColor = rgb(0xffffff);
    look.title.indent = 8;
    look.closeButton.background = look::Fill::solid(rgb(0x56735f));
    look.closeButton.borderColor = std::nullopt;
    look.client = look::Fill::solid(rgb(0xeef2ec));
    look.panel = {look::Fill::solid(rgb(0xffffff)), rgb(0xc5d1c1), 0};
    look.label = {rgb(0x2e3b32), look::Font{"DejaVu Sans", 8, false, false}};
    look.bar.groove = look::Fill::solid(rgb(0xdbe3d7));
    look.bar.grooveBorderColor = std::nullopt;
    look.bar.fill = look::Fill::solid(rgb(0x6f9a7c));
    return look;
}

} // namespace skinlooks
