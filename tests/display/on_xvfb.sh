#!/bin/sh
# Runs one program on a private X server: on_xvfb.sh PROGRAM [ARGUMENTS...]
# The server picks a free display itself (-displayfd), so parallel runs never collide, and it is
# stopped however the program ends; the program's exit status is this script's.
set -u

command -v Xvfb >/dev/null 2>&1 || { echo "on_xvfb.sh: Xvfb is not installed (scripts/install-deps.sh)" >&2; exit 1; }

work=$(mktemp -d) || exit 1
server=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/server.log" &
server=$!

# The server writes its display number once it accepts connections.
tries=0
while [ ! -s "$work/display" ]; do
    if ! kill -0 "$server" 2>/dev/null || [ "$tries" -ge 200 ]; then
        echo "on_xvfb.sh: Xvfb did not start" >&2
        cat "$work/server.log" >&2
        exit 1
    fi
    tries=$((tries + 1))
    sleep 0.05
done

# The windows paint with the raster engine. Left to itself, Qt's xcb plugin loads GLX wherever Mesa
# is installed, and Mesa's driver, opened and closed again by libGL, leaves an allocation that
# LeakSanitizer can no longer attribute to any library: the suite would pass or fail on whether a
# desktop's GL happens to be there.
DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none "$@"
