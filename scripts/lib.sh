# Shell helpers shared by the scripts that start servers, displays and programs of their own
# (scripts/demo, scripts/screenshots, bench/run, tests/e2e/run_e2e.sh), and by those that make
# and use release keys (scripts/sign-update, scripts/test, tests/release/).
#
#   source "$root/scripts/lib.sh"
#
# Sourcing it only defines functions: no option, trap, variable or folder changes until one of
# them is called, so `set -euo pipefail` stays the caller's. The functions do not rely on errexit
# either, since a caller may well run them on the left of `||`.
#
# By convention the caller keeps the ids of what it started in variables (xvfb_pid, server_pid,
# ...) and stops them, by those ids, in a cleanup function handed to on_exit. start_xvfb sets
# xvfb_pid itself.
# shellcheck shell=bash

# --- Messages ----------------------------------------------------------------------------------

# say_as NAME [FD]: every later `say` line starts with "NAME: " and goes to FD (1 unless told).
say_as() {
  _say_name="$1"
  _say_fd="${2:-1}"
}

say() { # TEXT...
  printf '%s: %s\n' "${_say_name:-${0##*/}}" "$*" >&"${_say_fd:-1}"
}

die() { # TEXT...: says it on the error stream and ends the script with 1
  say "$*" >&2
  exit 1
}

# --- Checks ------------------------------------------------------------------------------------

# The test scripts count their checks in passed and failed, which they set to 0 themselves. pass
# and fail are the plain ones; a script that says more of each (its scenario) defines its own
# after sourcing this file, and check calls whichever stands.
pass() { passed=$((passed + 1)); } # DESCRIPTION
fail() { failed=$((failed + 1)); say "FAIL: $1"; } # DESCRIPTION

