#!/usr/bin/env python3
"""Times the launcher's whole run under Wine against native unpackers.

Called by bench/run.sh once everything is built; see README.md "Benchmark".
Every contender unpacks the same archive into a fresh folder on the same
file system, pinned to CPU 0 (the Wine server too, started by run.sh):

  floor      bench/floor.c: the launcher's own work, natively, on system zlib
  launcher   launcher.exe carrying the archive, under a warm wineserver
  unzip      unzip -o -q
  7z         7z x -y
  bsdtar     bsdtar -xf
  zipfile    python3, zipfile.ZipFile.extractall
  wine-start a trivial Windows program (start-up and tear-down under Wine)

Unless --no-diagnose is given, it also runs the diagnosis contenders
(bench/diag/), which take the launcher's time apart:

  launcher-aligned  the same launcher with its .rsrc moved to a page boundary
  floor-wine        the floor's loop as a Windows program under Wine
  start-imports     a program with the launcher's four imports, doing nothing
  start-handoff     the same, handing the downloader stand-in to the shell
  decode-native     decoding alone (bench/diag/inflate_cpu.c), 64-bit native
  decode-wine       the same, 32-bit with the launcher's zlib, under Wine

Deleting the previous output, flushing dirty pages (sync) and waiting for
the downloader stand-in that the launcher starts all happen outside the
timed span. Contenders take turns within each round, so a change in the
machine's load falls on all of them alike; the first round is a warm-up and
is not counted. Every run is checked (exit status, every file with its
size; for the launcher also its trace and the stand-in's sign) and a failed
run stops the benchmark.

After the rounds each launcher's peak private memory is taken with
bench/memprobe.c (three fresh installs, the largest figure kept), and the
stub size is read from the executable's section table.
"""
import argparse
import datetime
import getpass
import hashlib
import json
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import time
import zipfile

PIN = ["taskset", "-c", "0"]
# The command that runs one 32-bit Windows program (bench/run.sh asks scripts/wine.sh).
WINE = os.environ.get("LAUNCHER_WINE_LOADER", "wine").split()
BENCH_PREFIX = ""  # the Wine prefix, set by main


def log(text):
    print(text, file=sys.stderr, flush=True)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def archive_files(payload):
    """(name without leading slashes, size) of every file entry."""
    with zipfile.ZipFile(payload) as z:
        return [(i.filename.lstrip("/"), i.file_size) for i in z.infolist() if not i.is_dir()]


def check_files(folder, files):
    for name, size in files:
        path = os.path.join(folder, name)
        if not os.path.isfile(path) or os.path.getsize(path) != size:
            raise RuntimeError(f"{path}: missing or not {size} bytes")


