#!/usr/bin/env bash
# Runs every benchmark program of a release build tree: bench/run.sh BUILD_DIR
build=${1:-build-bench}
status=0
for bench in "$build"/bench/tarnwick_bench_*; do
    [ -x "$bench" ] || continue
    echo "== $(basename "$bench")"
    "$bench" || status=1
done
echo "== ntfs_fast"
"$(dirname "$0")/ntfs_fast.sh" "$build" || status=1
exit $status
