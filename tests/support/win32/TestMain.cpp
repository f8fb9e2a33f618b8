#include "runtime/win32/Startup.h"

#include <gtest/gtest.h>
#include <windows.h>

int main(int argc, char **argv)
{
    // A crash in a test ends the test program with its exception code, never in a dialog.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    // The Win32 runtime as the program starts it, first thing on this, the UI thread.
    const runtime::win32::Startup startup;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
