#pragma once

#include <string_view>

/// Any thread. The download control's 48 x 48 face as PNG bytes: two computer screens linked by
/// a line to a mobile handset and a small network box, on a transparent background. Never
/// throws.
std::string_view downloadControlFace();