def stub_size(exe):
    """The executable without its resource section's raw data."""
    with open(exe, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections = struct.unpack_from("<H", image, pe + 6)[0]
    optional = struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional
    rsrc = 0
    for i in range(sections):
        name, _, _, raw_size = struct.unpack_from("<8sIII", image, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            rsrc = raw_size
    return len(image), rsrc, len(image) - rsrc


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Contender:
    """One program run over and over on one archive."""

    def __init__(self, key, label, command, out_dir, files, env=None, make_dir=False):
        self.key, self.label, self.command = key, label, command
        self.out_dir, self.files, self.env, self.make_dir = out_dir, files, env, make_dir
        self.times = []

    def prepare(self):
        if self.out_dir:
            shutil.rmtree(self.out_dir, ignore_errors=True)
            if self.make_dir:
                os.makedirs(self.out_dir)
        subprocess.run(["sync"], check=True)

    def run(self):
        self.prepare()
        stdout_path = os.path.join(self.scratch, self.key + ".out")
        with open(stdout_path, "wb") as stdout:
            start = time.perf_counter_ns()
            done = subprocess.run(PIN + self.command, stdin=subprocess.DEVNULL, stdout=stdout,
                                  stderr=subprocess.STDOUT, env=self.env)
            elapsed = (time.perf_counter_ns() - start) / 1e9
        self.verify(done.returncode, stdout_path)
        return elapsed

    def verify(self, code, stdout_path):
        allowed = (0, 1) if self.key.startswith("unzip") else (0,)  # unzip: 1 = warnings only
        if code not in allowed:
            with open(stdout_path, "rb") as f:
                tail = f.read()[-2000:].decode("latin-1")
            raise RuntimeError(f"{self.label}: exit status {code}\n{tail}")
        if self.files is not None:
            check_files(self.out_dir, self.files)


class LauncherContender(Contender):
    """launcher.exe: its trace must show a whole run, and the stand-in for
    the downloader that it starts must have run and ended before the next."""

    SIGN = "bench_started.txt"

    def prepare(self):
        shutil.rmtree(self.install_root, ignore_errors=True)
        subprocess.run(["sync"], check=True)

    def verify(self, code, stdout_path):
        super().verify(code, stdout_path)
        with open(stdout_path, "rb") as f:
            trace = f.read().decode("latin-1")
        if "ShellExecute:" not in trace or "not finished" in trace:
            raise RuntimeError(f"{self.label}: incomplete run:\n{trace}")
        for line in trace.splitlines():
            if line.startswith("UnZipItem(") and not line.rstrip().endswith("=00000000"):
                raise RuntimeError(f"{self.label}: {line}")
        wait_for_stand_in(self.label, self.out_dir)


class SelfTimedContender(Contender):
    """A program that times its own work and prints "best_ms=<ms>": its
    figure is taken instead of the process's whole life."""

    def run(self):
        self.prepare()
        done = subprocess.run(PIN + self.command, stdin=subprocess.DEVNULL, capture_output=True, env=self.env)
        self.verify(done.returncode, None)
        return float(done.stdout.decode().strip().split("=")[1]) / 1000

    def verify(self, code, stdout_path):
        if code != 0:
            raise RuntimeError(f"{self.label}: exit status {code}")


class HandOffContender(Contender):
    """start_probe.exe handing a fresh copy of the stand-in to the shell."""

    def prepare(self):
        shutil.rmtree(self.out_dir, ignore_errors=True)
        os.makedirs(self.out_dir)
        shutil.copyfile(self.stand_in, os.path.join(self.out_dir, "dw_dlr.exe"))
        subprocess.run(["sync"], check=True)

    def verify(self, code, stdout_path):
        super().verify(code, stdout_path)
        wait_for_stand_in(self.label, self.out_dir)


def wait_for_stand_in(label, folder):
    """The stand-in has left its sign in folder and ended."""
    sign = os.path.join(folder, LauncherContender.SIGN)
    deadline = time.monotonic() + 20
    while not os.path.exists(sign):
        if time.monotonic() > deadline:
            raise RuntimeError(f"{label}: the downloader stand-in never ran")
        time.sleep(0.01)
    while stand_in_running():
        if time.monotonic() > deadline:
            raise RuntimeError(f"{label}: the downloader stand-in does not end")
        time.sleep(0.01)


def stand_in_running():
    """A stand-in of this benchmark's Wine prefix still runs. Other people's
    downloaders (same file name, other prefixes) do not count."""
    prefix = ("WINEPREFIX=" + BENCH_PREFIX).encode()
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if b"dw_dlr.exe" not in f.read():
                        continue
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if prefix in f.read().split(b"\0"):
                        return True
            except OSError:
                pass
    return False


def measure_memory(memprobe, launcher, install_root, env, repeat):
    """Largest private figure of `repeat` probe runs (each a fresh install)."""
    install_dir = os.path.join(install_root, "downloader", "tarnis")
    best = None
    for _ in range(repeat):
        shutil.rmtree(install_root, ignore_errors=True)
        done = subprocess.run(PIN + WINE + [memprobe, wine_path(launcher)], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, check=True)
        fields = dict(item.split("=") for item in done.stdout.decode().split())
        if fields["exit"] != "0" or int(fields["samples"]) == 0:
            raise RuntimeError(f"memprobe: {done.stdout.decode()} {done.stderr.decode()}")
        sample = {k: int(v) for k, v in fields.items()}
        if best is None or sample["private"] > best["private"]:
            best = sample
        wait_for_stand_in("memprobe", install_dir)
    shutil.rmtree(install_root, ignore_errors=True)
    return best


def median(values):
    return statistics.median(values)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="bench output folder (run.sh's)")
    parser.add_argument("--runs", type=int, default=7, help="counted runs per contender (at least 5)")
    parser.add_argument("--scales", default="1,10")
    parser.add_argument("--only", default="", help="comma-separated contender keys (default: all)")
    parser.add_argument("--no-diagnose", action="store_true", help="skip the diagnosis contenders")
    args = parser.parse_args(argv)
    if args.runs < 5:
        parser.error("--runs must be at least 5")
    out = os.path.abspath(args.out)
    scales = [int(s) for s in args.scales.split(",")]
    diagnose = not args.no_diagnose
    wine_env = dict(os.environ, WINEPREFIX=os.path.join(out, "wineprefix"), WINEDEBUG="-all",
                    WINEDLLOVERRIDES="mscoree,mshtml=")
    wine_env.pop("DISPLAY", None)
    global BENCH_PREFIX
    BENCH_PREFIX = wine_env["WINEPREFIX"]
    install_root = os.path.join(wine_env["WINEPREFIX"], "drive_c", "users", getpass.getuser(),
                                "AppData", "Local", "selvane")
    install_dir = os.path.join(install_root, "downloader", "tarnis")
    scratch = os.path.join(out, "scratch")
    os.makedirs(scratch, exist_ok=True)
    extract = os.path.join(out, "extract")
    tools = os.path.join(out, "tools")

    contenders = {}
    info = {"scales": {}}
    for scale in scales:
        tag = f"{scale}x"
        payload = os.path.join(out, f"payload-{tag}.zip")
        launcher = os.path.join(out, f"build-{tag}", "launcher.exe")
        files = archive_files(payload)
        plain = [
            ("floor", "native floor (floor.c)", [os.path.join(tools, "floor"), payload, os.path.join(extract, "floor")],
             False),
            ("unzip", "unzip -o -q", ["unzip", "-o", "-q", payload, "-d", os.path.join(extract, "unzip")], False),
            ("7z", "7z x -y", ["7z", "x", "-y", "-bd", "-o" + os.path.join(extract, "7z"), payload], False),
            ("bsdtar", "bsdtar -xf", ["bsdtar", "-xf", payload, "-C", os.path.join(extract, "bsdtar")], True),
            ("zipfile", "python3 zipfile extractall",
             [sys.executable, "-c", "import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])",
              payload, os.path.join(extract, "zipfile")], False),
        ]
        for key, label, command, make_dir in plain:
            contenders[(key, tag)] = Contender(key, label, command, os.path.join(extract, key), files,
                                               make_dir=make_dir)
        launchers = [("launcher", launcher)]
        if diagnose:
            launchers.append(("launcher-aligned", os.path.join(out, "diag", f"launcher-aligned-{tag}.exe")))
            contenders[("decode-native", tag)] = SelfTimedContender(
                "decode-native", "decoding alone, 64-bit native",
                [os.path.join(tools, "inflate_cpu"), payload, "1"], None, None)
            contenders[("decode-wine", tag)] = SelfTimedContender(
                "decode-wine", "decoding alone, 32-bit under Wine",
                WINE + [os.path.join(tools, "inflate_cpu.exe"), wine_path(payload), "1"], None, None, env=wine_env)
            contenders[("floor-wine", tag)] = Contender(
                "floor-wine", "floor's loop under Wine",
                WINE + [os.path.join(tools, "floor_win.exe"), wine_path(payload),
                 wine_path(os.path.join(extract, "floor-wine"))],
                os.path.join(extract, "floor-wine"), files, env=wine_env)
        for key, exe in launchers:
            contender = LauncherContender(key, key + ".exe under Wine", WINE + [exe], install_dir, files, env=wine_env)
            contender.install_root = install_root
            contenders[(key, tag)] = contender
        total, rsrc, stub = stub_size(launcher)
        info["scales"][tag] = {
            "payload": payload, "payload_bytes": os.path.getsize(payload), "payload_sha256": sha256(payload),
            "unpacked_bytes": sum(size for _, size in files), "launcher_bytes": total,
            "rsrc_raw_bytes": rsrc, "stub_bytes": stub,
        }
        if diagnose:
            info["scales"][tag]["aligned_stub_bytes"] = stub_size(launchers[1][1])[2]
    contenders[("wine-start", "-")] = Contender("wine-start", "trivial program under Wine",
                                                WINE + [os.path.join(tools, "trivial.exe")], None, None, env=wine_env)
    if diagnose:
        probe = os.path.join(tools, "start_probe.exe")
        contenders[("start-imports", "-")] = Contender("start-imports", "the launcher's imports, nothing done",
                                                       WINE + [probe], None, None, env=wine_env)
        handoff_dir = os.path.join(scratch, "handoff")
        handoff = HandOffContender("start-handoff", "the launcher's imports and its hand-off to the shell",
                                   WINE + [probe, wine_path(os.path.join(handoff_dir, "dw_dlr.exe"))],
                                   handoff_dir, None, env=wine_env)
        handoff.stand_in = os.path.join(tools, "stand_in.exe")
        contenders[("start-handoff", "-")] = handoff
    only = set(filter(None, args.only.split(",")))
    if only:
        contenders = {k: c for k, c in contenders.items() if k[0] in only}
    for c in contenders.values():
        c.scratch = scratch

    load_before = os.getloadavg()
    order = sorted(contenders, key=lambda k: (k[1], k[0]))
    for round_number in range(args.runs + 1):
        for key in order:
            elapsed = contenders[key].run()
            if round_number > 0:
                contenders[key].times.append(elapsed)
        log(f"round {round_number}/{args.runs} done" + (" (warm-up)" if round_number == 0 else ""))
    load_after = os.getloadavg()

    memory = {}
    for scale in scales:
        tag = f"{scale}x"
        variants = [("launcher", os.path.join(out, f"build-{tag}", "launcher.exe"))]
        if diagnose:
            variants.append(("launcher-aligned", os.path.join(out, "diag", f"launcher-aligned-{tag}.exe")))
        for key, exe in variants:
            if not only or key in only:
                memory[f"{key}@{tag}"] = measure_memory(os.path.join(tools, "memprobe.exe"), exe, install_root,
                                                        wine_env, 3)

    results = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "runs": args.runs, "load_before": load_before, "load_after": load_after,
        "machine": machine(), "info": info, "memory": memory,
        "times": {f"{k[0]}@{k[1]}": c.times for k, c in contenders.items()},
    }
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    # The last run's output of every contender: over a gigabyte at 10x.
    shutil.rmtree(extract, ignore_errors=True)
    shutil.rmtree(install_root, ignore_errors=True)
    print(report(results))
    return 0


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        total_kb = int(f.readline().split()[1])
    versions = {}
    for tool, command in [("wine", WINE + ["--version"]), ("unzip", ["unzip", "-v"]), ("7z", ["7z", "i"]),
                          ("bsdtar", ["bsdtar", "--version"])]:
        try:
            text = subprocess.run(command, capture_output=True, text=True).stdout
            versions[tool] = next((l.strip() for l in text.splitlines() if l.strip()), "?")
        except OSError:
            versions[tool] = "?"
    versions["python"] = platform.python_version()
    return {"nproc": os.cpu_count(), "cpu": model, "memory_gib": round(total_kb / 1048576, 1),
            "kernel": platform.release(), "versions": versions,
            "wine_route": os.environ.get("LAUNCHER_WINE_ROUTE", "native")}


