#!/usr/bin/env bash
# The keys compiled into a build: the generated ReleaseKeys.h of this build, and configures of
# the presets in temporary folders, with keys that scripts/sign-update makes and with keys it
# cannot. A header is checked by compiling static assertions against the points that Python
# reads from the PEM files itself.
#
#   release_keys.sh --source-dir DIR --build-dir DIR --cmake PATH --cxx PATH [--python PATH]
set -euo pipefail

usage() {
  echo "usage: $0 --source-dir DIR --build-dir DIR --cmake PATH --cxx PATH [--python PATH]" >&2
  exit 2
}
source_dir="" build_dir="" cmake="" cxx="" python=python3
while [ "$#" -gt 0 ]; do
  [ "$#" -ge 2 ] || usage
  case "$1" in
    --source-dir) source_dir="$2" ;;
    --build-dir) build_dir="$2" ;;
    --cmake) cmake="$2" ;;
    --cxx) cxx="$2" ;;
    --python) python="$2" ;;
    *) usage ;;
  esac
  shift 2
done
[ -n "$source_dir" ] && [ -n "$build_dir" ] && [ -n "$cmake" ] && [ -n "$cxx" ] || usage
# shellcheck source=scripts/lib.sh
source "$source_dir/scripts/lib.sh" || exit 2
say_as release_keys

work=""
cleanup() { [ -z "$work" ] || rm -rf "$work"; }
on_exit cleanup
work="$(mktemp -d "${TMPDIR:-/tmp}/refitor-release-keys.XXXXXX")"

passed=0 failed=0

# header_holds HEADER URL PEM...: HEADER compiles, with this build's warnings as errors, to
# exactly the points of PEM... in that order, kSigned when there are any, and URL.
header_holds() {
  local header="$1" url="$2"
  shift 2
  "$python" - "$work/check.cpp" "$url" "$@" <<'PY'
import base64, sys
out, url, pems = sys.argv[1], sys.argv[2], sys.argv[3:]
rows = []
for pem in pems:
    der = base64.b64decode("".join(l for l in open(pem) if not l.startswith("-----")))
    rows.append("{{" + ", ".join("0x%02x" % b for b in der[-65:]) + "}}")
open(out, "w").write(f"""#include "ReleaseKeys.h"
#include <string_view>
constexpr std::array<std::array<std::uint8_t, 65>, {len(rows)}> expected{{{{{", ".join(rows)}}}}};
static_assert(product::kReleaseKeys == expected);
static_assert(product::kSigned == {"true" if rows else "false"});
static_assert(std::string_view(product::kReleaseUrl) == "{url}");
""")
PY
  "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Wconversion -Werror \
    -I "$(dirname "$header")" "$work/check.cpp" 2>"$work/compile.log" ||
    { cat "$work/compile.log" >&2; return 1; }
}

cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; } # BUILD_DIR NAME

# --- This build ---------------------------------------------------------------------------------

