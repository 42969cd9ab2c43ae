#!/usr/bin/env bash
# Compiles every program source as the Windows build would see it, syntax only, with Debian's
# MinGW-w64 cross compiler against Qt's and QuaZip's headers, so that a Windows-only branch
# (`#ifdef Q_OS_WIN`) that no longer compiles fails here rather than on a Windows machine. Forms'
# generated headers (ui_*.h) come from the configured, built tree's autogen folders; moc output is
# not needed for syntax. Tests, benchmarks, docs, resources, scripts and build folders are left out,
# as the POSIX guard check leaves them out.
#   scripts/check_windows_compile.sh SOURCE_ROOT BUILD_DIR [COMPILER_OPTION...]
#   scripts/check_windows_compile.sh --self-test [COMPILER_OPTION...]
# The compiler options name the headers (-isystem) and the build's definitions (-D).
set -euo pipefail

# The posix thread model, as Qt's own MinGW toolchains are built: GCC 12's win32 model has no
# std::thread or std::mutex, which the service log's writer uses.
compiler=x86_64-w64-mingw32-g++-posix
command -v "$compiler" >/dev/null || { echo "$compiler is not installed (scripts/install-deps.sh)" >&2; exit 1; }
# Qt's Windows builds define these for every source, so that the Windows API's text calls take
# UTF-16 and a Windows-only branch is compiled against the functions it really gets.
windows_defines=(-DUNICODE -D_UNICODE -DWIN32)

# check SOURCE_ROOT BUILD_DIR OPTION...: prints each failing source's errors and the failing paths
# on the last line; fails when any source fails.
check() {
    local root=$1 build=$2
    shift 2
    local includes=() sources=() failed=() source
    mapfile -t generated < <(find "$build" -type d -path '*_autogen/include' | sort)
    for dir in "${generated[@]}"; do includes+=(-I "$dir"); done
    mapfile -t sources < <(find "$root" \( -name .git -o -name 'build*' -o -path "$root/tests" -o -path "$root/bench" \
        -o -path "$root/docs" -o -path "$root/resources" -o -path "$root/scripts" \) -prune -o \
        -type f -name '*.cpp' -print | sort)
    [ ${#sources[@]} -gt 0 ] || { echo "no program source under $root" >&2; return 1; }
    # One compiler per core; each source's errors are kept apart and printed in the sources' order.
    local out i
    out=$(mktemp -d)
    for i in "${!sources[@]}"; do
        while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
        { "$compiler" -std=c++17 -fsyntax-only "${windows_defines[@]}" -I "$root" "${includes[@]}" "$@" "${sources[$i]}" \
            >"$out/$i.log" 2>&1 || touch "$out/$i.failed"; } &
    done
    wait
    for i in "${!sources[@]}"; do
        [ -e "$out/$i.failed" ] || continue
        cat "$out/$i.log"
        failed+=("${sources[$i]#"$root"/}")
    done
    rm -rf "$out"
    if [ ${#failed[@]} -gt 0 ]; then
        echo "FAIL: ${#failed[@]} of ${#sources[@]} sources do not compile for Windows: ${failed[*]}"
        return 1
    fi
    echo "${#sources[@]} sources compile for Windows"
}

if [ "${1:-}" = "--self-test" ]; then
    shift
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    root="$work/source"
    mkdir -p "$root"/{app,link,tests,bench,build-release} "$work/build/app/sample_autogen/include"
    cat >"$work/build/app/sample_autogen/include/ui_sample.h" <<'SAMPLE'
namespace Ui { struct Sample { int rows = 0; }; }
SAMPLE
    cat >"$root/app/sound.cpp" <<'SAMPLE'
#include "ui_sample.h"
#include <QString>
#ifdef Q_OS_WIN
#include <windows.h>
bool elevated() { return GetCurrentProcessId() != 0 && CreateFile(L"COM1", 0, 0, nullptr, 0, 0, nullptr); }
#else
#include <termios.h>
bool elevated() { termios settings; return tcgetattr(0, &settings) == 0; }
#endif
int rows() { return Ui::Sample().rows + QString().size(); }
SAMPLE
    cat >"$root/app/windows_branch.cpp" <<'SAMPLE'
#include <QtGlobal>
#ifdef Q_OS_WIN
int port_count() { return undeclared_on_windows; }
#endif
SAMPLE
    cat >"$root/link/unguarded.cpp" <<'SAMPLE'
#include <termios.h>
SAMPLE
    for skipped in tests bench build-release; do
        echo 'int broken( {' >"$root/$skipped/skipped.cpp"
    done
    if check "$root" "$work/build" "$@" >"$work/out" 2>&1; then
        cat "$work/out"
        echo "FAIL: a Windows-only error and an unguarded POSIX header passed" >&2
        exit 1
    fi
    verdict=$(tail -n 1 "$work/out")
    expected="FAIL: 2 of 3 sources do not compile for Windows: app/windows_branch.cpp link/unguarded.cpp"
    [ "$verdict" = "$expected" ] || { cat "$work/out"; echo "FAIL: expected '$expected'" >&2; exit 1; }
    echo "self-test OK"
    exit 0
fi

root=${1:?usage: $0 SOURCE_ROOT BUILD_DIR [COMPILER_OPTION...]}
build=${2:?usage: $0 SOURCE_ROOT BUILD_DIR [COMPILER_OPTION...]}
shift 2
check "$root" "$build" "$@"
