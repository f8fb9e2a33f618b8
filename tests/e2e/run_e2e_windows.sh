#!/usr/bin/env bash
# End-to-end run of the installed Windows Refitor.exe under Wine on Xvfb, against the Linux
# build's refitor-testserver on 127.0.0.1.
#
#   run_e2e_windows.sh --build-dir DIR --server PATH --stand-in PATH --planted-dll PATH
#                      --static-imports PATH --source-dir DIR [--url URL] [--keys DIR]
#
# Installs the Windows build into a temporary folder beside an old Korvane.exe, a stand-in
# Windows program (refitor-stand-in.exe with its instructions appended: append "old" to a marker
# file), starts its own Xvfb, a private Wine prefix and the test server on the port of the
# build's download address, runs Refitor.exe under Wine and drives its window with xdotool:
#   success  the server sends a new stand-in (appends "new"): exit 0, the new one in place and
#            started from its own folder
#   404      exit 1, the old Korvane.exe in place byte for byte and started
#   cut      the connection closes halfway: as 404
#   cancel   the window is closed mid-download: exit 2, the old one in place, nothing started
# Every run also checks the titles, the message box, and that nothing of Refitor's is left.
#
# The success run has DLLs planted beside Refitor.exe, as a download could leave them there:
# copies of refitor-planted.dll (--planted-dll), which writes a line whenever a process loads it,
# under the name of every DLL Refitor.exe imports that is not a KnownDLL (its delay-loaded ones),
# and Wine is told to prefer them to its own (WINEDLLOVERRIDES NAME=n,b), as Windows would for a
# DLL found in the program's folder. First refitor-static-imports.exe (--static-imports), which
# imports those DLLs the ordinary way, runs in that folder and must load every copy: proof that
# the planting works. Then Refitor.exe must run the whole update without loading any.
# --keys names the folder of the build's release key pair (scripts/sign-update keygen): each
# served Korvane.exe is then signed with it (serial 1), its release file served beside it.
# Figures under Wine are not Windows figures.
set -euo pipefail

usage() {
  echo "usage: $0 --build-dir DIR --server PATH --stand-in PATH --planted-dll PATH" \
    "--static-imports PATH --source-dir DIR [--url URL] [--keys DIR]" >&2
  exit 2
}

build_dir="" server="" stand_in="" planted_dll="" static_imports="" source_dir="" url="" keys=""
while [ "$#" -gt 0 ]; do
  [ "$#" -ge 2 ] || usage
  case "$1" in
    --build-dir) build_dir="$2" ;;
    --server) server="$2" ;;
    --stand-in) stand_in="$2" ;;
    --planted-dll) planted_dll="$2" ;;
    --static-imports) static_imports="$2" ;;
    --source-dir) source_dir="$2" ;;
    --url) url="$2" ;;
    --keys) keys="$2" ;;
    *) usage ;;
  esac
  shift 2
done
[ -n "$build_dir" ] && [ -n "$server" ] && [ -n "$stand_in" ] && [ -n "$planted_dll" ] &&
  [ -n "$static_imports" ] && [ -n "$source_dir" ] || usage
if [ -z "$url" ]; then
  url="$(sed -n 's/^REFITOR_DOWNLOAD_URL:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"
fi
if [[ ! "$url" =~ ^http://127\.0\.0\.1:([0-9]+)/ProgramFiles/Korvane\.exe$ ]]; then
  echo "e2e-windows: the build must download from http://127.0.0.1:PORT/ProgramFiles/Korvane.exe" >&2
  exit 2
fi
readonly port="${BASH_REMATCH[1]}"

# shellcheck source=../../scripts/lib.sh
source "$source_dir/scripts/lib.sh" || exit 2
say_as e2e-windows
[ -z "$keys" ] || [ -f "$keys/release-key.pem" ] ||
  { say "$keys/release-key.pem is missing: --keys names the folder of the build's key pair" >&2; exit 2; }

for tool in Xvfb xdotool wine wineboot wineserver cmake cmp python3; do
  command -v "$tool" >/dev/null || die "$tool is missing (run scripts/install-deps)"
done
loopback_only

work="" xvfb_pid="" server_pid="" refitor_pid=""
cleanup() {
  stop_pid "$refitor_pid"
  stop_pid "$server_pid"
  # Every Wine process of this run's own prefix, and its server.
  [ -z "$work" ] || WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  stop_pid "$xvfb_pid"
  if [ -n "$work" ]; then
    if [ "${REFITOR_E2E_KEEP:-0}" = 1 ]; then say "kept $work"; else rm -rf "$work"; fi
  fi
}
on_exit cleanup
work="$(mktemp -d "${TMPDIR:-/tmp}/refitor-e2e-windows.XXXXXX")"

passed=0 failed=0 scenario_ok=1 scenario=setup
pass() { passed=$((passed + 1)); say "PASS $scenario: $1"; }
fail() { failed=$((failed + 1)); scenario_ok=0; say "FAIL $scenario: $1"; }

start_xvfb "$work" 1024x768x24 || exit 1
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log" >&2; die "wineboot failed"; }
say "Xvfb on $DISPLAY (pid $xvfb_pid), Wine prefix $WINEPREFIX, server port $port"

install_dir="$work/install"
cmake --install "$build_dir" --prefix "$install_dir" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; die "cmake --install failed"; }
check "installs Refitor.exe and SKN/SoftCrystal.skn" \
  test -f "$install_dir/Refitor.exe" -a -f "$install_dir/SKN/SoftCrystal.skn"
# The names a DLL planted beside Refitor.exe could take.
mapfile -t planted_names < <(python3 "$source_dir/tests/e2e/check_windows_image.py" --not-known \
  "$install_dir/Refitor.exe")
[ "${#planted_names[@]}" -gt 0 ] || die "Refitor.exe imports no DLL but KnownDLLs, not even WinHTTP"
planted_overrides="$WINEDLLOVERRIDES;$(IFS=,; echo "${planted_names[*]%.dll}")=n,b"
say "planted beside Refitor.exe in the success run: ${planted_names[*]} ($planted_overrides)"

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
  wait_for 10 test -s "$work/port" || { cat "$work/$scenario.server.log" >&2; die "no server"; }
}

