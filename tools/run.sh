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
# A folder of its own that nobody else can write in: a fixed name in the shared temporary
# folder could be made first by another user, with a link in it that the copy would write
# through.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/varnel-demo.XXXXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM
cp "$(dirname "$0")/../examples/core-1-pxi.settings" "$scratch/core-1-pxi.settings"
echo "No PixInsight settings file found; opening a scratch copy of the demo file, removed when Varnel closes: $scratch/core-1-pxi.settings"
"$program" "$scratch/core-1-pxi.settings"
