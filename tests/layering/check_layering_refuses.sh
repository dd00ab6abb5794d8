#!/bin/sh
# The layering check must refuse a tree where a lower folder includes a higher
# one: plant such an include in a temporary copy and expect a refusal.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for dir in common device engine fat ntfs carving exfat ext deepscan cli ui; do
  [ -d "$root/$dir" ] && cp -R "$root/$dir" "$tmp/$dir"
done
"$here/check_layering.sh" "$tmp" >/dev/null || { echo "the clean copy was refused"; exit 1; }
printf '#include "deepscan/FileRecoveryFactory.h"\n' >>"$tmp/engine/SaveTarget.cpp"
if "$here/check_layering.sh" "$tmp" 2>"$tmp/err"; then
  echo "engine/ including deepscan/ was accepted"; exit 1
fi
grep -q 'engine/SaveTarget.cpp' "$tmp/err" || { echo "the refusal does not name the file"; exit 1; }
printf '#include "fat/FatEntry.h"\n' >"$tmp/common/Planted.h"
sed -i '$d' "$tmp/engine/SaveTarget.cpp"
if "$here/check_layering.sh" "$tmp" 2>/dev/null; then
  echo "common/ including fat/ was accepted"; exit 1
fi
echo "layering check refuses planted violations"
