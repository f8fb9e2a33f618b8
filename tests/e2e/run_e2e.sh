#!/usr/bin/env bash
# End-to-end run of the installed Refitor under Xvfb, against refitor-testserver on 127.0.0.1.
#
#   run_e2e.sh --build-dir DIR --server PATH --source-dir DIR [--url URL]
#
# Installs the build into a temporary folder beside an old Korvane.exe (a shell script that
# appends "old" to a marker file), starts its own Xvfb and the test server on the port of the
# build's download address, runs the real program and drives its window with xdotool:
#   success  the server sends a new Korvane.exe (throttled to ~3 s): exit 0, new file in place
#            with the old permission bits, "new" started from its own folder
#   404      exit 1, the old Korvane.exe restored byte for byte and started
#   cut      the connection closes halfway: as 404
#   cancel   the window is closed mid-download, as a window manager would: exit 2, old restored,
#            nothing started
#   close-button  as cancel, by a click on the skinned title bar's close button
# Every scenario also checks that no backup or partial download is left in the folder.
#
# REFITOR_SCREENSHOT_DIR: when set, the success scenario saves screenshot-download.png there (a
# relative folder is taken from the source folder). REFITOR_E2E_KEEP=1 keeps the work folder.
set -euo pipefail

usage() {
  echo "usage: $0 --build-dir DIR --server PATH --source-dir DIR [--url URL]" >&2
  exit 2
}

build_dir="" server="" source_dir="" url=""
while [ "$#" -gt 0 ]; do
  [ "$#" -ge 2 ] || usage
  case "$1" in
    --build-dir) build_dir="$2" ;;
    --server) server="$2" ;;
    --source-dir) source_dir="$2" ;;
    --url) url="$2" ;;
    *) usage ;;
  esac
  shift 2
done
if [ -z "$build_dir" ] || [ -z "$server" ] || [ -z "$source_dir" ]; then usage; fi
if [ -z "$url" ]; then
  url="$(sed -n 's/^REFITOR_DOWNLOAD_URL:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"