def report(r):
    """The results as Markdown: times, ratios, memory, stub, targets, diagnosis."""
    t = {k: median(v) for k, v in r["times"].items()}
    scales = sorted(r["info"]["scales"], key=lambda s: int(s[:-1]))
    lines = ["| contender | " + " | ".join(f"{s} median ms | {s} / floor | {s} launcher / it" for s in scales) + " |",
             "|---" * (1 + 3 * len(scales)) + "|"]
    for key in ["floor", "launcher", "bsdtar", "zipfile", "7z", "unzip"]:
        row = [key]
        for s in scales:
            mine, floor, launcher = t.get(f"{key}@{s}"), t.get(f"floor@{s}"), t.get(f"launcher@{s}")
            if mine is None:
                row += ["-", "-", "-"]
                continue
            row += [f"{mine * 1000:.1f}", f"{mine / floor:.2f}" if floor else "-",
                    f"{launcher / mine:.2f}" if launcher else "-"]
        lines.append("| " + " | ".join(row) + " |")
    best = {k: min(v) for k, v in r["times"].items()}
    lines.append("\nFastest runs instead of medians (less affected by other load on the machine), "
                 "as ratios to the fastest floor: " + "; ".join(
                     f"{key}@{s} {best[f'{key}@{s}'] / best[f'floor@{s}']:.2f}"
                     for s in scales for key in ["launcher", "bsdtar", "zipfile", "7z", "unzip"]
                     if f"{key}@{s}" in best and f"floor@{s}" in best) + ".")
    if "wine-start@-" in t:
        lines.append(f"\nWine start-up (trivial program, KERNEL32 only): {t['wine-start@-'] * 1000:.1f} ms.")
    lines.append("\nSpread, min-max ms: " + "; ".join(
        f"{k} {min(v) * 1000:.0f}-{max(v) * 1000:.0f}" for k, v in sorted(r["times"].items())) + ".")
    lines.append("")
    for s in scales:
        i = r["info"]["scales"][s]
        lines.append(f"- {s} payload: {i['payload_bytes']:,} bytes packed, {i['unpacked_bytes']:,} unpacked "
                     f"({i['payload_bytes'] / i['unpacked_bytes']:.1%}), sha256 {i['payload_sha256']}; "
                     f"launcher.exe {i['launcher_bytes']:,} bytes, .rsrc raw {i['rsrc_raw_bytes']:,}, "
                     f"stub {i['stub_bytes']:,} bytes")
    for key, m in sorted(r["memory"].items()):
        lines.append(f"- peak private memory, {key}: {m['private']:,} bytes "
                     f"(peak working set {m['peak_working_set']:,}; {m['samples']} samples)")
    lines += ["", "Targets:"] + targets(r, t, scales)
    lines += diagnosis(r, t, scales)
    lines.append("")
    lines.append(f"Load average (1, 5, 15 min) before: {', '.join(f'{x:.2f}' for x in r['load_before'])}; "
                 f"after: {', '.join(f'{x:.2f}' for x in r['load_after'])}; {r['runs']} counted runs each, "
                 f"{r['date']}.")
    lines.append(f"Wine route: {r['machine'].get('wine_route', 'native')} "
                 f"({' '.join(WINE)}, Debian's i386 Wine run directly by the CPU).")
    return "\n".join(lines)


