#!/usr/bin/env python3
"""An exFAT card with 200,000 files, written without mounting anything.

build_scale_exfat.py IMAGE FILES FOLDERS MIB

mkfs.exfat formats IMAGE (MIB MiB, 4 KiB clusters); the tested exFAT writer of
the fixtures (tests/fixtures/build_exfat.py) writes FILES files of 1 to 4 KB in
FOLDERS folders ("Folder 00000/File 0000000.bin") and deletes every tenth.
fsck.exfat checks the card. IMAGE.manifest lists one line per deleted file:
the SHA-1 of its data, a tab, its path.
"""
import hashlib
import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests',
                                'fixtures'))
import build_exfat  # noqa: E402


def fresh_volume(img, size, cluster):
    """IMAGE made anew as a sparse file of SIZE bytes, formatted by mkfs.exfat
    with clusters of CLUSTER bytes, opened for writing."""
    if os.path.exists(img):
        os.unlink(img)
    with open(img, 'wb') as f:
        f.truncate(size)
    subprocess.run(['mkfs.exfat', '-c', str(cluster), img], check=True, stdout=subprocess.DEVNULL)
    return build_exfat.Volume(img)


def main():
    img, files, folders, mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    per = (files + folders - 1) // folders
    vol = fresh_volume(img, mib << 20, 4096)
    manifest = []
    hint = 2
    for i in range(files):
        folder = f'Folder {i // per:05}'
        if i % per == 0:
            vol.mkdir(folder)
        data = random.Random(i).randbytes(1000 + (i * 7919) % 3000)
        path = f'{folder}/File {i:07}.bin'
        clusters = vol.write(path, data, hint=hint)
        hint = clusters[-1] + 1 if clusters else hint
        if i % 10 == 0:
            manifest.append(f'{hashlib.sha1(data).hexdigest()}\t{path}')
    for line in manifest:
        vol.delete(line.split('\t', 1)[1])
    vol.seal_boot_regions()
    vol.close()
    check = subprocess.run(['fsck.exfat', '-n', img], capture_output=True, text=True)
    if check.returncode != 0:
        raise SystemExit(f'fsck.exfat finds faults:\n{check.stdout}{check.stderr}')
    with open(img + '.manifest', 'w') as f:
        f.write('\n'.join(manifest) + '\n')


if __name__ == '__main__':
    main()
