#!/usr/bin/env bash
# Scale benchmark over a release build: bench/scale.sh BUILD_DIR [NAME...].
# Volumes written by our own writers, no mount: "fat32" a FAT32 volume with
# 1,000,000 files in 10,000 folders (bench/build_scale_fat32.py), "ntfs" an
# NTFS volume with 1,000,000 files in 10,000 folders (bench/build_scale_ntfs.py)
# and "exfat" an exFAT card with 200,000 files in 2,000 folders
# (bench/build_scale_exfat.py), a tenth of the files deleted on each. For each: the fast listing
# (`tarnwick-cli scan IMAGE --mode fast --list`), the deep listing (`--mode
# deep --list`) and the recovery of the deleted tenth (`--mode fast
# --recover`), wall time and peak memory, beside a plain read of the image
# (`cat IMAGE > /dev/null`, hot) and The Sleuth Kit's tsk_recover on the same
# image, with the deleted files each brings back byte for byte. The images are
# large (about 0.7, 3.0 and 1.1 GiB) and cached in BUILD_DIR/bench-cache/scale/.
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
bench_start "${1:-}" cli/tarnwick-cli
shift || true
cache="$build/bench-cache/scale"

build_fat32() {
    echo "building the FAT32 volume with 1,000,000 files (once)"
    python3 "$here/build_scale_fat32.py" "$cache/fat32.img" 1000000 10000
}
build_ntfs() {
    echo "building the NTFS volume with 1,000,000 files (once)"
    python3 "$here/build_scale_ntfs.py" "$cache/ntfs.img" 1000000 10000
}
build_exfat() {
    echo "building the exFAT card with 200,000 files (once)"
    python3 "$here/build_scale_exfat.py" "$cache/exfat.img" 200000 2000 1152
}

# Deleted files of a manifest that a folder of recovered files holds byte for byte.
matched() {
    comm -12 <(cut -f1 "$2" | sort -u) \
             <(find "$1" -type f -print0 | xargs -0 -r sha1sum | cut -d' ' -f1 | sort -u) | wc -l
}

row() { printf '%-40s %9s %10s %11s %11s %14s\n' "$@"; }

names=("$@")
[ ${#names[@]} -gt 0 ] || names=(fat32 ntfs exfat)
for name in "${names[@]}"; do
    img="$cache/$name.img"
    case $name in
        fat32) cached "$cache/$name.stamp" build_fat32 "$here/build_scale_fat32.py"; tsk_type=fat32 ;;
        ntfs) cached "$cache/$name.stamp" build_ntfs "$here/build_scale_ntfs.py"; tsk_type=ntfs ;;
        exfat) cached "$cache/$name.stamp" build_exfat "$here/build_scale_exfat.py" \
                   "$here/../tests/fixtures/build_exfat.py"; tsk_type=exfat ;;
        *) echo "scale: no volume $name" >&2; exit 2 ;;
    esac
    deleted=$(wc -l <"$img.manifest")
    read -r cat_s _ < <(cat_hot "$img")
    read -r fast_s fast_kb < <(measure "$cli" scan "$img" --mode fast --list)
    fast_n=$(($(wc -l <"$out/stdout.txt") - 1))
    read -r deep_s deep_kb < <(measure "$cli" scan "$img" --mode deep --list)
    deep_n=$(($(wc -l <"$out/stdout.txt") - 1))
    rm -rf "$out/tw" "$out/tsk"
    read -r rec_s rec_kb < <(measure "$cli" scan "$img" --mode fast --recover "$out/tw")
    rec_ok=$(matched "$out/tw" "$img.manifest")
    rm -rf "$out/tw"
    if rival tsk_recover sleuthkit; then
        read -r tsk_s tsk_kb < <(measure tsk_recover -f "$tsk_type" "$img" "$out/tsk")
        tsk_ok=$(matched "$out/tsk" "$img.manifest")
        rm -rf "$out/tsk"
    else
        tsk_s="-" tsk_kb="-" tsk_ok="(sleuthkit not installed)"
    fi
    echo
    echo "$name: $(du -h --apparent-size "$img" | cut -f1) image, $deleted files deleted"
    row "" seconds "peak KiB" "x cat" "x tsk" "files"
    row "plain read (cat image > /dev/null, hot)" "$cat_s" - 1.00 - -
    row "tarnwick-cli scan --mode fast --list" "$fast_s" "$fast_kb" "$(ratio "$fast_s" "$cat_s")" - "$fast_n listed"
    row "tarnwick-cli scan --mode deep --list" "$deep_s" "$deep_kb" "$(ratio "$deep_s" "$cat_s")" - "$deep_n listed"
    row "tarnwick-cli scan --mode fast --recover" "$rec_s" "$rec_kb" "$(ratio "$rec_s" "$cat_s")" \
        "$(ratio "$rec_s" "$tsk_s")" "$rec_ok identical"
    row "tsk_recover (deleted files)" "$tsk_s" "$tsk_kb" "$(ratio "$tsk_s" "$cat_s")" 1.00 "$tsk_ok identical"
done
