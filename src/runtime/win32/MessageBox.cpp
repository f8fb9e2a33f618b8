#include "runtime/MessageBox.h"

#include "SystemError.h"
#include "Unicode.h"
#include "runtime/Application.h"
#include "runtime/RuntimeError.h"

#include <windows.h>

namespace runtime {

void messageBox(const std::string &text, MessageStyle style)
{
    static_cast<void>(style); // OkOnly is the one style in use.
    const HWND owner = ::GetActiveWindow();
    // Without an owner, task-modal keeps the box modal to every window of the program.
    const UINT flags = MB_OK | (owner == nullptr ? MB_TASKMODAL : 0U);
    if (::MessageBoxW(owner, win32::utf16FromUtf8(text).c_str(),
                      win32::utf16FromUtf8(applicationTitle()).c_str(), flags) == 0)
        throw RuntimeError(ErrorKind::Unavailable,
                           "no message box can be shown: " + win32::lastErrorText());
}

} // namespace runtime
