#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks what a desktop user gets: exactly the
# programs CMake installs, each printing the project version; for each window a menu entry and an
# AppStream file that Debian's validators accept, and its icon as SVG and at every PNG size. Then
# packs the same build into a .deb with cpack (nothing is rebuilt) and checks it as Debian would:
# lintian with no error or warning and no hardening note; the dependencies (Qt Serial Port, the X11
# platform plugin, a CJK font); the copyright file's format and licence; the changelog's version;
# each manual page rendered by man without a warning and naming every option of --help; the
# completion scripts' answers for options and for fwflash -p.
# Usage: tst_install.sh BUILD_DIR APP_ID VERSION SIZE... -- PROGRAM...
# Exit status 77 (skipped) when a tool the checks need is missing.
set -uo pipefail

build=$1 id=$2 version=$3
shift 3
sizes=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do sizes+=("$1"); shift; done
shift
programs=("$@")

source=$(cd "$(dirname "$0")/.." && pwd)
completion_lib=/usr/share/bash-completion/bash_completion
for tool in desktop-file-validate appstreamcli dpkg-deb dpkg-shlibdeps dpkg-parsechangelog file \
  cpack lintian man readelf "$completion_lib"; do
  if ! command -v "$tool" >/dev/null && [ ! -e "$tool" ]; then
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

