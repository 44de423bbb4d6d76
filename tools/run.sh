#!/bin/sh
# Starts Varnel on the user's PixInsight settings file (the program finds it by itself), or on
# a scratch copy of the demo file when none is found. The shipped demo file is never modified.
set -e
build="$1"
program="$build/src/app/varnel"
home="${HOME:-}"
config="${XDG_CONFIG_HOME:-$home/.config}"
found=""
for dir in "$home/.PixInsight" "$config/Pleiades" "$home/.config/Pleiades"; do
    for f in "$dir"/core-*-pxi.settings; do
        if [ -f "$f" ]; then found="$f"; break 2; fi
    done
done
if [ -n "$found" ]; then
    echo "Opening $found"
    exec "$program"
fi
scratch="${TMPDIR:-/tmp}/varnel-demo-$(id -u)"
mkdir -p "$scratch"
cp "$(dirname "$0")/../examples/core-1-pxi.settings" "$scratch/core-1-pxi.settings"
echo "No PixInsight settings file found; opening a scratch copy of the demo file: $scratch/core-1-pxi.settings"
exec "$program" "$scratch/core-1-pxi.settings"
