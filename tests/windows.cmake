# The Windows build's tests, run under Wine by CTest (CMAKE_CROSSCOMPILING_EMULATOR).
#
# One CTest entry per test executable, all its cases in one Wine process: starting a Wine process
# costs far more than most cases take. Every entry runs in a private Wine prefix in the build
# folder, made by the fixture's setup entry and ended, with every process in it, by its cleanup
# entry.

# Nothing here is Qt.
set(CMAKE_AUTOMOC OFF)

# GoogleTest from Debian's sources, built by this compiler. SYSTEM keeps our warnings off its
# headers.
set(BUILD_GMOCK OFF CACHE BOOL "Build GoogleMock (the Windows tests do not use it)")
set(INSTALL_GTEST OFF CACHE BOOL "Install GoogleTest (never, for the Windows tests)")
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# cpp-httplib, header-only. Debian's /usr/include/httplib.h is the declaring half of a Linux
# library, so scripts/install-deps puts the whole header of the same version, from Debian's
# source package, in /usr/src/cpp-httplib. Its folder may not go on the MinGW compiler's include
# path (nor may /usr/include, where glibc's headers are), so a folder of the build holds a link.
set(REFITOR_HTTPLIB_HEADER /usr/src/cpp-httplib/httplib.h
    CACHE FILEPATH "The whole (header-only) httplib.h, for the Windows tests")
if(NOT EXISTS ${REFITOR_HTTPLIB_HEADER})
    message(FATAL_ERROR "${REFITOR_HTTPLIB_HEADER} is missing: scripts/install-deps fetches it")
endif()
set(REFITOR_THIRD_PARTY ${CMAKE_BINARY_DIR}/third-party)
file(MAKE_DIRECTORY ${REFITOR_THIRD_PARTY})
file(CREATE_LINK ${REFITOR_HTTPLIB_HEADER} ${REFITOR_THIRD_PARTY}/httplib.h SYMBOLIC)
add_library(refitor_httplib INTERFACE)
target_include_directories(refitor_httplib SYSTEM INTERFACE ${REFITOR_THIRD_PARTY})
target_link_libraries(refitor_httplib INTERFACE ws2_32)

# Test programs carry the product's manifest, so that they get the same common controls (version
# 6) and DPI awareness as the program they test.
set(REFITOR_TEST_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/generated/test-manifest.rc)
file(CONFIGURE OUTPUT ${REFITOR_TEST_MANIFEST}
     CONTENT "1 24 \"${PROJECT_SOURCE_DIR}/src/app/Refitor.manifest\"\n")

# The private prefix, and what every Wine process of the tests runs with: no Wine chatter, no
# request for Mono or Gecko, and no debugger (winedbg) on a crash, which would wait for someone
# to close its dialog instead of letting the program end with its exception code.
set(REFITOR_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(REFITOR_WINE_ENV
    "WINEPREFIX=${REFITOR_WINE_PREFIX}"
    "WINEDEBUG=-all"
    "WINEDLLOVERRIDES=mscoree,mshtml,winedbg.exe="
    "LC_ALL=C.UTF-8"
    "no_proxy=127.0.0.1,localhost"
    "NO_PROXY=127.0.0.1,localhost")
set(REFITOR_WINE_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/support/win32/wine-prefix.sh)
add_test(NAME wine.prefix.setup COMMAND sh ${REFITOR_WINE_SCRIPT} setup)
add_test(NAME wine.prefix.cleanup COMMAND sh ${REFITOR_WINE_SCRIPT} cleanup)
set_tests_properties(wine.prefix.setup PROPERTIES
    FIXTURES_SETUP wine-prefix ENVIRONMENT "${REFITOR_WINE_ENV}" TIMEOUT 120)
set_tests_properties(wine.prefix.cleanup PROPERTIES
    FIXTURES_CLEANUP wine-prefix ENVIRONMENT "${REFITOR_WINE_ENV}" TIMEOUT 60)

# name: a test executable of this folder, run whole under Wine in the prefix; further arguments
# go to it.
function(refitor_add_wine_test name executable)
    add_test(NAME ${name} COMMAND ${executable} ${ARGN})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "${REFITOR_WINE_ENV}" FIXTURES_REQUIRED wine-prefix TIMEOUT 240)
endfunction()

# The stand-in for the product: a real Windows program that does what instructions appended to
# its own file say (support/win32/StandIn.cpp). Stripped, since every stand-in carries its bytes.
add_executable(refitor-stand-in WIN32 support/win32/StandIn.cpp support/win32/StandInFormat.h)
target_link_libraries(refitor-stand-in PRIVATE ws2_32 refitor_warnings)
target_link_options(refitor-stand-in PRIVATE -s)

