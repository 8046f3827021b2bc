#!/usr/bin/env bash
# The project's one way to run 32-bit Windows programs. Everything that needs
# Wine (CTest, the end-to-end prefix, the demo, the benchmark, test scripts)
# calls this script; nothing else calls Wine.
#
#   wine.sh route                     prints "native" or "emulated"
#   wine.sh prepare                   builds the emulated route's folder when this host needs it
#   wine.sh start PREFIX              makes PREFIX when new, keeps a wineserver for it, and
#                                     checks that a 32-bit program starts there
#   wine.sh stop PREFIX               ends PREFIX's wineserver
#   wine.sh run PREFIX PROGRAM [ARG...]   runs a Windows program in PREFIX
#   wine.sh server PREFIX [ARG...]    runs this route's wineserver with ARGs (-k, -w, -p)
#   wine.sh loader                    prints the command that runs one 32-bit program
#
# Two routes. "native": the host runs i386 Linux code, and Debian's wine
# (wine32) runs the programs as it always has. "emulated": the host cannot run
# i386 code (IA-32 emulation off), so Debian's unchanged i386 Wine loader runs
# under qemu-i386-static, from a folder this script lays out (see prepare);
# the prefix is a win64 one with syswow64, and every 64-bit Wine process
# (wineserver, wine64) runs natively. The route is found by trying to run the
# i386 dynamic loader; LAUNCHER_WINE=emulated (or native) forces one, so the
# emulated route can be tried on any host.
#
# Every Wine call has a time limit. LAUNCHER_WINE_TIMEOUT (seconds, default
# 1800) bounds "run"; start-up and prefix creation have limits of their own.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
emulated_root=${LAUNCHER_WINE_DIR:-$repo/out/wine-emulated}
emulated_bin=$emulated_root/lib/wine
preload_name=libwine-qemu-preload.so

die() {
  echo "wine.sh: $*" >&2
  exit 1
}

host_runs_i386() {
  /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

route() {
  case "${LAUNCHER_WINE:-}" in
    native | emulated) echo "$LAUNCHER_WINE" ;;
    "") if host_runs_i386; then echo native; else echo emulated; fi ;;
    *) die "LAUNCHER_WINE is '$LAUNCHER_WINE'; it must be native, emulated or unset" ;;
  esac
}

# ---- The emulated route's folder ----------------------------------------------
# Laid out like /usr/lib/wine, so that Wine finds its DLLs and data through
# the same relative paths:
#   lib/wine/wine64        a copy of Debian's wine64 (a copy: Wine finds its own
#                          folder through /proc/self/exe, and starts 32-bit
#                          programs with "<that folder>/wine")
#   lib/wine/wine-i386     a copy of Debian's i386 loader (/usr/lib/wine/wine)
#   lib/wine/wine          runs wine-i386 under qemu with argv[0] = this file, so
#                          that 32-bit Wine starts its 32-bit children through it too
#   lib/wine/wineserver    Debian's 64-bit wineserver
#   lib/i386-linux-gnu/libwine-qemu-preload.so     see scripts/wine-qemu-preload.c
#   lib/x86_64-linux-gnu/libwine-qemu-preload.so   empty, so that 64-bit processes
#                          inheriting LD_PRELOAD ($LIB picks per class) stay quiet
#   lib/x86_64-linux-gnu/wine, lib/i386-linux-gnu/wine, share/wine: links to /usr
emulated_stamp() {
  dpkg-query -W -f='${Package}:${Architecture}=${Version}\n' wine64 wine32:i386 qemu-user-static 2>/dev/null || true
  sha256sum "$repo/scripts/wine-qemu-preload.c" "${BASH_SOURCE[0]}" | cut -c1-64
}

prepare_emulated() {
  local stamp
  stamp=$(emulated_stamp)
  if [ -f "$emulated_root/stamp" ] && [ "$(cat "$emulated_root/stamp")" = "$stamp" ]; then
    return 0
  fi
  local need
  for need in /usr/lib/wine/wine /usr/lib/wine/wine64 /usr/lib/wine/wineserver64 /usr/bin/qemu-i386-static \
    /lib/i386-linux-gnu/libc.so.6; do
    [ -e "$need" ] || die "the emulated route needs $need: run scripts/setup.sh"
  done
  command -v gcc >/dev/null || die "the emulated route needs gcc: run scripts/setup.sh"
  echo "wine.sh: laying out the emulated Wine route in $emulated_root" >&2
  rm -rf "$emulated_root"
  mkdir -p "$emulated_bin" "$emulated_root/lib/i386-linux-gnu" "$emulated_root/lib/x86_64-linux-gnu" \
    "$emulated_root/share"
  cp /usr/lib/wine/wine64 "$emulated_bin/wine64"
  cp /usr/lib/wine/wine "$emulated_bin/wine-i386"
  ln -s /usr/lib/wine/wineserver64 "$emulated_bin/wineserver"
  ln -s /usr/lib/x86_64-linux-gnu/wine "$emulated_root/lib/x86_64-linux-gnu/wine"
  ln -s /usr/lib/i386-linux-gnu/wine "$emulated_root/lib/i386-linux-gnu/wine"
  ln -s /usr/share/wine "$emulated_root/share/wine"
  gcc -m32 -O2 -Wall -Wextra -Werror -fno-stack-protector -shared -nostdlib -fPIC \
    -o "$emulated_root/lib/i386-linux-gnu/$preload_name" "$repo/scripts/wine-qemu-preload.c" /lib/i386-linux-gnu/libc.so.6
  : | gcc -x c -shared -nostdlib -o "$emulated_root/lib/x86_64-linux-gnu/$preload_name" -
  cat >"$emulated_bin/wine" <<EOF
#!/bin/sh
# Runs Debian's i386 Wine loader under qemu; see scripts/wine.sh.
export LD_PRELOAD='$emulated_root/\$LIB/$preload_name'
exec /usr/bin/qemu-i386-static -0 "$emulated_bin/wine" "$emulated_bin/wine-i386" "\$@"
EOF
  chmod +x "$emulated_bin/wine"
  echo "$stamp" >"$emulated_root/stamp"
}

