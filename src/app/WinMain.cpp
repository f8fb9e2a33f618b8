// The program's entry on Windows: starts the Win32 runtime, builds the update window, runs its
// load handler and shows it. Everything else happens in the window's handlers.

#include "Product.h"
#include "runtime/Application.h"
#include "runtime/Programs.h"
#include "runtime/Termination.h"
#include "runtime/win32/Startup.h"
#include "window/Form2.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // The program takes no command line.
    const runtime::win32::Startup startup;
    runtime::ignoreWriteSignals();
    runtime::setApplicationTitle(product::kTitle);
    runtime::setApplicationName(product::kUpdaterName);

    Form2 form;
    // A logoff or shutdown mid-update ends the run as a close of the window would.
    const auto termination = runtime::watchTermination([&form] { form.requestEnd(); });
    form.Form_Load();
    form.window().show();
    return runtime::win32::runMessageLoop();
}
