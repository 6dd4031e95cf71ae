#!/usr/bin/env bash
# Installs everything the project needs on Debian 12 (idempotent): the host
# compilers and GoogleTest, clang with libFuzzer, MinGW-w64, Wine (64-bit and
# 32-bit), Xvfb and the X and image tools of the window tests. When every
# package is present already it only says so.
#
# Runs as root, or through sudo when that is available. No questions asked.
set -eu

packages=(
    cmake make g++ git file
    clang libclang-rt-14-dev
    googletest
    mingw-w64
    wine wine64 wine32:i386
    xvfb x11-utils imagemagick
    libhivex-dev libhivex-bin
)

missing=()
for p in "${packages[@]}"; do
    status="$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)"
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "setup: missing ${missing[*]}; run as root (or install sudo)" >&2
    exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q "${missing[@]}"
echo "setup: done"
