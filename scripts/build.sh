#!/usr/bin/env bash
# Configures and builds one variant.  Usage: build.sh [plain|address|thread]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variant=${1:-plain}
# The sanitizer builds run the test suite only: the benchmarks are built in the plain one. They
# are made with clang (the plain one with g++, so both compilers' warnings count). The ASan build
# carries the fuzzer's coverage, so that the same build also gives the fuzz targets
# (scripts/fuzz.sh) and the compile database of the static analysis.
extra=()
case "$variant" in
    plain) dir="$root/build"; sanitizer=""; bench=ON ;;
    address)
        dir="$root/build-asan"; sanitizer=address; bench=OFF
        export CC=clang CXX=clang++
        extra=(-DKESTROVAN_FUZZ=ON -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_EXPORT_COMPILE_COMMANDS=ON) ;;
    thread) dir="$root/build-tsan"; sanitizer=thread; bench=OFF; export CC=clang CXX=clang++ ;;
    *) echo "usage: $0 [plain|address|thread]" >&2; exit 2 ;;
esac
# KESTROVAN_BUILD_TYPE overrides the build type: CI builds the plain variant as Release, as the
# debug information costs g++ some 40 % of its time and only the sanitizer builds' reports use it.
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="${KESTROVAN_BUILD_TYPE:-RelWithDebInfo}" \
    -DKESTROVAN_SANITIZER="$sanitizer" -DKESTROVAN_BUILD_BENCH="$bench" "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
echo "$dir"
