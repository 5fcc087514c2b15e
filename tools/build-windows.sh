#!/bin/sh
# Builds Brask Repair and its tests for 64-bit Windows on Debian, packs the
# program as build-windows/brask-repair-<version>-windows-x64.zip, and proves
# that the zip starts, repairs and closes under Wine.
#
# The Qt kit for Windows comes from BRASK_QT_WINDOWS (an unpacked kit) or
# from ../shared/qt6-windows-mingw-6.4.2.tar.xz beside the project.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build-windows

kit=${BRASK_QT_WINDOWS:-}
if [ -z "$kit" ]; then
    archive=$root/../shared/qt6-windows-mingw-6.4.2.tar.xz
    if [ ! -f "$archive" ]; then
        echo "No Qt kit for Windows: set BRASK_QT_WINDOWS to one, or put qt6-windows-mingw-6.4.2.tar.xz in ../shared (README, \"Build for Windows on Linux\")." >&2
        exit 1
    fi
    kit=$out/qt6-windows-mingw
    stamp=$out/.kit-unpacked
    if [ ! -f "$stamp" ] || [ "$archive" -nt "$stamp" ]; then
        rm -rf "$kit"
        mkdir -p "$out"
        tar -xJf "$archive" -C "$out"
        touch "$stamp"
    fi
fi
if [ ! -x "$kit/bin/qt-cmake" ]; then
    echo "$kit is not a Qt kit for Windows (no bin/qt-cmake)." >&2
    exit 1
fi

"$kit/bin/qt-cmake" -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$out" -j2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/CMakeCache.txt")
name=brask-repair-$version-windows-x64
stage=$out/package
rm -rf "$stage" "$out/$name.zip"
cmake --install "$out" --prefix "$stage/$name"
(cd "$stage" && zip -qr9 "$out/$name.zip" "$name")
echo "Packed $out/$name.zip"

"$root/tools/try-windows-zip.sh" "$out/$name.zip"
