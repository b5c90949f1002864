#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time.
#   fuzz.sh [seconds per target, default 60] [target...]
# Environment:
#   KESTROVAN_FUZZ_BUILD   build directory (default: <repo>/build-fuzz)
#   KESTROVAN_FUZZ_OUT     where the working corpora, logs and findings go
#                          (default: <build directory>/fuzz-runs/<date-time>)
#   KESTROVAN_FUZZ_JOBS    build jobs (default: 2)
#   KESTROVAN_FUZZ_PARALLEL targets fuzzed side by side (default: number of cores)
# Each target first replays the inputs kept in fuzz/<target>/regressions/, then fuzzes a copy
# of fuzz/<target>/corpus (plus those regressions): nothing is ever written into the tree.
# A fuzz/<target>/libfuzzer.flags file adds flags for that target, one per line, and a
# fuzz/<target>/<target>.dict is given to it as its dictionary.
# Exit status: 0 when no target found anything, 1 when one did (its inputs are in the
# findings folder, named in the output), 2 for a usage or build failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds per target] [target...]" >&2
    exit 2
fi
shift || true

# Per input: a hang of this many seconds is a finding, and so is more memory than this.
timeout_s=10
rss_limit_mb=2048

build=${KESTROVAN_FUZZ_BUILD:-$root/build-fuzz}
jobs=${KESTROVAN_FUZZ_JOBS:-2}

targets=()
if [ $# -gt 0 ]; then
    targets=("$@")
else
    for dir in "$root"/fuzz/*/; do
        [ -f "$dir/CMakeLists.txt" ] && targets+=("$(basename "$dir")")
    done
fi
for t in "${targets[@]}"; do
    if [ ! -d "$root/fuzz/$t/corpus" ]; then
        echo "no fuzz target with a corpus: fuzz/$t" >&2
        exit 2
    fi
done

# The whole build gets coverage and the sanitizers, so that the rooms linked into a target
# are instrumented as well; each fuzz target adds the fuzzer's main itself. A build that already
# has the fuzz targets (the ASan build of scripts/build.sh) is used as it is.
if ! grep -qs '^KESTROVAN_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
    # Build type None with -O1 -g: optimised enough for speed, quicker to build, exact reports.
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
        -DKESTROVAN_FUZZ=ON -DKESTROVAN_BUILD_TESTS=OFF -DKESTROVAN_BUILD_BENCH=OFF \
        "-DCMAKE_CXX_FLAGS=-O1 -g -fsanitize=fuzzer-no-link,address,undefined" >/dev/null \
        || exit 2
fi
# Only the fuzz targets: the application and the simulator are not needed here.
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz_}" || exit 2

out=${KESTROVAN_FUZZ_OUT:-$build/fuzz-runs/$(date +%Y%m%d-%H%M%S)}
mkdir -p "$out"

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0"
# UBSan would otherwise report and carry on, which the fuzzer does not count as a finding.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"

# One target: replay its regressions, then fuzz. Its verdict goes to $out/<target>/failed.
fuzz_target() {
    local t=$1
    local binary="$build/fuzz/$t/fuzz_$t"
    local source="$root/fuzz/$t"
    local work="$out/$t"
    mkdir -p "$work/corpus" "$work/findings"
    cp -r "$source/corpus/." "$work/corpus/"

    local extra=()
    if [ -f "$source/libfuzzer.flags" ]; then
        while IFS= read -r flag; do
            case "$flag" in ''|'#'*) ;; *) extra+=("$flag") ;; esac
        done <"$source/libfuzzer.flags"
    fi
    if [ -f "$source/$t.dict" ]; then
        extra+=(-dict="$source/$t.dict")
    fi
    local flags=(-timeout="$timeout_s" -rss_limit_mb="$rss_limit_mb"
                 -artifact_prefix="$work/findings/" "${extra[@]}")

    local status=0
    if [ -d "$source/regressions" ] && [ -n "$(ls -A "$source/regressions")" ]; then
        echo "== $t: replaying fuzz/$t/regressions"
        "$binary" "${flags[@]}" "$source"/regressions/* >"$work/regressions.log" 2>&1 || status=$?
        cp -r "$source/regressions/." "$work/corpus/"
    fi
    if [ "$status" -eq 0 ]; then
        echo "== $t: fuzzing for $seconds s (log: $work/fuzz.log)"
        "$binary" "${flags[@]}" -max_total_time="$seconds" -print_final_stats=1 \
            "$work/corpus" >"$work/fuzz.log" 2>&1 || status=$?
        grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb' \
            "$work/fuzz.log" | sed "s/^/$t: /" || true
    fi
    if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/findings")" ]; then
        echo "!! $t: finding (exit $status); inputs in $work/findings, see its logs" >&2
        tail -n 40 "$work"/*.log >&2 || true
        touch "$work/failed"
    fi
}

# A fuzzer keeps one core busy: as many run side by side as there are cores.
parallel=${KESTROVAN_FUZZ_PARALLEL:-$(nproc)}
running=0
for t in "${targets[@]}"; do
    if [ "$running" -ge "$parallel" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    fuzz_target "$t" &
    running=$((running + 1))
done
wait || true
failed=()
for t in "${targets[@]}"; do
    [ -e "$out/$t/failed" ] && failed+=("$t")
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "== findings in: ${failed[*]}" >&2
    exit 1
fi
echo "== no findings (${targets[*]}), $seconds s each"
