#!/bin/sh
# Installs what building, running and testing Brask Repair needs on Debian 12
# or a recent Ubuntu. Does nothing when everything is there already, so it
# needs no root rights on a prepared machine.
set -e

# qt6-qpa-plugins brings the window-system plugins (on Ubuntu they are not
# pulled in otherwise); binutils-mingw-w64 checks the Windows resources. The
# rest builds the program for Windows and runs it and its tests under Wine
# on a virtual display (tools/build-windows.sh).
packages="cmake make g++ qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
fonts-dejavu-core binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix
ninja-build wine64 xvfb xauth xdotool zip unzip xz-utils"

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "Installing:$missing"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
