#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12, skipping what is already there.
set -euo pipefail
# xvfb and the desktop's default sans serve the one suite that runs on a real X server; xdotool
# lets that suite type through the server as a keyboard does, so that the focused widget counts.
# MinGW-w64 compiles the sources' Windows branches (the Windows compile test); clang and its
# runtime build the sanitizer configuration and the libFuzzer targets; Ninja and lld build both of
# the test command's configurations quickly. Qt's SQLite driver keeps the unit history; the sqlite3 command lets the
# tests read that file without going through the program. libsodium does the packages' signatures; the stock
# minisign is the tests' independent check of them. libudev tells the station of a port plugged or unplugged as it
# happens.
packages=(cmake g++ make ninja-build lld qtbase5-dev libqt5serialport5-dev libquazip1-qt5-dev libqt5sql5-sqlite libudev-dev sqlite3 unzip
    desktop-file-utils dpkg-dev file xvfb fonts-dejavu-core xdotool g++-mingw-w64-x86-64-posix
    clang-14 libclang-rt-14-dev pkgconf libsodium-dev minisign)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
