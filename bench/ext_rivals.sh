#!/usr/bin/env bash
# Deleted files of ext2, ext3 and ext4 brought back by Tarnwick and by the
# named-file recovery tools Debian packages, side by side in one run:
# bench/ext_rivals.sh BUILD_DIR.
# Each volume (256 MiB, 4 KiB blocks) is written by the kernel through a loop
# mount: a folder of 17 photos and a live file, written out and cleanly
# unmounted; mounted again, the folder removed with rm -rf, unmounted again.
# The ext3 and ext4 volumes come again damaged: "-nojournal" had its journal
# removed after the deletion (tune2fs -O ^has_journal), "-super0" its first
# superblock zeroed. Every tool reads the image as a black box. A file counts "named" when a
# recovered file of the photo's name holds its bytes, "bytes" when any
# recovered file does. Images are cached in BUILD_DIR/bench-cache/ext/.
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
bench_start "${1:-}" cli/tarnwick-cli
cache="$build/bench-cache/ext"
fixtures="$here/../tests/fixtures"

build_volumes() {
  local work=$1 mnt="$1/mnt" t i
  # shellcheck source=tests/fixtures/lib_content.sh
  . "$fixtures/lib_content.sh"
  mkdir -p "$cache/photos" "$mnt"
  for i in $(seq -w 1 17); do tw_jpeg "$cache/photos/IMG_00$i.jpg" "$((40 + 10#$i))" 640x480; done
  for t in ext2 ext3 ext4; do
    rm -f "$cache/$t.img"
    mke2fs -q -F -t "$t" -b 4096 "$cache/$t.img" 256M
    mount -o loop "$cache/$t.img" "$mnt"
    mkdir "$mnt/DCIM"
    cp "$cache/photos/"*.jpg "$mnt/DCIM/"
    echo "still here" >"$mnt/live.txt"
    sync
    umount "$mnt"
    mount -o loop "$cache/$t.img" "$mnt"
    rm -rf "$mnt/DCIM"
    umount "$mnt"
  done
  # Damaged copies: the journal removed afterwards (tune2fs), or the first
  # superblock zeroed.
  for t in ext3 ext4; do
    cp --sparse=always "$cache/$t.img" "$cache/$t-nojournal.img"
    tune2fs -O ^has_journal "$cache/$t-nojournal.img" >/dev/null
    cp --sparse=always "$cache/$t.img" "$cache/$t-super0.img"
    dd if=/dev/zero of="$cache/$t-super0.img" bs=1024 seek=1 count=1 conv=notrunc status=none
  done
}
cached "$cache/volumes.stamp" build_volumes "$fixtures/lib_content.sh"

# named DIR, bytes DIR: photos recovered under their name, or anywhere.
named() {
  local n=0 f
  for f in "$cache/photos/"*.jpg; do
    while IFS= read -r -d '' g; do
      cmp -s "$f" "$g" && { n=$((n + 1)); break; }
    done < <(find "$1" -type f -name "$(basename "$f")" -print0 2>/dev/null)
  done
  echo "$n"
}
bytes() {
  comm -12 <(sha1sum "$cache/photos/"*.jpg | cut -d' ' -f1 | sort -u) \
    <(find "$1" -type f -print0 2>/dev/null | xargs -0 -r sha1sum | cut -d' ' -f1 | sort -u) | wc -l
}

row() { printf '%-14s %-30s %8s %8s %8s\n' "$@"; }
echo
echo "17 photos removed with rm -rf from a 256 MiB volume written by the kernel (loop mount)"
row "volume" "tool" "named" "bytes" "seconds"
for t in ext2 ext3 ext4 ext3-nojournal ext4-nojournal ext3-super0 ext4-super0; do
  img="$cache/$t.img"
  sum=$(sha1sum <"$img")
  measure_ok=1
  read -r s _ < <(measure "$cli" scan "$img" --mode fast --recover "$out/tw-$t" --keep-paths)
  row "$t" "tarnwick-cli scan --mode fast" "$(named "$out/tw-$t")" "$(bytes "$out/tw-$t")" "$s"
  rm -rf "$out/twd-$t"
  read -r s _ < <(measure "$cli" scan "$img" --recover "$out/twd-$t" --keep-paths)
  row "$t" "tarnwick-cli scan (deep)" "$(named "$out/twd-$t")" "$(bytes "$out/twd-$t")" "$s"
  if rival tsk_recover sleuthkit; then
    read -r s _ < <(measure tsk_recover "$img" "$out/tsk-$t")
    row "$t" "tsk_recover" "$(named "$out/tsk-$t")" "$(bytes "$out/tsk-$t")" "$s"
  else
    row "$t" "tsk_recover" "-" "-" "(not installed)"
  fi
  if rival extundelete extundelete; then
    # Its output folder must exist and be named relative to the working one.
    mkdir -p "$out/xu-$t"
    # shellcheck disable=SC2016  # sh expands its own arguments
    read -r s _ < <(measure sh -c 'cd "$0" && extundelete "$1" --restore-all -o "$2"' \
      "$out" "$img" "xu-$t")
    row "$t" "extundelete --restore-all" "$(named "$out/xu-$t")" "$(bytes "$out/xu-$t")" "$s"
  else
    row "$t" "extundelete" "-" "-" "(not installed)"
  fi
  if rival ext4magic ext4magic; then
    # Deleted at any time since 2001 (by default only in the last day).
    read -r s _ < <(measure ext4magic "$img" -r -a 1000000000 -d "$out/e4m-$t")
    row "$t" "ext4magic -r" "$(named "$out/e4m-$t")" "$(bytes "$out/e4m-$t")" "$s"
  else
    row "$t" "ext4magic" "-" "-" "(not installed)"
  fi
  measure_ok=0
  [ "$(sha1sum <"$img")" = "$sum" ] || { echo "$img changed" >&2; exit 1; }
done
