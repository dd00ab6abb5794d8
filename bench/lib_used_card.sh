# shellcheck shell=bash disable=SC2154  # gib, img: set by the scripts that source this
# The used FAT32 card of the deep-scan benchmarks (sourced after lib_bench.sh):
# build_card WORK builds $img, a card of $gib GiB full of real data: photos and
# documents written, half of them deleted, the card quick-formatted with
# another cluster size, filled again and a folder deleted, so that old photos
# and documents lie in the free space as on a card in use. With full=full set,
# the card is random bytes before its first format: no sector is a hole.
build_card() {
    local work=$1 i n
    echo "building the used ${gib} GiB FAT32 card${full:+, no sector unwritten} (once)"
    rm -f "$img"
    if [ "${full:-}" = full ]; then
        head -c $((gib << 30)) /dev/urandom >"$img"
        mkfs.fat -F 32 -s 8 -n USED "$img" >/dev/null
    else
        mkfs.fat -C -F 32 -s 8 -n USED "$img" $((gib * 1024 * 1024)) >/dev/null
    fi
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
}
