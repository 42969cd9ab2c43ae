#!/usr/bin/env bash
# One short fuzzing run as a test: the committed seeds are copied to a temporary folder, so that
# the inputs libFuzzer adds never land in the repository, and any crash, leak, hang or undefined
# behaviour fails the run, its input kept as ARTIFACT_PREFIX crash-... (or leak-, timeout-).
#   tests/fuzz/run_fuzzer.sh TARGET CORPUS_DIR ARTIFACT_PREFIX [LIBFUZZER_OPTION...]
set -euo pipefail
target=${1:?usage: $0 TARGET CORPUS_DIR ARTIFACT_PREFIX [LIBFUZZER_OPTION...]}
seeds=${2:?}
artifacts=${3:?}
shift 3
[ -n "$(ls -A "$seeds" 2>/dev/null)" ] || { echo "no seeds in $seeds" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/seeds" "$work/tmp"
cp -R "$seeds/." "$work/seeds/"
# A target that aborts never removes its temporary files; they go with this run's folder.
export TMPDIR="$work/tmp"

# A few seconds, a bound on the runs in case the machine is fast, small inputs so that each run
# stays quick (the unpacking's own bounds are 16 MB a file), and a hang of 10 s per input fails.
options=(-max_total_time=5 -runs=200000 -max_len=4096 -timeout=10 -rss_limit_mb=2048
    -print_final_stats=1 -artifact_prefix="$artifacts")
"$target" "${options[@]}" "$@" "$work/seeds"
