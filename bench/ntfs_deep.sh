#!/usr/bin/env bash
# Deep NTFS benchmark: the deep NTFS parser fed every sector of the 1 GiB NTFS
# image of bench/lib_ntfs1g.sh (10,000 files in 100 folders, 5,000 deleted) as
# the deep-scan driver feeds it, against a plain sequential read of the same
# image. Prints time and peak memory, both as ratios to `cat image > /dev/null`,
# and the parent-record reads of the folder walks.
#   bench/ntfs_deep.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build-bench}" && pwd)
source "$(dirname "$0")/lib_ntfs1g.sh"
prog="$build/bench/tarnwick_bench_ntfs_deep"
image=$(ntfs1g_image "$build")
[ -f "$image" ] || exit 1

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cat "$image" >/dev/null  # warm the page cache for both runs
read -r cat_s cat_kb < <(measure sh -c "cat '$image' > /dev/null")
read -r deep_s deep_kb < <(measure "$prog" "$image")
echo "deep NTFS parser over a 1 GiB image, 10,000 files, 5,000 deleted:"
sed 's/^/  /' "$out/stdout.txt"
printf '  cat image > /dev/null   %6.2f s  %8d KiB peak\n' "$cat_s" "$cat_kb"
printf '  deep NTFS parser        %6.2f s  %8d KiB peak   (time x%s, memory x%s)\n' \
  "$deep_s" "$deep_kb" "$(ratio "$deep_s" "$cat_s")" "$(ratio "$deep_kb" "$cat_kb")"
