#!/usr/bin/env bash
# Configures and builds one variant with its preset (CMakePresets.json) and prints its build
# folder last.  Usage: build.sh [plain|address|thread]
# The sanitizer builds run the test suite only: the benchmarks are built in the plain one. They
# are made with clang (the plain one with g++, so both compilers' warnings count). The ASan build
# carries the fuzzer's coverage, so that the same build also gives the fuzz targets
# (scripts/fuzz.sh) and the compile database of the static analysis.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variant=${1:-plain}
case "$variant" in
    plain | address | thread) ;;
    *) echo "usage: $0 [plain|address|thread]" >&2; exit 2 ;;
esac
# KESTROVAN_BUILD_TYPE overrides the preset's build type: CI builds the plain variant as Release,
# as the debug information costs g++ some 40 % of its time and only the sanitizer builds' reports
# use it.
build_type=()
[ -z "${KESTROVAN_BUILD_TYPE:-}" ] || build_type=(-DCMAKE_BUILD_TYPE="$KESTROVAN_BUILD_TYPE")
cd "$root"
if ! out=$(cmake --preset "$variant" "${build_type[@]}"); then
    printf '%s\n' "$out" >&2
    exit 1
fi
# The preset names the folder; CMake's last line says where it wrote the build.
dir=$(printf '%s\n' "$out" | sed -n 's/^-- Build files have been written to: //p')
[ -n "$dir" ] || { printf '%s\n!! no build folder in the output above\n' "$out" >&2; exit 1; }
cmake --build --preset "$variant" -j "$(nproc)"
echo "$dir"
