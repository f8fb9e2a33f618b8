#!/usr/bin/env python3
"""Runs the installed updater on the current X display and times it from the window system's side.

    watch_update.py --measure PATH --figures FILE [--timeout SECONDS] [--wine] -- PROGRAM

PROGRAM is started in its own folder under `measure` (which writes its processor time and peak
resident memory to FILE); with --wine, through `wine`, for the Windows build (wine runs the
program in the process it starts, so the figures are still the program's). The window titles are followed through X property events, not by
polling, so the times are exact to the event and watching costs the machine nothing between
title changes. When the caption reads "Update is completed", the message box that follows is
answered with Return, as a user would. Prints one line of key=value figures, every time counted
from the program's start:
    first_progress  the title first reads "Updating Korvane N%"
    completed       the title reads "Update is completed"
    exit            the program's exit code
and the program's memory when its caption says completed, that is at the end of the transfer and
before the message box: hwm_kib (VmHWM, its peak resident memory so far), anon_kib and file_kib
(what is resident now: its own memory, and pages of mapped files such as shared libraries).
--smaps FILE gets that resident memory by mapping, largest first, one "KiB name" a line.
"""

import argparse
import ctypes
import os
import re
import select
import signal
import subprocess
import sys
import time
from ctypes import POINTER, byref, c_char_p, c_int, c_long, c_ulong, c_void_p

CREATE_NOTIFY, MAP_NOTIFY, PROPERTY_NOTIFY = 16, 19, 28
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
PROPERTY_CHANGE_MASK = 1 << 22

COMPLETED = "Update is completed"
BOX_TITLE = "Updating Korvane"
PROGRESS = re.compile(r"^Updating Korvane [0-9]")


class Header(ctypes.Structure):
    _fields_ = [("type", c_int), ("serial", c_ulong), ("send_event", c_int),
                ("display", c_void_p)]


class CreateWindowEvent(ctypes.Structure):
    _fields_ = Header._fields_ + [("parent", c_ulong), ("window", c_ulong), ("x", c_int),
                                  ("y", c_int), ("width", c_int), ("height", c_int),
                                  ("border_width", c_int), ("override_redirect", c_int)]


class MapEvent(ctypes.Structure):
    _fields_ = Header._fields_ + [("event", c_ulong), ("window", c_ulong),
                                  ("override_redirect", c_int)]


class PropertyEvent(ctypes.Structure):
    _fields_ = Header._fields_ + [("window", c_ulong), ("atom", c_ulong), ("time", c_ulong),
                                  ("state", c_int)]


class XEvent(ctypes.Union):
    _fields_ = [("type", c_int), ("xcreatewindow", CreateWindowEvent), ("xmap", MapEvent),
                ("xproperty", PropertyEvent), ("pad", c_long * 24)]


ERROR_HANDLER = ctypes.CFUNCTYPE(c_int, c_void_p, c_void_p)


class Display:
    def __init__(self):
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = c_void_p
        x.XOpenDisplay.argtypes = [c_char_p]
        x.XDefaultRootWindow.restype = c_ulong
        x.XDefaultRootWindow.argtypes = [c_void_p]
        x.XSelectInput.argtypes = [c_void_p, c_ulong, c_long]
        x.XInternAtom.restype = c_ulong
        x.XInternAtom.argtypes = [c_void_p, c_char_p, c_int]
        x.XConnectionNumber.argtypes = [c_void_p]
        x.XPending.argtypes = [c_void_p]
        x.XNextEvent.argtypes = [c_void_p, POINTER(XEvent)]
        x.XFlush.argtypes = [c_void_p]
        x.XSync.argtypes = [c_void_p, c_int]
        x.XFree.argtypes = [c_void_p]
        x.XGetWindowProperty.argtypes = [
            c_void_p, c_ulong, c_ulong, c_long, c_long, c_int, c_ulong, POINTER(c_ulong),
            POINTER(c_int), POINTER(c_ulong), POINTER(c_ulong), POINTER(c_void_p)]
        x.XSetErrorHandler.argtypes = [ERROR_HANDLER]
        self.x = x
        # Windows come and go while we look at them; a stale id must not end the watcher, as
        # Xlib's default handler would.
        self._ignore_errors = ERROR_HANDLER(lambda display, error: 0)
        x.XSetErrorHandler(self._ignore_errors)
        self.d = x.XOpenDisplay(None)
        if not self.d:
            sys.exit("watch_update: cannot open the display %r" % os.environ.get("DISPLAY"))
        self.root = x.XDefaultRootWindow(self.d)
        self.name_atoms = (x.XInternAtom(self.d, b"_NET_WM_NAME", 0),
                           x.XInternAtom(self.d, b"WM_NAME", 0))
        x.XSelectInput(self.d, self.root, SUBSTRUCTURE_NOTIFY_MASK)
        x.XSync(self.d, 0)

    def fileno(self):
        return self.x.XConnectionNumber(self.d)

    def follow(self, window):
        self.x.XSelectInput(self.d, window, PROPERTY_CHANGE_MASK)
        self.x.XFlush(self.d)

    def title(self, window):
        for atom in self.name_atoms:
            kind, fmt, count, after = c_ulong(), c_int(), c_ulong(), c_ulong()
            data = c_void_p()
            status = self.x.XGetWindowProperty(self.d, window, atom, 0, 1024, 0, 0, byref(kind),
                                               byref(fmt), byref(count), byref(after),
                                               byref(data))
            if status == 0 and data.value:
                text = ctypes.string_at(data.value, count.value) if fmt.value == 8 else b""
                self.x.XFree(data)
                if text:
                    return text.decode("utf-8", "replace")
        return None

    def events(self):
        while self.x.XPending(self.d):
            event = XEvent()
            self.x.XNextEvent(self.d, byref(event))
            yield event


