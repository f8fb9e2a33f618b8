#!/usr/bin/env python3
"""Turns the samples bench/run collected into tables: prints them and, with --write, writes them
with a description of the machine to a Markdown file.

Each sample line is "SERIES key=value ...". Figures only: a missed target is reported, never
turned into a failure.
"""

import argparse
import datetime
import os
import platform
import statistics
import subprocess
import time

MB = 1_000_000  # the memory targets are in MB


def parse(path):
    series = {}
    for line in open(path, encoding="utf-8"):
        words = line.split()
        if not words:
            continue
        name, values = words[0], {}
        for word in words[1:]:
            if "=" in word:
                key, value = word.split("=", 1)
                values[key] = value
        if name == "skin_apply":
            values = {"line": line.rstrip("\n")[len("skin_apply "):]}
        series.setdefault(name, []).append(values)
    return series


def numbers(samples, key):
    out = []
    for sample in samples:
        try:
            out.append(float(sample[key]))
        except (KeyError, ValueError):
            pass
    return out


def median(values):
    return statistics.median(values) if values else None


def spread(values, fmt, scale=1.0):
    if not values:
        return "–"
    scaled = [v * scale for v in values]
    return "%s (%s–%s)" % (fmt % median(scaled), fmt % min(scaled), fmt % max(scaled))


def ratio(a, b):
    return a / b if a is not None and b else None


def fmt_ratio(value):
    return "–" if value is None else "%.2f×" % value


def verdict(value, limit):
    if value is None:
        return "not measured"
    return "met" if value <= limit else "missed"


def memory_text(mb):
    return "–" if mb is None else "%.1f MB (%.1f MiB)" % (mb, mb * MB / 2**20)


def memory_verdict(mb):
    """40 MB read as 10^6 bytes, and as MiB where that reading decides otherwise."""
    strict = verdict(mb, 40)
    loose = verdict(None if mb is None else mb * MB / 2**20, 40)
    return strict if strict == loose else "%s as 10^6 bytes, %s as MiB" % (strict, loose)


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + " --- |" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def mount_of(path):
    path = os.path.realpath(path)
    best = ("?", "?", "")
    for line in open("/proc/self/mounts", encoding="utf-8"):
        device, point, kind = line.split()[:3]
        point = point.replace("\\040", " ")
        inside = path == point or path.startswith(point.rstrip("/") + "/")
        if inside and len(point) >= len(best[2]):
            best = (kind, device, point)
    return "%s on %s" % (best[0], best[1])


def machine():
    model = "?"
    for line in open("/proc/cpuinfo", encoding="utf-8"):
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    memory = "?"
    for line in open("/proc/meminfo", encoding="utf-8"):
        if line.startswith("MemTotal:"):
            memory = "%.1f GiB" % (int(line.split()[1]) / 1024 / 1024)
    try:
        debian = open("/etc/debian_version", encoding="utf-8").read().strip()
    except OSError:
        debian = "?"
    return model, len(os.sched_getaffinity(0)), memory, platform.release(), debian


def qt_version():
    try:
        return subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libqt6core6"],
                              capture_output=True, text=True, check=False).stdout or "?"
    except OSError:
        return "?"


def dependencies(library):
    """The shared libraries a library loads, as real paths."""
    try:
        listing = subprocess.run(["ldd", library], capture_output=True, text=True,
                                 check=False).stdout
    except OSError:
        return set()
    paths = {line.split("=>")[1].split()[0] for line in listing.splitlines()
             if "=>" in line and "/" in line.split("=>")[1]}
    return {os.path.realpath(path) for path in paths}


