#!/usr/bin/env bash
# Installs the build tree into a staging folder (DESTDIR) and checks what a
# user gets: the layout, the desktop entry, the polkit action, the manual pages
# and the one version everywhere.
#   check_install.sh BUILD_DIR VERSION ui|noui
set -euo pipefail
build=$1 version=$2 ui=$3
stage=$build/install-stage
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

rm -rf "$stage"
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
DESTDIR=$stage cmake --install "$build" >/dev/null
root=$stage$prefix
export ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=offscreen

# The layout.
expect=(bin/tarnwick-cli share/doc/tarnwick/README.md share/doc/tarnwick/copyright
        share/doc/tarnwick/changelog.gz share/man/man1/tarnwick-cli.1.gz)
programs=(tarnwick-cli)
if [ "$ui" = ui ]; then
  programs+=(tarnwick)
  expect+=(bin/tarnwick share/man/man1/tarnwick.1.gz share/applications/tarnwick.desktop
           share/polkit-1/actions/org.tarnwick.tarnwick.policy)
  for n in 16 22 24 32 48 64 128 256; do expect+=(share/icons/hicolor/${n}x$n/apps/tarnwick.png); done
fi
for f in "${expect[@]}"; do [ -s "$root/$f" ] || bad "not installed: $prefix/$f"; done
for p in "${programs[@]}"; do [ -x "$root/bin/$p" ] || bad "not executable: $prefix/bin/$p"; done

# One version: the programs, the manual pages and the package say the same.
for p in "${programs[@]}"; do
  got=$("$root/bin/$p" --version 2>&1) || bad "$p --version failed"
  [ "$got" = "$p $version" ] || bad "$p --version says '$got', not '$p $version'"
  zcat "$root/share/man/man1/$p.1.gz" | head -1 | grep -qF "\"Tarnwick $version\"" ||
    bad "$p.1 does not carry version $version"
done
grep -qF "set(CPACK_PACKAGE_VERSION \"$version\")" "$build/CPackConfig.cmake" ||
  bad "the package version is not $version"

# Each manual page renders without a warning.
for page in "$root"/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) ||
    bad "man -l $page failed"
  [ -z "$warnings" ] || bad "$(basename "$page"): $warnings"
done

# Every command, option and TARNWICK_ variable of each program's --help is in its page.
for p in "${programs[@]}"; do
  manual=$(zcat "$root/share/man/man1/$p.1.gz" | sed 's/\\-/-/g')
  help=$("$root/bin/$p" --help)
  words=$( { grep -oE -- '--[a-z][a-z-]*' <<<"$help"; grep -oE 'TARNWICK_[A-Z_]+' <<<"$help";
             sed -n '/^commands:/,/^$/p' <<<"$help" | awk 'NR > 1 && NF { print $1 }'; } | sort -u)
  for w in $words; do grep -qF -- "$w" <<<"$manual" || bad "$p.1 does not mention $w"; done
done

if [ "$ui" = ui ]; then
  desktop=$root/share/applications/tarnwick.desktop
  policy=$root/share/polkit-1/actions/org.tarnwick.tarnwick.policy
  out=$(desktop-file-validate "$desktop" 2>&1) || bad "desktop-file-validate: $out"
  grep -qx "Exec=$prefix/bin/tarnwick" "$desktop" || bad "the desktop entry does not run $prefix/bin/tarnwick"
  grep -qx 'Categories=System;Utility;' "$desktop" || bad "desktop entry categories"
  grep -qx 'Icon=tarnwick' "$desktop" || bad "desktop entry icon"
  out=$(xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy" 2>&1) ||
    bad "xmllint: $out"
  grep -qF "<annotate key=\"org.freedesktop.policykit.exec.path\">$prefix/bin/tarnwick</annotate>" \
    "$policy" || bad "the polkit action does not name $prefix/bin/tarnwick"
  grep -qF '<annotate key="org.freedesktop.policykit.exec.allow_gui">true</annotate>' "$policy" ||
    bad "the polkit action does not keep the display"
  # Each icon is a PNG of the size its folder names.
  for icon in "$root"/share/icons/hicolor/*/apps/tarnwick.png; do
    size=$(basename "$(dirname "$(dirname "$icon")")")
    got=$(python3 -c 'import struct,sys
d=open(sys.argv[1],"rb").read(24)
print("%dx%d" % struct.unpack(">II", d[16:24]) if d[:8] == b"\x89PNG\r\n\x1a\n" else "not a PNG")' "$icon")
    [ "$got" = "$size" ] || bad "$icon is $got"
  done
fi

[ $fail = 0 ] && rm -rf "$stage" && echo "install layout: all checks passed"
exit $fail