fi
if [[ ! "$url" =~ ^http://127\.0\.0\.1:([0-9]+)/ProgramFiles/Korvane\.exe$ ]]; then
  echo "e2e: the build must download from http://127.0.0.1:PORT/ProgramFiles/Korvane.exe," \
    "not '$url' (configure with -DREFITOR_DOWNLOAD_URL=...)" >&2
  exit 2
fi
readonly port="${BASH_REMATCH[1]}"

for tool in Xvfb xdotool import cmake python3 cmp stat; do
  command -v "$tool" >/dev/null || { echo "e2e: $tool is missing (run scripts/install-deps)" >&2; exit 2; }
done

# Only the loopback server is ever contacted, and the program gets the X display, not offscreen.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY QT_QPA_PLATFORM
export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"

work="$(mktemp -d "${TMPDIR:-/tmp}/refitor-e2e.XXXXXX")"
xvfb_pid="" server_pid="" refitor_pid=""
# Qt wants a private runtime folder; without one it warns on every start.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 0700 "$XDG_RUNTIME_DIR"

stop_pid() { # PID: ends one process we started and reaps it
  local pid="$1"
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop_pid "$refitor_pid"
  stop_pid "$server_pid"
  stop_pid "$xvfb_pid"
  if [ "${REFITOR_E2E_KEEP:-0}" = 1 ]; then
    echo "e2e: kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log() { echo "e2e: $*"; }

passed=0 failed=0 scenario_ok=1
pass() { passed=$((passed + 1)); log "PASS $scenario: $1"; }
fail() {
  failed=$((failed + 1))
  scenario_ok=0
  log "FAIL $scenario: $1"
}
check() { # DESCRIPTION COMMAND...: passes when the command succeeds
  local what="$1"
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

wait_for() { # SECONDS COMMAND...: polls until the command succeeds; 1 when time runs out
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# --- X display ---------------------------------------------------------------------------------

Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
if ! wait_for 20 test -s "$work/display"; then
  echo "e2e: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
export DISPLAY
log "Xvfb on $DISPLAY (pid $xvfb_pid), server port $port"

window_titles() { # every visible window with a name, for diagnostics
  local id
  for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    echo "  window $id: '$(xdotool getwindowname "$id" 2>/dev/null)'"
  done
}

# Prints the first visible window whose title matches REGEX and is not EXCEPT_ID.
find_window() { # REGEX [EXCEPT_ID]
  local id
  for id in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
    if [ "$id" != "${2:-}" ]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}

# Asks a window to close the way a window manager does, with a WM_DELETE_WINDOW message; no
# window manager runs under this Xvfb, and xdotool 3.2016 cannot send one.
close_window() { # WINDOW_ID
  python3 - "$1" <<'PY'
import ctypes, sys

x11 = ctypes.CDLL("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                           ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]

class XEvent(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit("cannot open the display")
window = int(sys.argv[1])
event = XEvent()
event.xclient.type = 33  # ClientMessage
event.xclient.window = window
event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
event.xclient.format = 32
event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
x11.XFlush(display)
x11.XCloseDisplay(display)
PY
}

title_past_a_third() { # WINDOW_ID
  [[ "$(xdotool getwindowname "$1")" =~ \ ([3-9][0-9]|100)(\.[0-9]+)?%$ ]]
}

screenshot() { # FILE [WINDOW_ID]: the window when given, else the whole screen
  import -window "${2:-root}" "$1" 2>/dev/null || import -window root "$1" 2>/dev/null || true
}

# --- The installed program ---------------------------------------------------------------------

install_dir="$work/install"
cmake --install "$build_dir" --prefix "$install_dir" >"$work/install.log" 2>&1 || {
  cat "$work/install.log" >&2
  echo "e2e: cmake --install failed" >&2
  exit 1
}
scenario=install
check "installs Refitor and SKN/SoftCrystal.skn" \
  test -x "$install_dir/Refitor" -a -f "$install_dir/SKN/SoftCrystal.skn"

# A Korvane.exe stand-in: a shell script that appends WORD and its arguments to the marker, and
# its working folder to MARKER.cwd. About PADDING_BYTES of comment after it make the download
# longer (lines of 57 random bytes in base64 are 79 bytes long).
write_korvane() { # FILE WORD MARKER PADDING_BYTES
  {
    printf '#!/bin/sh\n'
    printf 'echo %s "$@" >>'\''%s'\''\n' "$2" "$3"
    printf 'pwd -P >'\''%s.cwd'\''\n' "$3"
    printf 'exit 0\n'
    if [ "$4" -gt 0 ]; then
      head -c $(($4 * 57 / 79)) /dev/urandom | base64 -w 76 | sed 's/^/# /'
    fi
  } >"$1"
}

start_server() { # MODE FILE RATE
  rm -f "$work/port"
  # The server shares its port with any other listener that asks to (SO_REUSEPORT), which would
  # answer some requests in its place: refuse to run beside one.
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "e2e: something already listens on 127.0.0.1:$port; stop it first" >&2
    exit 1
  fi
  "$server" --port "$port" --mode "$1" --file "$2" --rate "$3" --port-file "$work/port" \
    >"$work/$scenario.server.log" 2>&1 &
  server_pid=$!
  if ! wait_for 10 test -s "$work/port"; then
    cat "$work/$scenario.server.log" >&2
    echo "e2e: refitor-testserver did not start on port $port" >&2
    exit 1
  fi
}

program_ended() { ! kill -0 "$refitor_pid" 2>/dev/null; }

# Waits up to SECONDS for the program to end; sets exit_code (empty while it still runs).
wait_exit() { # SECONDS
  exit_code=""
  if wait_for "$1" program_ended; then
    exit_code=0
    wait "$refitor_pid" || exit_code=$?
    refitor_pid=""
  fi
}

leftovers() { # FOLDER: names of backups and partial downloads in it
  find "$1" -maxdepth 1 \( -name '*.refitor-backup' -o -name '.refitor-*.part' \) -printf '%f\n'
}

diagnose() { # FOLDER
  log "--- diagnostics for $scenario ---"
  echo "Refitor output:"
  sed 's/^/  | /' "$work/$scenario.refitor.log" || true
  echo "server output:"
  sed 's/^/  | /' "$work/$scenario.server.log" || true
  echo "folder $1:"
  find "$1" -mindepth 1 -maxdepth 2 -printf '  %M %8s %p\n' || true
  echo "marker: $(cat "$work/$scenario.marker" 2>/dev/null || echo '(none)')"
  echo "windows:"
  window_titles
  screenshot "$build_dir/e2e-failure-$scenario.png"
  log "screenshot: $build_dir/e2e-failure-$scenario.png"
}

# The value of KEY in [SECTION] of a skin file.
skin_value() { # FILE SECTION KEY
  awk -v section="[$2]" -v key="$3" '
    $0 == section { inside = 1; next }
    /^\[/ { inside = 0 }
    inside && $1 == key && $2 == "=" { print $3; exit }' "$1"
}

# Clicks the close button the skin draws at the right of its title bar, found from the window's
# geometry and the metrics the installed default skin declares.
click_close_button() { # WINDOW_ID
  local skin="$install_dir/SKN/SoftCrystal.skn" border title size margin X Y WIDTH HEIGHT SCREEN
  border="$(skin_value "$skin" frame border-width)"
  title="$(skin_value "$skin" title height)"
  size="$(skin_value "$skin" close-button size)"
  margin=$(((title - size) / 2))
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT|SCREEN)=')"
  xdotool mousemove --sync $((X + WIDTH - border - margin - size / 2 - 1)) \
    $((Y + border + margin + size / 2)) click 1
}

# MODE: ok | 404 | cut | cancel | closebutton (the last two served as ok, the window is closed
# mid-download).
run_scenario() { # NAME MODE
  scenario="$1"
  local mode="$2" dir="$work/$1" marker="$work/$1.marker"
  local old="$work/$1.old" new="$work/$1.new" rate=0 size=200000
  scenario_ok=1 exit_code=""
  log "=== $scenario ==="

  cp -a "$install_dir" "$dir"
  write_korvane "$dir/Korvane.exe" old "$marker" 0
  chmod 0750 "$dir/Korvane.exe"
  cp -p "$dir/Korvane.exe" "$old"
  case "$mode" in
    ok) rate=100000 size=300000 ;;     # ~3 s, long enough to be seen mid-way
    cancel | closebutton) rate=40000 size=400000 ;; # ~10 s, time enough to close the window
  esac
  write_korvane "$new" new "$marker" "$size"
  local served="$mode"
  [ "$mode" != cancel ] && [ "$mode" != closebutton ] || served=ok
  start_server "$served" "$new" "$rate"

  (cd "$dir" && exec ./Refitor) >"$work/$scenario.refitor.log" 2>&1 &
  refitor_pid=$!

  local main="" box="" title
  if [ "$served" = ok ]; then
    # The program waits three seconds before it starts; ASan makes everything slower.
    if main="$(wait_for 30 find_window '^Updating Korvane [0-9]+(\.[0-9]+)?%$')"; then
      pass "progress shows in the title ('$(xdotool getwindowname "$main")')"
      # 362 x 66 of client area inside the default skin's frame: one-pixel border and a
      # 22-pixel title bar.
      local geometry
      geometry="$(xdotool getwindowgeometry "$main" | awk '/Geometry:/ { print $2 }')"
      check "the window wears the default skin's frame (364x90, got $geometry)" \
        test "$geometry" = 364x90
    else
      fail "no title 'Updating Korvane N%' within 30 s"
    fi
  fi

  if [ "$mode" = ok ] && [ -n "$main" ] && [ -n "${REFITOR_SCREENSHOT_DIR:-}" ]; then
    # Somewhere in the middle of the bar, when the download gets there in time.
    wait_for 2 title_past_a_third "$main" || true
    local shots
    if shots="$(cd "$source_dir" && mkdir -p "$REFITOR_SCREENSHOT_DIR" &&
      cd "$REFITOR_SCREENSHOT_DIR" && pwd)"; then
      screenshot "$shots/screenshot-download.png" "$main"
      log "screenshot of '$(xdotool getwindowname "$main")': $shots/screenshot-download.png"
    fi
  fi

  if [ "$mode" = cancel ] || [ "$mode" = closebutton ]; then
    if [ -n "$main" ]; then
      if [ "$mode" = cancel ]; then close_window "$main"; else click_close_button "$main"; fi
    fi
    wait_exit 20
    check "exit code 2 after the window is closed (got ${exit_code:-none: still running})" \
      test "$exit_code" = 2
    # A started program writes the marker at once; give it the time it would need.
    sleep 1
    check "nothing is started" test ! -e "$marker"
  else
    local expected="Update failed"
    [ "$mode" != ok ] || expected="Update is completed"
    if main="$(wait_for 60 find_window '^Update (is completed|failed)$')"; then
      title="$(xdotool getwindowname "$main")"
      check "window title '$expected' (got '$title')" test "$title" = "$expected"
    else
      fail "the window title never became 'Update is completed' or 'Update failed'"
    fi

    if box="$(wait_for 15 find_window '^Updating Korvane$' "$main")"; then
      pass "a message box titled 'Updating Korvane' shows"
      # No window manager gives the box the focus: do it, then press Return for OK. Retried,
      # since a key pressed before the box is ready for it is lost.
      local try
      for try in 1 2 3; do
        xdotool windowfocus --sync "$box" 2>/dev/null || true
        xdotool key --clearmodifiers Return 2>/dev/null || true
        wait_exit 5
        [ -z "$exit_code" ] || break
        log "the box is still open after Return (try $try)"
      done
    else
      fail "no message box titled 'Updating Korvane' within 15 s"
    fi

    [ -n "$exit_code" ] || wait_exit 10
    local code=1 word=old
    [ "$mode" != ok ] || { code=0 word=new; }
    check "exit code $code (got ${exit_code:-none: still running})" test "$exit_code" = "$code"
    wait_for 10 test -s "$marker" || true
    check "$word Korvane.exe is started without arguments (marker: '$(cat "$marker" 2>/dev/null)')" \
      test "$(cat "$marker" 2>/dev/null)" = "$word"
    check "Korvane.exe starts in its own folder" \
      test "$(cat "$marker.cwd" 2>/dev/null)" = "$(cd "$dir" && pwd -P)"
  fi

  if [ "$mode" = ok ]; then
    check "Korvane.exe is the served file" cmp -s "$dir/Korvane.exe" "$new"
    check "the new Korvane.exe has the old one's permission bits (750, got $(stat -c %a "$dir/Korvane.exe"))" \
      test "$(stat -c %a "$dir/Korvane.exe")" = 750
  else
    check "the old Korvane.exe is back byte for byte" cmp -s "$dir/Korvane.exe" "$old"
    check "the old Korvane.exe keeps its permission bits (750, got $(stat -c %a "$dir/Korvane.exe"))" \
      test "$(stat -c %a "$dir/Korvane.exe")" = 750
  fi
  local left
  left="$(leftovers "$dir" | tr '\n' ' ')"
  check "no backup or partial download is left${left:+ (found: $left)}" test -z "$left"
  left="$(find "$dir" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | tr '\n' ' ')"
  check "the folder holds just Korvane.exe, Refitor and SKN (found: $left)" \
    test "$left" = "Korvane.exe Refitor SKN "

  [ "$scenario_ok" = 1 ] || diagnose "$dir"
  stop_pid "$refitor_pid"
  refitor_pid=""
  stop_pid "$server_pid"
  server_pid=""
}

run_scenario success ok
run_scenario not-found 404
run_scenario cut cut
run_scenario cancel cancel
run_scenario close-button closebutton

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
