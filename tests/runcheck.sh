#!/bin/sh
# make run without a PixInsight settings file: the demo is copied into a new folder only this
# user can enter, never through a link someone else left in the shared temporary folder under
# the name an earlier version used, and the folder goes when the program ends.
#   sh runcheck.sh SOURCE_DIR
set -eu
source_dir="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/tmp" "$work/build/src/app"
# Another user's trap, laid under the old fixed name.
echo "precious" > "$work/victim"
mkdir "$work/tmp/varnel-demo-$(id -u)"
ln -s "$work/victim" "$work/tmp/varnel-demo-$(id -u)/core-1-pxi.settings"
# Stands in for the program: records what it was given and what it found there.
cat > "$work/build/src/app/varnel" <<'PROGRAM'
#!/bin/sh
{ echo "$1"; stat -c '%a %U' "$(dirname "$1")"; cat "$1"; } > "$RECORD"
PROGRAM
chmod +x "$work/build/src/app/varnel"
HOME="$work/home" XDG_CONFIG_HOME= TMPDIR="$work/tmp" RECORD="$work/record" \
    sh "$source_dir/tools/run.sh" "$work/build" > /dev/null
fail() { echo "FAIL: $*"; exit 1; }
[ "$(cat "$work/victim")" = "precious" ] || fail "the copy wrote through the link"
opened=$(head -n 1 "$work/record")
case "$opened" in "$work/tmp/varnel-demo."*/core-1-pxi.settings) ;; *) fail "opened $opened" ;; esac
[ "$(sed -n 2p "$work/record")" = "700 $(id -un)" ] || fail "folder: $(sed -n 2p "$work/record")"
tail -n +3 "$work/record" | cmp -s - "$source_dir/examples/core-1-pxi.settings" ||
    fail "the copy differs from the demo file"
[ ! -e "$(dirname "$opened")" ] || fail "the scratch folder is left behind"
echo "run.sh copied the demo privately and removed it afterwards"
