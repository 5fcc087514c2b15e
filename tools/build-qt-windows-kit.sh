#!/bin/sh
# Makes the Qt kit for Windows that tools/build-windows.sh builds with:
# qtbase 6.4.2 from Debian 12's own source package qt6-base (6.4.2+dfsg-10),
# cross-compiled with Debian's MinGW-w64 compiler (POSIX threads), shared
# libraries, Release, stripped and relocatable. The host tools (moc, rcc,
# uic) are Debian's own of the same version, in /usr.
#
#   tools/build-qt-windows-kit.sh [FOLDER]
#
# leaves FOLDER/qt6-windows-mingw (the kit, unpacked) and
# FOLDER/qt6-windows-mingw-6.4.2.tar.xz; FOLDER defaults to
# ${XDG_CACHE_HOME:-$HOME/.cache}/brask-repair. About half an hour on 2 cores.
# Its file list is that of qt6-windows-mingw-6.4.2.tar.xz in ../shared; the
# contents differ where Debian's patches to Qt change them.
# Needs the packages and the deb-src entry that
# "tools/setup-debian.sh --windows" installs.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/brask-repair}
source_version=6.4.2+dfsg-10
kit=qt6-windows-mingw

if [ "$(dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null)" != "$source_version" ]; then
    echo "The host tools must be Debian's qt6-base-dev-tools $source_version: run tools/setup-debian.sh --windows." >&2
    exit 1
fi

mkdir -p "$out"
work=$(mktemp -d "$out/kit-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/build.log

echo "Fetching the source package qt6-base $source_version..."
if ! (cd "$work" && apt-get source -qq "qt6-base=$source_version" >"$log" 2>&1); then
    cat "$log" >&2
    echo "apt-get source failed: the deb-src entry comes from tools/setup-debian.sh --windows." >&2
    exit 1
fi
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*')

echo "Configuring..."
# Network, SQL, printing, OpenGL, D-Bus, concurrency and XML are not needed,
# nor the Direct2D platform plugin; Debian's source package strips the
# tablet library that tablet events need.
if ! cmake -S "$src" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX=/opt/qt6-mingw \
        -DBUILD_SHARED_LIBS=ON \
        -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
        -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF \
        -DINPUT_opengl=no -DFEATURE_vulkan=OFF -DFEATURE_dbus=OFF \
        -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_zstd=OFF \
        -DFEATURE_tabletevent=OFF -DFEATURE_direct2d1_1=OFF \
        >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "Configuring Qt failed; the whole log was $log." >&2
    trap - EXIT
    exit 1
fi

echo "Building (ninja shows its progress)..."
cmake --build "$work/build" -j"$(nproc)"

echo "Installing, stripped..."
DESTDIR="$work/stage" cmake --install "$work/build" --strip >>"$log" 2>&1
staged=$work/stage/opt/qt6-mingw
# qdoc's configuration builds Qt's documentation, not programs.
rm -rf "$staged/doc"
# Wherever the kit is unpacked, qt-cmake finds the toolchain file beside it,
# and the host tools in Debian's own Qt.
cp "$root/cmake/mingw-w64-x86_64.cmake" "$staged/"
sed -i 's|^set(__qt_initially_configured_toolchain_file .*|set(__qt_initially_configured_toolchain_file "${CMAKE_CURRENT_LIST_DIR}/../../../mingw-w64-x86_64.cmake")|' \
    "$staged/lib/cmake/Qt6/qt.toolchain.cmake"
cat >"$staged/lib/cmake/Qt6/qt.toolchain.extra.cmake" <<'EXTRA'
# Host tools (moc, rcc, uic) come from Debian's qt6-base-dev-tools of the same Qt version.
if(NOT QT_HOST_PATH)
    set(QT_HOST_PATH "/usr" CACHE PATH "Host Qt prefix")
endif()
if(NOT QT_HOST_PATH_CMAKE_DIR)
    set(QT_HOST_PATH_CMAKE_DIR "/usr/lib/x86_64-linux-gnu/cmake" CACHE PATH "Host Qt CMake packages")
endif()
EXTRA

rm -rf "${out:?}/$kit" "$out/$kit-6.4.2.tar.xz"
mv "$staged" "$out/$kit"
(cd "$out" && tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -cJf "$kit-6.4.2.tar.xz" "$kit")
echo "The kit is $out/$kit ($(du -sh "$out/$kit" | cut -f1)); packed as $out/$kit-6.4.2.tar.xz."
