#!/bin/sh
# Installs every Debian package Kestrum needs to build, test and run.
set -e
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
    build-essential cmake g++ pkg-config \
    qt6-base-dev libgl1-mesa-dev qt6-translations-l10n \
    libcurl4-openssl-dev libssl-dev \
    libgtest-dev googletest \
    python3 python3-pyftpdlib vsftpd openssl \
    fonts-noto-cjk \
    tinyproxy lftp \
    xvfb xauth \
    clang-format-14 \
    desktop-file-utils appstream man-db systemd dpkg-dev
