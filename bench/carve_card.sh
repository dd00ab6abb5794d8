#!/usr/bin/env bash
# Carving a reformatted 1 GiB card beside PhotoRec. The card (FAT32, 8 KiB
# clusters) is first filled with old data (random bytes, old photos and text),
# quick-formatted, then filled with the files a camera or phone card holds
# (photos with and without thumbnails, videos, sound, documents, archives),
# and quick-formatted again. Files are written by mtools, which leaves the old
# data in each last cluster's slack. Both tools carve the whole image; a file
# counts as brought back when one of the tool's files is byte for byte equal
# to it. Prints the counts and the times, and the times as ratios to
# `cat image > /dev/null`. PhotoRec (Debian package testdisk) is installed
# when missing and run as a black box.
#   bench/carve_card.sh BUILD_DIR
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
bench_start "${1:-}" cli/tarnwick-cli
cache="$build/bench-cache/card"
image="$cache/card.img"
rival photorec testdisk ||
  { echo "carve_card: PhotoRec missing; as root: apt-get install -y testdisk" >&2; exit 1; }

# The card, rebuilt when the way it is made changes.
build_card() {
  echo "building the 1 GiB reformatted card (once)"
  rm -rf "$cache"
  mkdir -p "$cache/pool" "$cache/new" "$cache/old"
  "$here/../tests/fixtures/build_carving.sh" "$cache/pool" >/dev/null
  pool="$cache/pool/carving.files"
  new="$cache/new"
  ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }
  # The files of the card, each one different.
  for i in $(seq 1 60); do
    w=$((800 + (i * 97) % 1600)); h=$((600 + (i * 61) % 1200))
    convert -seed "$i" -size "${w}x${h}" plasma:fractal -quality $((75 + i % 20)) "$new/photo$i.jpg"
  done
  for i in $(seq 1 12); do
    convert -seed "$((100 + i))" -size "$((300 + i * 40))x$((200 + i * 30))" plasma:fractal "$new/shot$i.png"
  done
  for i in 1 2 3 4; do
    convert -seed "$((200 + i))" -size "$((400 + i * 50))x300" plasma:fractal "$new/pic$i.webp"
    convert -seed "$((300 + i))" -size "$((200 + i * 40))x200" plasma:fractal "$new/pic$i.heic"
    convert -seed "$((400 + i))" -size 160x120 plasma:fractal -colors 64 "$new/anim$i.gif"
  done
  for i in $(seq 1 10); do
    ff -f lavfi -i "testsrc=size=640x360:rate=25" -f lavfi -i "sine=frequency=$((200 + i * 30))" \
      -t $((3 + i)) -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$new/video$i.mp4"
  done
  for i in 1 2 3; do
    ff -f lavfi -i "testsrc2=size=480x270:rate=25" -t $((4 + i)) -c:v mpeg4 -f mov "$new/clip$i.mov"
    ff -f lavfi -i "testsrc2=size=480x270:rate=25" -t $((3 + i)) -c:v mpeg4 -f matroska "$new/clip$i.mkv"
    ff -f lavfi -i "testsrc=size=352x288:rate=25" -t $((3 + i)) -c:v mpeg1video -f mpeg "$new/clip$i.mpg"
  done
  for i in $(seq 1 10); do
    ff -f lavfi -i "sine=frequency=$((300 + i * 40)):duration=$((20 + i * 3))" -ac 2 -c:a libmp3lame \
      -b:a 128k -metadata title="song $i" -write_id3v1 1 "$new/song$i.mp3"
  done
  for i in 1 2 3 4; do
    ff -f lavfi -i "sine=frequency=$((500 + i * 50)):duration=$((10 + i * 5))" -c:a libvorbis "$new/tune$i.ogg"
    ff -f lavfi -i "sine=frequency=$((700 + i * 50)):duration=$((5 + i * 3))" -c:a flac "$new/take$i.flac"
  done
  python3 - "$cache" <<'EOF'
