#!/usr/bin/env bash
# End-to-end run of the installed Refitor under Xvfb, against refitor-testserver on 127.0.0.1.
#
#   run_e2e.sh --build-dir DIR --server PATH --source-dir DIR [--url URL] [--keys DIR]
#
# Installs the build into a temporary folder beside an old Korvane.exe (a shell script that
# appends "old" to a marker file), starts its own Xvfb and the test server on the port of the
# build's download address, runs the real program and drives its window with xdotool through a
# table of scenarios (run_scenario at the end): a successful update; server answers that are no
# program (404, a cut, an empty body, a close-delimited body cut short, gzip nobody asked for, a
# captive portal's HTML page, an endless body); a file-size limit; a new version that cannot
# start and one that crashes at once (rolled back); the window closed by the window manager and
# by the skin's close button; a second updater in the folder; and the display lost mid-download.
# Every scenario checks that a runnable Korvane.exe (old or new, with its permission bits) is in
# place, that nothing of Refitor's is left in the folder, which Korvane.exe was started, the exit
# code, and that a failure is told as a failure with its reason.
#
# --keys names the folder of the build's release key pair (scripts/sign-update keygen): each
# scenario's served Korvane.exe is then signed with it (serial 1), and the server hands out its
# release file beside it.
#
# REFITOR_SCREENSHOT_DIR: when set, the success scenario saves screenshot-download.png there (a
# relative folder is taken from the source folder). REFITOR_E2E_KEEP=1 keeps the work folder.
set -euo pipefail

usage() {
  echo "usage: $0 --build-dir DIR --server PATH --source-dir DIR [--url URL] [--keys DIR]" >&2
  exit 2
}

build_dir="" server="" source_dir="" url="" keys=""
while [ "$#" -gt 0 ]; do
  [ "$#" -ge 2 ] || usage
  case "$1" in
    --build-dir) build_dir="$2" ;;
    --server) server="$2" ;;
    --source-dir) source_dir="$2" ;;
    --url) url="$2" ;;
    --keys) keys="$2" ;;
    *) usage ;;
  esac
  shift 2
done
if [ -z "$build_dir" ] || [ -z "$server" ] || [ -z "$source_dir" ]; then usage; fi
# The helpers of the checkout under test, the one CTest names, not of wherever this copy lies.
if [ ! -f "$source_dir/scripts/lib.sh" ]; then
  echo "e2e: $source_dir/scripts/lib.sh is missing; is --source-dir the source folder?" >&2
  exit 2
fi
# shellcheck source=scripts/lib.sh
source "$source_dir/scripts/lib.sh"
say_as e2e

if [ -z "$url" ]; then
  url="$(sed -n 's/^REFITOR_DOWNLOAD_URL:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"
