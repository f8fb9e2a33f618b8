# A private X display for the Windows tests that make windows, and the skin painter's tests again
# at 150 % and 200 % scaling. Included at the end of tests/windows.cmake, after its Wine prefix
# fixture and its test entries.
#
# The display.setup entry starts an Xvfb of its own and writes its display number and process id
# into the build folder; every Wine process of a test that needs the display starts through a
# launcher that sets DISPLAY from that file; the display.cleanup entry ends that Xvfb by its
# process id. One display for the whole run, as there is one Wine prefix: the prefix's desktop
# process belongs to the display its first window was made on.

find_program(REFITOR_XVFB Xvfb REQUIRED)
set(REFITOR_DISPLAY_DIR ${CMAKE_BINARY_DIR}/display)
set(REFITOR_DISPLAY_SCRIPT ${REFITOR_DISPLAY_DIR}/display.sh)
file(CONFIGURE OUTPUT ${REFITOR_DISPLAY_SCRIPT} @ONLY CONTENT [=[
#!/bin/sh
# start: a private Xvfb, its number and process id kept in this folder. stop: ends it by that id.
# run COMMAND...: runs COMMAND (Wine and a test program) on that display; with
# REFITOR_LOGPIXELS set, at that many dots per inch, restored to the default afterwards.
set -u
dir='@REFITOR_DISPLAY_DIR@'
case "${1:-}" in
start)
    mkdir -p "$dir"
    rm -f "$dir/number" "$dir/pid" "$dir/ready"
    mkfifo "$dir/ready"
    # Its own session, and none of the test's output streams: the entry ends while it runs on.
    # -displayfd writes the number once the server accepts connections: nothing to poll.
    setsid '@REFITOR_XVFB@' -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
        3>"$dir/ready" </dev/null >"$dir/xvfb.log" 2>&1 &
    echo $! >"$dir/pid"
    number=''
    read -r number <"$dir/ready" || true
    rm -f "$dir/ready"
    if [ -z "$number" ]; then
        echo "Xvfb did not start:" >&2
        cat "$dir/xvfb.log" >&2
        exit 1
    fi
    echo "$number" >"$dir/number"
    echo "Xvfb $(cat "$dir/pid") serves display :$number"
    ;;
stop)
    [ -f "$dir/pid" ] || exit 0
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    # Gone once signal 0 no longer reaches it; a server that hangs is killed after 10 s.
    tries=0
    while kill -0 "$pid" 2>/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -gt 100 ]; then
            kill -9 "$pid" 2>/dev/null || true
            break
        fi
        sleep 0.1
    done
    rm -f "$dir/pid" "$dir/number"
    ;;
run)
    shift
    if [ ! -f "$dir/number" ]; then
        echo "no display: the display.setup entry has not run" >&2
        exit 1
    fi
    DISPLAY=":$(cat "$dir/number")"
    export DISPLAY
    logpixels=${REFITOR_LOGPIXELS:-}
    # The system's DPI is read by each Wine process as it starts, from the prefix's registry.
    if [ -n "$logpixels" ]; then
        "$1" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$logpixels" /f \
            >/dev/null 2>&1
    fi
    "$@"
    status=$?
    if [ -n "$logpixels" ]; then
        "$1" reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
    fi
    exit $status
    ;;
*)
    echo "usage: $0 start | stop | run COMMAND..." >&2
    exit 2
    ;;
esac
]=])

add_test(NAME display.setup COMMAND sh ${REFITOR_DISPLAY_SCRIPT} start)
add_test(NAME display.cleanup COMMAND sh ${REFITOR_DISPLAY_SCRIPT} stop)
set_tests_properties(display.setup PROPERTIES FIXTURES_SETUP display TIMEOUT 60)
set_tests_properties(display.cleanup PROPERTIES FIXTURES_CLEANUP display TIMEOUT 60)

# target: a test executable every CTest entry of which starts under Wine through the launcher.
function(refitor_use_display target)
    set_target_properties(${target} PROPERTIES
        CROSSCOMPILING_EMULATOR "sh;${REFITOR_DISPLAY_SCRIPT};run;${CMAKE_CROSSCOMPILING_EMULATOR}")
endfunction()

# Test entries that need the display to be up.
function(refitor_needs_display)
    foreach(test IN LISTS ARGN)
        if(TEST ${test})
            set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED display)
        endif()
    endforeach()
endfunction()

foreach(target runtime_tests control_tests window_tests)
    if(TARGET ${target})
        refitor_use_display(${target})
    endif()
endforeach()
refitor_needs_display(runtime_tests runtime_tests.regional_settings control_tests window_tests
                      window_tests.regional_settings window_tests.signed window_tests.retry)

# The skin painter once more at 150 % and 200 %. The DPI is the prefix's, for every process in it,
# so each runs alone.
if(TARGET runtime_tests)
    set(dpis 144 192)
    set(scales 1.5 2)
    foreach(dpi scale IN ZIP_LISTS dpis scales)
        refitor_add_wine_test(runtime_tests.skin_painter_at_${dpi}_dpi runtime_tests
                              --gtest_filter=SkinPainter.*:Win32SkinPainter.*)
        set_tests_properties(runtime_tests.skin_painter_at_${dpi}_dpi PROPERTIES
            ENVIRONMENT "${REFITOR_WINE_ENV};REFITOR_LOGPIXELS=${dpi};REFITOR_EXPECTED_SCALE=${scale}"
            RUN_SERIAL ON)
        refitor_needs_display(runtime_tests.skin_painter_at_${dpi}_dpi)
    endforeach()
endif()
