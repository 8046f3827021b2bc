#!/usr/bin/env bash
# Shows the launcher at work: builds launcher.exe with the demo payload, runs
# it once under Wine in a fresh, throwaway prefix with its trace on the
# screen, waits for the demo downloader it starts, then lists the installed
# files and shows what the downloader recorded about its start.
# The build goes to ./build-demo (or $BUILD_DIR); no tests are built.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/wine.sh check

build=${BUILD_DIR:-build-demo}
cmake -S . -B "$build" --toolchain cmake/mingw-i686.cmake -DLAUNCHER_TESTS=OFF -DLAUNCHER_PAYLOAD= \
  --no-warn-unused-cli >/dev/null
cmake --build "$build" --target launcher -j2 >/dev/null
launcher="$(cd "$build" && pwd)/launcher.exe"

# A prefix of its own, so that nothing of an earlier run (install directory,
# registry) shows through, and nothing of this one stays.
prefix=$(mktemp -d "${TMPDIR:-/tmp}/launcher-demo.XXXXXX")
cleanup() {
  scripts/wine.sh stop "$prefix" 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT

echo "demo: preparing a fresh Wine prefix ($(scripts/wine.sh route) route; takes a few seconds)"
scripts/wine.sh start "$prefix"

echo "demo: running $launcher"
echo "----- launcher trace -----"
set +e
LAUNCHER_WINE_TIMEOUT=120 scripts/wine.sh run "$prefix" "$launcher" >"$prefix/trace.txt"
status=$?
set -e
tr -d '\r' <"$prefix/trace.txt"
# The last line of a run that does not finish has no line end.
if [ -n "$(tail -c 1 "$prefix/trace.txt")" ]; then echo; fi
echo "----- exit code: $status -----"

# The install directory: the user's local application-data folder (the
# prefix has one user) and the suffix the launcher was built with.
. "$build/launcher_facts.sh"
suffix=${LAUNCHER_INSTALL_SUFFIX//\\//}
install=
for local in "$prefix"/drive_c/users/*/AppData/Local; do
  if [ -d "$local$suffix" ]; then install=${local}${suffix%/}; fi
done
if [ -z "$install" ]; then
  echo "demo: no install directory was made" >&2
  exit 1
fi
record="$install/dw_dlr_started.txt"
for _ in $(seq 1 600); do  # up to a minute: the emulated route starts programs slowly
  if [ -f "$record" ] && grep -q '^cmdline=' "$record"; then break; fi
  sleep 0.1
done

echo "----- installed in ${install#"$prefix"/} -----"
(cd "$install" && find . -type f ! -name dw_dlr_started.txt -printf '%P\t%s bytes\n' | sort)

echo "----- record of the demo downloader -----"
if [ ! -f "$record" ]; then
  echo "demo: the downloader left no record: it was not started" >&2
  exit 1
fi
tr -d '\r' <"$record"
