#!/usr/bin/env bash
# Deep NTFS benchmark: the deep NTFS parser fed every sector of the 1 GiB NTFS
# image of bench/lib_ntfs1g.sh (10,000 files in 100 folders, 5,000 deleted) as
# the deep-scan driver feeds it, against a plain sequential read of the same
# image. Prints time and peak memory, both as ratios to `cat image > /dev/null`,
# and the parent-record reads of the folder walks.
#   bench/ntfs_deep.sh BUILD_DIR
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
# shellcheck source=bench/lib_ntfs1g.sh
source "$here/lib_ntfs1g.sh"
ntfs1g_bench "${1:-}" bench/tarnwick_bench_ntfs_deep \
  "deep NTFS parser over a 1 GiB image, 10,000 files, 5,000 deleted:" "deep NTFS parser"