fi
if [[ ! "$url" =~ ^http://127\.0\.0\.1:([0-9]+)/ProgramFiles/Korvane\.exe$ ]]; then
  say "the build must download from http://127.0.0.1:PORT/ProgramFiles/Korvane.exe," \
    "not '$url' (configure with -DREFITOR_DOWNLOAD_URL=...)" >&2
  exit 2
fi
readonly port="${BASH_REMATCH[1]}"
if [ -n "$keys" ] && [ ! -f "$keys/release-key.pem" ]; then
  say "$keys/release-key.pem is missing: --keys names the folder of the build's key pair" >&2
  exit 2
fi

for tool in Xvfb xdotool import cmake python3 cmp stat; do
  command -v "$tool" >/dev/null || { say "$tool is missing (run scripts/install-deps)" >&2; exit 2; }
done

# Only the loopback server is ever contacted, and the program gets the X display, not offscreen.
loopback_only
unset QT_QPA_PLATFORM

# A version that crashes on purpose must not leave a core file in the folder under test.
ulimit -c 0

work="" xvfb_pid="" server_pid="" refitor_pid=""
cleanup() {
  stop_pid "$refitor_pid"
  stop_pid "$server_pid"
  stop_pid "$xvfb_pid"
  [ -n "$work" ] || return 0
  if [ "${REFITOR_E2E_KEEP:-0}" = 1 ]; then
    say "kept $work"
  else
    rm -rf "$work"
  fi
}
on_exit cleanup
work="$(mktemp -d "${TMPDIR:-/tmp}/refitor-e2e.XXXXXX")"
private_runtime_dir "$work"

passed=0 failed=0 scenario_ok=1
pass() { passed=$((passed + 1)); say "PASS $scenario: $1"; }
fail() {
  failed=$((failed + 1))
  scenario_ok=0
  say "FAIL $scenario: $1"
}

# --- X display ---------------------------------------------------------------------------------

start_xvfb "$work" 1024x768x24 || exit 1
say "Xvfb on $DISPLAY (pid $xvfb_pid), server port $port"

window_titles() { # every visible window with a name, for diagnostics
  local id
  for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    echo "  window $id: '$(xdotool getwindowname "$id" 2>/dev/null)'"
  done
}

screenshot() { # FILE [WINDOW_ID]: the window when given, else the whole screen
  import -window "${2:-root}" "$1" 2>/dev/null || import -window root "$1" 2>/dev/null || true
}

# --- The installed program ---------------------------------------------------------------------

install_dir="$work/install"
cmake --install "$build_dir" --prefix "$install_dir" >"$work/install.log" 2>&1 || {
  cat "$work/install.log" >&2
  say "cmake --install failed" >&2
  exit 1
}
scenario=install
check "installs Refitor and SKN/SoftCrystal.skn" \
  test -x "$install_dir/Refitor" -a -f "$install_dir/SKN/SoftCrystal.skn"

# A Korvane.exe stand-in: a shell script that appends WORD and its arguments to the marker, and
# its working folder to MARKER.cwd, then runs TAIL (default: exit 0). About PADDING_BYTES of
# comment after it make the download longer (lines of 57 random bytes in base64 are 79 bytes).
write_korvane() { # FILE WORD MARKER PADDING_BYTES [TAIL]
  {
    printf '#!/bin/sh\n'
    printf 'echo %s "$@" >>'\''%s'\''\n' "$2" "$3"
    printf 'pwd -P >'\''%s.cwd'\''\n' "$3"
    printf '%s\n' "${5:-exit 0}"
    if [ "$4" -gt 0 ]; then
      head -c $(($4 * 57 / 79)) /dev/urandom | base64 -w 76 | sed 's/^/# /'
    fi
  } >"$1"
}

# With the build's keys, FILE is served with a release file signed for it.
start_server() { # MODE FILE RATE
  local release=()
  if [ -n "$keys" ]; then
    "$source_dir/scripts/sign-update" sign --key "$keys/release-key.pem" --serial 1 "$2" \
      >"$work/$scenario.sign.log" 2>&1 || { cat "$work/$scenario.sign.log" >&2; die "cannot sign $2"; }
    release=(--release "$2.release")
  fi
  rm -f "$work/port"
  port_is_free "$port" || die "something already listens on 127.0.0.1:$port; stop it first"
  "$server" --port "$port" --mode "$1" --file "$2" --rate "$3" --port-file "$work/port" \
    "${release[@]}" >"$work/$scenario.server.log" 2>&1 &
  server_pid=$!
  if ! wait_for 10 test -s "$work/port"; then
    cat "$work/$scenario.server.log" >&2
    say "refitor-testserver did not start on port $port" >&2
    exit 1
  fi
}

# Waits up to SECONDS for the program to end; sets exit_code (empty while it still runs).
wait_exit() { # SECONDS
  exit_code=""
  if wait_for "$1" has_ended "$refitor_pid"; then
    exit_code=0
    wait "$refitor_pid" || exit_code=$?
    refitor_pid=""
  fi
}

leftovers() { # FOLDER: names of backups, locks and partial downloads in it
  find "$1" -maxdepth 1 \( -name '*.refitor-backup' -o -name '*.refitor-lock' \
    -o -name '.refitor-*.part' \) -printf '%f\n'
}

diagnose() { # FOLDER
  say "--- diagnostics for $scenario ---"
  echo "Refitor output:"
  sed 's/^/  | /' "$work/$scenario.refitor.log" || true
  echo "server output:"
  sed 's/^/  | /' "$work/$scenario.server.log" || true
  echo "support log:"
  sed 's/^/  | /' "$work/$scenario.state/korvane/refitor.log" || true
  echo "folder $1:"
  find "$1" -mindepth 1 -maxdepth 2 -printf '  %M %8s %p\n' || true
  echo "marker: $(cat "$work/$scenario.marker" 2>/dev/null || echo '(none)')"
  echo "windows:"
  window_titles
  screenshot "$build_dir/e2e-failure-$scenario.png"
  say "screenshot: $build_dir/e2e-failure-$scenario.png"
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
  # HEIGHT and SCREEN are unused, but declared so that the eval below sets nothing global.
  # shellcheck disable=SC2034
  local skin="$install_dir/SKN/SoftCrystal.skn" border title size margin X Y WIDTH HEIGHT SCREEN
  border="$(skin_value "$skin" frame border-width)"
  title="$(skin_value "$skin" title height)"
  size="$(skin_value "$skin" close-button size)"
  margin=$(((title - size) / 2))
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT|SCREEN)=')"
  xdotool mousemove --sync $((X + WIDTH - border - margin - size / 2 - 1)) \
    $((Y + border + margin + size / 2)) click 1
}

# Answers the message box titled "Updating Korvane" that belongs to no window but MAIN_ID, by
# pressing Return in it, retried, since a key pressed before the box is ready for it is lost.
# Returns 1 when no box shows within 15 s or it does not close.
window_hidden() { # WINDOW_ID: the window is not on the screen (any more)
  ! xdotool search --onlyvisible --name '.' 2>/dev/null | grep -qx "$1"
}

answer_box() { # MAIN_ID
  local box _
  box="$(wait_for 15 find_window '^Updating Korvane$' "$1")" || return 1
  for _ in 1 2 3 4 5; do
    # No window manager gives the box the focus: do it, then press Return for OK.
    xdotool windowfocus --sync "$box" 2>/dev/null || true
    xdotool key --clearmodifiers Return 2>/dev/null || true
    wait_for 3 box_closed "$box" && return 0
  done
  return 1
}
box_closed() { ! xdotool getwindowname "$1" >/dev/null 2>&1 || ! xdotool search --onlyvisible --name '^Updating Korvane$' 2>/dev/null | grep -qx "$1"; }

reason_told() { # TEXT: the program said TEXT on its standard error
  grep -qF -- "$1" "$work/$scenario.refitor.log"
}

old_in_place_throughout() { # FOLDER OLD_COPY: until the program ends, 20 s at most
  local deadline=$((SECONDS + 20))
  while ! has_ended "$refitor_pid" && [ "$SECONDS" -lt "$deadline" ]; do
    cmp -s "$1/Korvane.exe" "$2" || return 1
    sleep 0.05
  done
}

# One row of the table.
#   NAME     the scenario's name, used for its folder and logs
#   SERVED   the server's mode: ok | 404 | cut | empty | closecut | gzip | html | endless
#   OUTCOME  updated | failed | rollback | closed | closebutton | busy | display
#   REASON   text the program must tell (on its standard error, as in its box) for a failure
#   NEW      the new Korvane.exe's last line: "exit 0", or what makes it fail to start or crash
#   LIMIT    a file size limit (ulimit -f, in KiB) for the program, or ""
#   OUTPUT   "broken-pipe": the program's output goes to a pipe nobody reads, so a write to it
#            would end the program with SIGPIPE; its reason is then not checked
run_scenario() { # NAME SERVED OUTCOME REASON [NEW] [LIMIT] [OUTPUT]
  scenario="$1"
  local served="$2" outcome="$3" reason="$4" tail="${5:-exit 0}" limit="${6:-}" output="${7:-}"
  local dir="$work/$1" marker="$work/$1.marker"
  local old="$work/$1.old" new="$work/$1.new" rate=0 size=200000
  scenario_ok=1 exit_code=""
  say "=== $scenario ==="
  # Each scenario's runs keep their support log apart, and never in the user's own.
  export XDG_STATE_HOME="$work/$1.state"
  local support_log="$XDG_STATE_HOME/korvane/refitor.log"

  cp -a "$install_dir" "$dir"
  write_korvane "$dir/Korvane.exe" old "$marker" 0
  chmod 0750 "$dir/Korvane.exe"
  cp -p "$dir/Korvane.exe" "$old"
  case "$outcome" in
    updated) rate=100000 size=300000 ;; # ~3 s, long enough to be seen mid-way
    closed | closebutton | busy | display) rate=40000 size=400000 ;; # ~10 s
  esac
  write_korvane "$new" new "$marker" "$size" "$tail"
  if [[ "$tail" == '#!'* ]]; then printf '%s\n' "$tail" >"$new"; fi
  start_server "$served" "$new" "$rate"

  if [ -n "$limit" ]; then
    (cd "$dir" && ulimit -f "$limit" && exec ./Refitor) >"$work/$scenario.refitor.log" 2>&1 &
  elif [ "$output" = broken-pipe ]; then
    mkfifo "$work/$scenario.pipe"
    (cd "$dir" && exec ./Refitor) >"$work/$scenario.pipe" 2>&1 &
    # Opened, so the program's open of the pipe returns, and closed again at once.
    exec 3<"$work/$scenario.pipe"
    exec 3<&-
    echo "(output went to a pipe that nobody reads)" >"$work/$scenario.refitor.log"
  elif [ "$outcome" = updated ]; then
    # The program takes no command line, Qt's own options included: were this one honoured, the
    # window would never reach the display.
    (cd "$dir" && exec ./Refitor -platform offscreen -reverse) >"$work/$scenario.refitor.log" 2>&1 &
  else
    (cd "$dir" && exec ./Refitor) >"$work/$scenario.refitor.log" 2>&1 &
  fi
  refitor_pid=$!

  local main="" title second_pid="" second_code=""
  if [ "$served" = ok ] && [ -z "$limit" ] && [ "$outcome" != rollback ]; then
    # The program waits three seconds before it starts; ASan makes everything slower.
    if main="$(wait_for 30 find_window '^Updating Korvane [0-9]+(\.[0-9]+)?%$')"; then
      pass "progress shows in the title ('$(xdotool getwindowname "$main")')"
      check "Korvane.exe is still the old one while the new one downloads" cmp -s "$dir/Korvane.exe" "$old"
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

  if [ "$outcome" = updated ] && [ -n "$main" ] && [ -n "${REFITOR_SCREENSHOT_DIR:-}" ]; then
    # Somewhere in the middle of the bar, when the download gets there in time.
    wait_for 2 title_past "$main" 30 || true
    local shots
    if shots="$(cd "$source_dir" && mkdir -p "$REFITOR_SCREENSHOT_DIR" &&
      cd "$REFITOR_SCREENSHOT_DIR" && pwd)"; then
      screenshot "$shots/screenshot-download.png" "$main"
      say "screenshot of '$(xdotool getwindowname "$main")': $shots/screenshot-download.png"
    fi
  fi

  case "$outcome" in
    busy)
      # A second updater in the same folder while the first one downloads.
      (cd "$dir" && exec ./Refitor) >"$work/$scenario.second.log" 2>&1 &
      second_pid=$!
      if answer_box "$main"; then
        pass "the second updater shows a box"
      else
        fail "the second updater shows no box"
      fi
      if wait_for 10 has_ended "$second_pid"; then
        second_code=0
        wait "$second_pid" || second_code=$?
      fi
      check "the second updater ends with exit code 3 (got ${second_code:-none: still running})" \
        test "$second_code" = 3
      check "the second updater says an update is already running" \
        grep -qF "already running" "$work/$scenario.second.log"
      outcome=updated
      ;;
    display)
      stop_pid "$xvfb_pid"
      xvfb_pid=""
      check "Korvane.exe stays the old one until the program has ended" \
        old_in_place_throughout "$dir" "$old"
      wait_exit 20
      check "the program ends with a failure when its display is lost (got ${exit_code:-none: still running})" \
        test -n "$exit_code" -a "$exit_code" != 0
      start_xvfb "$work" 1024x768x24 || exit 1
      ;;
  esac

  case "$outcome" in
    closed | closebutton)
      if [ -n "$main" ]; then
        if [ "$outcome" = closed ]; then close_window "$main"; else click_close_button "$main"; fi
      fi
      wait_exit 20
      check "exit code 2 after the window is closed (got ${exit_code:-none: still running})" \
        test "$exit_code" = 2
      ;;
    updated | failed | rollback)
      local expected="Update failed"
      [ "$outcome" = failed ] || expected="Update is completed"
      if main="$(wait_for 60 find_window '^Update (is completed|failed)$')"; then
        title="$(xdotool getwindowname "$main")"
        check "window title '$expected' (got '$title')" test "$title" = "$expected"
      else
        fail "the window title never became 'Update is completed' or 'Update failed'"
      fi
      if answer_box "$main"; then
        pass "a message box titled 'Updating Korvane' shows and closes with OK"
      else
        fail "no message box titled 'Updating Korvane' that closes with OK"
      fi
      if [ "$outcome" != failed ]; then
        # OK takes the window away: the new version is started and watched out of sight.
        if wait_for 10 window_hidden "$main"; then
          pass "the window goes away once OK is pressed"
        else
          fail "the window stays on the screen after OK"
        fi
      fi
      if [ "$outcome" = rollback ]; then
        # The new version did not start: a second box says so, and the old one is back.
        if answer_box "$main"; then pass "a second box tells it"; else fail "no second box"; fi
      fi
      wait_exit 20
      local code=1
      [ "$outcome" != updated ] || code=0
      check "exit code $code (got ${exit_code:-none: still running})" test "$exit_code" = "$code"
      ;;
  esac

  # Which Korvane.exe was started, if any.
  local started=""
  case "$outcome" in
    updated) started=new ;;
    failed) started=old ;;
    rollback) [[ "$tail" == '#!'* ]] && started=old || started="new old" ;;
  esac
  if [ -n "$started" ]; then
    wait_for 10 test "$(tr '\n' ' ' <"$marker" 2>/dev/null | sed 's/ $//')" = "$started" || true
    check "'$started' is started without arguments (marker: '$(tr '\n' ' ' <"$marker" 2>/dev/null)')" \
      test "$(tr '\n' ' ' <"$marker" 2>/dev/null | sed 's/ $//')" = "$started"
    check "Korvane.exe starts in its own folder" \
      test "$(cat "$marker.cwd" 2>/dev/null)" = "$(cd "$dir" && pwd -P)"
  else
    # A started program writes the marker at once; give it the time it would need.
    sleep 1
    check "nothing is started" test ! -e "$marker"
  fi
  if [ -n "$reason" ]; then
    check "the failure is told with its reason ('$reason')" reason_told "$reason"
  fi

  if [ "$outcome" = updated ]; then
    check "Korvane.exe is the served file" cmp -s "$dir/Korvane.exe" "$new"
  else
    check "the old Korvane.exe is in place byte for byte" cmp -s "$dir/Korvane.exe" "$old"
  fi
  check "Korvane.exe keeps the old permission bits (750, got $(stat -c %a "$dir/Korvane.exe"))" \
    test "$(stat -c %a "$dir/Korvane.exe")" = 750
  local left
  left="$(leftovers "$dir" | tr '\n' ' ')"
  check "no backup, lock or partial download is left${left:+ (found: $left)}" test -z "$left"
  if [ "$outcome" != display ]; then
    check "the support log holds the run from its start to its end" \
      grep -q '==== end exit code' "$support_log"
  fi
  if [ "$outcome" = updated ] || [ "$outcome" = failed ]; then
    check "the support log names the address and each attempt" \
      grep -q "download Id, attempt 1: status" "$support_log"
  fi
  local expected_files=(Korvane.exe Refitor SKN)
  if [ -n "$keys" ] && [ "$outcome" = updated ]; then
    # A signed update keeps the release it installed beside it, as it was served.
    check "the served release file is kept as Korvane.exe.refitor-release" \
      cmp -s "$dir/Korvane.exe.refitor-release" "$new.release"
    expected_files+=(Korvane.exe.refitor-release)
  fi
  local expected
  expected="$(printf '%s\n' "${expected_files[@]}" | sort | tr '\n' ' ')"
  left="$(find "$dir" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | tr '\n' ' ')"
  check "the folder holds just ${expected% } (found: $left)" test "$left" = "$expected"

  [ "$scenario_ok" = 1 ] || diagnose "$dir"
  stop_pid "$refitor_pid"
  refitor_pid=""
  stop_pid "$second_pid"
  stop_pid "$server_pid"
  server_pid=""
}

# A signed build holds a body to the size its release names before it looks at what it is.
empty_reason="The server sent an empty file."
portal_reason="The server sent an HTML page, not a program."
if [ -n "$keys" ]; then
  empty_reason="The downloaded file has 0 bytes, not the"
  portal_reason="bytes its release names"
fi

run_scenario success ok updated ""
run_scenario not-found 404 failed "The server answered 404."
run_scenario cut cut failed "The connection was lost after"
run_scenario empty empty failed "$empty_reason"
run_scenario close-delimited closecut failed "did not say how long"
run_scenario gzip gzip failed "gzip"
run_scenario captive-portal html failed "$portal_reason"
run_scenario endless endless failed "did not say how long"
run_scenario file-size-limit ok failed "File too large" "exit 0" 100
run_scenario unread-output 404 failed "" "exit 0" "" broken-pipe
run_scenario cannot-start ok rollback "The new Korvane.exe did not start" '#!/nonexistent/sh'
run_scenario crashes-at-once ok rollback "SIGSEGV" 'kill -SEGV $$'
run_scenario cancel ok closed ""
run_scenario close-button ok closebutton ""
run_scenario second-updater ok busy ""
run_scenario lost-display ok display ""

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