def curl_share(mapped):
    """The resident KiB of libcurl and of the libraries only it brings in (not Qt's window
    system side), from a resident-by-mapping table."""
    curl = [name for name in mapped if "/libcurl" in name]
    qt = [name for name in mapped if "libQt6Widgets" in name or "platforms/libq" in name]
    if not curl:
        return None
    others = set().union(*(dependencies(name) for name in qt)) if qt else set()
    only = ({os.path.realpath(curl[0])} | dependencies(curl[0])) - others
    return sum(kib for name, kib in mapped.items() if os.path.realpath(name) in only)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--samples", required=True)
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--destination", required=True)
    parser.add_argument("--seconds", action="append", default=[])
    parser.add_argument("--total-since", type=float, required=True)
    parser.add_argument("--nginx", default="?")
    parser.add_argument("--curl", default="?")
    parser.add_argument("--source", default="?")
    parser.add_argument("--updater-skipped", default="")
    parser.add_argument("--smaps", help="resident memory by mapping of an updater run")
    parser.add_argument("--note", default="", help="a note on the machine, for the report")
    parser.add_argument("--write")
    options = parser.parse_args()
    s = parse(options.samples)
    meta = {}
    for sample in s.get("meta", []):
        meta.update(sample)

    out = []
    sizes = [size for size in (100, 1024) if "fetch-%d" % size in s]
    medians = {}
    for size in sizes:
        label = "100 MiB" if size == 100 else "1 GiB"
        rows = []
        for key, name in (("fetch", "`bench/fetch` (control, fsync before the rename)"),
                          ("pair", "`curl -s -o DEST URL && sync DEST` (durable pair)"),
                          ("curl", "`curl -s -o DEST URL` (not durable)")):
            samples = s.get("%s-%d" % (key, size), [])
            wall, cpu, rss = (numbers(samples, k) for k in ("wall", "processor", "rss_kib"))
            medians[(key, size)] = (median(wall), median(cpu), median(rss))
            rows.append([name, spread(wall, "%.3f"), spread(cpu, "%.3f"),
                         spread(rss, "%.1f", 1024 / MB)])
        for other, name in (("pair", "ratio fetch / durable pair"), ("curl", "ratio fetch / curl")):
            rows.append(["*%s*" % name] + [
                fmt_ratio(ratio(medians[("fetch", size)][i], medians[(other, size)][i]))
                for i in range(3)])
        out.append("### %s, %d runs each, alternating\n" % (label, options.runs))
        out.append(table(["", "wall s", "processor s (user + system)", "peak RSS MB"], rows))
        out.append("")

    resume_targets = []
    resume_rows = []
    for name in sorted(s):
        if not name.startswith("resume-cut"):
            continue
        kind, size = name[len("resume-"):].split("-")
        label = "%s MiB" % size if size != "1024" else "1 GiB"
        cut = s[name]
        whole = s.get("resume-whole-%s" % size, [])
        cuts = "cut once at half" if kind == "cut1" else "cut %s times" % cut[0].get("cuts", "?")
        cut_wall, whole_wall = numbers(cut, "seconds"), numbers(whole, "seconds")
        wall_ratio = ratio(median(cut_wall), median(whole_wall))
        wire = numbers(cut, "wire_ratio")

        def beyond(samples):
            """Bytes written beyond the file: heads, and any byte sent twice."""
            return [w - b for w, b in zip(numbers(samples, "wire_bytes"),
                                          numbers(samples, "bytes"))]
        resume_rows += [
            ["%s, %s and continued" % (label, cuts), spread(cut_wall, "%.3f s"),
             "%s; beyond the file %s bytes" % (spread(wire, "%.4f×"),
                                               spread(beyond(cut), "%.0f")),
             "%s (%s of them continued)" % (
                 spread(numbers(cut, "requests"), "%.0f"),
                 spread(numbers(cut, "partial_answers"), "%.0f")), len(cut)],
            ["%s, uninterrupted" % label, spread(whole_wall, "%.3f s"),
             "%s; beyond the file %s bytes" % (spread(numbers(whole, "wire_ratio"), "%.4f×"),
                                               spread(beyond(whole), "%.0f")),
             spread(numbers(whole, "requests"), "%.0f"), len(whole)],
            ["*ratio %s / uninterrupted*" % cuts, fmt_ratio(wall_ratio), "", "", ""],
        ]
        if kind == "cut1":
            resume_targets.append(["%s cut once at half: wall ≤ 1.1× uninterrupted" % label,
                                   fmt_ratio(wall_ratio), verdict(wall_ratio, 1.1)])
            value = median(wire)
            resume_targets.append(["%s cut once at half: bytes over the wire ≤ 1.01× the file"
                                   % label, "–" if value is None else "%.4f×" % value,
                                   verdict(value, 1.01)])
        else:
            value = median(wire)
            resume_targets.append(["%s %s: bytes over the wire ≤ 1.05× the file" % (label, cuts),
                                   "–" if value is None else "%.4f×" % value,
                                   verdict(value, 1.05)])
            resume_targets.append(["%s %s: wall against uninterrupted (no target)" % (label, cuts),
                                   fmt_ratio(wall_ratio), ""])
    if resume_rows:
        out.append("### A download cut and continued, against it uninterrupted, alternating\n")
        out.append("`bench/resume`: the control (`BajaArchivos`, retries told to wait nothing) "
                   "against a loopback server of the program's own, which cuts the connection "
                   "at given bytes of the file, honours `Range: bytes=N-` with `If-Range`, and "
                   "counts every byte it writes to its sockets (heads included). Wall time runs "
                   "from `Download()` to `Completed`, the file flushed and in place.%s\n" % (
                       " The cut-once file is smaller than 1 GiB: only %s MiB were free on the "
                       "destination's disk." % meta["resume_scaled"]
                       if "resume_scaled" in meta else ""))
        out.append(table(["download", "wall", "bytes written by the server / file",
                          "requests", "runs"], resume_rows))
        out.append("")

    other_rows = []
    pause = s.get("pause", [])
    pause_cpu = numbers(pause, "processor")
    if pause:
        other_rows.append(["`Pause(3)`: processor time", spread(pause_cpu, "%.4f s"),
                           "wall %s" % spread(numbers(pause, "wall"), "%.3f s"), len(pause)])
    for size in sizes:
        fetches = s.get("fetch-%d" % size, [])
        other_rows.append(["Progress events, %s transfer" % ("1 GiB" if size == 1024 else "100 MiB"),
                           spread(numbers(fetches, "events"), "%.0f"),
                           "%s a second (over %s s in the control)" % (
                               spread(numbers(fetches, "events_per_second"), "%.1f"),
                               spread(numbers(fetches, "transfer"), "%.2f")), len(fetches)])
    paint = s.get("paint", [])
    if paint:
        where = paint[0].get("platform", "?")
        other_rows.append(["window: end of `Form_Load` → first paint event (%s)" % where,
                           spread(numbers(paint, "paint_ms"), "%.1f ms"),
                           "painted and back in the event loop: %s" % spread(
                               numbers(paint, "frame_ms"), "%.1f ms"), len(paint)])
    updater = s.get("updater-100", [])
    updater_big = s.get("updater-1024", [])
    updater_pair = s.get("updater-pair-100", [])
    after_wait = [v - 3.0 for v in numbers(updater, "completed")]
    progress_to_done = [c - p for c, p in zip(numbers(updater, "completed"),
                                              numbers(updater, "first_progress"))]
    pair_wall = numbers(updater_pair, "wall")
    if updater:
        other_rows += [
            ["whole updater, 100 MiB: start → \"Update is completed\", less the 3 s wait",
             spread(after_wait, "%.3f s"), "first progress title → completed: %s" %
             spread(progress_to_done, "%.3f s"), len(updater)],
            ["curl pair, 100 MiB, run after each updater run", spread(pair_wall, "%.3f s"),
             "ratio updater / pair: %s" % fmt_ratio(ratio(median(after_wait), median(pair_wall))),
             len(updater_pair)],
        ]
    for samples, label in ((updater, "100 MiB"), (updater_big, "1 GiB")):
        if not samples:
            continue
        other_rows += [
            ["whole updater, %s: peak RSS up to the end of the transfer" % label,
             spread(numbers(samples, "hwm_kib"), "%.1f MB", 1024 / MB),
             "then resident: own %s, mapped files %s" % (
                 spread(numbers(samples, "anon_kib"), "%.1f MB", 1024 / MB),
                 spread(numbers(samples, "file_kib"), "%.1f MB", 1024 / MB)), len(samples)],
            ["whole updater, %s: peak RSS of the whole run, processor" % label,
             spread(numbers(samples, "rss_kib"), "%.1f MB", 1024 / MB),
             "processor %s; start → completed less 3 s: %s" % (
                 spread(numbers(samples, "processor"), "%.3f s"),
                 spread([v - 3.0 for v in numbers(samples, "completed")], "%.3f s")),
             len(samples)],
        ]
    if other_rows:
        out.append("### The window, the wait and the whole updater\n")
        out.append(table(["what", "median (min–max)", "also", "runs"], other_rows))
        out.append("")
    if options.updater_skipped:
        out.append("The whole-updater runs were skipped: %s.\n" % options.updater_skipped)

    def get(key, size, i):
        return medians.get((key, size), (None, None, None))[i]

    def rss_mb(samples, key="rss_kib"):
        value = median(numbers(samples, key))
        return None if value is None else value * 1024 / MB

    targets = []
    if 1024 in sizes:
        w = ratio(get("fetch", 1024, 0), get("pair", 1024, 0))
        targets.append(["1 GiB wall ≤ 0.8× durable pair", fmt_ratio(w), verdict(w, 0.8)])
        c = ratio(get("fetch", 1024, 1), get("pair", 1024, 1))
        targets.append(["1 GiB processor ≤ 0.75× durable pair", fmt_ratio(c), verdict(c, 0.75)])
        c = ratio(get("fetch", 1024, 1), get("curl", 1024, 1))
        targets.append(["1 GiB processor ≤ 0.75× plain curl", fmt_ratio(c), verdict(c, 0.75)])
    if 100 in sizes:
        w = ratio(get("fetch", 100, 0), get("pair", 100, 0))
        targets.append(["100 MiB wall ≤ 1.0× durable pair", fmt_ratio(w), verdict(w, 1.0)])
    for size in sizes:
        value = rss_mb(s.get("fetch-%d" % size, []))
        targets.append(["peak RSS of bench/fetch, %s ≤ 40 MB" % ("1 GiB" if size == 1024 else "100 MiB"),
                        memory_text(value), memory_verdict(value)])
    for samples, label in ((updater, "100 MiB"), (updater_big, "1 GiB")):
        value = rss_mb(samples, "hwm_kib")
        if value is not None:
            targets.append(["peak RSS of the whole updater up to the end of the %s transfer "
                            "≤ 40 MB" % label, memory_text(value), memory_verdict(value)])
    if pause:
        value = median(pause_cpu)
        targets.append(["Pause(3) processor ≤ 0.05 s", "–" if value is None else "%.4f s" % value,
                        verdict(value, 0.05)])
    for size in sizes:
        value = median(numbers(s.get("fetch-%d" % size, []), "events_per_second"))
        targets.append(["Progress events ≤ ~30 a second, %s" % ("1 GiB" if size == 1024 else "100 MiB"),
                        "–" if value is None else "%.1f" % value, verdict(value, 30.5)])
    if updater:
        value = ratio(median(after_wait), median(pair_wall))
        targets.append(["whole updater, 100 MiB, after the wait ≤ 1.2× durable pair",
                        fmt_ratio(value), verdict(value, 1.2)])
    targets += resume_targets
    out.append("### Targets\n")
    out.append(table(["target", "measured (medians)", ""], targets))
    out.append("")

    if options.smaps and os.path.exists(options.smaps):
        entries = []
        for line in open(options.smaps, encoding="utf-8"):
            kib, name = line.split(None, 1)
            entries.append((int(kib), name.strip()))
        total_kib = sum(kib for kib, _ in entries)
        shown = entries[:12]
        rows = [[name, "%.1f MB" % (kib * 1024 / MB)] for kib, name in shown]
        rows.append(["*everything else*",
                     "%.1f MB" % ((total_kib - sum(kib for kib, _ in shown)) * 1024 / MB)])
        out.append("### Where the whole updater's memory is at the end of the last 1 GiB transfer\n")
        out.append("Resident pages by mapping, `[anonymous]` being the program's own memory (a "
                   "shared library counts the pages it touched); in all %.1f MB.\n"
                   % (total_kib * 1024 / MB))
        out.append(table(["mapping", "resident"], rows))
        out.append("")
        share = curl_share({name: kib for kib, name in entries if name.startswith("/")})
        if share is not None:
            out.append("libcurl and the libraries that only it loads (TLS, SSH, LDAP, Kerberos, "
                       "...) account for %.1f MB of it.\n" % (share * 1024 / MB))

    skin = s.get("skin_apply", [])
    if skin or "skin_apply_failed" in s:
        out.append("### `bench/skin_apply`\n")
        if "skin_apply_failed" in s:
            out.append("It failed (exit %s); its output:\n" % s["skin_apply_failed"][0].get("exit"))
        out.append("```\n" + "\n".join(sample["line"] for sample in skin) + "\n```\n")

    total = time.time() - options.total_since
    phases = ", ".join("%s %s s" % tuple(item.split("=", 1)) for item in options.seconds)
    model, cores, memory, kernel, debian = machine()
    head = [
        "- Date: %s" % datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "- Machine: %s, %d cores, %s of memory; Linux %s; Debian %s" % (
            model, cores, memory, kernel, debian),
        "- Served files: `%s` (%s); destinations: `%s` (%s)" % (
            options.data, mount_of(options.data), os.path.dirname(options.destination),
            mount_of(options.destination)),
        "- nginx %s (one worker, sendfile on, no access log) on 127.0.0.1; curl %s; Qt %s, "
        "`bench/fetch` on Qt's offscreen platform" % (options.nginx, options.curl, qt_version()),
        "- Source measured: %s" % options.source,
        "- Load average (1 min): %s before the measurements, %s after" % (
            meta.get("load_before", "?"), meta.get("load_after", "?")),
    ]
    if options.note:
        head.append("- Note: %s" % options.note)
    head += [
        "- `bench/run` took %.0f s: %s" % (total, phases),
        "- Wall time, processor time (user + system, the process and every child it waited for) "
        "and peak resident memory come from `wait4` in `bench/measure`; each figure is the median "
        "of its runs with the smallest and largest in brackets. MB are 10^6 bytes.",
    ]
    text = "\n".join(head) + "\n\n" + "\n".join(out)
    print(text)
    if options.write:
        with open(options.write, "w", encoding="utf-8") as handle:
            handle.write("# Benchmark results\n\n")
            handle.write("Written by `bench/run`; every run replaces this file. `bench/README.md` "
                         "says what each figure is; `bench/RESULTS-wine.md` holds the Windows "
                         "build's figures under Wine.\n\n")
            handle.write(text)


if __name__ == "__main__":
    main()
