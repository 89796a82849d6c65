#!/usr/bin/env bash
# Installs, on Debian as root, what building and running Vantrel under Wine needs, when missing:
# the mingw-w64 cross compilers, clang (the second compiler, on the same headers and libraries),
# Wine with its own fonts (Marlett draws the caption buttons), Xvfb, Japanese fonts, GoogleTest's
# sources, unzip for the release zip's test, FAT32 and exFAT through FUSE for the tests of such
# destinations, and a ja_JP.UTF-8 locale (it makes Wine's ANSI code page 932, so debug strings
# keep Japanese).
#   install-deps.sh [extra Debian packages...]
set -eu
packages=(cmake make g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 clang wine64 xvfb
          fonts-ipafont-gothic fonts-wine googletest locales x11-apps imagemagick unzip
          dosfstools fusefat exfat-fuse exfatprogs fuse "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "Missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    if [ "$(id -u)" = 0 ]; then
        localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
    else
        echo "The ja_JP.UTF-8 locale is missing: Japanese debug text will not survive." >&2
    fi
fi
