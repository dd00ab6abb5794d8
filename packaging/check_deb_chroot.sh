#!/usr/bin/env bash
# Installs the package on a clean Debian 12 (a debootstrap chroot, made once and
# copied afresh for every run), runs both programs from their installed place,
# then purges the package and checks nothing of it is left.
#   check_deb_chroot.sh DEB CACHE_DIR
# Needs root and the network (the chroot and the package's dependencies). Not
# part of `make test`; `make package-check` runs it.
set -euo pipefail
deb=$(realpath "$1")
cache=$(realpath -m "$2")
base=$cache/bookworm
root=$cache/run

if [ ! -x "$base/usr/bin/apt-get" ]; then
  rm -rf "$base"
  debootstrap --variant=minbase bookworm "$base" http://deb.debian.org/debian
fi

# Mounts below $root, deepest first.
mounted() { awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/mounts | sort -r; }
unmount_all() {
  local m tries
  for tries in 1 2 3 4 5; do
    [ -z "$(mounted)" ] && return 0
    for m in $(mounted); do umount "$m" 2>/dev/null || true; done
  done
  for m in $(mounted); do umount -l "$m" || true; done
  [ -z "$(mounted)" ]
}
# Never delete a tree that still has something mounted in it.
unmount_all || { echo "cannot unmount below $root" >&2; exit 1; }
rm -rf "$root"
cp -a "$base" "$root"
trap 'unmount_all || echo "still mounted below $root" >&2' EXIT
mount -t proc proc "$root/proc"
mount -t sysfs -o ro sysfs "$root/sys"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root \
              DEBIAN_FRONTEND=noninteractive "$@"; }

echo "== apt-get install ./$(basename "$deb")"
in_root apt-get update -qq
in_root sh -c "cd /tmp && apt-get install -y -qq ./$(basename "$deb") >/dev/null"
in_root dpkg -s tarnwick | grep -E '^(Status|Version|Depends):'
echo "== run from the installed place"
in_root /usr/bin/tarnwick-cli --version
in_root /usr/bin/tarnwick --version
in_root /usr/bin/tarnwick-cli disks
echo "tarnwick-cli disks: status $?"
# A disk image with one partition in its master boot record, shown as disk 0.
mkdir -p "$root/tmp/disks"
python3 -c 'import struct, sys
img = bytearray(4 << 20)
img[446:462] = struct.pack("<B3sB3sII", 0, bytes(3), 0x0C, bytes(3), 2048, 6144)
img[510:512] = b"\x55\xaa"
open(sys.argv[1], "wb").write(img)' "$root/tmp/disks/disk0"
listed=$(in_root env TARNWICK_DISK_DIR=/tmp/disks /usr/bin/tarnwick-cli disks)
echo "$listed"
[ "$(cut -f1-4 <<<"$listed")" = "$(printf '/dev/disk0\t1\t2048\t8191')" ] ||
  { echo "tarnwick-cli disks did not list the image's partition" >&2; exit 1; }
files=$(in_root dpkg -L tarnwick)
# What a root scan leaves behind, for the purge to remove.
in_root mkdir -p /var/lib/tarnwick/ScanLog/1

echo "== apt-get purge tarnwick"
in_root apt-get purge -y -qq tarnwick 2>&1 | grep -v "/dev/pts" || true
left=0
if in_root dpkg -s tarnwick >/dev/null 2>&1; then echo "still known to dpkg" >&2; left=1; fi
# Folders shared with other packages (/usr/share/icons/hicolor/16x16, ...) stay.
for f in $files /var/lib/tarnwick; do
  if [ -e "$root$f" ] && { [ ! -d "$root$f" ] || [[ $f == *tarnwick* ]]; }; then
    echo "left behind: $f" >&2
    left=1
  fi
done
[ $left = 0 ] && echo "installed, ran and purged cleanly on $(cat "$root/etc/debian_version")"
exit $left