def read_figures(path):
    try:
        with open(path, encoding="ascii") as handle:
            return dict(item.split("=", 1) for item in handle.read().split())
    except OSError:
        return {}


def child_of(parent):
    with open("/proc/%d/task/%d/children" % (parent, parent), encoding="ascii") as handle:
        return int(handle.read().split()[0])


def resident_by_mapping(pid):
    """Resident KiB of each mapped file ("[anonymous]" for memory of the program's own)."""
    sizes, name = {}, "[anonymous]"
    with open("/proc/%d/smaps" % pid, encoding="utf-8", errors="replace") as handle:
        for line in handle:
            fields = line.split()
            if "-" in fields[0] and not fields[0].endswith(":"):
                name = fields[5] if len(fields) > 5 else "[anonymous]"
                if name.startswith("[") and name not in ("[heap]", "[stack]"):
                    name = "[anonymous]"
            elif fields[0] == "Rss:":
                sizes[name] = sizes.get(name, 0) + int(fields[1])
    return sizes


def memory_of(parent, smaps=None):
    """The memory figures of the one child of parent (the program under measure), in KiB; with
    smaps, also writes where its resident memory lies, largest first."""
    try:
        child = child_of(parent)
        if smaps:
            sizes = resident_by_mapping(child)
            with open(smaps, "w", encoding="utf-8") as handle:
                for name, kib in sorted(sizes.items(), key=lambda item: -item[1]):
                    handle.write("%d %s\n" % (kib, name))
        figures = {}
        with open("/proc/%d/status" % child, encoding="ascii") as handle:
            for line in handle:
                key, _, value = line.partition(":")
                if key in ("VmHWM", "RssAnon", "RssFile"):
                    figures[key] = int(value.split()[0])
        return figures
    except (OSError, ValueError, IndexError):
        return {}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--measure", required=True)
    parser.add_argument("--figures", required=True)
    parser.add_argument("--log", default=os.devnull)
    parser.add_argument("--timeout", type=float, default=120.0)
    parser.add_argument("--smaps", help="where to write the resident memory by mapping")
    parser.add_argument("--wine", action="store_true", help="start PROGRAM through wine")
    parser.add_argument("program")
    options = parser.parse_args()

    def stop(signum, frame):
        raise SystemExit(128 + signum)

    # Stopped from outside, the watcher stops the program it started (through measure).
    signal.signal(signal.SIGTERM, stop)
    display = Display()
    program = os.path.abspath(options.program)
    with open(options.log, "wb") as log:
        started = time.monotonic()
        command = ["wine", program] if options.wine else [program]
        process = subprocess.Popen([options.measure, "-o", options.figures, "--"] + command,
                                   cwd=os.path.dirname(program), stdout=log, stderr=log)
    try:
        return watch(display, process, options, started)
    finally:
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def watch(display, process, options, started):
    titles, mapped = {}, set()
    first_progress = completed = None
    main_window = None
    answered_at = None
    memory = {}
    deadline = started + options.timeout

    def saw(window, title, now):
        nonlocal first_progress, completed, main_window, memory
        if title is None:
            return
        titles[window] = title
        if first_progress is None and PROGRESS.match(title):
            first_progress = now
        if completed is None and title == COMPLETED:
            completed, main_window = now, window
            memory = memory_of(process.pid, options.smaps)

    while process.poll() is None and time.monotonic() < deadline:
        select.select([display], [], [], 0.1)
        for event in display.events():
            now = time.monotonic()
            if event.type == CREATE_NOTIFY and event.xcreatewindow.parent == display.root:
                window = event.xcreatewindow.window
                display.follow(window)
                saw(window, display.title(window), now)
            elif event.type == MAP_NOTIFY:
                mapped.add(event.xmap.window)
                saw(event.xmap.window, display.title(event.xmap.window), now)
            elif event.type == PROPERTY_NOTIFY and event.xproperty.atom in display.name_atoms:
                saw(event.xproperty.window, display.title(event.xproperty.window), now)
        # No window manager gives the box the focus: do it, then press Return for OK. Retried,
        # since a key pressed before the box is ready for it is lost.
        if completed is not None and (answered_at is None or time.monotonic() - answered_at > 1):
            boxes = [w for w in mapped if w != main_window and titles.get(w) == BOX_TITLE]
            if boxes:
                answered_at = time.monotonic()
                subprocess.run(["xdotool", "windowfocus", "--sync", str(boxes[0]), "key",
                                "--clearmodifiers", "Return"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=10, check=False)

    if process.poll() is None:
        print("watch_update: the program did not end within %.0f s" % options.timeout,
              file=sys.stderr)
        return 1
    # measure's own start, on the same monotonic clock, is the closer reading of the start.
    figures = read_figures(options.figures)
    start = float(figures.get("start", started))
    line = ["exit=%d" % process.returncode]
    for name, at in (("first_progress", first_progress), ("completed", completed)):
        line.append("%s=%s" % (name, "-" if at is None else "%.4f" % (at - start)))
    for name, key in (("hwm_kib", "VmHWM"), ("anon_kib", "RssAnon"), ("file_kib", "RssFile")):
        line.append("%s=%s" % (name, memory.get(key, "-")))
    print(" ".join(line))
    return 0 if completed is not None and process.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
