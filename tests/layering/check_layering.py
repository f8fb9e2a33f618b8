#!/usr/bin/env python3
"""The layering of docs/architecture.md, checked on the sources rather than trusted to the build.

The system (src/control, src/window, src/skin) and the runtime's common part (src/runtime/*.h,
*.cpp) may include the C++ standard library, the runtime's neutral headers (src/runtime/*.h), the
system's own headers and the generated identity headers, and nothing else; none of them may name a
platform's macro. The build keeps Qt's include folders off their compile lines, but <unistd.h> or
<windows.h> would still compile there, and an #ifdef _WIN32 would quietly fork the system.

    check_layering.py SOURCE_DIR      checks SOURCE_DIR/src; exit 1 and one line per breach
    check_layering.py --self-test     plants each kind of breach in a scratch tree and expects it found
"""

import re
import sys
import tempfile
from pathlib import Path

# The headers of the C++20 standard library, and the C library's headers in their C++ names.
STANDARD = set("""
algorithm any array atomic barrier bit bitset charconv chrono codecvt compare complex concepts
condition_variable coroutine deque exception execution expected filesystem format forward_list
fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator latch
limits list locale map memory memory_resource mutex new numbers numeric optional ostream queue
random ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span
sstream stack stdexcept stop_token streambuf string string_view syncstream system_error thread
tuple type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector
version
cassert cctype cerrno cfenv cfloat cinttypes climits clocale cmath csetjmp csignal cstdarg
cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype
""".split())

# Generated from src/*.in by CMake: the product's identity and the release keys.
GENERATED = {"Product.h", "ReleaseKeys.h"}

PLATFORM_MACRO = re.compile(
    r"\b(_WIN32|_WIN64|WIN32|__WIN32__|_WINDOWS|__linux__|__linux|__unix__|__unix|__APPLE__|"
    r"__MACH__|__MINGW32__|__MINGW64__|__CYGWIN__|_MSC_VER|_POSIX_C_SOURCE|_GNU_SOURCE|"
    r"Q_OS_\w+|Q_WS_\w+)\b")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)
STRING = re.compile(r'"(?:\\.|[^"\\\n])*"')

LAYERS = ("control", "window", "skin")


def breaches(src: Path):
    """Every breach under src, as 'path:line: what' sentences."""
    found = []
    neutral = {p.name for p in (src / "runtime").glob("*.h")}
    files = [p for layer in LAYERS for p in sorted((src / layer).rglob("*"))
             if p.suffix in (".h", ".cpp", ".in")]
    files += [p for p in sorted((src / "runtime").glob("*")) if p.suffix in (".h", ".cpp")]
    for path in files:
        text = path.read_text(encoding="utf-8", errors="replace")
        in_runtime = path.parent == src / "runtime"
        for match in INCLUDE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            kind, name = match.group(1), match.group(2)
            where = f"{path.relative_to(src.parent)}:{line}"
            if kind == "<":
                if name not in STANDARD:
                    found.append(f"{where}: includes <{name}>, which is not the standard library")
                continue
            head, _, rest = name.partition("/")
            if head == "runtime":
                allowed = "/" not in rest and rest in neutral
            elif head in LAYERS:
                # The system's own headers; the runtime's common part includes none of them.
                allowed = not in_runtime and (src / name).is_file()
            else:
                # A header beside the file, by its bare name: no way round through "../" or into
                # a runtime's own folder.
                allowed = "/" not in name and ((path.parent / name).is_file() or
                                               (not in_runtime and name in GENERATED))
            if not allowed:
                found.append(f'{where}: includes "{name}", which is neither a neutral runtime '
                             f"header nor the system's own")
        code = STRING.sub('""', COMMENT.sub(lambda m: "\n" * m.group(0).count("\n"), text))
        for number, text_line in enumerate(code.splitlines(), 1):
            macro = PLATFORM_MACRO.search(text_line)
            if macro:
                found.append(f"{path.relative_to(src.parent)}:{number}: names the platform macro "
                             f"{macro.group(1)}")
    return found


def self_test():
    """Each kind of breach, planted in a small tree, must be reported; a clean tree must not be."""
    plants = {
        "a POSIX header": ("control/A.cpp", "#include <unistd.h>\n"),
        "a Windows header": ("window/B.h", "#pragma once\n#include <windows.h>\n"),
        "Qt": ("skin/C.cpp", "#include <QString>\n"),
        "a runtime's own header": ("window/D.cpp", '#include "runtime/qt/Window.h"\n'),
        "a platform macro": ("skin/E.cpp", "#if defined(_WIN32)\n#endif\n"),
        "a Qt macro": ("control/F.cpp", "#ifdef Q_OS_LINUX\n#endif\n"),
        "the system from the runtime": ("runtime/G.cpp", '#include "control/Ok.h"\n'),
        "a way round": ("window/H.cpp", '#include "../runtime/qt/Window.h"\n'),
        "a runtime's folder": ("runtime/I.cpp", '#include "qt/Window.h"\n'),
    }
    clean = {
        "control/Ok.h": '#pragma once\n#include <string>\n#include "runtime/Files.h"\n'
                        "// _WIN32 in a comment is no breach\n",
        "window/Ok.cpp": '#include "Product.h"\n#include "control/Ok.h"\n'
                         'const char *text = "__linux__ in a string is no breach";\n',
        "runtime/Files.h": "#pragma once\n#include <filesystem>\n",
        "runtime/qt/Window.h": "#pragma once\n",
    }
    failures = []
    for what, (name, text) in [("nothing", (None, None))] + list(plants.items()):
        with tempfile.TemporaryDirectory() as scratch:
            src = Path(scratch) / "src"
            for layer in LAYERS + ("runtime", "runtime/qt"):
                (src / layer).mkdir(parents=True)
            for clean_name, clean_text in clean.items():
                (src / clean_name).write_text(clean_text)
            if name:
                (src / name).write_text(text)
            found = breaches(src)
            if name and not any(name in line for line in found):
                failures.append(f"{what} in {name} was not reported")
            if not name and found:
                failures.append("a clean tree was reported: " + "; ".join(found))
    for failure in failures:
        print(f"check_layering self-test: {failure}", file=sys.stderr)
    return 1 if failures else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    found = breaches(Path(argv[1]) / "src")
    for line in found:
        print(line)
    if not found:
        print("layering: the system and the runtime's common part include only the standard "
              "library and the neutral headers, and name no platform macro")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
