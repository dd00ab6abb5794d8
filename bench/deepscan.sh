#!/usr/bin/env bash
# Deep scan benchmark over a release build: bench/deepscan.sh BUILD_DIR [GIB].
# A used FAT32 card of GIB GiB (1 by default) full of real data: photos and
# documents written, half of them deleted, the card quick-formatted with
# another cluster size, filled again and a folder deleted, so that old photos
# and documents lie in the free space as on a card in use. Times the deep scan
# to its listing (`tarnwick-cli scan IMAGE`) beside a plain read (`cat IMAGE >
# /dev/null`) hot and, where the page cache can be dropped, cold; beside
# PhotoRec on the same image; and the peak memory of the scan. The card is
# built once and cached in BUILD_DIR/bench-cache/.
set -euo pipefail
build=$(cd "${1:-build-bench}" && pwd)
gib=${2:-1}
cli="$build/cli/tarnwick-cli"
cache="$build/bench-cache/deepscan"
img="$cache/used_${gib}g.img"
stamp="$cache/used_${gib}g.stamp"
mkdir -p "$cache"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8

build_card() {
    local work i n
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    echo "building the used ${gib} GiB FAT32 card (once)"
    rm -f "$img"
    mkfs.fat -C -F 32 -s 8 -n USED "$img" $((gib * 1024 * 1024)) >/dev/null
    mkdir -p "$work/life1" "$work/life2/DCIM/100CANON"
    # Photos: 40 real JPEGs, each written several times with its own tail.
    for i in $(seq 1 40); do
        convert -seed "$i" -size 1600x1200 plasma:fractal -quality 90 "$work/p$i.jpg"
    done
    n=$((gib * 900 / 2))  # about 1 MiB a file, half the card per life
    for i in $(seq 1 "$n"); do
        if [ $((i % 3)) = 0 ]; then
            head -c $((200 * 1024 + i * 97 % 300000)) /dev/urandom > "$work/life1/doc$i.bin"
        else
            cp "$work/p$((i % 40 + 1)).jpg" "$work/life1/IMG_$i.JPG"
        fi
    done
    mcopy -i "$img" "$work/life1/"* ::/
    for i in $(seq 1 2 "$n"); do mdel -i "$img" "::/IMG_$i.JPG" 2>/dev/null || true; done
    mkfs.fat -F 32 -s 16 -n USED "$img" >/dev/null  # quick format: data stays
    for i in $(seq 1 $((n / 2))); do
        cp "$work/p$((i % 40 + 1)).jpg" "$work/life2/DCIM/100CANON/IMG_$((5000 + i)).JPG"
    done
    mcopy -s -i "$img" "$work/life2/"* ::/
    for i in $(seq 1 3 $((n / 2))); do mdel -i "$img" "::/DCIM/100CANON/IMG_$((5000 + i)).JPG"; done
    echo "$sum" > "$stamp"
}
sum=$(declare -f build_card | sha1sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sum" ]; then build_card; fi

measure() {  # measure COMMAND...: wall seconds and peak resident KiB
    local log
    log=$(mktemp)
    /usr/bin/time -v "$@" > /dev/null 2> "$log" || { tail -5 "$log" >&2; rm -f "$log"; return 1; }
    awk -F': ' '
        /Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = t[n] + 60 * t[n - 1] + (n == 3 ? 3600 * t[1] : 0) }
        /Maximum resident/ { kb = $2 }
        END { print s, kb }' "$log"
    rm -f "$log"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
drop() { sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null; }

support=$(mktemp -d)
trap 'rm -rf "$support"' EXIT
export TARNWICK_SUPPORT_DIR="$support"
scan() { "$cli" scan "$img" --mode deep; }

echo "image: $img ($(du -h --apparent-size "$img" | cut -f1))"
cold=no
if drop; then cold=yes; fi
if [ $cold = yes ]; then
    read -r cat_cold _ < <(measure sh -c 'cat "$0" > /dev/null' "$img")
    drop
    read -r scan_cold scan_kb < <(measure "$cli" scan "$img" --mode deep)
    echo "cold: cat ${cat_cold}s, deep scan ${scan_cold}s: $(ratio "$cat_cold" "$scan_cold") of the plain read's throughput"
fi
cat "$img" > /dev/null
read -r cat_hot _ < <(measure sh -c 'cat "$0" > /dev/null' "$img")
read -r scan_hot scan_kb < <(measure "$cli" scan "$img" --mode deep)
echo "hot: cat ${cat_hot}s, deep scan ${scan_hot}s ($(ratio "$scan_hot" "$cat_hot")x), peak ${scan_kb} KiB"
"$cli" scan "$img" --mode deep 2>&1 | tail -1

if ! command -v photorec >/dev/null; then
    apt-get install -y -qq testdisk >/dev/null 2>&1 || true
fi
if command -v photorec >/dev/null; then
    out=$(mktemp -d)
    [ $cold = yes ] && drop
    read -r pr_s _ < <(measure photorec /d "$out/r" /cmd "$img" \
        partition_none,fileopt,everything,enable,search)
    echo "PhotoRec: ${pr_s}s, $(find "$out" -type f | wc -l) files; deep scan at $(ratio "${scan_cold:-$scan_hot}" "$pr_s") of its time"
    rm -rf "$out"
else
    echo "PhotoRec: not installed (apt-get install testdisk)"
fi
