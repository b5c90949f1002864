#!/usr/bin/env bash
# Static analysis of our own code; exits non-zero on any finding.
#   static-analysis.sh                      clang-tidy, cppcheck and clang-format
#   static-analysis.sh tidy|cppcheck|format one or more of them
# clang-tidy reads .clang-tidy, clang-format reads .clang-format. A justified exception is
# written at its line: "// NOLINT(check): reason" or "// cppcheck-suppress id" with a reason.
# To reformat a file: clang-format -i <file>.
# Environment: KESTROVAN_ANALYSIS_DIR (build directory, default build-analysis in the checkout),
# KESTROVAN_ANALYSIS_JOBS (parallel runs, default: number of cores), KESTROVAN_ANALYSIS_PATHS
# (folders of the checkout to look at, separated by blanks, e.g. "serial tests/telegram";
# default: all of them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${KESTROVAN_ANALYSIS_DIR:-$root/build-analysis}
jobs=${KESTROVAN_ANALYSIS_JOBS:-$(nproc)}
read -r -a scope <<<"${KESTROVAN_ANALYSIS_PATHS:-}"
stages=("$@")
((${#stages[@]})) || stages=(tidy cppcheck format)
for stage in "${stages[@]}"; do
    case "$stage" in
        tidy | cppcheck | format) ;;
        *) echo "usage: $0 [tidy] [cppcheck] [format]" >&2; exit 2 ;;
    esac
done
wants() { [[ " ${stages[*]} " == *" $1 "* ]]; }

# --- tools ---------------------------------------------------------------------------------
"$root/scripts/setup.sh" clang-tidy clang-format cppcheck

start=$(date +%s)
stage_start=$start
failed=()
finish_stage() { # name status
    local now
    now=$(date +%s)
    if [ "$2" -eq 0 ]; then
        echo "== $1: no findings ($((now - stage_start)) s)"
    else
        echo "== $1: FINDINGS ($((now - stage_start)) s)"
        failed+=("$1")
    fi
    stage_start=$now
}

# Runs a command and shows its output only if it fails.
quietly() {
    local out
    if ! out=$("$@" 2>&1); then
        printf '%s\n' "$out" >&2
        echo "== failed: $*" >&2
        exit 1
    fi
}

# Keeps the paths (one a line) that lie in one of the folders asked for.
in_scope() {
    if ((${#scope[@]} == 0)); then
        cat
        return
    fi
    local prefixes=()
    for folder in "${scope[@]}"; do
        prefixes+=(-e "$root/${folder%/}/")
    done
    grep -F "${prefixes[@]}" || true
}

# Our sources: everything in the checkout but git's and the build directories'.
own_files() { # name patterns...
    local args=()
    for pattern in "$@"; do
        ((${#args[@]})) && args+=(-o)
        args+=(-name "$pattern")
    done
    find "$root" \( -path "$root/.git" -o -path "$root/build*" -o -path "$dir" \) -prune \
        -o -type f \( "${args[@]}" \) -print | in_scope | sort
}

# --- compile database ----------------------------------------------------------------------
if wants tidy || wants cppcheck; then
    # clang, as clang-tidy is clang; with the fuzz targets and the benchmarks, so that their
    # sources are covered. A clang build that is there already (the ASan build of
    # scripts/build.sh) serves as it is; otherwise the ASan preset (clang, the fuzz targets and
    # the compile database) is configured in a folder of its own, with the benchmarks added.
    if grep -qs '^CMAKE_CXX_COMPILER:.*clang' "$dir/CMakeCache.txt"; then
        quietly cmake -S "$root" -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DKESTROVAN_FUZZ=ON \
            -DKESTROVAN_BUILD_BENCH=ON
    else
        (cd "$root" && quietly cmake --preset address -B "$dir" -DKESTROVAN_BUILD_BENCH=ON)
    fi
    # Only moc's output is needed (tests include their "<name>.moc"), not a whole build.
    mapfile -t autogen < <(ninja -C "$dir" -t targets | grep -oE '^[A-Za-z0-9_.+-]+_autogen(:|$)' \
        | tr -d ':' | sort -u)
    if ((${#autogen[@]})); then
        quietly cmake --build "$dir" --target "${autogen[@]}" -j "$jobs"
    fi
    # Every source the build compiles, once, except generated ones.
    mapfile -t sources < <(grep -oE '"file": *"[^"]+"' "$dir/compile_commands.json" \
        | sed -E 's/^"file": *"(.*)"$/\1/' | grep -F "$root/" | grep -vF "$dir/" \
        | grep -v '_autogen/' | in_scope | sort -u)
    echo "== ${#sources[@]} sources in $dir/compile_commands.json ($(($(date +%s) - stage_start)) s)"
    ((${#sources[@]})) || echo "== no sources to analyse in ${scope[*]}"
    stage_start=$(date +%s)
fi

# --- clang-tidy ----------------------------------------------------------------------------
if wants tidy && ((${#sources[@]})); then
    echo "== clang-tidy ($(clang-tidy --version | grep -oE 'version [0-9.]+'))"
    status=0
    # Each file's report is printed whole, and only when the file has findings.
    # shellcheck disable=SC2016 # expanded by the inner shell
    printf '%s\n' "${sources[@]}" | xargs -r -P "$jobs" -I{} sh -c \
        'out=$(clang-tidy -p "$1" --quiet "$2" 2>&1) || { printf "%s\n\n" "$out"; exit 1; }' \
        sh "$dir" {} || status=1
    finish_stage clang-tidy "$status"
fi

# --- cppcheck ------------------------------------------------------------------------------
if wants cppcheck && ((${#sources[@]})); then
    echo "== cppcheck ($(cppcheck --version))"
    # cppcheck does not read Qt's headers (qt.cfg describes Qt instead), so a moc file would only
    # stop at its "doesn't include <QObject>" guard and take the test with it: moc's include
    # directories are left out.
    sed -E 's# -I[^ ]*_autogen/include##g' "$dir/compile_commands.json" >"$dir/cppcheck-commands.json"
    mkdir -p "$dir/cppcheck"
    suppressions=()
    [ -f "$root/.cppcheck-suppressions" ] && suppressions=(--suppressions-list="$root/.cppcheck-suppressions")
    filters=()
    for folder in "${scope[@]}"; do
        filters+=(--file-filter="$root/${folder%/}/*")
    done
    status=0
    cppcheck --project="$dir/cppcheck-commands.json" -i"$dir/" \
        --enable=warning,performance,portability --std=c++17 --library=qt --library=posix \
        --inline-suppr "${suppressions[@]}" "${filters[@]}" --error-exitcode=1 --quiet -j "$jobs" \
        --cppcheck-build-dir="$dir/cppcheck" \
        --template='{file}:{line}:{column}: {severity}: {message} [{id}]' || status=1
    finish_stage cppcheck "$status"
fi

# --- clang-format --------------------------------------------------------------------------
if wants format; then
    echo "== clang-format ($(clang-format --version | grep -oE 'version [0-9.]+'))"
    status=0
    own_files '*.h' '*.cpp' | xargs -r -P "$jobs" -n 20 clang-format --dry-run -Werror || status=1
    finish_stage clang-format "$status"
fi

echo "== static analysis finished in $(($(date +%s) - start)) s"
if ((${#failed[@]})); then
    echo "== findings from: ${failed[*]}" >&2
    exit 1
fi
