#!/usr/bin/env bash
# Deep FAT parser benchmark over a release build: bench/profat.sh BUILD_DIR.
# A 1 GiB FAT32 card (4 KiB clusters) with 10,000 files in 1,000 folders, a
# tenth of the folders deleted, then its boot sector and both allocation
# tables zeroed; every sector fed through the parser as the deep-scan driver
# feeds it, timed and measured (peak memory) with /usr/bin/time beside a
# plain sequential read of the same image (cat image > /dev/null). Then the
# cost of the boot-record lookups on a card with a million directories. The
# card is built once and cached in BUILD_DIR/bench-cache/.
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
bench_start "${1:-}" bench/tarnwick_bench_profat
bench="$build/bench/tarnwick_bench_profat"
cache="$build/bench-cache/profat"
img="$cache/fat32_1g_wiped.img"

build_card() {
    local work=$1 d f
    echo "building the 1 GiB FAT32 card with 10,000 files in 1,000 folders (once)"
    rm -f "$img"
    mkfs.fat -C -F 32 -s 8 -n BENCH "$img" $((1024 * 1024)) >/dev/null
    for d in $(seq -w 0 999); do
        mkdir -p "$work/tree/Folder number $d"
        for f in $(seq 0 9); do
            head -c $(( (10#$d * 10 + f) % 40 * 1024 + 1024 )) /dev/urandom \
                > "$work/tree/Folder number $d/Document $d-$f with a long name.bin"
        done
    done
    mcopy -s -i "$img" "$work/tree/"* ::/
    for d in $(seq -w 0 10 999); do mdeltree -i "$img" "::/Folder number $d"; done
    python3 -c 'import struct, sys
f = open(sys.argv[1], "r+b"); b = f.read(512)
f.seek(0); f.write(bytes(512 * (struct.unpack_from("<H", b, 14)[0] + b[16] * struct.unpack_from("<I", b, 36)[0])))' "$img"
}
cached "$cache/fat32_1g_wiped.stamp" build_card

read -r cat_s cat_kb < <(cat_hot "$img")
read -r feed_s feed_kb < <(measure "$bench" "$img")
read -r _ dbrs records spilled <"$out/stdout.txt"
echo
echo "deep FAT parser, 1 GiB FAT32 card, boot sector and tables wiped, 10,000 files in 1,000 folders"
printf '%-36s %9s %12s %14s\n' "" "seconds" "peak KiB" "x plain read"
printf '%-36s %9s %12s %14s\n' "plain read (cat image > /dev/null)" "$cat_s" "$cat_kb" "1.00"
printf '%-36s %9s %12s %14s\n' "every sector fed through the parser" "$feed_s" "$feed_kb" \
    "$(ratio "$feed_s" "$cat_s")"
echo "virtual boot records learned: $dbrs; records made: $records; undealt sectors spilled: $spilled"

dirs="$cache/million_dirs.img"
rm -f "$dirs"
truncate -s $(( (4096 + 8 * 1000002) * 512 )) "$dirs"
read -r dirs_s dirs_kb < <(measure "$bench" --dirs 1000000 "$dirs")
read -r _ _ ns_per dbrs <"$out/stdout.txt"
rm -f "$dirs"
echo "1,000,000 directory first sectors: $dirs_s s ($ns_per ns each), peak $dirs_kb KiB," \
    "virtual boot records: $dbrs"
