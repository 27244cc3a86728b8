#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into a temporary prefix and checks what a desktop finds
# there: the program, its desktop entry, its AppStream metainfo and both
# icons, the entry and the metainfo valid, and the metainfo's launchable and
# icon present in the tree.
#
#   check_desktop_install.sh BUILD_DIR
set -euo pipefail
build="$1"
prefix="$(mktemp -d "${TMPDIR:-/tmp}/vlxarp-install.XXXXXX")"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
for file in bin/vlxarp \
  share/applications/vlxarp.desktop \
  share/metainfo/io.github.vlxarp.VLXArp.metainfo.xml \
  share/icons/hicolor/64x64/apps/vlxarp.png \
  share/icons/hicolor/scalable/apps/vlxarp.svg \
  share/man/man1/vlxarp.1; do
  [ -s "$prefix/$file" ] || { echo "not installed: $file"; status=1; }
done
# The icon the entry names is the one installed, at both sizes.
icon="$(sed -n 's/^Icon=//p' "$prefix/share/applications/vlxarp.desktop")"
for file in "64x64/apps/$icon.png" "scalable/apps/$icon.svg"; do
  [ -s "$prefix/share/icons/hicolor/$file" ] || { echo "the entry's icon is not installed: $file"; status=1; }
done
grep -q "<icon type=\"stock\">$icon</icon>" "$prefix/share/metainfo/io.github.vlxarp.VLXArp.metainfo.xml" ||
  { echo "the metainfo names another icon than the entry ($icon)"; status=1; }
# The manual page reads as one: a name line and the options from --help.
if command -v man >/dev/null; then
  man_text="$(MANWIDTH=80 man -l "$prefix/share/man/man1/vlxarp.1" 2>/dev/null || true)"
else
  man_text="$(cat "$prefix/share/man/man1/vlxarp.1")"
fi
for expected in "vlxarp - MIDI arpeggiator" "--help" "--version" "VLXArp:in"; do
  grep -qF -- "$expected" <<<"$man_text" || { echo "the manual page lacks: $expected"; status=1; }
done
desktop-file-validate "$prefix/share/applications/vlxarp.desktop" || status=1
appstreamcli validate --no-net "$prefix/share/metainfo/io.github.vlxarp.VLXArp.metainfo.xml" || status=1
appstreamcli validate-tree --no-net "$prefix" || status=1
exit $status
