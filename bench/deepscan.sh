#!/usr/bin/env bash
# Deep scan benchmark over a release build: bench/deepscan.sh BUILD_DIR [GIB]
# [full]. A used FAT32 card of GIB GiB (1 by default) full of real data: photos
# and documents written, half of them deleted, the card quick-formatted with
# another cluster size, filled again and a folder deleted, so that old photos
# and documents lie in the free space as on a card in use. Space the card never
# wrote is a hole in the image file; with "full" the card was filled with
# random bytes before all that, as a card used for years is, so that every
# sector is on the disk and the deep scan parses every free one. Times the deep scan
# to its listing (`tarnwick-cli scan IMAGE`) beside a plain read (`cat IMAGE >
# /dev/null`) hot and, where the page cache can be dropped, cold; beside
# PhotoRec on the same image; and the peak memory of the scan. The card is
# built once and cached in BUILD_DIR/bench-cache/. PHOTOREC=no leaves PhotoRec out.
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
# shellcheck source=bench/lib_used_card.sh
source "$(dirname "$0")/lib_used_card.sh"
bench_start "${1:-}" cli/tarnwick-cli
gib=${2:-1}
full=${3:-}
case $full in "" | full) ;; *) echo "deepscan: the third argument is 'full' or nothing" >&2; exit 2 ;; esac
cache="$build/bench-cache/deepscan"
img="$cache/used_${gib}g${full:+_full}.img"

cached "${img%.img}.stamp" build_card

echo "image: $img ($(du -h --apparent-size "$img" | cut -f1))"
cold=no
if drop_cache; then cold=yes; fi
# RUNS pairs (1 by default, RUNS=N in the environment), each the plain read
# right before the scan: on a shared or virtual disk one pair tells little.
for ((run = 1; run <= ${RUNS:-1}; run++)); do
    if [ $cold = yes ]; then
        read -r read_cold _ < <(cat_cold "$img")
        drop_cache
        read -r scan_cold scan_kb < <(measure "$cli" scan "$img" --mode deep)
        echo "cold: cat ${read_cold}s, deep scan ${scan_cold}s ($(ratio "$scan_cold" "$read_cold")x), peak ${scan_kb} KiB"
    fi
    read -r read_hot _ < <(cat_hot "$img")
    read -r scan_hot scan_kb < <(measure "$cli" scan "$img" --mode deep)
    echo "hot: cat ${read_hot}s, deep scan ${scan_hot}s ($(ratio "$scan_hot" "$read_hot")x), peak ${scan_kb} KiB"
done
"$cli" scan "$img" --mode deep 2>&1 | tail -1
[ "${PHOTOREC:-yes}" = no ] && exit 0

if rival photorec testdisk; then
    mkdir -p "$out/photorec"
    [ $cold = yes ] && drop_cache
    read -r pr_s _ < <(measure photorec /d "$out/photorec/r" /cmd "$img" \
        partition_none,fileopt,everything,enable,search)
    echo "PhotoRec: ${pr_s}s, $(find "$out/photorec" -type f | wc -l) files; deep scan at $(ratio "${scan_cold:-$scan_hot}" "$pr_s") of its time"
else
    echo "PhotoRec: not installed (apt-get install testdisk)"
fi
