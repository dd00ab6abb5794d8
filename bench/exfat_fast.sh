#!/usr/bin/env bash
# Fast exFAT benchmark over a release build: bench/exfat_fast.sh BUILD_DIR.
# A 1 GiB exFAT card (32 KiB clusters) with 10,000 files, every third deleted,
# written by tests/fixtures/build_exfat.py. Timed with /usr/bin/time (wall
# seconds, peak memory) beside a plain read of the image (cat image >
# /dev/null) and beside The Sleuth Kit's tsk_recover (deleted files) on the
# same image, with the number of deleted files each brings back byte for byte.
# The card is built once and cached in BUILD_DIR/bench-cache/exfat/.
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
bench_start "${1:-}" cli/tarnwick-cli
cache="$build/bench-cache/exfat"
img="$cache/bench.img"

build_card() {
    echo "building the 1 GiB exFAT card with 10,000 files (once)"
    python3 "$here/../tests/fixtures/build_exfat.py" --bench "$cache" 10000 1024
}
cached "$cache/bench.stamp" build_card "$here/../tests/fixtures/build_exfat.py"

# Deleted originals that a folder of recovered files holds byte for byte.
matched() {
    comm -12 <(awk -F'\t' '$1 == "deleted" { print $4 }' "$cache/bench.manifest" |
                   (cd "$cache/bench.orig" && xargs sha1sum) | cut -d' ' -f1 | sort -u) \
             <(find "$1" -type f -print0 | xargs -0 -r sha1sum | cut -d' ' -f1 | sort -u) | wc -l
}

deleted=$(awk -F'\t' '$1 == "deleted"' "$cache/bench.manifest" | wc -l)

read -r cat_s cat_kb < <(cat_hot "$img")
read -r scan_s scan_kb < <(measure "$cli" scan "$img" --list)
read -r rec_s rec_kb < <(measure "$cli" scan "$img" --recover "$out/tarnwick")
tw_ok=$(matched "$out/tarnwick")
if rival tsk_recover sleuthkit; then
    read -r tsk_s tsk_kb < <(measure tsk_recover -f exfat "$img" "$out/tsk")
    tsk_ok=$(matched "$out/tsk")
else
    tsk_s="-" tsk_kb="-" tsk_ok="(sleuthkit not installed)"
fi

echo
echo "fast exFAT, 1 GiB card, 32 KiB clusters, 10,000 files, $deleted deleted"
printf '%-36s %9s %10s %13s %15s\n' "" "seconds" "peak KiB" "x plain read" "byte for byte"
printf '%-36s %9s %10s %13s %15s\n' "plain read (cat image > /dev/null)" "$cat_s" "$cat_kb" "1.00" "-"
printf '%-36s %9s %10s %13s %15s\n' "tarnwick-cli scan --list" "$scan_s" "$scan_kb" "$(ratio "$scan_s" "$cat_s")" "-"
printf '%-36s %9s %10s %13s %15s\n' "tarnwick-cli scan --recover" "$rec_s" "$rec_kb" "$(ratio "$rec_s" "$cat_s")" "$tw_ok"
printf '%-36s %9s %10s %13s %15s\n' "tsk_recover (deleted files)" "$tsk_s" "$tsk_kb" "$(ratio "$tsk_s" "$cat_s")" "$tsk_ok"
