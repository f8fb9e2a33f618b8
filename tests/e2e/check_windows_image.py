#!/usr/bin/env python3
"""What Refitor.exe must carry to run on any Windows as it is: checked on the built file.

    check_windows_image.py OBJDUMP REFITOR_EXE

- It imports only DLLs that ship with Windows (no C++ runtime, no winpthread, nothing of ours),
  as objdump reads its import table.
- Its version resource names Refitor.exe and version "1.00".
- Its manifest asks for no elevation, per-monitor DPI awareness and the common controls 6.
Exits 1 naming each thing that is missing.
"""
import re
import subprocess
import sys

# DLLs every Windows 10 and later has in System32.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll",
    "gdiplus.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "shell32.dll",
    "shlwapi.dll", "user32.dll", "uxtheme.dll", "version.dll", "winhttp.dll", "ws2_32.dll",
}


def utf16(text):
    return text.encode("utf-16-le")


def main():
    objdump, exe = sys.argv[1], sys.argv[2]
    faults = []
    headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                             text=True).stdout
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
    if not imported:
        faults.append("no import table was read")
    for name in sorted(imported - SYSTEM_DLLS):
        faults.append(f"imports {name}, which does not ship with Windows")

    image = open(exe, "rb").read()
    # A version resource's strings are UTF-16: a key, padding, then its value.
    for key, value in (("OriginalFilename", "Refitor.exe"), ("FileVersion", "1.00"),
                       ("ProductVersion", "1.00")):
        at = image.find(utf16(key))
        window = image[at:at + 96] if at >= 0 else b""
        if utf16(value + "\0") not in window:
            faults.append(f'no version resource entry {key} = "{value}"')

    start = image.find(b"<assembly")
    end = image.find(b"</assembly>", start)
    manifest = image[start:end].decode("utf-8", "replace") if start >= 0 <= end else ""
    for needed, what in (('level="asInvoker"', "no elevation (asInvoker)"),
                         ("PerMonitorV2", "per-monitor DPI awareness"),
                         ('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
                          "the common controls 6")):
        if needed not in re.sub(r"\s+", " ", manifest):
            faults.append(f"the manifest does not ask for {what}")

    print(f"{exe}: {len(image)} bytes; imports {', '.join(sorted(imported))}")
    for fault in faults:
        print(f"FAIL: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
