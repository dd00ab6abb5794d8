#!/usr/bin/env bash
# Failing media: bench/failing_media.sh BUILD_DIR [BEFORE_BUILD_DIR].
# On the used 1 GiB FAT32 card of bench/deepscan.sh:
# - a healthy card: the deep scan (to its listing) against a plain read of the
#   image, hot, best of three; with BEFORE_BUILD_DIR (a build of an earlier
#   revision), that build's scan measured in the same run, turn about, so the
#   cost of the read policy shows as the ratio of the two;
# - the card served through the failing-medium harness (tests/tw_faultyfs),
#   first healthy, then with 100 scattered bad 4 KiB pages: the time of each
#   deep scan, the sectors it could not read and the files it lost (listed on
#   the healthy card, not on the failing one).
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
# shellcheck source=bench/lib_used_card.sh
source "$(dirname "$0")/lib_used_card.sh"
bench_start "${1:-}" cli/tarnwick-cli tests/tw_faultyfs
before=""
if [ -n "${2:-}" ]; then
  before=$(cd "$2" && pwd)/cli/tarnwick-cli
  [ -x "$before" ] || { echo "failing_media: $before is not built" >&2; exit 1; }
fi
gib=1
cache="$build/bench-cache/deepscan"
img="$cache/used_${gib}g.img"
cached "$cache/used_${gib}g.stamp" build_card

best() {  # best of three wall times of a command
  local b="" s
  for _ in 1 2 3; do
    read -r s _ < <(measure "$@")
    b=$(awk -v a="$s" -v b="$b" 'BEGIN { print (b == "" || a < b) ? a : b }')
  done
  echo "$b"
}

echo "image: $img ($(du -h --apparent-size "$img" | cut -f1))"
read -r read_hot _ < <(cat_hot "$img")
scan_now=$(best "$cli" scan "$img" --mode deep)
echo "healthy card: cat ${read_hot}s, deep scan ${scan_now}s ($(ratio "$scan_now" "$read_hot")x cat)"
if [ -n "$before" ]; then
  scan_before=$(best "$before" scan "$img" --mode deep)
  scan_now2=$(best "$cli" scan "$img" --mode deep)
  echo "before the read policy: ${scan_before}s; after: ${scan_now}s and ${scan_now2}s" \
       "(after / before: $(ratio "$scan_now" "$scan_before" 3), $(ratio "$scan_now2" "$scan_before" 3))"
fi

# 100 bad pages, scattered at random (a fixed seed) over the card.
sectors=$(($(stat -c %s "$img") / 512))
bad=$(awk -v n="$sectors" 'BEGIN { srand(24); for (i = 0; i < 100; i++) {
        s = int(rand() * (n / 8 - 1)) * 8; printf "%s%d-%d", (i ? "," : ""), s, s + 7 } }')
serve() {  # serve [BAD]: the card through the harness at $out/mnt
  mkdir -p "$out/mnt"
  "$build/tests/tw_faultyfs" "$img" "$out/mnt" ${1:+--bad "$1"} &
  for _ in $(seq 100); do [ -s "$out/mnt/disk.img" ] && return 0; sleep 0.1; done
  echo "failing_media: the FUSE harness did not start" >&2
  exit 1
}
unserve() { umount -l "$out/mnt" 2>/dev/null || true; wait 2>/dev/null || true; }
trap 'unserve; rm -rf "$out"' EXIT

serve ""
measure_ok=1
read -r fuse_ok _ < <(measure "$cli" scan "$out/mnt/disk.img" --mode deep --list)
cut -f4 "$out/stdout.txt" | sort >"$out/healthy.txt"
unserve
serve "$bad"
read -r fuse_bad _ < <(measure "$cli" scan "$out/mnt/disk.img" --mode deep --list)
cut -f4 "$out/stdout.txt" | sort >"$out/failing.txt"
unserve
lost_sectors=$(grep -o '[0-9]* sectors could not be read' "$out/time.txt" | cut -d' ' -f1 || true)
lost_files=$(comm -23 "$out/healthy.txt" "$out/failing.txt" | wc -l)
echo "through the harness: healthy ${fuse_ok}s ($(($(wc -l <"$out/healthy.txt") - 1)) files)," \
     "100 bad pages ${fuse_bad}s ($(ratio "$fuse_bad" "$fuse_ok")x):" \
     "${lost_sectors:-0} sectors could not be read, ${lost_files} files lost"
