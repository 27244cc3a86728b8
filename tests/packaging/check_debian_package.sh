#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the Debian package from a build tree with cpack (or takes one made
# already, as scripts/package does), unpacks it into a throwaway root and
# checks it as a Debian machine would meet it: every file where the FHS puts
# it, the program running from there, its manual page, the desktop entry and
# the metainfo valid, the LV2 plugin found by lv2ls when the package brings
# a bundle, dependencies computed from the binaries, the project's version,
# and lintian without errors.
#
#   check_debian_package.sh BUILD_DIR [PACKAGE.deb]
set -euo pipefail
build="$1"
deb="${2:-}"
work="$(mktemp -d "${TMPDIR:-/tmp}/vlxarp-deb.XXXXXX")"
trap 'rm -rf "$work"' EXIT

if [ -z "$deb" ]; then
  # Into a folder of its own, staging included, so that nothing in the build
  # tree changes under the tests that run beside this one.
  if ! "${CPACK:-cpack}" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    exit 1
  fi
  deb="$(find "$work/out" -maxdepth 1 -name '*.deb')"
fi
echo "Package: $deb"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"

status=0
fail() {
  echo "FAIL: $*"
  status=1
}
field() { dpkg-deb --field "$deb" "$1"; }

[ "$(field Package)" = vlxarp ] || fail "the package is named $(field Package)"
[ "$(field Version)" = "$version" ] || fail "the package's version is $(field Version), the project's $version"
# Found by dpkg-shlibdeps in the binaries, not written by hand.
depends="$(field Depends)"
mapfile -t needed < <(awk 'BEGIN { RS = "[,|]" } { print $1 }' <<<"$depends")
for lib in libc6 libstdc++6 libqt6widgets6 libjack libasound2; do
  found=0
  for name in "${needed[@]}"; do [[ "$name" == "$lib"* ]] && found=1; done
  ((found)) || fail "Depends lacks $lib: $depends"
done
description="$(field Description)"
(($(wc -l <<<"$description") >= 2)) || fail "the description has no text beyond its first line"

# Nothing outside what the FHS gives a distribution's package.
while IFS= read -r path; do
  [[ "$path" =~ ^\./(usr/((bin|lib|share)(/.*)?)?)?$ ]] || fail "packaged outside /usr/bin, /usr/lib, /usr/share: $path"
done < <(dpkg-deb --fsys-tarfile "$deb" | tar -tf -)

root="$work/root"
dpkg-deb --extract "$deb" "$root"

# The program answers from the package's root without a display (and so
# without a window or MIDI).
program="$root/usr/bin/vlxarp"
if [ -x "$program" ]; then
  out="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --version 2>&1)" ||
    fail "vlxarp --version failed: $out"
  [ "$(head -n 1 <<<"$out")" = "vlxarp $version" ] || fail "vlxarp --version says: $out"
  grep -q 'GPL-3.0-or-later' <<<"$out" || fail "vlxarp --version names no licence: $out"
else
  fail "no program at /usr/bin/vlxarp"
fi
for command_file in "$root"/usr/bin/*; do
  name="$(basename "$command_file")"
  [ -s "$root/usr/share/man/man1/$name.1.gz" ] || fail "no manual page usr/share/man/man1/$name.1.gz"
done

entries=("$root"/usr/share/applications/*.desktop)
[ -e "${entries[0]}" ] || fail "no desktop entry in usr/share/applications"
for entry in "${entries[@]}"; do
  [ -e "$entry" ] && { desktop-file-validate "$entry" || fail "invalid desktop entry: ${entry#"$root"}"; }
done
metainfo=("$root"/usr/share/metainfo/*.xml)
[ -e "${metainfo[0]}" ] || fail "no AppStream metainfo in usr/share/metainfo"
for file in "${metainfo[@]}"; do
  [ -e "$file" ] && { appstreamcli validate --no-net "$file" >"$work/as.log" 2>&1 || {
    cat "$work/as.log"
    fail "invalid metainfo: ${file#"$root"}"
  }; }
done
# The metainfo's desktop entry and icon are there beside it.
appstreamcli validate-tree --no-net "$root" >"$work/as.log" 2>&1 || {
  cat "$work/as.log"
  fail "the metainfo does not match the tree it is installed in"
}

# LV2 hosts look in the folders on LV2_PATH; here only the package's.
mapfile -t bundles < <(find "$root/usr" -type d -name '*.lv2')
if ((${#bundles[@]})); then
  lv2_path="$(for b in "${bundles[@]}"; do dirname "$b"; done | sort -u | paste -sd:)"
  echo "LV2 bundles: ${bundles[*]#"$root"}"
  if ! command -v lv2ls >/dev/null; then
    fail "the package brings an LV2 bundle but lv2ls is not installed (scripts/deps installs lilv-utils)"
  else
    mapfile -t plugins < <(LV2_PATH="$lv2_path" lv2ls)
    ((${#plugins[@]})) || fail "lv2ls finds no plugin in ${bundles[*]#"$root"}"
    for uri in "${plugins[@]}"; do
      echo "LV2 plugin: $uri"
      # The library the manifest names is in the package.
      binary="$(LV2_PATH="$lv2_path" lv2info "$uri" | sed -n 's|^[[:space:]]*Binary:[[:space:]]*file://||p')"
      if [ -z "$binary" ] || [ ! -f "$binary" ]; then
        fail "$uri: its library ${binary:-(none)} is not in the package"
      fi
    done
  fi
fi

# The changelog's latest entry is this version: a version raised in CMake
# without an entry fails here.
changelog="$root/usr/share/doc/vlxarp/changelog.gz"
if [ -s "$changelog" ]; then
  gzip -dc "$changelog" >"$work/changelog"
  logged="$(dpkg-parsechangelog -l "$work/changelog" -S Version)"
  [ "$logged" = "$version" ] || fail "the changelog's latest entry is $logged, the package is $version (packaging/changelog)"
fi

# Tags of every severity are shown; only errors fail (the copyright file, the
# changelog and the compressed manual page are errors when missing).
lintian_status=0
lintian --fail-on error --display-info "$deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
grep -v 'running with root privileges' "$work/lintian.log" || true
((lintian_status == 0)) || fail "lintian reports errors (status $lintian_status)"

exit $status
