#!/usr/bin/env bash
# Fast FAT benchmark over a release build: bench/fastfat.sh BUILD_DIR.
# The fast FAT scan of a 1 GiB FAT32 card holding 10,000 files (a fifth of them
# deleted), timed and measured (peak memory) with /usr/bin/time, beside a
# plain sequential read of the same image (cat image > /dev/null). The card is
# built once and cached in BUILD_DIR/bench-cache/.
set -euo pipefail
build=$(cd "${1:-build-bench}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
cli="$build/cli/tarnwick-cli"
cache="$build/bench-cache/fastfat"
img="$cache/fat32_1g_10k.img"
stamp="$cache/fat32_1g_10k.stamp"
mkdir -p "$cache"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8

build_card() {
    local work
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
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
    sha1sum "$0" | cut -d' ' -f1 > "$stamp"
}
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$(sha1sum "$0" | cut -d' ' -f1)" ]; then
    build_card
fi

measure() {  # measure LABEL COMMAND...: wall seconds and peak resident KiB
    local log
    log=$(mktemp)
    /usr/bin/time -v "$@" > /dev/null 2> "$log" || { cat "$log" >&2; rm -f "$log"; return 1; }
    local wall rss
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log" |
        awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }')
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
    rm -f "$log"
    echo "$wall $rss"
}

support=$(mktemp -d)
out=$(mktemp -d)
trap 'rm -rf "$support" "$out"' EXIT
export TARNWICK_SUPPORT_DIR="$support"

cat "$img" > /dev/null  # warm the page cache for both
read -r cat_s cat_kb < <(measure cat "$img")
read -r scan_s scan_kb < <(measure "$cli" scan "$img" --list)
read -r rec_s rec_kb < <(measure "$cli" scan "$img" --recover "$out/recovered")
files=$("$cli" scan "$img" --list | tail -n +2 | wc -l)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
echo
echo "fast FAT scan, 1 GiB FAT32 card, 4 KiB clusters, 10,000 files ($files found deleted)"
printf '%-34s %9s %12s %14s\n' "" "seconds" "peak KiB" "x plain read"
printf '%-34s %9s %12s %14s\n' "plain read (cat image > /dev/null)" "$cat_s" "$cat_kb" "1.00"
printf '%-34s %9s %12s %14s\n' "scan and list" "$scan_s" "$scan_kb" "$(ratio "$scan_s" "$cat_s")"
printf '%-34s %9s %12s %14s\n' "scan and recover all" "$rec_s" "$rec_kb" "$(ratio "$rec_s" "$cat_s")"
