#!/usr/bin/env bash
# Fast exFAT benchmark over a release build: bench/exfat_fast.sh BUILD_DIR.
# A 1 GiB exFAT card (32 KiB clusters) with 10,000 files, every third deleted,
# written by tests/fixtures/build_exfat.py. Timed with /usr/bin/time (wall
# seconds, peak memory) beside a plain read of the image (cat image >
# /dev/null) and beside The Sleuth Kit's tsk_recover (deleted files) on the
# same image, with the number of deleted files each brings back byte for byte.
# The card is built once and cached in BUILD_DIR/bench-cache/exfat/.
set -euo pipefail
build=$(cd "${1:-build-bench}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
cli="$build/cli/tarnwick-cli"
cache="$build/bench-cache/exfat"
img="$cache/bench.img"
stamp="$cache/bench.stamp"
mkdir -p "$cache"
sum=$(cat "$0" "$here/../tests/fixtures/build_exfat.py" | sha1sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sum" ]; then
    echo "building the 1 GiB exFAT card with 10,000 files (once)"
    python3 "$here/../tests/fixtures/build_exfat.py" --bench "$cache" 10000 1024
    echo "$sum" > "$stamp"
fi

measure() {  # measure COMMAND...: wall seconds and peak resident KiB
    local log wall rss
    log=$(mktemp)
    /usr/bin/time -v "$@" > /dev/null 2> "$log" || { cat "$log" >&2; rm -f "$log"; return 1; }
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log" |
        awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }')
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
    rm -f "$log"
    echo "$wall $rss"
}
# Deleted originals that a folder of recovered files holds byte for byte.
matched() {
    comm -12 <(awk -F'\t' '$1 == "deleted" { print $4 }' "$cache/bench.manifest" |
                   (cd "$cache/bench.orig" && xargs sha1sum) | cut -d' ' -f1 | sort -u) \
             <(find "$1" -type f -print0 | xargs -0 -r sha1sum | cut -d' ' -f1 | sort -u) | wc -l
}

support=$(mktemp -d)
out=$(mktemp -d)
trap 'rm -rf "$support" "$out"' EXIT
export TARNWICK_SUPPORT_DIR="$support"
deleted=$(awk -F'\t' '$1 == "deleted"' "$cache/bench.manifest" | wc -l)

cat "$img" > /dev/null  # warm the page cache for all
read -r cat_s cat_kb < <(measure cat "$img")
read -r scan_s scan_kb < <(measure "$cli" scan "$img" --list)
read -r rec_s rec_kb < <(measure "$cli" scan "$img" --recover "$out/tarnwick")
tw_ok=$(matched "$out/tarnwick")
tsk="n/a"
if command -v tsk_recover > /dev/null; then
    read -r tsk_s tsk_kb < <(measure tsk_recover -f exfat "$img" "$out/tsk")
    tsk_ok=$(matched "$out/tsk")
else
    tsk_s="-" tsk_kb="-" tsk_ok="(sleuthkit not installed)"
fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0 && a != "-") printf "%.2f", a / b; else print "n/a" }'; }
echo
echo "fast exFAT, 1 GiB card, 32 KiB clusters, 10,000 files, $deleted deleted"
printf '%-36s %9s %10s %13s %15s\n' "" "seconds" "peak KiB" "x plain read" "byte for byte"
printf '%-36s %9s %10s %13s %15s\n' "plain read (cat image > /dev/null)" "$cat_s" "$cat_kb" "1.00" "-"
printf '%-36s %9s %10s %13s %15s\n' "tarnwick-cli scan --list" "$scan_s" "$scan_kb" "$(ratio "$scan_s" "$cat_s")" "-"
printf '%-36s %9s %10s %13s %15s\n' "tarnwick-cli scan --recover" "$rec_s" "$rec_kb" "$(ratio "$rec_s" "$cat_s")" "$tw_ok"
printf '%-36s %9s %10s %13s %15s\n' "tsk_recover (deleted files)" "$tsk_s" "$tsk_kb" "$(ratio "$tsk_s" "$cat_s")" "$tsk_ok"
