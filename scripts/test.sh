#!/usr/bin/env bash
# Installs what is missing, builds the launcher and every test program, and
# runs all tests with CTest under Wine. The build goes to ./build (or $BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/wine.sh check
echo "test: Windows programs run on the $(scripts/wine.sh route) Wine route"
build=${BUILD_DIR:-build}
cmake -S . -B "$build" --toolchain cmake/mingw-i686.cmake -DLAUNCHER_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
log="$build/ctest.log"
set +e
(cd "$build" && ctest --output-on-failure "$@") 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e
# The summary line last, for whoever reads only the end.
summary=$(grep -E 'tests passed|tests failed' "$log" | tail -n 1 || true)
[ -n "$summary" ] && echo "$summary"
exit "$status"
