#!/bin/sh
# Installs what building, running and testing Brask Repair needs on Debian 12
# or a recent Ubuntu. Does nothing when everything is there already, so it
# needs no root rights on a prepared machine.
#
#   tools/setup-debian.sh             the Linux program and its test suite
#   tools/setup-debian.sh --windows   and the Windows build (tools/build-windows.sh)
set -e

# qt6-qpa-plugins brings the window-system plugins (on Ubuntu they are not
# pulled in otherwise).
packages="cmake make g++ qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins fonts-dejavu-core"
windows=
if [ "${1:-}" = "--windows" ]; then
    windows=1
    # The MinGW-w64 compiler and binutils, which also check the Windows
    # resources in the Linux suite; Wine and a virtual display to run the
    # program and its tests; zip for the package; dpkg-dev and perl for the
    # recipe that makes the Qt kit from Debian's source package.
    packages="$packages binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix ninja-build
wine64 xvfb xauth xdotool zip unzip xz-utils dpkg-dev perl"
fi

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo

# The recipe for the Qt kit takes Debian 12's own qt6-base source package,
# which needs a deb-src entry. Other systems use a kit made elsewhere.
source_list=
if [ -n "$windows" ] && grep -qs '^VERSION_CODENAME=bookworm$' /etc/os-release \
        && ! apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Version: 6.4.2+dfsg-10$'; then
    source_list=/etc/apt/sources.list.d/brask-repair-qt-source.sources
fi

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && [ -z "$source_list" ] && exit 0

if [ -n "$source_list" ]; then
    echo "Adding Debian's source packages to apt ($source_list)"
    printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" "Suites: bookworm" \
        "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
        $sudo tee "$source_list" >/dev/null
fi
$sudo apt-get update
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
fi
