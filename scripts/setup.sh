#!/usr/bin/env bash
# Installs every Debian package that building, the demo and the tests need,
# and lays out the emulated Wine route on hosts that run no i386 code (see
# scripts/wine.sh). Idempotent: when everything is present it does nothing.
set -euo pipefail

packages=(
  cmake make git
  g++-mingw-w64-i686 mingw-w64-i686-dev libz-mingw-w64-dev
  googletest
  wine wine32:i386
  python3 zip unzip p7zip-full libarchive-tools
  osslsigncode openssl
  gcc zlib1g-dev
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_i386=1
fi

# Hosts that cannot run i386 code run Debian's i386 Wine loader under qemu,
# with a 64-bit wineserver, and build a small preload library for it.
# wine32:i386 brings the i386 dynamic loader that the probe runs, so the
# route is known only once the first list is installed.
emulated_packages=(qemu-user-static wine64 gcc)

missing_of() {
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$p"
    fi
  done
}

install() {
  echo "setup: installing $*"
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

if [ "$need_i386" -eq 1 ]; then
  echo "setup: enabling the i386 architecture for wine32"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
mapfile -t missing < <(missing_of "${packages[@]}")
if [ "${#missing[@]}" -gt 0 ]; then
  install "${missing[@]}"
fi

here=$(cd "$(dirname "$0")" && pwd)
if [ "$("$here/wine.sh" route)" = emulated ]; then
  mapfile -t missing < <(missing_of "${emulated_packages[@]}")
  if [ "${#missing[@]}" -gt 0 ]; then
    install "${missing[@]}"
  fi
fi
"$here/wine.sh" prepare
