#!/usr/bin/env python3
"""What Refitor.exe must carry to run on any Windows as it is, and safely from a folder that
downloads land in: checked on the built file.

    check_windows_image.py REFITOR_EXE
    check_windows_image.py --not-known REFITOR_EXE

- Its import table, which the loader resolves before the program's first line runs, names only
  KnownDLLs: those Windows maps from System32 whatever lies in the program's folder. Any other
  DLL would be looked for in the folder first.
- Its delay-loaded DLLs (which the program loads from System32 itself once it runs) all ship
  with Windows: no C++ runtime, no winpthread, nothing of ours.
- WinHTTP, GDI+ and the common controls are imported one way or the other (a sign that both
  tables were read).
- Its version resource names Refitor.exe and version "1.00".
- Its manifest asks for no elevation, per-monitor DPI awareness and the common controls 6.
Prints both lists and exits 1 naming each thing that is wrong.

With --not-known it prints, one a line, every DLL the image imports either way that is not a
KnownDLL: the names a DLL planted beside it could take (tests/e2e/run_e2e_windows.sh).
"""
import re
import struct
import sys

# The KnownDLLs of Windows 10 (the KnownDLLs key under HKLM\SYSTEM\CurrentControlSet\Control\
# Session Manager), less the WOW64 and ARM emulation entries a 64-bit x64 program never imports.
# Deliberately not counted, whatever a given release lists: gdiplus.dll, winhttp.dll,
# comctl32.dll (a side-by-side assembly: version 6 comes through the manifest) and bcrypt.dll.
# Refitor delay-loads those from System32 itself.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
    "gdi32.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll",
    "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll",
    "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
    "wldap32.dll", "ws2_32.dll",
}

# DLLs every Windows 10 and later has in System32.
SYSTEM_DLLS = KNOWN_DLLS | {
    "bcrypt.dll", "comctl32.dll", "crypt32.dll", "gdiplus.dll", "uxtheme.dll", "version.dll",
    "winhttp.dll",
}

# What the program cannot do without, from Windows.
NEEDED_DLLS = {"comctl32.dll", "gdiplus.dll", "winhttp.dll"}

IMPORT_DIRECTORY = 1
DELAY_IMPORT_DIRECTORY = 13


class Image:
    """A PE file's headers, sections and what its import tables name."""

    def __init__(self, data):
        self.data = data
        header = struct.unpack_from("<I", data, 0x3C)[0]
        if data[header:header + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        sections, optional_size = struct.unpack_from("<2xH12xH", data, header + 4)
        optional = header + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.pe32plus = magic == 0x20B
        directories = optional + (112 if self.pe32plus else 96)
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(count)]
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            virtual_size, address, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((address, max(virtual_size, raw_size), raw_at, raw_size))

    def offset(self, rva):
        """The file offset of an address, None when no section's file data holds it."""
        for address, size, raw_at, raw_size in self.sections:
            if address <= rva < address + min(size, raw_size):
                return raw_at + rva - address
        return None

    def mapped(self, rva):
        return any(address <= rva < address + size for address, size, _, _ in self.sections)

    def text(self, rva, limit=256):
        at = self.offset(rva)
        if at is None:
            return None
        end = self.data.find(b"\0", at, at + limit)
        return self.data[at:end].decode("ascii", "replace") if end >= 0 else None

    def thunks(self, rva):
        """The entries of a name table, up to its closing zero (None when it is not readable)."""
        size, form = (8, "<Q") if self.pe32plus else (4, "<I")
        entries = []
        while True:
            at = self.offset(rva + size * len(entries))
            if at is None:
                return None
            entry = struct.unpack_from(form, self.data, at)[0]
            if entry == 0:
                return entries
            entries.append(entry)

    def function_names(self, rva):
        """A name table's functions ("#N" for one imported by ordinal), None if not one."""
        entries = self.thunks(rva)
        if entries is None:
            return None
        ordinal_flag = 1 << (63 if self.pe32plus else 31)
        names = []
        for entry in entries:
            if entry & ordinal_flag:
                names.append(f"#{entry & 0xFFFF}")
                continue
            name = self.text(entry + 2) if entry < 1 << 31 else None
            if not name or not re.fullmatch(r"[A-Za-z_?@$][\w?@$]*", name):
                return None
            names.append(name)
        return names

    def static_imports(self):
        """{dll: functions} from the import table."""
        imports = {}
        rva = self.directories[IMPORT_DIRECTORY][0]
        while rva:
            at = self.offset(rva)
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, at)
            if name == 0:
                break
            imports[self.text(name).lower()] = self.function_names(lookup or first) or []
            rva += 20
        return imports

    def delay_imports(self):
        """{dll: functions} from the delay-import descriptors.

        binutils 2.40's ld leaves the delay-import directory empty for dlltool's delay
        libraries, whose descriptors lie apart in the code section. Without the directory the
        sections are searched for them: a descriptor of the current form (attributes 1), whose
        name is a DLL's and whose name table lists functions, cannot be there by chance."""
        descriptors = []
        rva, size = self.directories[DELAY_IMPORT_DIRECTORY]
        if rva:
            for at in range(rva, rva + size, 32):
                if self.offset(at) is not None:
                    descriptors.append(at)
        else:
            for address, _, raw_at, raw_size in self.sections:
                for at in range(raw_at, raw_at + raw_size - 31, 4):
                    if self.data[at:at + 4] == b"\x01\0\0\0":
                        descriptors.append(address + at - raw_at)
        imports = {}
        for at in descriptors:
            fields = struct.unpack_from("<8I", self.data, self.offset(at))
            attributes, name, module, table, names = fields[:5]
            if attributes != 1 or not all(map(self.mapped, (module, table))):
                continue
            dll = self.text(name, 64)
            if not dll or not re.fullmatch(r"[\w.-]+\.dll", dll, re.IGNORECASE):
                continue
            functions = self.function_names(names)
            if functions is not None:
                imports[dll.lower()] = functions
        return imports