prepare() {
  if [ "$(route)" = emulated ]; then prepare_emulated; fi
}

# ---- Commands of the chosen route ------------------------------------------------
# Sets wine32 (runs one 32-bit program), wine_boot (creates a prefix) and
# wine_server (the wineserver).
select_route() {
  if [ "$(route)" = emulated ]; then
    prepare_emulated
    wine32=("$emulated_bin/wine")
    wine_boot=("$emulated_bin/wine64" wineboot -i)
    wine_server=("$emulated_bin/wineserver")
    export WINESERVER="$emulated_bin/wineserver"
  else
    wine32=(wine)
    wine_boot=(wineboot -i)
    wine_server=(wineserver)
  fi
}

use_prefix() {
  [ -n "${1:-}" ] || die "no prefix given"
  export WINEPREFIX="$1"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY # no window may wait for a click
}

# Can this route start a 32-bit Linux-side Wine loader at all? Answers within
# seconds, before any prefix work, with the cause and the remedy.
check_loader() {
  local r
  r=$(route)
  if ! timeout 30 "${wine32[@]}" --version </dev/null >/dev/null 2>&1; then
    if [ "$r" = native ]; then
      die "Wine cannot start 32-bit programs here: the i386 Wine loader (wine32) does not run." \
        "Run scripts/setup.sh; if this host runs no i386 code, unset LAUNCHER_WINE to take the emulated route."
    else
      die "Wine cannot start 32-bit programs here: Debian's i386 Wine loader does not run under qemu-i386-static." \
        "Run scripts/setup.sh (it installs qemu-user-static, wine64 and wine32:i386)."
    fi
  fi
}

# A program that crashes ends at once with its exception as exit code,
# instead of waiting for winedbg (which never finishes under qemu). 32-bit
# programs read the 32-bit view of the registry, which a win64 prefix keeps
# apart; a win32 prefix has only that one view.
no_crash_debugger() {
  local view
  for view in 32 64; do
    timeout 120 "${wine32[@]}" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d 'no-debugger.exe %ld %ld' /f /reg:$view </dev/null >/dev/null 2>&1 || true
  done
}

start() {
  use_prefix "$1"
  select_route
  check_loader
  local r
  r=$(route)
  # A prefix made by the other route (win32 against win64) is made anew.
  if [ -f "$WINEPREFIX/system.reg" ] && [ "$(cat "$WINEPREFIX/.route" 2>/dev/null)" != "$r" ]; then
    timeout 60 "${wine_server[@]}" -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  mkdir -p "$WINEPREFIX"
  # The persistent server first, with every stream detached so that it does
  # not hold a caller's output pipe open; one already running is fine.
  timeout 60 "${wine_server[@]}" -p </dev/null >/dev/null 2>&1 || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 600 "${wine_boot[@]}" </dev/null >/dev/null 2>&1 ||
      die "Wine could not create the prefix $WINEPREFIX within 600 s ($r route)"
    no_crash_debugger
    echo "$r" >"$WINEPREFIX/.route"
  fi
  # The first program after a server start brings up Wine's background
  # services, which then live as long as the server; started here, they hold
  # none of a test's pipes. It is also the proof that 32-bit programs run.
  timeout 300 "${wine32[@]}" cmd /c exit </dev/null >/dev/null 2>&1 ||
    die "Wine cannot run a 32-bit program in $WINEPREFIX ($r route); remove the prefix and run scripts/setup.sh"
}

stop() {
  use_prefix "$1"
  select_route
  timeout 60 "${wine_server[@]}" -k </dev/null >/dev/null 2>&1 || true
}

run() {
  use_prefix "$1"
  shift
  select_route
  # Never a closed standard input: Wine misbehaves without one.
  exec timeout --kill-after=10 "${LAUNCHER_WINE_TIMEOUT:-1800}" "${wine32[@]}" "$@" </dev/null
}

server() {
  use_prefix "$1"
  shift
  select_route
  exec timeout 600 "${wine_server[@]}" "$@"
}

action=${1:-}
[ $# -gt 0 ] && shift
case "$action" in
  route) route ;;
  prepare) prepare ;;
  start) start "$@" ;;
  stop) stop "$@" ;;
  run) run "$@" ;;
  server) server "$@" ;;
  loader)
    select_route
    echo "${wine32[@]}"
    ;;
  *)
    sed -n '2,13p' "${BASH_SOURCE[0]}" | cut -c3- >&2
    exit 2
    ;;
esac
