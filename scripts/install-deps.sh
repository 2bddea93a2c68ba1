#!/bin/sh
# Installs every Debian package Kestrum needs to build, test and run.
#   install-deps.sh              apt-get update and install, always
#   install-deps.sh --if-missing the same, only when a package is not installed yet
set -e
PACKAGES="build-essential cmake g++ pkg-config
    qt6-base-dev libgl1-mesa-dev qt6-translations-l10n
    libssl-dev libidn2-dev libssh-dev
    libgtest-dev googletest
    python3 python3-pyftpdlib vsftpd openssl
    fonts-noto-cjk
    tinyproxy lftp openssh-server openssh-client
    xvfb xauth
    clang-format-14
    desktop-file-utils appstream man-db systemd dpkg-dev"

if [ "$1" = --if-missing ]; then
    missing=""
    for package in $PACKAGES; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
    done
    [ -n "$missing" ] || exit 0
    echo "install-deps: missing:$missing"
fi

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $PACKAGES
