#!/usr/bin/env bash
# Fails when the program's sources use a POSIX-only header or call outside a Unix-only
# preprocessor branch, so that the Windows build never meets one by surprise. A branch counts as
# Unix-only when it is the first branch of `#ifdef Q_OS_UNIX` / `#if defined(Q_OS_LINUX)` / ... or
# of `#ifndef Q_OS_WIN`, or the `#else` of `#ifdef Q_OS_WIN`. Tests are not checked: they drive
# pseudo-terminals and run only on Unix.
#   scripts/check_posix_guards.sh [SOURCE_ROOT]     check every program source
#   scripts/check_posix_guards.sh --self-test       prove the check tells guarded from unguarded
set -euo pipefail

scan() {
    awk '
    function kind(expression,    rest) {
        rest = expression
        gsub(/[ \t]/, "", rest)
        if (rest ~ /^!defined\(?Q_OS_WIN(32|64)?\)?$/) return "unix"
        if (rest ~ /^defined\(?Q_OS_WIN(32|64)?\)?$/) return "win"
        gsub(/defined|[()]|\|\|/, " ", rest)
        gsub(/Q_OS_(UNIX|LINUX|MACOS|DARWIN|FREEBSD|OPENBSD|NETBSD|BSD4)/, "", rest)
        gsub(/ /, "", rest)
        return rest == "" ? "unix" : "none"
    }
    function guarded(    i) {
        for (i = 1; i <= depth; ++i)
            if ((frame[i] == "unix" && branch[i] == 0) || (frame[i] == "win" && branch[i] == 1)) return 1
        return 0
    }
    function report(text) {
        printf "%s:%d: POSIX-only outside a Unix-only branch: %s\n", FILENAME, FNR, text
        found = 1
    }
    FNR == 1 { depth = 0; in_comment = 0 }
    {
        line = $0
        if (in_comment) {
            if (sub(/.*\*\//, "", line)) in_comment = 0; else next
        }
        gsub(/\/\*([^*]|\*+[^*\/])*\*+\//, " ", line)
        if (sub(/\/\*.*/, "", line)) in_comment = 1
        sub(/\/\/.*/, "", line)
        gsub(/"([^"\\]|\\.)*"/, "\"\"", line)
        if (line ~ /^[ \t]*#[ \t]*ifdef[ \t]/) { d = line; sub(/^[ \t]*#[ \t]*ifdef[ \t]+/, "", d); frame[++depth] = kind("defined(" d ")"); branch[depth] = 0; next }
        if (line ~ /^[ \t]*#[ \t]*ifndef[ \t]/) { d = line; sub(/^[ \t]*#[ \t]*ifndef[ \t]+/, "", d); frame[++depth] = kind("!defined(" d ")"); branch[depth] = 0; next }
        if (line ~ /^[ \t]*#[ \t]*if[ \t(!]/) { d = line; sub(/^[ \t]*#[ \t]*if/, "", d); frame[++depth] = kind(d); branch[depth] = 0; next }
        if (line ~ /^[ \t]*#[ \t]*elif[ \t(!]/) { d = line; sub(/^[ \t]*#[ \t]*elif/, "", d); frame[depth] = (kind(d) == "unix") ? "unix" : "none"; branch[depth] = 0; next }
        if (line ~ /^[ \t]*#[ \t]*else/) { branch[depth] = 1; next }
        if (line ~ /^[ \t]*#[ \t]*endif/) { if (depth > 0) --depth; next }
        if (guarded()) next
        if (line ~ /^[ \t]*#[ \t]*include[ \t]*[<"](unistd|termios|poll|pty|fcntl|pwd|grp|dirent|dlfcn|libutil|util|sys\/[a-z_]+)\.h[>"]/) { report($0); next }
        if (line ~ /(^|[^A-Za-z0-9_.>:])(::)?(openpty|forkpty|login_tty|tcgetattr|tcsetattr|tcflush|tcdrain|cfsetispeed|cfsetospeed|cfmakeraw|ioctl|poll|select|access|setuid|seteuid|setgid|getuid|geteuid|getgid|getgroups|getgrnam|getgrgid|getpwuid|getpwnam|isatty|ttyname|grantpt|unlockpt|ptsname|posix_openpt|fork|usleep|pipe|dup2|fcntl|mkfifo|chown|symlink|readlink)[ \t]*\(/) { report($0); next }
        if (line ~ /(^|[^A-Za-z0-9_.>:])::(open|close|read|write|unlink|sleep|stat|kill)[ \t]*\(/) { report($0); next }
    }
    END { exit found }
    ' "$@"
}

if [ "${1:-}" = "--self-test" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    cat >"$work/guarded.cpp" <<'SAMPLE'
#include <QSerialPort> // a line-settings call such as tcgetattr() belongs to Qt here
#ifdef Q_OS_UNIX
#include <unistd.h>
#include <sys/ioctl.h>
#endif
#if defined(Q_OS_LINUX) || defined(Q_OS_MACOS)
#  include <pty.h>
#endif
bool member_calls(QSerialPort& port) { port.close(); QSerialPort::staticMetaObject; return port.open(QIODevice::ReadWrite); }
/* ::close(0) inside a comment
   and access(path) on the next comment line */
const char* text = "ioctl(fd) in a string";
bool hung_up(int fd)
{
#ifdef Q_OS_WIN
    return false;
#else
    return ::poll(nullptr, 0, 0) < 0 && ioctl(fd, 0) == 0;
#endif
}
#ifndef Q_OS_WIN
int who() { return getuid(); }
#endif
SAMPLE
    cat >"$work/unguarded.cpp" <<'SAMPLE'
#include <termios.h>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#else
bool lost(int fd) { return ::close(fd) == 0; }
#endif
#if defined(Q_OS_UNIX) && QT_VERSION > 0
#endif
int open_pair(int* m, int* s) { return openpty(m, s, nullptr, nullptr, nullptr); }
bool allowed(const char* path) { return access(path, 0) == 0; }
SAMPLE
    scan "$work/guarded.cpp" >"$work/guarded.out" || { cat "$work/guarded.out"; echo "FAIL: guarded code was reported" >&2; exit 1; }
    if scan "$work/unguarded.cpp" >"$work/unguarded.out"; then echo "FAIL: unguarded code passed" >&2; exit 1; fi
    reported=$(cut -d: -f2 "$work/unguarded.out" | tr '\n' ' ')
    [ "$reported" = "1 5 9 10 " ] || { cat "$work/unguarded.out"; echo "FAIL: reported lines $reported, expected 1 5 9 10" >&2; exit 1; }
    echo "self-test OK"
    exit 0
fi

root=${1:-"$(dirname "$0")/.."}
# Every program source, wherever its folder lies: all but the tests, benchmarks, docs, resources,
# scripts and build folders.
mapfile -t sources < <(find "$root" \( -name .git -o -name 'build*' -o -path "$root/tests" -o -path "$root/bench" \
    -o -path "$root/docs" -o -path "$root/resources" -o -path "$root/scripts" \) -prune -o \
    -type f \( -name '*.cpp' -o -name '*.h' \) -print | sort)
scan "${sources[@]}"
