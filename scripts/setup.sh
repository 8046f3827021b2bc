#!/usr/bin/env bash
# Installs every Debian package that building, the demo and the tests need.
# Idempotent: when everything is present it does nothing at all.
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

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "$need_i386" -eq 0 ] && [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

if [ "$need_i386" -eq 1 ]; then
  echo "setup: enabling the i386 architecture for wine32"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
