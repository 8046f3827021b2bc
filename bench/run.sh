#!/usr/bin/env bash
# The benchmark, in one command:
#   bench/run.sh [--runs N] [--scales 1,10] [--only KEYS] [--no-diagnose]
#
# Builds the helper programs, the shipped-like payloads (1x and 10x) and a
# launcher carrying each (plus, for the diagnosis, a copy of it with its
# resource section page-aligned), starts a warm wineserver pinned to CPU 0
# for a prefix of its own, then times and reports (bench/bench.py). Everything
# goes to $BENCH_DIR (default: build-bench in the repository); payloads and
# builds are kept and remade only when their inputs change. The report is
# printed and kept in $BENCH_DIR/report.md, the raw times in results.json.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=${BENCH_DIR:-$repo/build-bench}
bench=$repo/bench
mkdir -p "$out/tools"

"$repo/scripts/setup.sh"
wine_sh=$repo/scripts/wine.sh
if [ "$("$wine_sh" route)" != native ]; then
  echo "bench: refused: this host runs Windows programs only under CPU emulation (the emulated Wine route), whose timings measure qemu, not the launcher; run the benchmark on a host that runs i386 code" >&2
  exit 1
fi

# ---- Helper programs ----------------------------------------------------------
gcc -O2 -Wall -Wextra -Werror -o "$out/tools/floor" "$bench/floor.c" -lz
freestanding=(-O2 -Wall -Wextra -Werror -ffreestanding -fno-asynchronous-unwind-tables
  -nostdlib -nostartfiles -mwindows -s -Wl,--no-insert-timestamp -Wl,--build-id=none)
i686-w64-mingw32-gcc "${freestanding[@]}" -Wl,--entry=_BenchStandInEntry@0 \
  -o "$out/tools/stand_in.exe" "$bench/stand_in.c" -lkernel32
i686-w64-mingw32-gcc "${freestanding[@]}" -Wl,--entry=_BenchTrivialEntry@0 \
  -o "$out/tools/trivial.exe" "$bench/trivial.c" -lkernel32
i686-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -s -o "$out/tools/memprobe.exe" "$bench/memprobe.c" -lpsapi
# Diagnosis: the same work as the floor and the launcher, taken apart.
mingw_zlib=/usr/i686-w64-mingw32/lib/libz.a
i686-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -s -o "$out/tools/floor_win.exe" "$bench/diag/floor_win.c" "$mingw_zlib"
i686-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -s -o "$out/tools/inflate_cpu.exe" "$bench/diag/inflate_cpu.c" "$mingw_zlib"
gcc -O2 -Wall -Wextra -Werror -o "$out/tools/inflate_cpu" "$bench/diag/inflate_cpu.c" -lz
i686-w64-mingw32-gcc "${freestanding[@]}" -Wl,--entry=_BenchStartProbeEntry@0 \
  -o "$out/tools/start_probe.exe" "$bench/diag/start_probe.c" -lkernel32 -luser32 -lshell32 -lshlwapi

# ---- Payloads and launchers -----------------------------------------------------
scales=1,10
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  [ "${args[$i]}" = --scales ] && scales=${args[$((i + 1))]}
done
IFS=, read -r -a scale_list <<<"$scales"
for scale in "${scale_list[@]}"; do
  payload=$out/payload-${scale}x.zip
  # The payload depends on its generator, the packer, the stand-in and the
  # Wine DLLs it is cut from.
  stamp=$( (cat "$bench/make_payload.py" "$repo/tools/pack_payload.py" "$out/tools/stand_in.exe"
            echo "$scale"; ls -l /usr/lib/i386-linux-gnu/wine/i386-windows/*.dll) | sha256sum | cut -c1-64)
  if [ ! -f "$payload" ] || [ "$(cat "$payload.stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "bench: making the ${scale}x payload" >&2
    rm -rf "$out/files-${scale}x"
    python3 "$bench/make_payload.py" --scale "$scale" --stand-in "$out/tools/stand_in.exe" \
      --out "$out/files-${scale}x"
    python3 "$repo/tools/pack_payload.py" -o "$payload" --time 1533536566 --utc-offset 28800 \
      --archive-bit union.db --archive-bit /download.torrent --list "$out/files-${scale}x/payload.list"
    rm -rf "$out/files-${scale}x"
    echo "$stamp" >"$payload.stamp"
  fi
  cmake -S "$repo" -B "$out/build-${scale}x" --toolchain "$repo/cmake/mingw-i686.cmake" \
    -DLAUNCHER_PAYLOAD="$payload" >/dev/null
  cmake --build "$out/build-${scale}x" --target launcher -j2 >/dev/null
  mkdir -p "$out/diag"
  python3 "$bench/diag/align_rsrc.py" "$out/build-${scale}x/launcher.exe" "$out/diag/launcher-aligned-${scale}x.exe"
done

# ---- A warm wineserver on CPU 0 ---------------------------------------------------
prefix=$out/wineprefix
"$wine_sh" start "$prefix"
"$wine_sh" server "$prefix" -w # the registry is written when the server ends
"$wine_sh" stop "$prefix"      # this prefix's server only, so it can be started pinned
"$wine_sh" server "$prefix" -w
taskset -c 0 "$wine_sh" server "$prefix" -p
trap '"$wine_sh" stop "$prefix"' EXIT

# The timed runs call the route's loader directly, without this script's
# shell around each of them.
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LAUNCHER_WINE_ROUTE=native
LAUNCHER_WINE_LOADER=$("$wine_sh" loader)
export LAUNCHER_WINE_LOADER
unset DISPLAY
python3 "$bench/bench.py" --out "$out" "$@" | tee "$out/report.md"