# Menu entries, one per window: each valid, starting an installed program, with its own icon
# (the SVG and each PNG at its size: width and height are bytes 16 to 23 of a PNG) and an
# AppStream file that is valid, launches it and has this version's release.
entries=()
for desktop in "$usr"/share/applications/*.desktop; do
  [ -e "$desktop" ] || continue
  entry=$(basename "$desktop" .desktop)
  entries+=("$entry")
  out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate $entry: $out"
  exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
  [ -x "$usr/bin/$exec_program" ] || fail "the menu entry $entry starts '$exec_program', not installed"
  grep -qx "Icon=$entry" "$desktop" || fail "the menu entry $entry's icon is not $entry"
  grep -q '^Name\[zh_CN\]=' "$desktop" || fail "the menu entry $entry has no Chinese name"
  [ -s "$usr/share/icons/hicolor/scalable/apps/$entry.svg" ] || fail "no scalable icon $entry"
  for size in "${sizes[@]}"; do
    png=$usr/share/icons/hicolor/${size}x${size}/apps/$entry.png
    dims=$(od -An -tu4 --endian=big -j16 -N8 "$png" 2>/dev/null | xargs)
    [ "$dims" = "$size $size" ] || fail "$png is '$dims' pixels, expected $size x $size"
  done
  metainfo=$usr/share/metainfo/$entry.metainfo.xml
  appstreamcli validate --no-net --no-color "$metainfo" >"$tmp/appstream.log" 2>&1 \
    || { cat "$tmp/appstream.log"; fail "appstreamcli validate $entry"; }
  grep -q "<launchable type=\"desktop-id\">$entry.desktop</launchable>" "$metainfo" \
    || fail "the AppStream file $entry does not launch $entry.desktop"
  grep -q "<release version=\"$version\"" "$metainfo" || fail "no AppStream release $version in $entry"
done
[[ " ${entries[*]} " == *" $id "* ]] || fail "no menu entry $id"
grep -q '^Name\[zh_CN\]=Orvane固件更新工具$' "$usr/share/applications/$id.desktop" \
  || fail "the menu entry has no Chinese name"
# Every window has its entry: the programs that open one are those with a menu entry's Exec.
for program in fwupdater fwstation; do
  [[ " ${programs[*]} " == *" $program "* ]] || continue
  grep -qx "Exec=$program" "$usr"/share/applications/*.desktop || fail "$program has no menu entry"
done

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
for entry in "${entries[@]}"; do
  grep -q " ./usr/share/applications/$entry.desktop\$" <<<"$contents" \
    || fail "the package lacks the menu entry $entry"
done
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libqt6serialport6' <<<"$depends" || fail "the package depends on '$depends'"
grep -q 'libqt6sql6-sqlite' <<<"$depends" || fail "the package does not depend on the SQLite driver"
grep -qx 'lrzsz' <<<"$(dpkg-deb -f "$deb" Suggests)" || fail "the package does not suggest lrzsz"
# The window cannot start without a platform plugin, nor be read without a CJK font.
xcb=$(dpkg -S 'qt6/plugins/platforms/libqxcb.so' 2>/dev/null | cut -d: -f1 | head -1)
grep -qE "(^|, )${xcb:-no-owner}( |,|\$)" <<<"$depends" \
  || fail "Depends lacks ${xcb:-the package of the X11 platform plugin}: '$depends'"
grep -qE '(^|, )fonts-wqy-microhei \| fonts-noto-cjk(,|$)' <<<"$depends" \
  || fail "Depends lacks a CJK font: '$depends'"

# Lintian: no error and no warning; of its notes, none on hardening or unneeded sections (but
# the fortified calls, in a build without the optimiser: FW_FORTIFIED=0).
lintian --display-info --fail-on error,warning "$deb" >"$tmp/lintian.log" 2>&1 \
  || { grep -v 'root privileges' "$tmp/lintian.log"; fail "lintian"; }
unfortified=$([ "${FW_FORTIFIED:-1}" = 1 ] || echo hardening-no-fortify-functions)
if grep -E '^I: .* (hardening-|binary-has-unneeded-section)' "$tmp/lintian.log" \
  | grep -v "${unfortified:-^$}"; then
  fail "lintian: hardening notes"
fi

# What a user gets, unpacked.
pkg=$tmp/pkg
dpkg-deb -x "$deb" "$pkg"
doc=$pkg/usr/share/doc/$(dpkg-deb -f "$deb" Package)
for program in "${programs[@]}"; do
  readelf --dyn-syms -W "$pkg/usr/bin/$program" | grep ' __stack_chk_fail' >/dev/null \
    || fail "$program is built without the stack protector"
done

# Copyright: machine-readable (DEP-5): a header, then paragraphs of Files, Copyright and License,
# the first for all files; every licence named without its text has a paragraph of its own.
dep5=$(awk '
  function close_paragraph() {
    if (!fields) return
    if (++n == 1) {
      if (f["Format"] != "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
        print "the first paragraph has no Format line of the 1.0 format"
    } else if ("Files" in f) {
      if (!("Copyright" in f) || !("License" in f)) print "Files " f["Files"] ": no Copyright or License"
      if (++files == 1 && f["Files"] != "*") print "the first Files paragraph is not for *"
      if (!("License" in text)) named[f["License"]] = 1
    } else if ("License" in text) {
      defined[f["License"]] = 1
    } else print "paragraph " n " is neither Files nor a licence with its text"
    split("", f); split("", text); fields = 0
  }
  /^$/ { close_paragraph(); field = ""; next }
  /^[ \t]/ && field != "" { text[field] = 1; next }
  /^[A-Za-z-]+:/ { field = substr($0, 1, index($0, ":") - 1); value = substr($0, index($0, ":") + 1)
                   gsub(/^[ \t]+|[ \t]+$/, "", value); f[field] = value; fields++; next }
  { print "line " NR " is neither a field nor a continuation" }
  END { close_paragraph()
        if (files == 0) print "no Files paragraph"
        for (l in named) if (!(l in defined)) print "licence " l " has no text" }
' "$doc/copyright" 2>&1)
[ -z "$dep5" ] || fail "copyright: $dep5"
# The licence in the repository's root is the one in the copyright file.
sed -n '/^License: Expat$/,/^$/{/^ /p}' "$doc/copyright" | sed 's/^ //; s/^\.$//' >"$tmp/expat"
sed '1,/^Copyright/d' "$source/LICENSE" | sed '1{/^$/d}' | diff -q - "$tmp/expat" >/dev/null \
  || fail "the copyright file's Expat text differs from LICENSE"

# Changelog: the newest entry is this package's version, whose upstream part is the project's.
zcat "$doc/changelog.Debian.gz" >"$tmp/changelog" 2>/dev/null
newest=$(dpkg-parsechangelog -l "$tmp/changelog" -S Version 2>&1)
[ "$newest" = "$(dpkg-deb -f "$deb" Version)" ] && [ "${newest%-*}" = "$version" ] \
  || fail "the changelog's newest entry is '$newest', the package $(dpkg-deb -f "$deb" Version)"

# The options a program's --help prints, one a line.
help_options() {
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$1" --help | sed -n 's/^  \(-.*\)/\1/p' \
    | sed -E 's/ {2,}.*//; s/<[^>]*>//g' | grep -oE -- '--?[[:alnum:]?][-[:alnum:]]*' | sort -u
}
# The options a manual page's OPTIONS section has an entry for (the first line after .TP).
page_options() {
  zcat "$1" | sed -n '/^\.SH OPTIONS/,/^\.SH /{/^\.TP/{n;p}}' | sed 's/\\f[BIRP]//g; s/\\-/-/g' \
    | grep -oE -- '(^|[ ,])--?[[:alnum:]?][-[:alnum:]]*' | tr -d ' ,' | sort -u
}
# The completion's answers for a command line whose last word is the one being completed.
completion_words() {
  bash -c 'source "$1" && source "$2" || exit 1; shift 2
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    complete=$(complete -p "${1##*/}") || exit 1
    function=$(sed -n "s/.* -F \([^ ]*\) .*/\1/p" <<<"$complete")
    "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion_lib" "$@" | sort
}

