#!/usr/bin/env bash
# Fast FAT benchmark over a release build: bench/fastfat.sh BUILD_DIR.
# The fast FAT scan of a 1 GiB FAT32 card holding 10,000 files (a fifth of them
# deleted), timed and measured (peak memory) with /usr/bin/time, beside a
# plain sequential read of the same image (cat image > /dev/null). The card is
# built once and cached in BUILD_DIR/bench-cache/.
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
bench_start "${1:-}" cli/tarnwick-cli
cache="$build/bench-cache/fastfat"
img="$cache/fat32_1g_10k.img"

build_card() {
    local work=$1
    echo "building the 1 GiB FAT32 card with 10,000 files (once)"
    rm -f "$img"
    mkfs.fat -C -F 32 -s 8 -n BENCH "$img" $((1024 * 1024)) >/dev/null
    # 100 folders of 100 files, 1 to 40 KiB each.
    local d f
    for d in $(seq -w 0 99); do
        mkdir -p "$work/tree/DIR$d"
        for f in $(seq -w 0 99); do
            head -c $(( (10#$d * 100 + 10#$f) % 40 * 1024 + 1024 )) /dev/urandom \
                > "$work/tree/DIR$d/File $d-$f.bin"
        done
    done
    mcopy -s -i "$img" "$work/tree/"* ::/
    # Delete ten whole folders and every tenth file of the others.
    for d in $(seq -f %02g 0 9); do mdeltree -i "$img" "::/DIR$d"; done
    for d in $(seq -w 10 99); do mdel -i "$img" "::/DIR$d/File $d-?5.bin"; done
}
cached "$cache/fat32_1g_10k.stamp" build_card

read -r cat_s cat_kb < <(cat_hot "$img")
read -r scan_s scan_kb < <(measure "$cli" scan "$img" --list)
read -r rec_s rec_kb < <(measure "$cli" scan "$img" --recover "$out/recovered")
files=$("$cli" scan "$img" --list | tail -n +2 | wc -l)

echo
echo "fast FAT scan, 1 GiB FAT32 card, 4 KiB clusters, 10,000 files ($files found deleted)"
printf '%-34s %9s %12s %14s\n' "" "seconds" "peak KiB" "x plain read"
printf '%-34s %9s %12s %14s\n' "plain read (cat image > /dev/null)" "$cat_s" "$cat_kb" "1.00"
printf '%-34s %9s %12s %14s\n' "scan and list" "$scan_s" "$scan_kb" "$(ratio "$scan_s" "$cat_s")"
printf '%-34s %9s %12s %14s\n' "scan and recover all" "$rec_s" "$rec_kb" "$(ratio "$rec_s" "$cat_s")"
