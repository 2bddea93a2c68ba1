#!/bin/sh
# Builds the Debian package in the build folder the test command made, installs it
# with dpkg (apt-get then adds the dependencies dpkg reports missing), checks that
# the installed program runs and that its units name it, and removes the package.
set -e
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

cmake --build build -j2
rm -f build/kestrum_*.deb
(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/kestrum_*.deb)
echo "$deb: $(du -k "$deb" | cut -f1) KiB"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"

if ! $SUDO dpkg -i "$deb"; then
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -f --no-install-recommends
fi
trap '$SUDO dpkg -r kestrum >/dev/null' EXIT
dpkg-query -W -f='${Status}\n' kestrum | grep -qx "install ok installed"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
home=$(mktemp -d)
shown=$(KESTRUM_HOME=$home /usr/bin/kestrum --version)
KESTRUM_HOME=$home /usr/bin/kestrum profile list >/dev/null
rm -rf "$home"
[ "$shown" = "kestrum $version" ] || { echo "kestrum --version printed '$shown'" >&2; exit 1; }
grep -qx 'ExecStart=:/usr/bin/kestrum run %I' '/usr/lib/systemd/user/kestrum-run@.service'
desktop-file-validate /usr/share/applications/org.example.kestrum.desktop
echo "$shown: installed from $deb and removed again"
