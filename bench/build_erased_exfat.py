#!/usr/bin/env python3
"""A large, mostly empty exFAT card, and its twin with the free space erased.

build_erased_exfat.py card IMAGE GIB   a sparse card of GIB GiB (32 KiB
    clusters) formatted by mkfs.exfat, with 600 files of 100 KB to 1 MB in 6
    folders written by the fixtures' exFAT writer (tests/fixtures/
    build_exfat.py), every third of them deleted: only what was written takes
    room on the disk.
build_erased_exfat.py erase IMAGE   every cluster the allocation bitmap gives as
    free is written with 0xFF, as flash memory reads after an erase (IMAGE
    then takes its whole size on the disk).
"""
import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests',
                                'fixtures'))
import build_exfat  # noqa: E402
from build_scale_exfat import fresh_volume  # noqa: E402

CHUNK = 8 << 20


def card(img, gib):
    vol = fresh_volume(img, gib << 30, 32768)
    hint = 2
    # Spread over the card: each folder's files start further in.
    for d in range(6):
        vol.mkdir(f'DCIM{d}')
        hint = 2 + d * (vol.count // 6)
        for i in range(100):
            data = random.Random(d * 100 + i).randbytes(100_000 + (i * 7919) % 900_000)
            clusters = vol.write(f'DCIM{d}/IMG_{i:04}.bin', data, hint=hint)
            hint = clusters[-1] + 1
    for d in range(6):
        for i in range(0, 100, 3):
            vol.delete(f'DCIM{d}/IMG_{i:04}.bin')
    vol.seal_boot_regions()
    vol.close()


def erase(img):
    vol = build_exfat.Volume(img)
    bitmap = bytes(vol.m[vol.bitmap_off:vol.bitmap_off + (vol.count + 7) // 8])
    heap, cs, count = vol.heap, vol.cs, vol.count
    vol.close()
    ones = b'\xff' * CHUNK
    with open(img, 'r+b') as f:
        c = 0
        while c < count:
            if bitmap[c // 8] >> (c % 8) & 1:
                c += 1
                continue
            end = c
            while end < count and not bitmap[end // 8] >> (end % 8) & 1:
                end += 1
            off, left = heap + c * cs, (end - c) * cs
            f.seek(off)
            while left:
                n = min(left, CHUNK)
                f.write(ones[:n])
                left -= n
            c = end


def main():
    if sys.argv[1] == 'card':
        card(sys.argv[2], int(sys.argv[3]))
    else:
        erase(sys.argv[2])
    check = subprocess.run(['fsck.exfat', '-n', sys.argv[2]], capture_output=True, text=True)
    if check.returncode != 0:
        raise SystemExit(f'fsck.exfat finds faults:\n{check.stdout}{check.stderr}')


if __name__ == '__main__':
    main()
