#!/bin/sh
# Runs a Windows program of the cross build under Wine, for CTest.
#
#   wine-run.sh --init           make a fresh Wine prefix
#   wine-run.sh PROGRAM.exe ARGS run it, on a virtual display of its own
#
# BRASK_WINE_PREFIX names the prefix; BRASK_WINE_DLL_PATH lists, separated by
# colons, the Unix folders that hold the DLLs the program needs.
set -e

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
: "${BRASK_WINE_PREFIX:?names the Wine prefix}"
export WINEPREFIX="$BRASK_WINE_PREFIX"
export WINEDEBUG=-all
unset WINEPATH

if [ "${1:-}" = "--init" ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$wine" wineboot --init >/dev/null 2>&1
    "$wineserver" -w
    exit 0
fi

# Wine hands no QT_ variable to Windows programs, but passes WINEQT_ ones on
# without the prefix. Test output goes to the standard streams, not to the
# debugger channel that Qt picks when it sees no console window.
for name in $(env | sed -n 's/^\(QT_[A-Za-z0-9_]*\)=.*/\1/p'); do
    eval "export WINE$name=\"\$$name\""
done
export WINEQT_FORCE_STDERR_LOGGING=1

unix_to_wine() {
    printf 'Z:%s' "$1" | tr / '\\'
}
path=""
old_ifs=$IFS
IFS=':'
for folder in $BRASK_WINE_DLL_PATH; do
    path="$path${path:+;}$(unix_to_wine "$folder")"
done
IFS=$old_ifs
export WINEPATH="$path"

# The windows platform needs an X display: each program gets a fresh one, and
# the Wine processes it leaves behind go with it.
status=0
xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24 -nolisten tcp" \
    sh -c '"$0" "$@"; status=$?; /usr/lib/wine/wineserver -k 2>/dev/null; exit $status' \
    "$wine" "$@" || status=$?
exit $status
