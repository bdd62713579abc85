#!/usr/bin/env bash
# Installs, only when missing, every Debian package the project needs to build, run and test.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev
  qt6-svg-dev      # renders the SVG icon to PNG at build time
  dpkg-dev file    # dpkg-shlibdeps and file: the .deb's dependencies are read from the programs
  desktop-file-utils appstream  # validators for the menu entry and the AppStream file
  lrzsz            # YMODEM receiver used by the interoperability tests
  fonts-wqy-microhei  # a CJK font, so the Chinese interface renders on a fresh machine
  qt6-translations-l10n  # Qt's own dialogs and menus in Chinese
  lintian          # the package's check against Debian's policy
  man-db groff-base  # man -l renders the manual pages, with groff's warnings
  bash-completion  # the completion scripts are tried through its helpers
  libqt6sql6-sqlite  # the update records' default store (Qt's SQLite driver)
  libqt6sql6-psql    # the shared PostgreSQL store for a line of stations (optional at run time)
  postgresql         # the records tests start their own temporary server
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
