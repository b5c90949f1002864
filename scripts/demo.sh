#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the demo against the built-in simulators.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
dir=$("$root/scripts/build.sh" plain | tail -n 1)
if [ -x "$dir/app/kestrovan-host" ]; then
    exec "$dir/app/kestrovan-host" "$@"
fi
# Without the host application: show what the plug-in offers.
echo "exported by $dir/driver/libkestrovandriver.so:"
nm -D --defined-only "$dir/driver/libkestrovandriver.so"
echo "command table (id code):"
sed -n '/CommandLetters\[/,/};/p' "$root/wire/KestrovanCommand.h" \
    | grep -o '"[a-z][a-z]"' | tr -d '"' | awk '{ printf "%2d %s\n", NR - 1, $0 }'