check() { # DESCRIPTION COMMAND...: passes when the command succeeds
  local what="$1"
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# --- Processes ---------------------------------------------------------------------------------

# on_exit FUNCTION: FUNCTION runs once when the script ends, however it ends. Bash runs no EXIT
# trap when a signal kills it, so Ctrl-C and TERM are turned into an ordinary exit (130).
on_exit() {
  # shellcheck disable=SC2064 # the function's name is fixed now, on purpose
  trap "$1" EXIT
  trap 'exit 130' INT TERM
}

# stop_pid PID: ends one process this script started and reaps it, so nothing of it outlives the
# script. An empty PID (nothing started yet, or already stopped) is no error, nor is a process
# that has ended on its own.
stop_pid() {
  local pid="${1:-}"
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# has_ended PID: the process is gone. Bash reaps its own children as they end (keeping their
# exit status for `wait`), so an ended child counts as gone here, not as a zombie.
has_ended() {
  ! kill -0 "$1" 2>/dev/null
}

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds (0, with whatever it
# printed on the last try) or SECONDS have passed (1).
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# --- Environment -------------------------------------------------------------------------------

# Nothing started from here may reach past 127.0.0.1, whatever proxy the shell was given.
loopback_only() {
  unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY
  export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"
}

# private_runtime_dir DIR: Qt warns on every start without an XDG_RUNTIME_DIR; DIR/runtime is one
# that goes away with DIR.
private_runtime_dir() {
  export XDG_RUNTIME_DIR="$1/runtime"
  mkdir -m 0700 "$XDG_RUNTIME_DIR"
}

# port_is_free PORT: nothing listens on 127.0.0.1:PORT. The test server shares its port with any
# listener that allows it (SO_REUSEPORT), and that listener would answer some requests in its
# place, so it must not start beside one. A connection is the test, not a bind: the sockets an
# earlier test server leaves lingering block a plain bind for a while, yet the next one starts.
port_is_free() {
  ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# --- Release keys ------------------------------------------------------------------------------

# release_keys DIR: prints the path of DIR's public release key, for -DREFITOR_PUBLIC_KEYS, once
# DIR holds a pair (scripts/sign-update keygen), made now when it has none. The pair is made in
# a folder of its own that takes DIR's name in one rename, so that of two scripts started
# together, both use the one pair that won.
release_keys() {
  local dir="$1" made
  if [ ! -s "$dir/release-key.pub.pem" ]; then
    mkdir -p "$(dirname "$dir")" || return 1
    made="$(mktemp -d "$dir.XXXXXX")" || return 1
    if ! "${BASH_SOURCE[0]%/*}/sign-update" keygen "$made" >/dev/null; then
      rm -rf "$made"
      return 1
    fi
    if mv -T "$made" "$dir" 2>/dev/null; then
      say "made a release key pair for builds of this checkout in $dir" >&2
    else
      rm -rf "$made"
    fi
  fi
  if [ ! -s "$dir/release-key.pub.pem" ] || [ ! -s "$dir/release-key.pem" ]; then
    say "$dir holds no release key pair (release-key.pem, release-key.pub.pem)" >&2
    return 1
  fi
  printf '%s\n' "$dir/release-key.pub.pem"
}

# --- X display ---------------------------------------------------------------------------------

# start_xvfb DIR SCREEN: starts a private Xvfb (SCREEN as in 1024x768x24) on the first free
# display, which it tells through DIR/display, and waits up to 20 s for it. Sets xvfb_pid and
# exports DISPLAY. On failure it shows DIR/xvfb.log and returns 1, leaving xvfb_pid set for the
# cleanup. Callable again once the previous Xvfb is stopped and xvfb_pid emptied.
start_xvfb() {
  rm -f "$1/display"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 "$2" 3>"$1/display" 2>"$1/xvfb.log" &
  # shellcheck disable=SC2034 # the caller's, for its cleanup
  xvfb_pid=$!
  wait_for 20 _xvfb_told_or_ended "$1" || true
  if [ ! -s "$1/display" ]; then
    say "Xvfb did not start:" >&2
    cat "$1/xvfb.log" >&2
    return 1
  fi
  DISPLAY=":$(tr -d '[:space:]' <"$1/display")"
  export DISPLAY
}

# An Xvfb that cannot start (no free display, a bad option) is not waited for 20 s.
_xvfb_told_or_ended() { # DIR
  [ -s "$1/display" ] || has_ended "$xvfb_pid"
}

# find_window REGEX [EXCEPT_ID]: prints the id of the first visible window whose title matches
# REGEX and that is not EXCEPT_ID (a message box shares its title with nothing but itself).
find_window() {
  local id
  for id in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
    if [ "$id" != "${2:-}" ]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}

# title_past WINDOW_ID PERCENT: the window's title ends in a percentage of at least PERCENT, as
# the update window's does while it downloads ("Updating Korvane 42.5%").
title_past() {
  local title percent
  title="$(xdotool getwindowname "$1" 2>/dev/null)" || return 1
  [[ "$title" == *% ]] || return 1
  percent="${title##* }"
  percent="${percent%%[.%]*}"
  [[ "$percent" =~ ^[0-9]+$ ]] && [ "$percent" -ge "$2" ]
}

# write_stand_in STAND_IN FILE WORD MARKER PADDING_BYTES: FILE becomes the tests' stand-in Windows
# program (STAND_IN, refitor-stand-in.exe) told to append WORD to the Unix file MARKER and exit 0.
# Its instructions follow its image and PADDING_BYTES of random bytes: the marker's Windows path
# under Wine, the word, the ending ("0"), then "refitor-stand-in " and their length in ten digits
# (tests/support/win32/StandInFormat.h).
write_stand_in() {
  local LC_ALL=C instructions
  instructions="Z:${4//\//\\}"$'\n'"$3"$'\n0\n'
  {
    cat "$1"
    if [ "$5" -gt 0 ]; then head -c "$5" /dev/urandom; fi
    printf '%s' "$instructions"
    printf 'refitor-stand-in %010d' "${#instructions}"
  } >"$2"
}

# press_return_in WINDOW_ID: focuses the window and presses Return until the window is no longer
# shown, five times at most (1 if it is still shown then). Under Wine the first key can come
# before the window has the keyboard focus.
press_return_in() {
  local _
  for _ in 1 2 3 4 5; do
    xdotool windowfocus --sync "$1" key --clearmodifiers Return 2>/dev/null || true
    wait_for 3 _window_hidden "$1" && return 0
  done
  return 1
}

_window_hidden() { # WINDOW_ID: the window is gone, or unmapped ('' matches every title)
  ! xdotool search --onlyvisible --name '' 2>/dev/null | grep -x "$1" >/dev/null
}

# shoot_windows WINDOW_ID... FILE: a screenshot of the smallest part of the screen that holds
# every given window. Without a window manager, a window's X geometry is all the program drew.
shoot_windows() {
  local file="${*: -1}" id key value x y w h left="" top="" right="" bottom=""
  for id in "${@:1:$#-1}"; do
    x="" y="" w="" h=""
    while IFS='=' read -r key value; do
      case "$key" in X) x="$value" ;; Y) y="$value" ;; WIDTH) w="$value" ;; HEIGHT) h="$value" ;; esac
    done < <(xdotool getwindowgeometry --shell "$id" 2>/dev/null)
    [ -n "$h" ] || return 1
    [ -n "$left" ] && [ "$left" -le "$x" ] || left="$x"
    [ -n "$top" ] && [ "$top" -le "$y" ] || top="$y"
    [ -n "$right" ] && [ "$right" -ge $((x + w)) ] || right=$((x + w))
    [ -n "$bottom" ] && [ "$bottom" -ge $((y + h)) ] || bottom=$((y + h))
  done
  [ "$left" -ge 0 ] || left=0
  [ "$top" -ge 0 ] || top=0
  import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$file"
}

# Asks a window to close the way a window manager does, with a WM_DELETE_WINDOW message; no
# window manager runs under this Xvfb, and xdotool 3.2016 cannot send one.
close_window() { # WINDOW_ID: asks the window to close as a window manager does
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
