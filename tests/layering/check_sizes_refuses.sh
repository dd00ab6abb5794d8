#!/bin/sh
# The size check must refuse a source file over 700 non-blank lines and a
# function over 120: plant each in a temporary tree and expect a refusal that
# names it.
set -e
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/engine"
# 119 statements and the two lines of the braces: 121 lines.
{
  echo 'int Long(int n) {'
  for i in $(seq 119); do echo "    n += $i;"; done
  echo '}'
} >"$tmp/engine/Long.cpp"
python3 "$here/check_sizes.py" "$tmp" 2>"$tmp/err" && { echo "a 121-line function was accepted"; exit 1; }
grep -q 'engine/Long.cpp:1: Long is 121 lines' "$tmp/err" || { echo "not named:"; cat "$tmp/err"; exit 1; }
sed -i '$d' "$tmp/engine/Long.cpp" && sed -i '$d' "$tmp/engine/Long.cpp" && echo '}' >>"$tmp/engine/Long.cpp"
python3 "$here/check_sizes.py" "$tmp" >/dev/null || { echo "a 120-line function was refused"; exit 1; }
for i in $(seq 701); do echo "int g$i;"; done >"$tmp/engine/Big.h"
python3 "$here/check_sizes.py" "$tmp" 2>"$tmp/err" && { echo "a 701-line file was accepted"; exit 1; }
grep -q 'engine/Big.h: 701 non-blank lines' "$tmp/err" || { echo "not named:"; cat "$tmp/err"; exit 1; }
echo "size check refuses planted violations"
