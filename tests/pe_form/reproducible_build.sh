#!/usr/bin/env bash
# Builds launcher.exe twice from one source tree, in two fresh build folders
# at different paths and depths, and compares the results byte for byte.
# Usage: reproducible_build.sh SOURCE_DIR WORK_DIR
# A difference means something of the build folder (its path, a time, a
# random name) leaked into the executable.
set -euo pipefail
src=$(cd "$1" && pwd)
work=$2
a=$work/repro-a
b=$work/repro-b/deeper
rm -rf "$work/repro-a" "$work/repro-b"
mkdir -p "$a" "$b"

for dir in "$a" "$b"; do
  cmake -S "$src" -B "$dir" --toolchain "$src/cmake/mingw-i686.cmake" -DLAUNCHER_TESTS=OFF >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" --target launcher -j2 >"$dir.build.log" 2>&1 ||
    { tail -n 50 "$dir.build.log"; exit 1; }
done

for dir in "$a" "$b"; do
  exe=$dir/launcher.exe
  echo "$(stat -c %s "$exe") bytes  $(sha256sum "$exe" | cut -d' ' -f1)  $exe"
done

if cmp "$a/launcher.exe" "$b/launcher.exe"; then
  echo "identical"
  rm -rf "$work/repro-a" "$work/repro-b" "$work"/repro-*.log
  exit 0
fi
echo "launcher.exe differs between the two builds; the folders are kept in $work" >&2
cmp -l "$a/launcher.exe" "$b/launcher.exe" | head -n 20 >&2 || true
exit 1
