#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the whole test suite.
#   test.sh            the plain build
#   test.sh address    under AddressSanitizer + UndefinedBehaviorSanitizer
#   test.sh thread     under ThreadSanitizer
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variant=${1:-plain}
"$root/scripts/setup.sh"
dir=$("$root/scripts/build.sh" "$variant" | tail -n 1)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
# Debian's Qt is not instrumented: its atomics, futex locks and out-of-line reference counting are
# invisible to TSan, so a free() or pthread call made from inside Qt would be reported against
# accesses TSan did see. Those calls are ignored; our own code stays fully checked, and our Qt
# locks, waits and joins are annotated (threading/TLThreadAnnotations.h).
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=$root/scripts/tsan.supp"
export QT_QPA_PLATFORM=offscreen

# Most tests wait on real protocol time-outs rather than compute: run more of them than cores.
ctest --test-dir "$dir" --output-on-failure -j 10 --timeout 300
