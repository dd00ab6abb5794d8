#!/usr/bin/env bash
# Fast NTFS benchmark: the fast NTFS engine over a 1 GiB NTFS image holding
# 10,000 files in 100 folders, 5,000 of them deleted (built once through an
# ntfs-3g mount and cached), against a plain sequential read of the same image.
# Prints time and peak memory, and both as ratios to `cat image > /dev/null`.
#   bench/ntfs_fast.sh BUILD_DIR
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
# shellcheck source=bench/lib_ntfs1g.sh
source "$here/lib_ntfs1g.sh"
ntfs1g_bench "${1:-}" bench/tarnwick_bench_ntfs_fast \
  "fast NTFS scan of a 1 GiB image, 10,000 files, 5,000 deleted:" "fast NTFS scan"