keys="$(cache_value "$build_dir" REFITOR_PUBLIC_KEYS)"
url="$(cache_value "$build_dir" REFITOR_RELEASE_URL)"
[ -n "$url" ] || url="$(cache_value "$build_dir" REFITOR_DOWNLOAD_URL).release"
IFS=';' read -r -a key_files <<<"$keys"
for i in "${!key_files[@]}"; do
  [[ "${key_files[i]}" == /* ]] || key_files[i]="$source_dir/${key_files[i]}"
done
check "this build's ReleaseKeys.h holds its ${#key_files[@]} key(s) and $url" \
  header_holds "$build_dir/src/generated/ReleaseKeys.h" "$url" "${key_files[@]}"

# --- Configures of the presets ------------------------------------------------------------------

"$source_dir/scripts/sign-update" keygen "$work/a" >/dev/null
"$source_dir/scripts/sign-update" keygen "$work/b" >/dev/null
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out "$work/p384.pem" 2>/dev/null
openssl pkey -in "$work/p384.pem" -pubout -out "$work/p384.pub.pem"
openssl genpkey -algorithm ed25519 2>/dev/null | openssl pkey -pubout -out "$work/ed25519.pub.pem"
openssl pkey -pubin -in "$work/b/release-key.pub.pem" -ec_conv_form compressed -pubout \
  -out "$work/b-compressed.pub.pem"

# configure NAME PRESET ARGS...: a configure of PRESET in a folder of its own, without tests or
# benchmarks; its status in status, its output in NAME.log.
configure() {
  local name="$1" preset="$2"
  shift 2
  status=0
  (cd "$source_dir" && "$cmake" --preset "$preset" -B "$work/$name" -DREFITOR_BUILD_TESTS=OFF \
    -DREFITOR_BUILD_BENCH=OFF "$@") >"$work/$name.log" 2>&1 || status=$?
}
refused() { # WHAT TEXT NAME PRESET ARGS...: the configure fails and says TEXT
  local what="$1" text="$2"
  shift 2
  configure "$@"
  if [ "$status" != 0 ] && tr -s ' \n' ' ' <"$work/$1.log" | grep -qF -- "$text"; then
    pass
  else
    fail "$what: wanted a failure saying '$text', got $status:"
    cat "$work/$1.log" >&2
  fi
}
configured() { # WHAT NAME PRESET ARGS...
  local what="$1"
  shift
  configure "$@"
  if [ "$status" = 0 ]; then pass; else fail "$what"; cat "$work/$1.log" >&2; fi
}

for preset in release windows; do
  refused "the $preset preset without keys" \
    "-DREFITOR_PUBLIC_KEYS=/path/to/release-key.pub.pem (scripts/sign-update keygen DIR makes a pair), or pass -DREFITOR_ALLOW_UNSIGNED=ON" \
    "$preset-unsigned" "$preset"
done
refused "a P-384 key" "is not a P-256 public key" p384 release -DREFITOR_PUBLIC_KEYS="$work/p384.pub.pem"
refused "an Ed25519 key" "is not a P-256 public key" ed25519 release \
  -DREFITOR_PUBLIC_KEYS="$work/ed25519.pub.pem"
refused "a private key" "is not a P-256 public key" private release \
  -DREFITOR_PUBLIC_KEYS="$work/a/release-key.pem"
refused "a missing key file" "is not a file" missing release -DREFITOR_PUBLIC_KEYS="$work/none.pem"
refused "three keys" "names 3 files" three release \
  -DREFITOR_PUBLIC_KEYS="$work/a/release-key.pub.pem;$work/b/release-key.pub.pem;$work/p384.pub.pem"
refused "one key twice, once compressed" "the same key twice" twice release \
  -DREFITOR_PUBLIC_KEYS="$work/b/release-key.pub.pem;$work/b-compressed.pub.pem"

configured "the release preset with two keys and a release address" two release \
  -DREFITOR_PUBLIC_KEYS="$work/a/release-key.pub.pem;$work/b-compressed.pub.pem" \
  -DREFITOR_RELEASE_URL=https://download.korvane.example/releases/current.release
check "two keys in order, a compressed one as its point, and the release address" \
  header_holds "$work/two/src/generated/ReleaseKeys.h" \
  https://download.korvane.example/releases/current.release \
  "$work/a/release-key.pub.pem" "$work/b/release-key.pub.pem"
configured "the release preset unsigned on request" allowed release -DREFITOR_ALLOW_UNSIGNED=ON \
  -DREFITOR_DOWNLOAD_URL=https://download.korvane.example/ProgramFiles/Korvane.exe
check "an unsigned build has no keys and fetches the release file beside the download" \
  header_holds "$work/allowed/src/generated/ReleaseKeys.h" \
  https://download.korvane.example/ProgramFiles/Korvane.exe.release
configured "the dev preset without keys" dev-unsigned dev
check "a dev build without keys is unsigned" header_holds "$work/dev-unsigned/src/generated/ReleaseKeys.h" \
  http://download.korvane.example/ProgramFiles/Korvane.exe.release

echo "release_keys: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
