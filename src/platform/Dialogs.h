#pragma once

#include <QString>

namespace platform {

/// Message box styles this program uses; 0 is a lone OK button, no icon, modal to the program.
enum class MessageStyle
{
    OkOnly = 0
};

/// UI thread. Shows a modal message box with text, the style and the application title, and
/// returns when the user dismisses it; events keep being dispatched meanwhile. Throws
/// PlatformError when no box can be shown (no QApplication).
void messageBox(const QString &text, MessageStyle style = MessageStyle::OkOnly);

} // namespace platform
