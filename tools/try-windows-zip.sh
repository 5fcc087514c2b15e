#!/bin/sh
# Proves that the Windows zip works as a player gets it: unpacked into an
# empty folder and started under Wine in a fresh prefix, with no WINEPATH and
# no Qt variables, from a broken Brask installation. Like a player at the
# keyboard it types the Ostrel path, presses "Re-install data", then "Reset
# patcher", checks the installation on disk after each, then closes the
# window as Windows' taskkill does and expects the program to end with exit
# code 0. Keys, not mouse positions: the form's focus order is fixed, and a
# different font or screen scale does not move a key press.
#
#   tools/try-windows-zip.sh build-windows/brask-repair-<version>-windows-x64.zip
#
# BRASK_TRY_KEEP=1 keeps its work folder (the program's output, the prefix).
set -eu

zip=$(realpath "$1")
if [ -z "${BRASK_TRY_DISPLAY:-}" ]; then
    # A virtual display of its own, gone when the check ends.
    exec xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24 -nolisten tcp" \
        env BRASK_TRY_DISPLAY=1 "$0" "$@"
fi

wine=/usr/lib/wine/wine64
work=$(mktemp -d /tmp/brask-try.XXXXXX)
prefix=$work/prefix
cleanup() {
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
    [ -n "${BRASK_TRY_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "try-windows-zip: $*" >&2
    exit 1
}

# Nothing of the build machine's reaches the program: only what Wine needs.
clean_wine() {
    env -i HOME="$HOME" PATH=/usr/bin:/bin DISPLAY="$DISPLAY" XAUTHORITY="${XAUTHORITY:-}" WINEPREFIX="$prefix" WINEDEBUG=-all "$wine" "$@"
}

# Waits up to $2 seconds for a visible window titled exactly $1.
wait_window() {
    i=0
    while [ $i -lt $(($2 * 5)) ]; do
        found=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true)
        [ -n "$found" ] && { echo "$found"; return 0; }
        sleep 0.2
        i=$((i + 1))
    done
    return 1
}

wait_gone() {
    i=0
    while [ $i -lt $(($2 * 5)) ]; do
        xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
        sleep 0.2
        i=$((i + 1))
    done
    return 1
}

# The report boxes carry the program's name as their title; Return presses
# their OK button.
answer_box() {
    wait_window brask-repair 60 >/dev/null || fail "no report box after $1"
    xdotool key Return
    wait_gone brask-repair 30 || fail "the report box after $1 did not close"
}

mkdir -p "$work/app"
unzip -q "$zip" -d "$work/app"
exe=$(find "$work/app" -name brask-repair.exe)
[ -n "$exe" ] || fail "no brask-repair.exe in $zip"

# A broken installation and a working one.
brask=$work/Brask
ostrel=$work/Ostrel
# The ordinary repair: every Brask file comes back from Ostrel, so it asks
# nothing and shows one box.
mkdir -p "$brask/dat" "$brask/sfx" "$ostrel/dat/Maps" "$ostrel/sfx"
echo broken > "$brask/dat/data.pak"
echo broken > "$brask/sfx/music.ogg"
echo patched > "$brask/TOS.txt"
echo "new data" > "$ostrel/dat/data.pak"
echo map > "$ostrel/dat/Maps/map.pak"
echo "new music" > "$ostrel/sfx/music.ogg"

clean_wine wineboot --init >/dev/null 2>&1
(cd "$brask" && clean_wine "$exe" >"$work/program.log" 2>&1; echo $? >"$work/exit-code") &

window=$(wait_window "Brask Repair" 120) || { cat "$work/program.log" >&2; fail "the window did not open"; }
echo "The window is open."

# The window starts in the Ostrel field; Tab goes on in the form's order:
# Brask field, the two "..." buttons, "Re-install data", "Reset patcher".
keys() {
    xdotool windowfocus --sync "$window"
    xdotool key --delay 100 "$@"
}
xdotool windowfocus --sync "$window"
xdotool type --delay 20 "Z:$(echo "$ostrel" | tr / '\\')"
keys Tab Tab Tab Tab space    # Re-install data
answer_box "Re-install data"
[ "$(cat "$brask/dat/data.pak")" = "new data" ] || fail "dat was not rebuilt"
[ "$(cat "$brask/sfx/music.ogg")" = "new music" ] || fail "sfx was not rebuilt"
[ ! -e "$brask/dat/Maps" ] || fail "dat holds folders after the repair"
[ -e "$brask/TOS.txt" ] || fail "Re-install data removed TOS.txt"
echo "Re-install data repaired the installation."

keys Tab space                # Reset patcher: the Brask path is the folder it started in
answer_box "Reset patcher"
[ ! -e "$brask/TOS.txt" ] || fail "Reset patcher left TOS.txt"
echo "Reset patcher removed TOS.txt."

clean_wine taskkill /im brask-repair.exe >/dev/null
i=0
while [ ! -f "$work/exit-code" ] && [ $i -lt 150 ]; do
    sleep 0.2
    i=$((i + 1))
done
[ -f "$work/exit-code" ] || fail "the program did not end when its window was closed"
code=$(cat "$work/exit-code")
[ "$code" = 0 ] || fail "the program ended with exit code $code"
echo "The window closed and the program ended with exit code 0."
