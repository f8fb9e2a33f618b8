# The Windows build's tests, run under Wine by CTest (CMAKE_CROSSCOMPILING_EMULATOR).