def targets(r, t, scales):
    out = []

    def verdict(ok):
        return "met" if ok else "MISSED"

    start = t.get("wine-start@-")
    if "launcher@10x" in t and "floor@10x" in t:
        ratio = t["launcher@10x"] / t["floor@10x"]
        out.append(f"- 10x: launcher / floor = {ratio:.3f} (target <= 1.05): {verdict(ratio <= 1.05)}")
    if "launcher@1x" in t and "floor@1x" in t:
        ratio = t["launcher@1x"] / t["floor@1x"]
        out.append(f"- 1x: launcher / floor = {ratio:.3f} (target <= 1.45, Wine start included): "
                   f"{verdict(ratio <= 1.45)}")
    if start is not None and "launcher@1x" in t and "launcher@10x" in t:
        ratio = t["launcher@10x"] / (t["launcher@1x"] - start)
        out.append(f"- 10x launcher / (1x launcher - Wine start-up) = {ratio:.2f} (target <= 10.5): "
                   f"{verdict(ratio <= 10.5)}")
    memory = r["memory"]
    if "launcher@1x" in memory and "launcher@10x" in memory:
        growth = memory["launcher@10x"]["private"] - memory["launcher@1x"]["private"]
        out.append(f"- peak private memory, 1x to 10x: {growth:+,} bytes (target < 1 MiB): {verdict(growth < 1 << 20)}")
    stub = max(r["info"]["scales"][s]["stub_bytes"] for s in scales)
    out.append(f"- stub: {stub:,} bytes (target <= 40 KiB = 40,960): {verdict(stub <= 40960)}")
    return out