program_ended() { has_ended "$refitor_pid"; }
wait_exit() { # SECONDS: sets exit_code, empty while the program still runs
  exit_code=""
  if wait_for "$1" program_ended; then
    exit_code=0
    wait "$refitor_pid" || exit_code=$?
    refitor_pid=""
  fi
}

answer_box() { # MAIN_ID: presses Return in the box titled "Updating Korvane"
  local box
  box="$(wait_for 20 find_window '^Updating Korvane$' "$1")" || return 1
  press_return_in "$box"
}

leftovers() { # FOLDER
  find "$1" -maxdepth 1 \( -name '*.refitor-backup' -o -name '*.refitor-lock' \
    -o -name '.refitor-*.part' \) -printf '%f\n'
}

# plant_dlls FOLDER MARKER: copies of the planted DLL under each name in planted_names, then
# checks that each of them loads into a program that imports it the ordinary way.
plant_dlls() {
  local name
  for name in "${planted_names[@]}"; do cp "$planted_dll" "$1/$name"; done
  cp "$static_imports" "$1/refitor-static-imports.exe"
  (cd "$1" && WINEDLLOVERRIDES="$planted_overrides" REFITOR_PLANTED_MARKER="$(windows_path "$2")" \
    exec wine ./refitor-static-imports.exe) >"$work/$scenario.static-imports.log" 2>&1 || true
  for name in "${planted_names[@]}"; do
    check "a planted $name loads into a program that imports it at start (Wine prefers it)" \
      grep -qix "$name in refitor-static-imports.exe" "$2"
  done
  rm -f "$1/refitor-static-imports.exe" "$2"
}

windows_path() { # UNIX_PATH: the same file as Wine's Z: drive names it
  printf 'Z:%s' "${1//\//\\}"
}

diagnose() { # FOLDER
  say "--- diagnostics for $scenario ---"
  sed 's/^/  | /' "$work/$scenario.refitor.log" || true
  sed 's/^/  | /' "$work/$scenario.server.log" || true
  sed 's/^/  | planted: /' "$work/$scenario.planted" 2>/dev/null || true
  find "$1" -mindepth 1 -maxdepth 2 -printf '  %M %8s %p\n' || true
  echo "marker: $(cat "$work/$scenario.marker" 2>/dev/null || echo '(none)')"
  import -window root "$build_dir/e2e-windows-failure-$scenario.png" 2>/dev/null || true
}

