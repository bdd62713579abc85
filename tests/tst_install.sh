#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks what a desktop user gets: exactly the
# programs CMake installs, each printing the project version; a menu entry and an AppStream file
# that Debian's validators accept; the icon as SVG and at every PNG size. Then packs the same build
# into a .deb with cpack (nothing is rebuilt) and checks that it holds the programs and depends on
# the Qt Serial Port library.
# Usage: tst_install.sh BUILD_DIR APP_ID VERSION SIZE... -- PROGRAM...
# Exit status 77 (skipped) when a tool the checks need is missing.
set -uo pipefail

build=$1 id=$2 version=$3
shift 3
sizes=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do sizes+=("$1"); shift; done
shift
programs=("$@")

for tool in desktop-file-validate appstreamcli dpkg-deb dpkg-shlibdeps file cpack; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/setup.sh installs it)"
    exit 77
  fi
done

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if ! DESTDIR="$tmp/root" cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log"
  echo "FAIL: cmake --install"
  exit 1
fi
usr=$tmp/root/usr

# Programs: exactly the installed ones, each answering --version without a display.
expected=$(printf '%s\n' "${programs[@]}" | sort)
found=$(ls "$usr/bin" | sort)
[ "$found" = "$expected" ] || fail "bin/ holds [$(echo $found)], expected [$(echo $expected)]"
for program in "${programs[@]}"; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$usr/bin/$program" --version 2>&1)
  [ "$out" = "$program $version" ] || fail "$program --version printed '$out'"
done

# Menu entry: valid, starting an installed program, with an icon that is installed.
desktop=$usr/share/applications/$id.desktop
out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$usr/bin/$exec_program" ] || fail "the menu entry starts '$exec_program', not installed"
grep -qx "Icon=$id" "$desktop" || fail "the menu entry's icon is not $id"
grep -q '^Name\[zh_CN\]=Orvane固件更新工具$' "$desktop" || fail "the menu entry has no Chinese name"

# Icon: the SVG and each PNG at its size (width and height are bytes 16 to 23 of a PNG).
[ -s "$usr/share/icons/hicolor/scalable/apps/$id.svg" ] || fail "no scalable icon"
for size in "${sizes[@]}"; do
  png=$usr/share/icons/hicolor/${size}x${size}/apps/$id.png
  dims=$(od -An -tu4 --endian=big -j16 -N8 "$png" 2>/dev/null | xargs)
  [ "$dims" = "$size $size" ] || fail "$png is '$dims' pixels, expected $size x $size"
done

# AppStream: valid, for this menu entry, with this version's release.
metainfo=$usr/share/metainfo/$id.metainfo.xml
appstreamcli validate --no-net --no-color "$metainfo" >"$tmp/appstream.log" 2>&1 \
  || { cat "$tmp/appstream.log"; fail "appstreamcli validate"; }
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" \
  || fail "the AppStream file does not launch $id.desktop"
grep -q "<release version=\"$version\"" "$metainfo" || fail "no AppStream release $version"

# The Debian package of the same build.
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
deb=$(ls "$tmp"/deb/*.deb)
contents=$(dpkg-deb -c "$deb")
for program in "${programs[@]}"; do
  grep -q " ./usr/bin/$program\$" <<<"$contents" || fail "the package lacks /usr/bin/$program"
done
grep -q " ./usr/share/applications/$id.desktop\$" <<<"$contents" || fail "the package lacks the menu entry"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libqt6serialport6' <<<"$depends" || fail "the package depends on '$depends'"
grep -q 'libqt6sql6-sqlite' <<<"$depends" || fail "the package does not depend on the SQLite driver"
grep -qx 'lrzsz' <<<"$(dpkg-deb -f "$deb" Suggests)" || fail "the package does not suggest lrzsz"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "Installed ${programs[*]}, menu entry, icon and AppStream file; $(basename "$deb") depends on: $depends"