def diagnosis(r, t, scales):
    """Where the launcher's time goes, from the diagnosis contenders."""
    if not all(k in t for k in ("wine-start@-", "start-imports@-", "start-handoff@-")):
        return []
    ms = {k: v * 1000 for k, v in t.items()}
    start = ms["wine-start@-"]
    imports = ms["start-imports@-"] - start
    handoff = ms["start-handoff@-"] - ms["start-imports@-"]
    out = ["", "Diagnosis (medians, ms):",
           f"- start-up with the launcher's imports: {ms['start-imports@-']:.1f} "
           f"(USER32 and friends add {imports:.1f} to the trivial start-up)",
           f"- the hand-off to the shell adds {handoff:.1f} (start-handoff {ms['start-handoff@-']:.1f})"]
    for s in scales:
        if not all(f"{k}@{s}" in ms for k in ("launcher", "launcher-aligned", "floor", "floor-wine")):
            continue
        launcher, aligned = ms[f"launcher@{s}"], ms[f"launcher-aligned@{s}"]
        floor, floor_wine = ms[f"floor@{s}"], ms[f"floor-wine@{s}"]
        line = (f"- {s}: launcher {launcher:.1f}; with .rsrc page-aligned {aligned:.1f} "
                f"(the image read costs {launcher - aligned:.1f}); floor {floor:.1f}; floor's loop under Wine "
                f"{floor_wine:.1f}; aligned launcher less floor-wine {aligned - floor_wine:.1f}, of which "
                f"imports and hand-off {imports + handoff:.1f}")
        if f"decode-native@{s}" in ms and f"decode-wine@{s}" in ms:
            native, wine = ms[f"decode-native@{s}"], ms[f"decode-wine@{s}"]
            line += (f"; decoding alone {native:.1f} native 64-bit, {wine:.1f} 32-bit under Wine "
                     f"({wine - native:+.1f})")
        out.append(line)
        if f"launcher-aligned@{s}" in r["memory"]:
            m = r["memory"][f"launcher-aligned@{s}"]
            out.append(f"  - aligned launcher's peak private memory at {s}: {m['private']:,} bytes; stub "
                       f"{r['info']['scales'][s].get('aligned_stub_bytes', 0):,} bytes")
    return out


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