# What the end-to-end test plants beside Refitor.exe under the names of the DLLs it delay-loads
# (support/win32/PlantedDll.cpp), and the program that shows a planted copy can load: it imports
# the same DLLs the ordinary way (support/win32/StaticImports.cpp).
add_library(refitor-planted SHARED support/win32/PlantedDll.cpp)
set_target_properties(refitor-planted PROPERTIES PREFIX "")
target_link_libraries(refitor-planted PRIVATE refitor_warnings)
target_link_options(refitor-planted PRIVATE -s)
add_executable(refitor-static-imports support/win32/StaticImports.cpp)
target_link_libraries(refitor-static-imports
    PRIVATE winhttp gdiplus comctl32 bcrypt refitor_warnings)

# The portable support for the system's tests, and this platform's (win32/PlatformSupport:
# stand-in programs, held files, child processes).
add_library(refitor_systemsupport STATIC
    support/SystemSupport.cpp support/SystemSupport.h
    support/PlatformSupport.h support/win32/PlatformSupport.cpp
    support/win32/StandInFormat.h)
target_include_directories(refitor_systemsupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(refitor_systemsupport PRIVATE
    REFITOR_STAND_IN="$<TARGET_FILE:refitor-stand-in>")
target_link_libraries(refitor_systemsupport PUBLIC refitor_runtime_api PRIVATE refitor_warnings)
add_dependencies(refitor_systemsupport refitor-stand-in)

# Shared by every test binary but skin_tests: the system support, the loopback servers and the
# main that starts the Win32 runtime.
add_library(refitor_testsupport STATIC ${REFITOR_TEST_SERVERS} support/win32/TestMain.cpp)
target_link_libraries(refitor_testsupport
    PUBLIC refitor_systemsupport refitor_runtime GTest::gtest refitor_httplib Threads::Threads
    PRIVATE ws2_32 refitor_warnings)

# What some tests need done in a process of their own, to see how it ends: an exit() mid-transfer,
# a lock held by another process, a kill between two steps of a swap.
add_executable(refitor-test-child support/TestChild.cpp)
target_link_libraries(refitor-test-child
    PRIVATE refitor_window refitor_systemsupport refitor_runtime refitor_warnings)

# name: a test executable of sources and libraries, with the test support, the product's
# manifest, and where the source tree and the test child are.
function(refitor_add_test_binary name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES} ${REFITOR_TEST_MANIFEST})
    target_link_libraries(${name} PRIVATE refitor_testsupport ${ARG_LIBS} refitor_warnings)
    target_compile_definitions(${name} PRIVATE
        REFITOR_TEST_CHILD="$<TARGET_FILE:refitor-test-child>"
        REFITOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    add_dependencies(${name} refitor-test-child)
endfunction()

# The runtime's own tests: what every runtime shares, and what only the Win32 one can show.
refitor_add_test_binary(runtime_tests
    SOURCES ${REFITOR_TESTS_runtime} ${REFITOR_TESTS_runtime_win32}
    LIBS refitor_runtime refitor_runtime_testing)
# Changing the user's regional settings reaches every process of the prefix, so that test runs
# alone, and the rest without it.
refitor_add_wine_test(runtime_tests runtime_tests --gtest_filter=-Win32RegionalSettings.*)
refitor_add_wine_test(runtime_tests.regional_settings runtime_tests
                      --gtest_filter=Win32RegionalSettings.*)
set_tests_properties(runtime_tests.regional_settings PROPERTIES RUN_SERIAL ON)
# The cryptography tests' keys and signatures, made by the Linux openssl command line into the
# build folder, which the Windows program reads through Wine's drive Z:.
include(${CMAKE_CURRENT_SOURCE_DIR}/signatures.cmake)
refitor_use_signatures(runtime_tests "Z:")

# The HTTPS server of the transfer tests' https cases (support/tls-server.sh): a Linux program,
# since Debian has no OpenSSL for MinGW, that Wine's processes reach on localhost. Started before
# runtime_tests and stopped after it by its process id: a Linux program that Wine starts has no
# process handle to stop it by.
set(REFITOR_TEST_PYTHON /usr/bin/python3
    CACHE FILEPATH "The Python that runs the tests' HTTPS server")
set(REFITOR_TLS_SERVER_FOLDER ${CMAKE_BINARY_DIR}/tls-server)
set(REFITOR_TLS_SERVER_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/support/tls-server.sh)
add_test(NAME tls.server.setup
    COMMAND sh ${REFITOR_TLS_SERVER_SCRIPT} start ${REFITOR_TEST_PYTHON} ${REFITOR_TLS_SERVER_FOLDER})
add_test(NAME tls.server.cleanup
    COMMAND sh ${REFITOR_TLS_SERVER_SCRIPT} stop ${REFITOR_TLS_SERVER_FOLDER})
set_tests_properties(tls.server.setup PROPERTIES FIXTURES_SETUP tls-server TIMEOUT 60)
set_tests_properties(tls.server.cleanup PROPERTIES FIXTURES_CLEANUP tls-server TIMEOUT 30)
# name: a test entry whose https cases use that server.
function(refitor_needs_tls_server name)
    set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED tls-server)
    set_property(TEST ${name} APPEND PROPERTY
        ENVIRONMENT "REFITOR_TLS_SERVER=${REFITOR_TLS_SERVER_FOLDER}")
