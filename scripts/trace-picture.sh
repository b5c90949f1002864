#!/usr/bin/env bash
# Makes docs/exposure-trace.svg, the timeline of one exposure, and docs/exposure-trace.txt, its
# decoded lines: the demonstration of kestrovan-host drives the driver against the generator
# simulator with --trace; the stretch from the activation before its exposure to the reply with
# the last exposure's dose is cut out and decoded and drawn by kestrovan-trace.
#   trace-picture.sh [BUILD_DIR]     default: build (made with scripts/build.sh when missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
if [ ! -x "$build/app/kestrovan-host" ] || [ ! -x "$build/trace/kestrovan-trace" ]; then
    "$root/scripts/build.sh" >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! "$build/app/kestrovan-host" --trace "$work/demo.trace" >"$work/demo.out" 2>&1; then
    cat "$work/demo.out" >&2
    echo "trace-picture: the demonstration failed" >&2
    exit 1
fi

# Whole chunks only: from the error reset of the activation (TX 72 73 81) before the first prepare
# on (RX xy0A..) to the reply of "xg" (RX 78 67 and a digit) and the echo that follows it.
awk -F ' [|] ' '
    /^#/ { if (!note) note = $0; next }
    { split($1, head, " "); line[++n] = $0; dir[n] = head[4]; hex[n] = " " $2 " " }
    END {
        for (i = 1; i <= n && !prepare; i++) if (dir[i] == "RX" && hex[i] ~ / 78 79 30 41 /) prepare = i
        for (i = prepare; i >= 1 && !first; i--) if (dir[i] == "TX" && hex[i] ~ /^ 72 73 81 /) first = i
        for (i = prepare; i <= n && !last; i++) if (dir[i] == "RX" && hex[i] ~ / 78 67 3[0-9] /) last = i
        if (!prepare || !first || !last) { print "no activation, exposure and dose reply in the trace" > "/dev/stderr"; exit 1 }
        if (last < n && dir[last + 1] == "TX") last++
        print note
        for (i = first; i <= last; i++) print line[i]
    }' "$work/demo.trace" >"$work/exposure.trace"

mkdir -p "$root/docs"
"$build/trace/kestrovan-trace" --svg "$root/docs/exposure-trace.svg" "$work/exposure.trace" \
    >"$root/docs/exposure-trace.txt"
echo "wrote docs/exposure-trace.svg and docs/exposure-trace.txt ($(grep -c '' "$work/exposure.trace") trace lines)"