import os, random, struct, subprocess, sys, zipfile, sqlite3
cache = sys.argv[1]
new, old, pool = (os.path.join(cache, d) for d in ("new", "old", "pool/carving.files"))
rnd = random.Random(17)
words = b"card photo holiday report music video data sector cluster file river stone lamp "
def text(n):
    return b"".join(rnd.choice(words.split()) + b" " for _ in range(n // 6 + 1))[:n]
# Camera photos: an Exif segment with a thumbnail (a JPEG inside the JPEG).
thumb = open(os.path.join(pool, "photo.jpg"), "rb").read()
for i in range(1, 31):
    jfif = open(os.path.join(new, "photo%d.jpg" % i), "rb").read()
    tiff = b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", 0) + b"\0\0\0\0"
    app1 = b"Exif\0\0" + tiff + thumb
    seg = b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1
    app0_len = struct.unpack(">H", jfif[4:6])[0]
    with open(os.path.join(new, "camera%d.jpg" % i), "wb") as f:
        f.write(b"\xff\xd8" + seg + jfif[4 + app0_len:])
    os.remove(os.path.join(new, "photo%d.jpg" % i))
# Documents: PDFs with an incremental update (two end markers), archives,
# office files, databases, scripts.
for i in range(1, 9):
    body = text(20000 + i * 7000)
    pdf = b"%%PDF-1.4\n1 0 obj\n<< /Length %d >>\nstream\n" % len(body) + body + b"\nendstream\nendobj\n"
    pdf += b"trailer\n<< /Root 1 0 R >>\n%%EOF\n"
    pdf += b"2 0 obj\n(update %d)\nendobj\ntrailer\n<< /Prev 9 >>\n%%%%EOF\n" % i
    open(os.path.join(new, "report%d.pdf" % i), "wb").write(pdf)
for i in range(1, 7):
    with zipfile.ZipFile(os.path.join(new, "bundle%d.zip" % i), "w", zipfile.ZIP_DEFLATED) as z:
        for k in range(3 + i):
            z.writestr("part%d.txt" % k, text(30000 + k * 1000))
        z.writestr("raw.bin", rnd.randbytes(20000 * i))
        z.comment = b"bundle %d" % i
    with zipfile.ZipFile(os.path.join(new, "letter%d.docx" % i), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", '<?xml version="1.0"?><Types/>')
        z.writestr("word/document.xml", b"<w:document>" + text(40000 + i * 5000) + b"</w:document>")
        z.writestr("word/media/image1.png", open(os.path.join(pool, "picture.png"), "rb").read())
for i in range(1, 4):
    path = os.path.join(new, "notes%d.db" % i)
    if os.path.exists(path):
        os.remove(path)
    db = sqlite3.connect(path)
    db.execute("create table t(a integer, b text, c blob)")
    db.executemany("insert into t values (?,?,?)",
                   [(k, text(200).decode(), rnd.randbytes(300)) for k in range(200 * i)])
    db.commit()
    db.close()
for i in range(1, 6):
    lines = b"".join(b"cp /home/user/IMG_%04d.JPG /media/card/DCIM/ # %s\n" % (k, text(40)) for k in range(100 * i))
    open(os.path.join(new, "sync%d.sh" % i), "wb").write(b"#!/bin/sh\n" + lines)
# Old data: random bytes, old photos and old text, enough to fill the card.
old_jpg = open(os.path.join(pool, "big.jpg"), "rb").read()
total, k = 0, 0
while total < 950 << 20:
    k += 1
    kind = k % 4
    if kind == 0:
        blob = old_jpg[: len(old_jpg) - rnd.randrange(1, 1000)]
    elif kind == 1:
        blob = text(rnd.randrange(50000, 400000))
    else:
        blob = rnd.randbytes(rnd.randrange(1 << 20, 12 << 20))
    open(os.path.join(old, "old%05d.bin" % k), "wb").write(blob)
    total += len(blob)
EOF
  truncate -s 1G "$image"
  mkfs.fat -F 32 -s 16 -n CARD "$image" >/dev/null
  # Old files until the card is full (the last one may not fit).
  for f in "$cache/old"/*; do mcopy -i "$image" "$f" "::$(basename "$f")" 2>/dev/null || break; done
  mkfs.fat -F 32 -s 16 -n CARD "$image" >/dev/null
  mmd -i "$image" ::DCIM ::DCIM/100CARD
  # The card's files in a shuffled order, then a quick format.
  ls "$cache/new" | python3 -c "import random,sys; n=sys.stdin.read().split(); random.Random(5).shuffle(n); print('\n'.join(n))" \
    >"$cache/order.txt"
  while read -r f; do mcopy -i "$image" "$cache/new/$f" "::DCIM/100CARD/$f"; done <"$cache/order.txt"
  mkfs.fat -F 32 -s 16 -n CARD "$image" >/dev/null
  rm -rf "$cache/old"
}
cached "$cache/.stamp" build_card "$here/../tests/fixtures/build_carving.sh"

# How many of the card's files a folder of recovered files holds byte for byte.
exact() {
  python3 - "$cache/new" "$1" <<'EOF'
import hashlib, os, sys
def digests(folder):
    d = set()
    for root, _, files in os.walk(folder):
        for f in files:
            d.add(hashlib.sha1(open(os.path.join(root, f), "rb").read()).digest())
    return d
want = {}
for f in os.listdir(sys.argv[1]):
    want[f] = hashlib.sha1(open(os.path.join(sys.argv[1], f), "rb").read()).digest()
got = digests(sys.argv[2])
print(sum(1 for d in want.values() if d in got), len(want))
EOF
}

measure_ok=1  # 1: some files could not be saved
read -r cat_s _ < <(cat_hot "$image")
read -r tw_s _ < <(measure "$cli" scan "$image" --mode carve --recover "$out/tarnwick")
mkdir -p "$out/photorec"
# PhotoRec writes its log into the folder it runs in.
read -r pr_s _ < <(cd "$out" && measure photorec /log /d "$out/photorec/recup" /cmd "$image" \
  partition_none,fileopt,everything,enable,search)
read -r tw_ok total <<<"$(exact "$out/tarnwick")"
read -r pr_ok _ <<<"$(exact "$out/photorec")"
echo "carving a reformatted 1 GiB card ($total files written, then the card quick-formatted)"
printf '  cat image > /dev/null                  %7.2f s\n' "$cat_s"
printf '  tarnwick-cli scan --mode carve + save  %7.2f s (x%s cat)  byte for byte: %d of %d\n' \
  "$tw_s" "$(ratio "$tw_s" "$cat_s")" "$tw_ok" "$total"
printf '  photorec, every type, whole image      %7.2f s (x%s cat)  byte for byte: %d of %d\n' \
  "$pr_s" "$(ratio "$pr_s" "$cat_s")" "$pr_ok" "$total"
echo "  tarnwick time / photorec time: $(ratio "$tw_s" "$pr_s")"
