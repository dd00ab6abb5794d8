#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time:
#   run_fuzz.sh BINARY SECONDS CORPUS_DIR [SEED_DIR]
# TARNWICK_FUZZ_SECONDS in the environment overrides the time (make fuzz). The
# seeds (valid files, read only) start the corpus when their folder exists. An
# input that runs longer than TARNWICK_FUZZ_INPUT_SECONDS (default 5) is a hang:
# the run fails and leaves it as timeout-* beside the corpus.
bin=$1
secs=${TARNWICK_FUZZ_SECONDS:-$2}
corpus=$3
seeds=()
[ -n "${4:-}" ] && [ -d "$4" ] && seeds=("$4")
mkdir -p "$corpus"
exec "$bin" -max_total_time="$secs" -rss_limit_mb=2048 -timeout="${TARNWICK_FUZZ_INPUT_SECONDS:-5}" \
    -timeout_exitcode=77 -print_final_stats=1 -artifact_prefix="$corpus/../" "$corpus" "${seeds[@]}"
