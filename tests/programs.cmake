# The test programs' sources, one list for both builds (tests/CMakeLists.txt on Linux,
# tests/windows.cmake on Windows): every program runs the shared files, and adds the files of its
# own runtime from the list named after the runtime's folder (qt, win32).

# The loopback servers every program but skin_tests links: httplib's, a scripted one and one that
# misbehaves on purpose, over the same sockets on POSIX and Winsock.
set(REFITOR_TEST_SERVERS
    support/LoopbackServer.cpp support/LoopbackServer.h
    support/ScriptedServer.cpp support/ScriptedServer.h
    support/FaultServer.cpp support/FaultServer.h support/Sockets.h)

# The system's tests: written against the runtime's interface and the standard library alone.
set(REFITOR_TESTS_control control/BajaArchivosTest.cpp)
set(REFITOR_TESTS_window window/Form2Test.cpp window/ExecutableBackupTest.cpp window/RetryTest.cpp)

# The runtime's tests: the cases every runtime is held to, then what only each one can show.
set(REFITOR_TESTS_runtime
    runtime/TextTest.cpp runtime/KeyedCollectionTest.cpp runtime/CryptoTest.cpp
    runtime/AsyncReaderTest.cpp runtime/AsyncReaderTest.h runtime/SupportLogTest.cpp
    runtime/FilesTest.cpp runtime/FilesTest.h runtime/ControlsTest.cpp runtime/SkinPainterTest.cpp runtime/SkinLooks.h
    runtime/Screen.h support/FaultServerTest.cpp)
set(REFITOR_TESTS_runtime_qt
    runtime/qt/AsyncReaderTest.cpp runtime/qt/ControlsTest.cpp runtime/qt/FilesTest.cpp
    runtime/qt/LocaleTest.cpp runtime/qt/SkinPainterTest.cpp runtime/qt/Screen.cpp)
set(REFITOR_TESTS_runtime_win32
    runtime/win32/ApplicationTest.cpp runtime/win32/DelayLoadTest.cpp runtime/win32/FilesTest.cpp
    runtime/win32/LocaleTest.cpp runtime/win32/ProgramsTest.cpp runtime/win32/AsyncReaderTest.cpp
    runtime/win32/ControlsTest.cpp runtime/win32/SkinPainterTest.cpp runtime/win32/WindowPixels.h
    runtime/win32/Screen.cpp)

# The skin format's tests, with GoogleTest and nothing of the runtime; each platform makes its
# own unusual files (names, modes) to read.
set(REFITOR_TESTS_skin skin/SkinFileTest.cpp skin/ImageTest.cpp skin/HueTest.cpp skin/SkinTestUtil.h)
set(REFITOR_TESTS_skin_qt skin/linux/UnusualFiles.cpp)
set(REFITOR_TESTS_skin_win32 skin/win32/UnusualFiles.cpp)