endfunction()
refitor_needs_tls_server(runtime_tests)

# The skin format alone, with GoogleTest and nothing of the runtime.
add_executable(skin_tests ${REFITOR_TESTS_skin} ${REFITOR_TESTS_skin_win32})
target_compile_definitions(skin_tests PRIVATE REFITOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
target_link_libraries(skin_tests PRIVATE refitor_skin GTest::gtest_main refitor_warnings)
refitor_add_wine_test(skin_tests skin_tests)

# The system's tests: the same files as on Linux, on the Win32 runtime.
refitor_add_test_binary(control_tests
    SOURCES ${REFITOR_TESTS_control} LIBS refitor_control refitor_runtime_testing)
refitor_add_wine_test(control_tests control_tests)

refitor_add_test_binary(window_tests
    SOURCES ${REFITOR_TESTS_window} LIBS refitor_window refitor_runtime_testing)
include(${CMAKE_CURRENT_SOURCE_DIR}/release-keys.cmake)
# As with runtime_tests, the case that changes the user's regional settings runs alone.
refitor_add_wine_test(window_tests window_tests
                      --gtest_filter=-*RegionalSettings*:Rows/SignedUpdateTest.*:Rows/RetryTest.*)
# The signed runs, a table of whole update runs, beside the rest.
refitor_add_wine_test(window_tests.signed window_tests --gtest_filter=Rows/SignedUpdateTest.*)
refitor_needs_tls_server(window_tests.signed)
# The runs against a misbehaving server, another such table: a minute of waits, beside the rest.
refitor_add_wine_test(window_tests.retry window_tests --gtest_filter=Rows/RetryTest.*)
refitor_add_wine_test(window_tests.regional_settings window_tests
                      --gtest_filter=*RegionalSettings*)
set_tests_properties(window_tests.regional_settings PROPERTIES RUN_SERIAL ON)
# The longest entry by far: started first, the others run beside it.
set_tests_properties(window_tests PROPERTIES COST 1000)
include(${CMAKE_CURRENT_SOURCE_DIR}/windows-display.cmake)

# What the built Refitor.exe carries: KnownDLLs alone in its import table, Windows' own DLLs
# only among those it delay-loads, the version resource, the manifest.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME windows.image
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/e2e/check_windows_image.py
            $<TARGET_FILE:Refitor>)

# The installed Refitor.exe, for real, under Wine on an Xvfb of its own (see the script). The
# loopback server is the Linux build's: a Linux program serves a Wine one as well as any.
set(REFITOR_E2E_SERVER "" CACHE FILEPATH
    "The Linux build's refitor-testserver, for the Windows end-to-end test")
# A signed build's runs are served release files signed with the private twin of its key.
set(REFITOR_E2E_KEYS "")
if(REFITOR_SIGNING_KEYS)
    set(REFITOR_E2E_KEYS --keys ${REFITOR_SIGNING_KEYS})
endif()
if(REFITOR_E2E_SERVER AND REFITOR_DOWNLOAD_URL MATCHES "^http://127\\.0\\.0\\.1:")
    add_test(NAME e2e_windows.update_run
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_e2e_windows.sh
                --build-dir ${CMAKE_BINARY_DIR}
                --server ${REFITOR_E2E_SERVER}
                --stand-in $<TARGET_FILE:refitor-stand-in>
                --planted-dll $<TARGET_FILE:refitor-planted>
                --static-imports $<TARGET_FILE:refitor-static-imports>
                --source-dir ${PROJECT_SOURCE_DIR}
                --url ${REFITOR_DOWNLOAD_URL}
                ${REFITOR_E2E_KEYS})
    # Its own prefix, Xvfb and port: it runs beside the other entries, whose windows go nowhere.
    set_tests_properties(e2e_windows.update_run PROPERTIES
        TIMEOUT 400
        ENVIRONMENT "no_proxy=127.0.0.1,localhost;NO_PROXY=127.0.0.1,localhost")
else()
    message(STATUS "No Windows end-to-end test: it needs REFITOR_E2E_SERVER and a download "
                   "address on 127.0.0.1")
endif()
