#pragma once

#include <string>

namespace runtime {

/// Message box styles this program uses; 0 is a lone OK button, no icon, modal to the program.
enum class MessageStyle
{
    OkOnly = 0
};

/// UI thread. Shows a modal message box with text (UTF-8), the style and the application title,
/// owned by the program's active window, and returns when the user dismisses it; events keep
/// being dispatched meanwhile. Throws RuntimeError (Unavailable) when no box can be shown.
void messageBox(const std::string &text, MessageStyle style = MessageStyle::OkOnly);

} // namespace runtime
