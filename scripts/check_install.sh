#!/usr/bin/env bash
# Installs a configured, built tree into a temporary prefix and checks it as a desktop would see
# it: the binaries, the menu entries of the window and the station (desktop-file-validate), their icons in every
# size, and each installed program starting and staying up. Then builds the Debian package and checks that it
# declares the runtime packages the program links against and carries its copyright (machine-readable,
# with the bundled font's licence) and its changelog (gzip -9n, in Debian's format, of this version).
#   scripts/check_install.sh BUILD_DIR [OTHER_INSTALLED_PROGRAM...]
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [OTHER_INSTALLED_PROGRAM...]}" && pwd)
shift
work=$(mktemp -d)
program_pid=""
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

for program in vkt_update_tool "$@"; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program not installed"
done
# Each program with a menu entry: the window and the station.
desktop_programs=(vkt_update_tool vkt_update_station)
for program in "${desktop_programs[@]}"; do
    for size in 16 24 32 48 64 128 256; do
        icon="$prefix/share/icons/hicolor/${size}x${size}/apps/$program.png"
        [ -f "$icon" ] || fail "no ${size}x${size} icon for $program"
        # A PNG keeps its width and height as big-endian words at bytes 16 and 20.
        read -r width height < <(od -An -tu1 -j16 -N8 "$icon" |
            awk '{ print $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8 }')
        [ "$width" = "$size" ] && [ "$height" = "$size" ] || fail "${size}x${size} icon of $program is ${width}x${height}"
    done

    entry="$prefix/share/applications/$program.desktop"
    desktop-file-validate "$entry" || fail "desktop entry $program.desktop does not validate"
    exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
    [ -x "$prefix/bin/$exec_name" ] || fail "the entry starts '$exec_name', which is not installed"
    icon_name=$(sed -n 's/^Icon=//p' "$entry")
    [ -f "$prefix/share/icons/hicolor/256x256/apps/$icon_name.png" ] || fail "the entry's icon '$icon_name' is not installed"

    # The installed program, started the way the menu starts it, must come up and stay up.
    QT_QPA_PLATFORM=offscreen XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" "$prefix/bin/$exec_name" \
        >"$work/program.log" 2>&1 &
    program_pid=$!
    sleep 1
    kill -0 "$program_pid" 2>/dev/null || { cat "$work/program.log" >&2; fail "the installed $exec_name exited within a second"; }
    kill "$program_pid"
    wait "$program_pid" 2>/dev/null || true
    program_pid=""
done

if ! (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1); then
    cat "$work/cpack.log" >&2
    fail "cpack -G DEB failed"
fi
deb=$(ls "$work"/deb/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt5widgets5 libqt5serialport5 libquazip1-qt5-1 libqt5sql5-sqlite; do
    [[ "$depends" == *"$package"* ]] || fail "the package does not depend on $package: $depends"
done
contents=$(dpkg-deb -c "$deb")
doc=usr/share/doc/vkt-update-tool
for path in usr/share/applications/vkt_update_tool.desktop usr/share/icons/hicolor/256x256/apps/vkt_update_tool.png \
    usr/share/applications/vkt_update_station.desktop usr/share/icons/hicolor/256x256/apps/vkt_update_station.png \
    "$doc/copyright" "$doc/changelog.gz"; do
    [[ "$contents" == *" ./$path"* ]] || fail "the package lacks /$path"
done
for program in vkt_update_tool "$@"; do
    [[ "$contents" == *" ./usr/bin/$program"* ]] || fail "the package lacks /usr/bin/$program"
done

dpkg-deb -x "$deb" "$work/unpacked"
copyright="$work/unpacked/$doc/copyright"
head -n1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "the copyright is not in the machine-readable format"
grep -qx 'License: OFL-1.1' "$copyright" && grep -q 'The goals of the Open Font License (OFL)' "$copyright" ||
    fail "the copyright lacks the bundled font's licence"
grep -q 'All rights reserved' "$copyright" || fail "the copyright lacks the program's own licence"
changelog="$work/unpacked/$doc/changelog.gz"
# gzip -n leaves the header's flags (no stored name) and time (bytes 3 to 7) zero.
[ "$(od -An -tu1 -j3 -N5 "$changelog" | tr -s ' ')" = " 0 0 0 0 0" ] || fail "the changelog was not compressed with gzip -n"
version=$(gzip -dc "$changelog" | dpkg-parsechangelog -l- -SVersion) || fail "the changelog does not parse"
[ "$version" = "$(dpkg-deb -f "$deb" Version)" ] || fail "the changelog's last entry is $version, the package $(dpkg-deb -f "$deb" Version)"
echo "install tree and Debian package OK"
