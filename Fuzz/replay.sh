#!/usr/bin/env bash
# Builds the fuzz preset and runs every file of Fuzz/Corpus/<target>/ once through <target>.
# Exits non-zero when a target crashes, leaks or breaks one of its checks on any of them, or when
# a target has no inputs there.
#   Fuzz/replay.sh              build, then replay every target
#   Fuzz/replay.sh TARGET...    build, then replay only these
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

targets=("$@")
if ((${#targets[@]} == 0)); then
    for source in Fuzz/*Fuzzer.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for target in "${targets[@]}"; do
    # A target without inputs would pass having run nothing.
    inputs=()
    if [[ -d Fuzz/Corpus/$target ]]; then
        inputs=(Fuzz/Corpus/"$target"/*)
    fi
    if ((${#inputs[@]} == 0)); then
        echo "$target: FAILED, Fuzz/Corpus/$target holds no inputs" >&2
        failed+=("$target")
        continue
    fi
    # The same memory bounds as the fuzzing runs, so that a replayed input meets the same limits.
    if build/fuzz/Fuzz/"$target" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=60 \
        "${inputs[@]}" >"build/fuzz/$target.replay.log" 2>&1; then
        echo "$target: ${#inputs[@]} inputs, no crash"
    else
        echo "$target: FAILED, see build/fuzz/$target.replay.log" >&2
        tail -n 40 "build/fuzz/$target.replay.log" >&2
        failed+=("$target")
    fi
done
((${#failed[@]} == 0))
