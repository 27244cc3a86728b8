#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The plugin's bundle as LV2 hosts meet it: its Turtle valid against the LV2
# schemas (sord_validate with those lv2-dev installs), only
# lv2_descriptor exported from its library, and `cmake --install` (its
# component lv2, which the whole install includes) putting
# it under <prefix>/lib/lv2, where lv2ls finds it with its library.
#
#   check_bundle.sh BUILD_DIR PLUGIN_URI
set -euo pipefail
build="$1"
uri="$2"
bundle="$build/lib/lv2/vlxarp.lv2"
work="$(mktemp -d "${TMPDIR:-/tmp}/vlxarp-lv2.XXXXXX")"
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

# The LV2 schemas (lv2-dev), not other plugins' bundles.
mapfile -t schemas < <(dpkg -L lv2-dev | grep '^/usr/lib/lv2/.*\.ttl$')
((${#schemas[@]})) || fail "no LV2 schemas found (scripts/deps installs lv2-dev)"
sord_validate "${schemas[@]}" "$bundle"/*.ttl >"$work/validate.log" 2>&1 || {
  cat "$work/validate.log"
  fail "the bundle does not validate against the LV2 schemas"
}
tail -n 1 "$work/validate.log"

exported="$(nm -D --defined-only "$bundle/vlxarp.so" | awk '{ print $3 }' | grep -v '^_' || true)"
[ "$exported" = lv2_descriptor ] || fail "the library exports more than lv2_descriptor: $exported"

cmake --install "$build" --component lv2 --prefix "$work/prefix" >"$work/install.log" 2>&1 || {
  cat "$work/install.log"
  fail "cmake --install failed"
}
for file in manifest.ttl vlxarp.ttl vlxarp.so; do
  [ -f "$work/prefix/lib/lv2/vlxarp.lv2/$file" ] || fail "not installed: lib/lv2/vlxarp.lv2/$file"
done
found="$(LV2_PATH="$work/prefix/lib/lv2" lv2ls)"
[ "$found" = "$uri" ] || fail "lv2ls finds '$found' under the prefix, not $uri"
binary="$(LV2_PATH="$work/prefix/lib/lv2" lv2info "$uri" | sed -n 's|^[[:space:]]*Binary:[[:space:]]*file://||p')"
[ "$binary" = "$work/prefix/lib/lv2/vlxarp.lv2/vlxarp.so" ] || fail "lv2info names the library $binary"
exit $status
