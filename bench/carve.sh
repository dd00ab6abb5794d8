#!/usr/bin/env bash
# Carving benchmark: `tarnwick-cli scan --mode carve` over a 1 GiB image of
# mixed files (built once and cached), against a plain sequential read of the
# same image. Prints time and peak memory as ratios to `cat image > /dev/null`,
# and how many files whose size comes from a header or an end marker were
# recovered byte for byte.
#   bench/carve.sh BUILD_DIR
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
bench_start "${1:-}" cli/tarnwick-cli
cache="$build/bench-cache/carve"
image="$cache/mixed.img"

build_image() {
  echo "building the 1 GiB carving image (once)"
  rm -rf "$cache"
  mkdir -p "$cache/pool"
  "$here/../tests/fixtures/build_carving.sh" "$cache/pool" >/dev/null
  pool="$cache/pool/carving.files"
  # Larger files of the kinds a card holds.
  for i in 1 2 3 4 5 6; do
    convert -seed "$i" -size 2000x1500 plasma:fractal -quality 92 "$pool/large$i.jpg"
  done
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=640x360:rate=25 -t 20 \
    -c:v libx264 -pix_fmt yuv420p "$pool/large.mp4"
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=frequency=300:duration=30 \
    -ac 2 -ar 44100 -c:a pcm_s16le "$pool/large.wav"
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 20 \
    -c:v mpeg4 "$pool/large.avi"
  head -c 3000000 /dev/urandom | base64 >"$cache/big.txt"
  (cd "$cache" && zip -q -X "$pool/large.zip" big.txt && rm big.txt)
  python3 - "$cache" <<'EOF'
import os, random, sys
cache = sys.argv[1]
pool = os.path.join(cache, "pool", "carving.files")
SECTOR = 512
TARGET = 1 << 30
rnd = random.Random(99)
how = {}
for line in open(os.path.join(cache, "pool", "carving.layout")):
    f = line.split()
    if f[1] == "file" and not f[5].startswith(("again_", "slack_")):
        how[f[5]] = (f[2], f[4])
how.update({"large%d.jpg" % i: ("jpg", "exact") for i in range(1, 7)})
how.update({"large.mp4": ("mp4", "walk"), "large.wav": ("wav", "exact"),
            "large.avi": ("avi", "exact"), "large.zip": ("zip", "exact")})
del how["huge.bmp"]
names = sorted(how)
blobs = {n: open(os.path.join(pool, n), "rb").read() for n in names}
text = (b"card photo holiday report music video data sector cluster file " * 200)[:SECTOR * 16]
fatdir = open(os.path.join(cache, "pool", "carving.img"), "rb").read()
# A FAT directory sector of the fixture image.
for line in open(os.path.join(cache, "pool", "carving.layout")):
    f = line.split()
    if f[1] == "fatdir":
        at = int(f[0]) * SECTOR
        fatdir = fatdir[at:at + SECTOR]
        break
pos = 0
manifest = []
with open(os.path.join(cache, "mixed.img"), "wb") as img:
    while pos < TARGET - (16 << 20):
        n = rnd.choice(names)
        blob = blobs[n]
        ext, h = how[n]
        manifest.append("%d file %s %d %s %s" % (pos // SECTOR, ext, len(blob), h, n))
        pad = (-len(blob)) % SECTOR
        img.write(blob + b"\0" * pad)
        pos += len(blob) + pad
        r = rnd.randrange(10)
        if r < 3:
            img.write(fatdir)
            pos += SECTOR
        elif r < 6:
            k = rnd.randrange(1, 16)
            img.write(text[:k * SECTOR])
            pos += k * SECTOR
        else:
            k = rnd.randrange(0, 8)
            img.write(b"\0" * (k * SECTOR))
            pos += k * SECTOR
    img.write(b"\0" * (TARGET - pos))
with open(os.path.join(cache, "mixed.manifest"), "w") as f:
    f.write("\n".join(manifest) + "\n")
EOF
}
cached "$cache/.stamp" build_image "$here/../tests/fixtures/build_carving.sh"

measure_ok=1  # 1: some files could not be saved
res=$(cat_hot "$image")
read -r cat_s cat_kb <<<"$res"
res=$(measure "$cli" scan "$image" --mode carve)
read -r scan_s scan_kb <<<"$res"
res=$(measure "$cli" scan "$image" --mode carve --recover "$out/recovered")
read -r rec_s rec_kb <<<"$res"

# Placed files brought back byte for byte, found by the sector in the names a
# tool gives: "<sector>.<ext>" (Tarnwick), "f<sector>[_name].<ext>" (PhotoRec).
# Prints the count among the files sized from a header or an end marker, their
# number, the count among all placed files, and their number.
count_exact() {
  python3 - "$cache" "$1" <<'EOF'
import hashlib, os, re, sys
cache, rec = sys.argv[1], sys.argv[2]
pool = os.path.join(cache, "pool", "carving.files")
found = {}
for root, _, files in os.walk(rec):
    for f in files:
        m = re.match(r"f?(\d+)[._]", f)
        if m:
            found.setdefault(int(m.group(1)), []).append(os.path.join(root, f))
def sha(path):
    return hashlib.sha1(open(path, "rb").read()).digest()
ok = total = ok_all = total_all = 0
digest = {}
for line in open(os.path.join(cache, "mixed.manifest")):
    sector, _, ext, size, how, name = line.split()
    if name not in digest:
        digest[name] = sha(os.path.join(pool, name))
    hit = any(sha(p) == digest[name] for p in found.get(int(sector), []))
    total_all += 1
    ok_all += hit
    if how == "exact":
        total += 1
        ok += hit
print("%d %d %d %d" % (ok, total, ok_all, total_all))
EOF
}
exact=$(count_exact "$out/recovered")
read -r ok total ok_all total_all <<<"$exact"
echo "carving, 1 GiB image of mixed files ($(wc -l <"$cache/mixed.manifest") files placed)"
printf '  cat image > /dev/null     %6.2f s  %8d KiB peak\n' "$cat_s" "$cat_kb"
printf '  scan --mode carve         %6.2f s  %8d KiB peak  (time x%s, memory x%s)\n' \
  "$scan_s" "$scan_kb" "$(ratio "$scan_s" "$cat_s" 1)" "$(ratio "$scan_kb" "$cat_kb" 1)"
printf '  scan --mode carve + save  %6.2f s  %8d KiB peak  (time x%s, memory x%s)\n' \
  "$rec_s" "$rec_kb" "$(ratio "$rec_s" "$cat_s" 1)" "$(ratio "$rec_kb" "$cat_kb" 1)"
echo "  recovered byte for byte: $ok of $total files sized from a header or an end marker," \
  "$ok_all of $total_all placed files"
# PhotoRec (Debian package testdisk) on the same image, as a black box.
if rival photorec testdisk; then
  mkdir -p "$out/photorec"
  res=$(cd "$out" && measure photorec /log /d "$out/photorec/recup" /cmd "$image" \
    partition_none,fileopt,everything,enable,search)
  read -r pr_s pr_kb <<<"$res"
  read -r pr_ok _ pr_all _ <<<"$(count_exact "$out/photorec")"
  printf '  photorec, every type      %6.2f s  %8d KiB peak  (time x%s; tarnwick + save x%s of it)\n' \
    "$pr_s" "$pr_kb" "$(ratio "$pr_s" "$cat_s" 1)" "$(ratio "$rec_s" "$pr_s" 1)"
  echo "  photorec byte for byte: $pr_ok of $total files sized from a header or an end marker," \
    "$pr_all of $total_all placed files"
else
  echo "  photorec: not installed (apt-get install testdisk) - no comparison"
fi
