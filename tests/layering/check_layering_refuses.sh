#!/bin/sh
# The layering check must refuse a tree where a lower folder includes a higher
# one, or where folders or files of one floor include each other in a circle:
# plant each in a temporary copy and expect a refusal that names it.
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
rm "$tmp/common/Planted.h"
"$here/check_layering.sh" "$tmp" >/dev/null || { echo "the restored copy was refused"; exit 1; }

# refused PLANTED-IN LINE EXPECTED: the line appended to a file must be refused
# with a message holding EXPECTED; the file is restored afterwards.
refused() {
  cp "$tmp/$1" "$tmp/saved"
  printf '%s\n' "$2" >>"$tmp/$1"
  if "$here/check_layering.sh" "$tmp" 2>"$tmp/err"; then
    echo "$1 with $2 was accepted"; exit 1
  fi
  grep -qF "$3" "$tmp/err" || { echo "the refusal does not name $3:"; cat "$tmp/err"; exit 1; }
  mv "$tmp/saved" "$tmp/$1"
}
# fat/ includes carving/ (the end of a carved file); carving/ must not include fat/.
grep -q '#include "carving/' "$tmp"/fat/*.cpp || { echo "fat/ no longer includes carving/"; exit 1; }
refused carving/CarveWalk.cpp '#include "fat/FatRecord.h"' "carving -> fat -> carving"
# A .cpp including its own header's includer: a circle of two files of one folder.
grep -q '#include "exfat/ExFatEntry.h"' "$tmp/exfat/FastExFatRecovery.h" ||
  { echo "FastExFatRecovery.h no longer includes ExFatEntry.h"; exit 1; }
refused exfat/ExFatEntry.cpp '#include "exfat/FastExFatRecovery.h"' \
  "exfat/ExFatEntry -> exfat/FastExFatRecovery -> exfat/ExFatEntry"
echo "layering check refuses planted violations"
