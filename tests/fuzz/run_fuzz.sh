#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time: run_fuzz.sh BINARY SECONDS CORPUS_DIR.
# TARNWICK_FUZZ_SECONDS in the environment overrides the time (make fuzz).
bin=$1
secs=${TARNWICK_FUZZ_SECONDS:-$2}
corpus=$3
mkdir -p "$corpus"
exec "$bin" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$corpus/../" "$corpus"
