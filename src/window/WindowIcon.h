#pragma once

#include <string_view>

/// Any thread. The update window's 32 x 32 icon as PNG bytes: a yellow arrow down into an olive
/// tray, outlined in black, on a transparent background. Never throws.
std::string_view updateWindowIcon();