# Manual pages, compressed: rendered without a warning, with an entry for every option of
# --help and for nothing else.
for program in "${programs[@]}"; do
  page=$pkg/usr/share/man/man1/$program.1.gz
  [ -s "$page" ] || { fail "no manual page $program.1.gz"; continue; }
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man -l $program.1: $warnings"
  help=$(help_options "$pkg/usr/bin/$program")
  documented=$(page_options "$page")
  missing=$(comm -23 <(echo "$help") <(echo "$documented"))
  [ -z "$missing" ] || fail "$program.1 has no entry for: $(echo $missing)"
  extra=$(comm -13 <(echo "$help") <(echo "$documented"))
  [ -z "$extra" ] || fail "$program.1 documents what --help does not print: $(echo $extra)"
done

# Completion: after -- exactly the long options of --help, for each program that has one.
completions=$pkg/usr/share/bash-completion/completions
for program in fwflash fwdevsim; do
  [[ " ${programs[*]} " == *" $program "* ]] || continue
  [ -f "$completions/$program" ] || { fail "no bash completion for $program"; continue; }
  offered=$(completion_words "$completions/$program" "$pkg/usr/bin/$program" --)
  long=$(help_options "$pkg/usr/bin/$program" | grep -- '^--')
  [ "$offered" = "$long" ] || fail "$program --<Tab> offers [$(echo $offered)], --help has [$(echo $long)]"
done
# fwflash -p <Tab>: the ports of --list-ports (here a fwflash that lists two, under the real
# program's heading), narrowed by what is typed.
if [ -f "$completions/fwflash" ]; then
  mkdir "$tmp/stub"
  { echo '#!/bin/sh'
    echo '[ "$1" = --list-ports ] || exit 2'
    printf "echo '%s'\n" "$("$pkg/usr/bin/fwflash" --list-ports | head -1)"
    echo "echo 'ttyUSB0  FT232R USB UART  FTDI  A10K3B2X  0403:6001'"
    echo "echo 'ttyACM0  -  -  -  -'"
  } >"$tmp/stub/fwflash"
  chmod +x "$tmp/stub/fwflash"
  for typed in "|ttyACM0 ttyUSB0" "ttyU|ttyUSB0"; do
    offered=$(completion_words "$completions/fwflash" "$tmp/stub/fwflash" -p "${typed%|*}")
    [ "$(echo $offered)" = "${typed#*|}" ] \
      || fail "fwflash -p ${typed%|*}<Tab> offers [$(echo $offered)], expected [${typed#*|}]"
  done
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "Installed ${programs[*]}; menu entries, icons and AppStream files of ${entries[*]}; $(basename "$deb") depends on: $depends"
