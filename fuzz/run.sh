#!/usr/bin/env bash
# Runs every harness of a fuzz build for a bounded time, one after another, and fails if any of
# them finds a crash, a sanitizer report, a leak, a time-out or an out-of-memory.
# Usage: fuzz/run.sh BUILD_DIR SECONDS [DESCRIPTIONS_DIR]
# Corpora grow under BUILD_DIR/corpus/<harness>; findings land in BUILD_DIR/findings/<harness>.
set -u

build=${1:?build dir}
seconds=${2:?seconds per harness}
here=$(cd "$(dirname "$0")" && pwd)
descriptions=${3:-$here/../../shared/genicam-xml}

python3 "$here/shared_seeds.py" "$descriptions" "$build/shared-seeds" || exit 1

harnesses=()
for harness in "$build"/fuzz_*; do
    [ -f "$harness" ] && [ -x "$harness" ] && harnesses+=("$harness")
done
if [ ${#harnesses[@]} -eq 0 ]; then
    echo "no harnesses in $build" >&2
    exit 1
fi

failed=0
summary=()
for harness in "${harnesses[@]}"; do
    name=${harness##*/fuzz_}
    corpus=$build/corpus/$name
    findings=$build/findings/$name
    log=$build/logs/$name.log
    mkdir -p "$corpus" "$findings" "$build/logs"

    seeds=()
    for folder in "$here/seeds/$name" "$build/shared-seeds/$name"; do
        [ -d "$folder" ] && seeds+=("$folder")
    done
    dict=()
    [ -f "$here/dict/$name.dict" ] && dict=("-dict=$here/dict/$name.dict")

    echo "fuzzing $name for ${seconds}s"
    "$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/" ${dict[@]+"${dict[@]}"} "$corpus" ${seeds[@]+"${seeds[@]}"} >"$log" 2>&1
    status=$?

    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    inputs=$(find "$corpus" -type f | wc -l)
    if [ $status -eq 0 ]; then
        summary+=("$name: ok, ${runs:-?} runs, corpus of $inputs inputs")
    else
        failed=1
        summary+=("$name: FAILED (exit $status), see $log and $findings/")
        tail -n 40 "$log"
    fi
done

printf '%s\n' "${summary[@]}"
exit $failed
