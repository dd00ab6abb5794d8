#!/usr/bin/env bash
# Fast NTFS benchmark: the fast NTFS engine over a 1 GiB NTFS image holding
# 10,000 files in 100 folders, 5,000 of them deleted (built once through an
# ntfs-3g mount and cached), against a plain sequential read of the same image.
# Prints time and peak memory, and both as ratios to `cat image > /dev/null`.
#   bench/ntfs_fast.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build-bench}" && pwd)
prog="$build/bench/tarnwick_bench_ntfs_fast"
source "$(dirname "$0")/lib_ntfs1g.sh"
image=$(ntfs1g_image "$build")
[ -f "$image" ] || exit 1

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export TARNWICK_SUPPORT_DIR="$out/support"
mkdir -p "$TARNWICK_SUPPORT_DIR/ScanLog"

cat "$image" >/dev/null  # warm the page cache for both runs
read -r cat_s cat_kb < <(measure sh -c "cat '$image' > /dev/null")
read -r scan_s scan_kb < <(measure "$prog" "$image")
echo "fast NTFS scan of a 1 GiB image, 10,000 files, 5,000 deleted:"
sed 's/^/  /' "$out/stdout.txt"
printf '  cat image > /dev/null   %6.2f s  %8d KiB peak\n' "$cat_s" "$cat_kb"
printf '  fast NTFS scan          %6.2f s  %8d KiB peak   (time x%s, memory x%s)\n' \
  "$scan_s" "$scan_kb" "$(ratio "$scan_s" "$cat_s")" "$(ratio "$scan_kb" "$cat_kb")"
