#!/bin/sh
# Builds the Debian package in the build folder the test command made and checks it
# without installing it anywhere on this machine: the package is unpacked into a
# temporary folder, apt-get resolves its dependencies in a simulation, and every file
# is checked where it lands: the desktop entry and the metainfo against their
# validators, the manual pages without groff warnings, the user units (naming
# /usr/bin/kestrum) through systemd-analyze, the icons' sizes, and the unpacked
# program's --version, --help and profile list.
set -e
cd "$(dirname "$0")/.."

cmake --build build -j2
rm -f build/kestrum_*.deb
(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/kestrum_*.deb)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
echo "$deb: $(du -k "$deb" | cut -f1) KiB"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"

dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

[ "$(dpkg-deb -f "$deb" Package)" = kestrum ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
# Every dependency can be met from the configured archives (nothing is installed).
apt-get install --simulate --no-install-recommends "./$deb" >"$dest/apt.log" 2>&1 ||
    { cat "$dest/apt.log" >&2; fail "dependencies cannot be met"; }

dpkg-deb -x "$deb" "$dest/root"
usr=$dest/root/usr
app=org.example.kestrum

for file in bin/kestrum share/applications/$app.desktop share/metainfo/$app.metainfo.xml \
    share/icons/hicolor/scalable/apps/kestrum.svg share/man/man1/kestrum.1.gz share/man/ja/man1/kestrum.1.gz \
    lib/systemd/user/kestrum-run@.service lib/systemd/user/kestrum-run@.timer lib/systemd/user/kestrum-watch@.service \
    share/doc/kestrum/README.md; do
    [ -s "$usr/$file" ] || fail "$file missing"
done

desktop-file-validate "$usr/share/applications/$app.desktop" || fail "desktop entry"
appstreamcli validate --no-net --pedantic "$usr/share/metainfo/$app.metainfo.xml" >"$dest/as.log" 2>&1 ||
    { cat "$dest/as.log" >&2; fail "metainfo"; }
grep -q "<release version=\"$version\"" "$usr/share/metainfo/$app.metainfo.xml" || fail "metainfo release $version"

# Each PNG is as large as the folder it is in says (width and height from the IHDR chunk).
for size in 16 32 48 256; do
    png=$usr/share/icons/hicolor/${size}x${size}/apps/kestrum.png
    dims=$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }')
    [ "$dims" = "${size}x${size}" ] || fail "icon ${size}x${size} is $dims"
done

for page in man/man1 man/ja/man1; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$usr/share/$page/kestrum.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page/kestrum.1: $warnings"
done

# The units, checked by systemd as instances of a profile name that needs escaping,
# with the service pointing into the unpacked tree instead of /usr.
units=$dest/units
mkdir -p "$units" "$dest/runtime"
chmod 700 "$dest/runtime"
instance='my\x2dsite\x20\xe6\x97\xa5'
for command in run watch; do
    grep -qx "ExecStart=:/usr/bin/kestrum $command %I" "$usr/lib/systemd/user/kestrum-$command@.service" ||
        fail "the $command service does not run /usr/bin/kestrum $command %I"
    sed "s|:/usr/bin/kestrum|:$usr/bin/kestrum|" "$usr/lib/systemd/user/kestrum-$command@.service" \
        >"$units/kestrum-$command@$instance.service"
done
cp "$usr/lib/systemd/user/kestrum-run@.timer" "$units/kestrum-run@$instance.timer"
report=$(cd "$units" && XDG_RUNTIME_DIR=$dest/runtime systemd-analyze --user verify --man=no \
    "./kestrum-run@$instance.timer" "./kestrum-run@$instance.service" "./kestrum-watch@$instance.service" 2>&1) ||
    fail "systemd-analyze verify"
[ -z "$report" ] || fail "systemd-analyze verify: $report"

shown=$(KESTRUM_HOME=$dest/home "$usr/bin/kestrum" --version) || fail "kestrum --version exit status"
[ "$shown" = "kestrum $version" ] || fail "kestrum --version printed '$shown'"
KESTRUM_HOME=$dest/home "$usr/bin/kestrum" --help | grep -q "kestrum run " || fail "kestrum --help"
KESTRUM_HOME=$dest/home "$usr/bin/kestrum" profile list >/dev/null || fail "kestrum profile list"

[ "$failures" = 0 ] || exit 1
echo "$shown: $deb unpacked and checked, nothing installed"
