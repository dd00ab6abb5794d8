#!/usr/bin/env bash
# Runs every benchmark program of a release build tree: bench/run.sh BUILD_DIR
build=${1:-build-bench}
status=0
for bench in "$build"/bench/tarnwick_bench_*; do
    [ -x "$bench" ] || continue
    echo "== $(basename "$bench")"
    "$bench" || status=1
done
# Benchmark scripts (bench/NAME.sh BUILD_DIR) that time the command line.
for script in "$(dirname "$0")"/*.sh; do
    case $(basename "$script") in run.sh | lib_*) continue ;; esac
    echo "== $(basename "$script" .sh)"
    "$script" "$build" || status=1
done
exit $status
