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

Deleting the previous output, flushing dirty pages (sync) and waiting for
the downloader stand-in that the launcher starts all happen outside the
timed span. Contenders take turns within each round, so a change in the
machine's load falls on all of them alike; the first round is a warm-up and
is not counted. Every run is checked (exit status, every file with its
size; for the launcher also its trace and the stand-in's sign) and a failed
run stops the benchmark.
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
        sign = os.path.join(self.out_dir, self.SIGN)
        deadline = time.monotonic() + 20
        while not os.path.exists(sign):
            if time.monotonic() > deadline:
                raise RuntimeError(f"{self.label}: the downloader stand-in never ran")
            time.sleep(0.01)
        while stand_in_running():
            if time.monotonic() > deadline:
                raise RuntimeError(f"{self.label}: the downloader stand-in does not end")
            time.sleep(0.01)


def stand_in_running():
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if b"dw_dlr.exe" in f.read():
                        return True
            except OSError:
                pass
    return False


def measure_memory(memprobe, launcher, install_root, env, repeat):
    """Largest private figure of `repeat` probe runs (each a fresh install)."""
    best = None
    for _ in range(repeat):
        shutil.rmtree(install_root, ignore_errors=True)
        done = subprocess.run(PIN + ["wine", memprobe, wine_path(launcher)], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, check=True)
        fields = dict(item.split("=") for item in done.stdout.decode().split())
        if fields["exit"] != "0" or int(fields["samples"]) == 0:
            raise RuntimeError(f"memprobe: {done.stdout.decode()} {done.stderr.decode()}")
        sample = {k: int(v) for k, v in fields.items()}
        if best is None or sample["private"] > best["private"]:
            best = sample
        while stand_in_running():
            time.sleep(0.01)
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
    args = parser.parse_args(argv)
    if args.runs < 5:
        parser.error("--runs must be at least 5")
    out = os.path.abspath(args.out)
    scales = [int(s) for s in args.scales.split(",")]
    wine_env = dict(os.environ, WINEPREFIX=os.path.join(out, "wineprefix"), WINEDEBUG="-all",
                    WINEDLLOVERRIDES="mscoree,mshtml=")
    wine_env.pop("DISPLAY", None)
    install_root = os.path.join(wine_env["WINEPREFIX"], "drive_c", "users", getpass.getuser(),
                                "AppData", "Local", "selvane")
    install_dir = os.path.join(install_root, "downloader", "tarnis")
    scratch = os.path.join(out, "scratch")
    os.makedirs(scratch, exist_ok=True)
    extract = os.path.join(out, "extract")
    floor = os.path.join(out, "tools", "floor")

    contenders = {}
    info = {"scales": {}}
    for scale in scales:
        tag = f"{scale}x"
        payload = os.path.join(out, f"payload-{tag}.zip")
        launcher = os.path.join(out, f"build-{tag}", "launcher.exe")
        files = archive_files(payload)
        plain = [
            ("floor", "native floor (floor.c)", [floor, payload, os.path.join(extract, "floor")], False),
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
        lc = LauncherContender("launcher", "launcher.exe under Wine", ["wine", launcher], install_dir, files,
                               env=wine_env)
        lc.install_root = install_root
        contenders[("launcher", tag)] = lc
        total, rsrc, stub = stub_size(launcher)
        info["scales"][tag] = {
            "payload": payload, "payload_bytes": os.path.getsize(payload), "payload_sha256": sha256(payload),
            "unpacked_bytes": sum(size for _, size in files), "launcher_bytes": total,
            "rsrc_raw_bytes": rsrc, "stub_bytes": stub,
        }
    trivial = os.path.join(out, "tools", "trivial.exe")
    contenders[("wine-start", "-")] = Contender("wine-start", "trivial program under Wine", ["wine", trivial],
                                                None, None, env=wine_env)
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
    if not only or "launcher" in only:
        memprobe = os.path.join(out, "tools", "memprobe.exe")
        for scale in scales:
            tag = f"{scale}x"
            memory[tag] = measure_memory(memprobe, os.path.join(out, f"build-{tag}", "launcher.exe"),
                                         install_root, wine_env, 3)

    results = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "runs": args.runs, "load_before": load_before, "load_after": load_after,
        "machine": machine(), "info": info, "memory": memory,
        "times": {f"{k[0]}@{k[1]}": c.times for k, c in contenders.items()},
    }
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
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
    for tool, command in [("wine", ["wine", "--version"]), ("unzip", ["unzip", "-v"]), ("7z", ["7z", "i"]),
                          ("bsdtar", ["bsdtar", "--version"])]:
        try:
            text = subprocess.run(command, capture_output=True, text=True).stdout
            versions[tool] = next((l.strip() for l in text.splitlines() if l.strip()), "?")
        except OSError:
            versions[tool] = "?"
    versions["python"] = platform.python_version()
    return {"nproc": os.cpu_count(), "cpu": model, "memory_gib": round(total_kb / 1048576, 1),
            "kernel": platform.release(), "versions": versions}


def report(r):
    """The results as Markdown: times, ratios, memory, stub and targets."""
    t = {k: median(v) for k, v in r["times"].items()}
    lines = []
    start = t.get("wine-start@-")
    keys = ["floor", "launcher", "bsdtar", "zipfile", "7z", "unzip"]
    scales = sorted(r["info"]["scales"], key=lambda s: int(s[:-1]))
    lines.append("| contender | " + " | ".join(f"{s}: median ms | {s}: / floor | {s}: launcher / it"
                                             for s in scales) + " |")
    lines.append("|---" * (1 + 3 * len(scales)) + "|")
    for key in keys:
        row = [key]
        for s in scales:
            mine, fl, la = t.get(f"{key}@{s}"), t.get(f"floor@{s}"), t.get(f"launcher@{s}")
            if mine is None:
                row += ["-", "-", "-"]
                continue
            row.append(f"{mine * 1000:.1f}")
            row.append(f"{mine / fl:.2f}" if fl else "-")
            row.append(f"{la / mine:.2f}" if la else "-")
        lines.append("| " + " | ".join(row) + " |")
    if start is not None:
        lines.append(f"| wine-start (trivial program) | {start * 1000:.1f} ms |" + " |" * (3 * len(scales) - 1))
    lines.append("")
    lines.append("Spread (min - max, ms): " + "; ".join(
        f"{k}: {min(v) * 1000:.0f}-{max(v) * 1000:.0f}" for k, v in sorted(r["times"].items())))
    lines.append("")
    for s in scales:
        i = r["info"]["scales"][s]
        lines.append(f"- {s} payload: {i['payload_bytes']:,} bytes packed, {i['unpacked_bytes']:,} unpacked "
                     f"({i['payload_bytes'] / i['unpacked_bytes']:.1%}), sha256 {i['payload_sha256'][:16]}...; "
                     f"launcher.exe {i['launcher_bytes']:,} bytes, .rsrc raw {i['rsrc_raw_bytes']:,}, "
                     f"stub {i['stub_bytes']:,} bytes")
    for s, m in r["memory"].items():
        lines.append(f"- peak private memory at {s}: {m['private']:,} bytes "
                     f"(peak working set {m['peak_working_set']:,}; {m['samples']} samples)")
    lines.append("")
    lines.append("Targets:")
    lines += targets(r, t, scales)
    lines.append("")
    lines.append(f"Load average (1, 5, 15 min) before: {', '.join(f'{x:.2f}' for x in r['load_before'])}; "
                 f"after: {', '.join(f'{x:.2f}' for x in r['load_after'])}; {r['runs']} counted runs each.")
    return "\n".join(lines)


def targets(r, t, scales):
    out = []

    def verdict(ok):
        return "met" if ok else "MISSED"

    start = t.get("wine-start@-")
    if "10x" in scales and "launcher@10x" in t and "floor@10x" in t:
        ratio = t["launcher@10x"] / t["floor@10x"]
        out.append(f"- 10x launcher / floor = {ratio:.3f} (target <= 1.05): {verdict(ratio <= 1.05)}")
    if "1x" in scales and "launcher@1x" in t and "floor@1x" in t:
        ratio = t["launcher@1x"] / t["floor@1x"]
        out.append(f"- 1x launcher / floor = {ratio:.3f} (target <= 1.45, Wine start included): "
                   f"{verdict(ratio <= 1.45)}")
    if start is not None and "launcher@1x" in t and "launcher@10x" in t:
        net = t["launcher@1x"] - start
        ratio = t["launcher@10x"] / net
        out.append(f"- 10x launcher / (1x launcher - Wine start {start * 1000:.1f} ms) = {ratio:.2f} "
                   f"(target <= 10.5): {verdict(ratio <= 10.5)}")
    if "1x" in r["memory"] and "10x" in r["memory"]:
        growth = r["memory"]["10x"]["private"] - r["memory"]["1x"]["private"]
        out.append(f"- peak private memory growth 1x -> 10x = {growth:,} bytes (target < 1 MiB): "
                   f"{verdict(growth < 1 << 20)}")
    stubs = {s: r["info"]["scales"][s]["stub_bytes"] for s in scales}
    stub = max(stubs.values())
    out.append(f"- stub = {stub:,} bytes (target <= 40 KiB = 40,960): {verdict(stub <= 40960)}")
    return out


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
