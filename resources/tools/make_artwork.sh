#!/bin/sh
# Regenerates the bundled artwork into resources/resources/ and the desktop icon into
# resources/icons/hicolor/.
# Build the generator first (cmake --build <dir> --target make_artwork), then:
#   resources/tools/make_artwork.sh [path/to/make_artwork]
set -eu

root=$(cd "$(dirname "$0")/../.." && pwd)
binary=${1:-"$root/build/make_artwork"}

if [ ! -x "$binary" ]; then
    echo "make_artwork binary not found at $binary; build the make_artwork target first" >&2
    exit 1
fi

QT_QPA_PLATFORM=offscreen "$binary" "$root/resources/resources" "$root/resources/icons/hicolor"
