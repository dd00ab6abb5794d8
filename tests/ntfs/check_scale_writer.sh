#!/usr/bin/env bash
# A small instance of the scale benchmark's NTFS volume (2,000 files in 20
# folders, every tenth deleted), written by bench/build_scale_ntfs.py: the fast
# scan lists every deleted file under its folder and nothing else, recovers each
# byte for byte, and leaves the image as it was. ntfs-3g's tools, where
# installed, find the live files through the folders' indexes.
# check_scale_writer.sh TARNWICK_CLI BUILD_SCALE_NTFS_PY
set -euo pipefail
cli=$1 writer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TARNWICK_SUPPORT_DIR="$work/support" LC_ALL=C
mkdir -p "$TARNWICK_SUPPORT_DIR"
img="$work/ntfs.img"
python3 "$writer" "$img" 2000 20
[ "$(wc -l <"$img.manifest")" = 200 ] || { echo "manifest: $(wc -l <"$img.manifest") lines"; exit 1; }
before=$(sha1sum <"$img")

"$cli" scan "$img" --mode fast --list >"$work/list.txt"
if ! diff <(cut -f2 "$img.manifest" | sort) <(tail -n +2 "$work/list.txt" | cut -f4 | sort); then
  echo "the fast listing differs from the deleted files (< deleted, > listed)"
  exit 1
fi

"$cli" scan "$img" --mode fast --recover "$work/out" >/dev/null
if ! diff <(cut -f1 "$img.manifest" | sort) \
          <(find "$work/out" -type f -print0 | xargs -0 sha1sum | cut -d' ' -f1 | sort); then
  echo "the recovered files differ from the deleted ones (< deleted, > recovered)"
  exit 1
fi
[ "$(sha1sum <"$img")" = "$before" ] || { echo "the image changed"; exit 1; }

if command -v ntfsls >/dev/null && command -v ntfscat >/dev/null; then
  live=$(ntfsls -p "/Folder 00007" "$img" | grep -c '^File ')
  [ "$live" = 90 ] || { echo "ntfsls lists $live files in Folder 00007, not 90"; exit 1; }
  ntfscat "$img" "/Folder 00019/File 0001999.bin" | head -c 32 |
    grep -qx 'tarnwick ntfs scale file 0001999' || { echo "ntfscat cannot read a live file"; exit 1; }
fi
echo "ok"