run_scenario() { # NAME SERVED OUTCOME (updated | failed | closed) [planted]
  scenario="$1"
  local served="$2" outcome="$3" dir="$work/$1" marker="$work/$1.marker"
  local old="$work/$1.old" new="$work/$1.new" rate=0 size=200000 main="" title
  local planted="$work/$1.planted" overrides="$WINEDLLOVERRIDES" expected_files
  scenario_ok=1 exit_code=""
  say "=== $scenario ==="
  cp -a "$install_dir" "$dir"
  write_stand_in "$stand_in" "$dir/Korvane.exe" old "$marker" 0
  cp -p "$dir/Korvane.exe" "$old"
  case "$outcome" in
    updated) rate=100000 size=300000 ;;
    closed) rate=40000 size=400000 ;;
  esac
  write_stand_in "$stand_in" "$new" new "$marker" "$size"
  start_server "$served" "$new" "$rate"
  expected_files=(Korvane.exe Refitor.exe SKN)
  if [ "${4:-}" = planted ]; then
    plant_dlls "$dir" "$planted"
    overrides="$planted_overrides"
    expected_files+=("${planted_names[@]}")
  fi

  (cd "$dir" && WINEDLLOVERRIDES="$overrides" REFITOR_PLANTED_MARKER="$(windows_path "$planted")" \
    exec wine ./Refitor.exe) >"$work/$scenario.refitor.log" 2>&1 &
  refitor_pid=$!

  if [ "$served" = ok ]; then
    if main="$(wait_for 60 find_window '^Updating Korvane [0-9]+(\.[0-9]+)?%$')"; then
      pass "progress shows in the title ('$(xdotool getwindowname "$main")')"
      check "Korvane.exe is still the old one while the new one downloads" \
        cmp -s "$dir/Korvane.exe" "$old"
    else
      fail "no title 'Updating Korvane N%' within 60 s"
    fi
  fi

  if [ "$outcome" = closed ]; then
    # Wine turns a window manager's close request into WM_CLOSE.
    [ -z "$main" ] || close_window "$main"
    wait_exit 30
    check "exit code 2 after the window is closed (got ${exit_code:-none: still running})" \
      test "$exit_code" = 2
  else
    local expected="Update failed"
    [ "$outcome" = failed ] || expected="Update is completed"
    if main="$(wait_for 90 find_window '^Update (is completed|failed)$')"; then
      title="$(xdotool getwindowname "$main")"
      check "window title '$expected' (got '$title')" test "$title" = "$expected"
    else
      fail "the window title never became 'Update is completed' or 'Update failed'"
    fi
    if answer_box "$main"; then pass "a message box titled 'Updating Korvane' shows and closes with OK"
    else fail "no message box titled 'Updating Korvane' that closes with OK"; fi
    wait_exit 30
    local code=1
    [ "$outcome" != updated ] || code=0
    check "exit code $code (got ${exit_code:-none: still running})" test "$exit_code" = "$code"
  fi

  # Once the prefix's server has ended, so has every program of the run, the started one too:
  # its marker is then written or never will be.
  timeout 30 wineserver -w || true
  if [ "${4:-}" = planted ]; then
    local loaded
    loaded="$(tr '\n' ' ' 2>/dev/null <"$planted")" || true
    check "no planted DLL is loaded by Refitor.exe or what it starts (loaded: ${loaded:-none})" \
      test -z "$loaded"
  fi
  local started=""
  case "$outcome" in updated) started=new ;; failed) started=old ;; esac
  if [ -n "$started" ]; then
    check "'$started' is started (marker: '$(tr -d '\r\n' <"$marker" 2>/dev/null)')" \
      test "$(tr -d '\r\n' <"$marker" 2>/dev/null)" = "$started"
  else
    check "nothing is started" test ! -e "$marker"
  fi
  if [ "$outcome" = updated ]; then
    check "Korvane.exe is the served file" cmp -s "$dir/Korvane.exe" "$new"
    if [ -n "$keys" ]; then
      # A signed update keeps the release it installed beside it, as it was served.
      check "the served release file is kept as Korvane.exe.refitor-release" \
        cmp -s "$dir/Korvane.exe.refitor-release" "$new.release"
      expected_files+=(Korvane.exe.refitor-release)
    fi
  else
    check "the old Korvane.exe is in place byte for byte" cmp -s "$dir/Korvane.exe" "$old"
  fi
  # The prefix's own LOCALAPPDATA holds the support log; the last run in it is this scenario's.
  local support_log run
  support_log="$(find "$WINEPREFIX/drive_c/users" -path '*/Korvane/Refitor.log' 2>/dev/null | head -n 1)"
  run="$(awk '/ ==== run /{run=""} {run=run $0 "\n"} END{printf "%s", run}' "${support_log:-/dev/null}")"
  check "the support log holds the run from its start to its end" \
    grep -q '==== end exit code' <<<"$run"
  if [ "$outcome" != closed ]; then
    check "the support log names each attempt" grep -q 'download Id, attempt 1: status' <<<"$run"
  fi
  local left
  left="$(leftovers "$dir" | tr '\n' ' ')"
  check "no backup, lock or partial download is left${left:+ (found: $left)}" test -z "$left"
  left="$(find "$dir" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | tr '\n' ' ')"
  local expected
  expected="$(printf '%s\n' "${expected_files[@]}" | sort | tr '\n' ' ')"
  check "the folder holds just ${expected% } (found: $left)" test "$left" = "$expected"

  [ "$scenario_ok" = 1 ] || diagnose "$dir"
  stop_pid "$refitor_pid"
  refitor_pid=""
  stop_pid "$server_pid"
  server_pid=""
}

run_scenario success ok updated planted
run_scenario not-found 404 failed
run_scenario cut cut failed
run_scenario cancel ok closed

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
