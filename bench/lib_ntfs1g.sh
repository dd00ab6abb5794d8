# shellcheck shell=bash disable=SC2154  # build and out come from lib_bench.sh
# The 1 GiB NTFS image of the NTFS benchmarks (sourced after lib_bench.sh):
# 10,000 files of 200 bytes to 200 KiB in 100 folders, every other one
# deleted, written once through an ntfs-3g mount and cached in
# BUILD_DIR/bench-cache/ntfs/.
# ntfs1g_bench BUILD_DIR PROGRAM TITLE LABEL: the benchmark driver PROGRAM
# (a path in the build tree) over the image beside a plain read of it: TITLE,
# the driver's own lines, then time and peak memory of both, the driver's also
# as ratios to the read's.
ntfs1g_bench() {
  local prog=$2 title=$3 label=$4 cat_s cat_kb run_s run_kb
  bench_start "$1" "$prog"
  ntfs1g_cache="$build/bench-cache/ntfs"
  image="$ntfs1g_cache/ntfs1g.img"
  cached "$ntfs1g_cache/.stamp" build_ntfs1g
  read -r cat_s cat_kb < <(cat_hot "$image")
  read -r run_s run_kb < <(measure "$build/$prog" "$image")
  echo "$title"
  sed 's/^/  /' "$out/stdout.txt"
  printf '  %-22s  %6.2f s  %8d KiB peak\n' "cat image > /dev/null" "$cat_s" "$cat_kb"
  printf '  %-22s  %6.2f s  %8d KiB peak   (time x%s, memory x%s)\n' "$label" \
    "$run_s" "$run_kb" "$(ratio "$run_s" "$cat_s")" "$(ratio "$run_kb" "$cat_kb")"
}

build_ntfs1g() {
  local cache=$ntfs1g_cache pid
  echo "building the 1 GiB NTFS image (once)" >&2
  rm -rf "$cache"
  mkdir -p "$cache/mnt"
  truncate -s 1G "$image"
  mkntfs -F -Q -q -s 512 -c 4096 -L BENCH "$image" >/dev/null 2>&1
  ntfs-3g -o no_detach "$image" "$cache/mnt" 2>/dev/null &
  pid=$!
  for _ in $(seq 100); do mountpoint -q "$cache/mnt" && break; sleep 0.1; done
  mountpoint -q "$cache/mnt" || { echo "ntfs-3g mount failed (FUSE needed)" >&2; exit 1; }
  # 10,000 files of 200 bytes to 200 KiB in 100 folders; every other one deleted.
  python3 - "$cache/mnt" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(7)
pool = os.urandom(1 << 20)
for d in range(100):
    os.mkdir(os.path.join(root, "dir%03d" % d))
    for f in range(100):
        size = rnd.choice([200, 700, 3000, 20000, 90000, 204800])
        at = rnd.randrange(0, len(pool) - size)
        with open(os.path.join(root, "dir%03d" % d, "file%05d.bin" % (d * 100 + f)), "wb") as out:
            out.write(pool[at:at + size])
for d in range(100):
    for f in range(0, 100, 2):
        os.unlink(os.path.join(root, "dir%03d" % d, "file%05d.bin" % (d * 100 + f)))
PY
  umount "$cache/mnt"
  wait "$pid"
}
