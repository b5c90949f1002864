#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the whole test suite with the variant's
# test preset (CMakePresets.json: the sanitizers' options, -j 10, 300 s time-out).
#   test.sh [variant] [ctest option...]
#   test.sh            the plain build
#   test.sh address    under AddressSanitizer + UndefinedBehaviorSanitizer
#   test.sh thread     under ThreadSanitizer
# Further options go to ctest, e.g. test.sh plain -R telegram.
# Most tests wait on real protocol time-outs rather than compute, so the preset runs more of them
# than there are cores. Under TSan, Debian's uninstrumented Qt is ignored
# (ignore_noninstrumented_modules): its atomics, futex locks and out-of-line reference counting
# are invisible to TSan, so a free() or pthread call made from inside Qt would be reported against
# accesses TSan did see. Our own code stays fully checked, and our Qt locks, waits and joins are
# annotated (threading/TLThreadAnnotations.h).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variant=${1:-plain}
"$root/scripts/setup.sh"
# The build's progress only when it fails; CMake's warnings always.
if ! out=$("$root/scripts/build.sh" "$variant"); then
    printf '%s\n' "$out" >&2
    exit 1
fi
cd "$root"
ctest --preset "$variant" "${@:2}"
