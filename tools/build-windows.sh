#!/bin/sh
# Builds Brask Repair and its tests for 64-bit Windows on Debian, packs the
# program as FOLDER/brask-repair-<version>-windows-x64.zip with a SHA256SUMS
# beside it, and proves that the zip starts, repairs and closes under Wine.
#
#   tools/build-windows.sh [--package-only] [FOLDER]
#
# FOLDER defaults to build-windows. --package-only builds and packs the
# program alone: the same commit packed in two folders gives the same zip,
# byte for byte, which is how anyone can check a published zip.
#
# The Qt kit for Windows is the first of: BRASK_QT_WINDOWS (an unpacked
# kit); ../shared/qt6-windows-mingw-6.4.2.tar.xz beside the project; the kit
# that tools/build-qt-windows-kit.sh made earlier in
# ${XDG_CACHE_HOME:-$HOME/.cache}/brask-repair. With none of them, that
# script runs first and makes the kit there, once.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

package_only=
if [ "${1:-}" = "--package-only" ]; then
    package_only=1
    shift
fi
out=$(mkdir -p "${1:-build-windows}" && cd "${1:-build-windows}" && pwd)

kit=${BRASK_QT_WINDOWS:-}
archive=$root/../shared/qt6-windows-mingw-6.4.2.tar.xz
cache=${XDG_CACHE_HOME:-$HOME/.cache}/brask-repair
if [ -n "$kit" ]; then
    :
elif [ -f "$archive" ]; then
    kit=$out/qt6-windows-mingw
    stamp=$out/.kit-unpacked
    if [ ! -f "$stamp" ] || [ "$archive" -nt "$stamp" ]; then
        rm -rf "$kit"
        tar -xJf "$archive" -C "$out"
        touch "$stamp"
    fi
else
    kit=$cache/qt6-windows-mingw
    if [ ! -x "$kit/bin/qt-cmake" ]; then
        echo "No Qt kit for Windows yet: making one from Debian's Qt source with"
        echo "tools/build-qt-windows-kit.sh, once. This takes about half an hour on 2 cores."
        "$root/tools/build-qt-windows-kit.sh" "$cache"
    fi
fi
if [ ! -x "$kit/bin/qt-cmake" ]; then
    echo "$kit is not a Qt kit for Windows (no bin/qt-cmake)." >&2
    exit 1
fi

# The "windows" preset names the build once; the kit's toolchain file comes
# from BRASK_QT_WINDOWS, and the folder from the command line.
export BRASK_QT_WINDOWS="$kit"
cmake --preset windows -S "$root" -B "$out"
if [ -n "$package_only" ]; then
    cmake --build "$out" -j2 --target brask-repair
else
    cmake --build "$out" -j2
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/CMakeCache.txt")
name=brask-repair-$version-windows-x64
stage=$out/package
rm -rf "$stage" "$out/$name.zip" "$out/SHA256SUMS"
# strip writes a time into each PE header it rewrites: 0, as the linker's
# --no-insert-timestamp leaves it.
SOURCE_DATE_EPOCH=0 cmake --install "$out" --prefix "$stage/$name" --strip

# The zip holds nothing of this build but its bytes: entries in one order,
# fixed modes, and the commit's time.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)}
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +
find "$stage" -exec touch -h -d "@$epoch" {} +
(cd "$stage" && find "$name" | LC_ALL=C sort | TZ=UTC zip -qX9 -@ "$out/$name.zip")
(cd "$out" && sha256sum "$name.zip" >SHA256SUMS)
echo "Packed $out/$name.zip ($(du -k "$out/$name.zip" | cut -f1) KiB); SHA256SUMS beside it."

[ -n "$package_only" ] || "$root/tools/try-windows-zip.sh" "$out/$name.zip"
