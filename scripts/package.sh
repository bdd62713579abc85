#!/usr/bin/env bash
# Sets up, builds and packs the programs into a Debian package in build/, for
# `apt install ./build/orvane-fwupdater_<version>-<revision>_<arch>.deb`.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" build
cd "$root/build"
rm -f ./*.deb
cpack -G DEB
echo "Package: $(ls "$root"/build/*.deb)"
