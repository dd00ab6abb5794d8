#!/usr/bin/env bash
# Empty and erased space: bench/erased.sh BUILD_DIR [RUNS].
# A 32 GiB exFAT card that is mostly empty (600 files written, a third deleted,
# the rest never written: a sparse file), an 8 GiB card made the same way, and
# that 8 GiB card with every free cluster erased to 0xFF, as flash reads after
# an erase (it cannot be sparse: it takes its whole size on the disk, so it is
# kept at 8 GiB here). For each, RUNS times (3 by default): the deep scan to its
# count (`tarnwick-cli scan IMAGE`) right after a plain read of the same image
# (`cat IMAGE > /dev/null`), from the page cache (hot) and, where the cache can
# be dropped, from the disk (cold), and the ratio of the two times. Built by
# bench/build_erased_exfat.py, cached in BUILD_DIR/bench-cache/erased/.
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
bench_start "${1:-}" cli/tarnwick-cli
runs=${2:-3}
cache="$build/bench-cache/erased"

build_card32() {
    echo "building the 32 GiB mostly empty exFAT card (once)"
    python3 "$here/build_erased_exfat.py" card "$cache/card32.img" 32
}
build_card8() {
    echo "building the 8 GiB card and its twin erased to 0xFF (once)"
    python3 "$here/build_erased_exfat.py" card "$cache/card8.img" 8
    cp --sparse=always "$cache/card8.img" "$cache/erased8.img"
    python3 "$here/build_erased_exfat.py" erase "$cache/erased8.img"
}
cached "$cache/card32.stamp" build_card32 "$here/build_erased_exfat.py"
cached "$cache/card8.stamp" build_card8 "$here/build_erased_exfat.py"

cold=no
if drop_cache; then cold=yes; fi
for name in card32 card8 erased8; do
    img="$cache/$name.img"
    echo
    echo "$name: $(du -h --apparent-size "$img" | cut -f1), $(du -h "$img" | cut -f1) on the disk"
    for _ in $(seq "$runs"); do
        if [ $cold = yes ]; then
            read -r cat_s _ < <(cat_cold "$img")
            drop_cache
            read -r scan_s scan_kb < <(measure "$cli" scan "$img")
            echo "  cold: cat ${cat_s}s, deep scan ${scan_s}s ($(ratio "$scan_s" "$cat_s")x cat), peak ${scan_kb} KiB"
        fi
        read -r cat_s _ < <(cat_hot "$img")
        read -r scan_s scan_kb < <(measure "$cli" scan "$img")
        echo "  hot:  cat ${cat_s}s, deep scan ${scan_s}s ($(ratio "$scan_s" "$cat_s")x cat), peak ${scan_kb} KiB"
    done
    tail -1 "$out/stdout.txt"
done
