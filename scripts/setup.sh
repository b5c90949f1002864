#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, when it is missing; nothing is fetched
# when all is there.  Usage: setup.sh [extra package...]   (e.g. the static analysis' tools)
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev
    qtbase5-dev libqt5serialport5-dev qttools5-dev qttools5-dev-tools libedit-dev
    dpkg-dev file # cpack -G DEB: dpkg-shlibdeps, and file to find the binaries
    lintian       # the package test reviews the .deb files as Debian would
    "$@"
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