def utf16(text):
    return text.encode("utf-16-le")


def describe(imports):
    return ", ".join(f"{dll} ({len(functions)})" for dll, functions in sorted(imports.items()))


def main():
    arguments = sys.argv[1:]
    not_known = arguments[:1] == ["--not-known"]
    if not_known:
        arguments = arguments[1:]
    if len(arguments) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    exe = arguments[0]
    image = open(exe, "rb").read()
    pe = Image(image)
    static = pe.static_imports()
    delayed = pe.delay_imports()

    if not_known:
        for dll in sorted((set(static) | set(delayed)) - KNOWN_DLLS):
            print(dll)
        return 0

    problems = []
    if not static:
        problems.append("no import table was read")
    for dll in sorted(set(static) - KNOWN_DLLS):
        problems.append(f"imports {dll} at start, which is not a KnownDLL: the loader would look "
                      "for it in Refitor's own folder first")
    for dll in sorted(set(delayed) - SYSTEM_DLLS):
        problems.append(f"delay-loads {dll}, which does not ship with Windows")
    for dll in sorted(NEEDED_DLLS - set(static) - set(delayed)):
        problems.append(f"imports nothing of {dll}, neither at start nor delayed")

    # A version resource's strings are UTF-16: a key, padding, then its value.
    for key, value in (("OriginalFilename", "Refitor.exe"), ("FileVersion", "1.00"),
                       ("ProductVersion", "1.00")):
        at = image.find(utf16(key))
        window = image[at:at + 96] if at >= 0 else b""
        if utf16(value + "\0") not in window:
            problems.append(f'no version resource entry {key} = "{value}"')

    start = image.find(b"<assembly")
    end = image.find(b"</assembly>", start)
    manifest = image[start:end].decode("utf-8", "replace") if start >= 0 <= end else ""
    for needed, what in (('level="asInvoker"', "no elevation (asInvoker)"),
                         ("PerMonitorV2", "per-monitor DPI awareness"),
                         ('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
                          "the common controls 6")):
        if needed not in re.sub(r"\s+", " ", manifest):
            problems.append(f"the manifest does not ask for {what}")

    print(f"{exe}: {len(image)} bytes")
    print(f"  imports at start (functions): {describe(static) or 'none'}")
    print(f"  delay-loaded (functions):     {describe(delayed) or 'none'}")
    for problem in problems:
        print(f"FAIL: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
