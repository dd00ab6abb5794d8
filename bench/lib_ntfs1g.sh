# The 1 GiB NTFS image of the NTFS benchmarks (sourced): 10,000 files of 200
# bytes to 200 KiB in 100 folders, every other one deleted, written once
# through an ntfs-3g mount and cached in BUILD_DIR/bench-cache/ntfs/.
# ntfs1g_image BUILD_DIR prints the image's path; measure and ratio time the
# runs (measure writes into $out, a folder the caller makes).
ntfs1g_image() {
  local build=$1
  local cache="$build/bench-cache/ntfs"
  local image="$cache/ntfs1g.img"
  local stamp="$cache/.stamp"
  local sum=$(sha1sum "${BASH_SOURCE[0]}" | cut -d' ' -f1)

  if ! [ -f "$stamp" ] || [ "$(cat "$stamp")" != "$sum" ]; then
    echo "building the 1 GiB NTFS image (once)" >&2
    rm -rf "$cache"
    mkdir -p "$cache/mnt"
    truncate -s 1G "$image"
    mkntfs -F -Q -q -s 512 -c 4096 -L BENCH "$image" >/dev/null 2>&1
    ntfs-3g -o no_detach "$image" "$cache/mnt" 2>/dev/null &
    local pid=$!
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
    echo "$sum" > "$stamp"
  fi
  echo "$image"
}

# Seconds and peak KiB of a command, from /usr/bin/time -v.
measure() {
  /usr/bin/time -v "$@" 2>"$out/time.txt" >"$out/stdout.txt" || { cat "$out/time.txt" >&2; exit 1; }
  awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; printf "%s ", s}
              /Maximum resident set size/ {print $2}' "$out/time.txt"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

