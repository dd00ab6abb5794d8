#!/usr/bin/env python3
"""A FAT32 volume with a million files, written without mounting anything.

build_scale_fat32.py IMAGE FILES FOLDERS

mkfs.fat formats IMAGE (512-byte clusters, room for every file); the folders
and files are then written straight into it the way a FAT driver does: long
names with their checksums, 8.3 names, FAT chains, one cluster of data per
file. FILES files go into FOLDERS folders of the root ("Folder 00000"), named
"IMG_0000000.jpg", each a small JPEG (a COM segment makes every file its own).
Every tenth file is then deleted: its entries get the 0xE5 mark and its FAT
entry is freed, its data stays. IMAGE.manifest lists one line per deleted file:
the SHA-1 of its data, a tab, its path.
"""
import hashlib
import mmap
import os
import struct
import subprocess
import sys

CLUSTER = 512
EOC = 0x0FFFFFFF
DATE = ((2024 - 1980) << 9) | (3 << 5) | 14  # 2024-03-14
TIME = (12 << 11) | (30 << 5)
# A JPEG of 8x8 grey pixels: SOI, APP0 JFIF, DQT, SOF0, DHT, SOS, EOI, as any
# encoder writes them (the COM segment goes after APP0).
JPEG_HEAD = bytes.fromhex(
    'ffd8ffe000104a46494600010100000100010000')
JPEG_TAIL = bytes.fromhex(
    'ffdb004300080606070605080707070909080a0c140d0c0b0b0c1912130f141d1a1f1e1d1a1c1c20242e'
    '2720222c231c1c2837292c30313434341f27393d38323c2e333432'
    'ffc0000b080008000801011100'
    'ffc4001f0000010501010101010100000000000000000102030405060708090a0b'
    'ffda0008010100003f00d2cf20ffd9')


def jpeg(i):
    text = f'tarnwick scale file {i} '.encode() * (1 + i % 9)
    com = b'\xff\xfe' + struct.pack('>H', len(text) + 2) + text
    return JPEG_HEAD + com + JPEG_TAIL


def short_checksum(name11):
    s = 0
    for c in name11:
        s = (((s & 1) << 7) + (s >> 1) + c) & 0xFF
    return s


def entries(long_name, short11, attr, cluster, size):
    """The long-name entries (last first) and the 8.3 entry of one name."""
    units = [ord(c) for c in long_name] + [0]
    n = (len(units) + 12) // 13
    units += [0xFFFF] * (n * 13 - len(units))
    csum = short_checksum(short11)
    out = bytearray()
    for seq in range(n, 0, -1):
        part = units[(seq - 1) * 13:seq * 13]
        e = bytearray(32)
        e[0] = seq | (0x40 if seq == n else 0)
        struct.pack_into('<5H', e, 1, *part[0:5])
        e[11] = 0x0F
        e[13] = csum
        struct.pack_into('<6H', e, 14, *part[5:11])
        struct.pack_into('<2H', e, 28, *part[11:13])
        out += e
    e = bytearray(32)
    e[0:11] = short11
    e[11] = attr
    struct.pack_into('<HHHHHHHI', e, 14, TIME, DATE, DATE, cluster >> 16, TIME, DATE,
                     cluster & 0xFFFF, size)
    # The fields above in place: create time/date, access date, high cluster,
    # write time/date, low cluster, size (offsets 14 to 31).
    out += e
    return out


def dot_entries(own, parent):
    dot = bytearray(32)
    dot[0:11] = b'.          '
    dot[11] = 0x10
    struct.pack_into('<HHHHHHHI', dot, 14, TIME, DATE, DATE, own >> 16, TIME, DATE,
                     own & 0xFFFF, 0)
    dotdot = bytearray(dot)
    dotdot[0:11] = b'..         '
    struct.pack_into('<H', dotdot, 20, parent >> 16)
    struct.pack_into('<H', dotdot, 26, parent & 0xFFFF)
    return dot + dotdot


def main():
    img, files, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    per = (files + folders - 1) // folders
    dir_bytes = 64 + per * 96
    dir_clusters = (dir_bytes + CLUSTER - 1) // CLUSTER
    root_clusters = (folders * 64 + CLUSTER - 1) // CLUSTER
    clusters = root_clusters + folders * dir_clusters + files
    mib = (clusters * CLUSTER * 105 // 100 + 16 * 2**20) >> 20
    if os.path.exists(img):
        os.unlink(img)
    with open(img, 'wb') as f:
        f.truncate(mib << 20)
    subprocess.run(['mkfs.fat', '-F', '32', '-s', '1', '-S', '512', '-n', 'SCALE', img],
                   check=True, stdout=subprocess.DEVNULL)
    with open(img, 'r+b') as f:
        m = mmap.mmap(f.fileno(), 0)
    bps, spc, reserved, nfats = struct.unpack_from('<HBHB', m, 11)
    fat_sectors = struct.unpack_from('<I', m, 36)[0]
    root_cluster = struct.unpack_from('<I', m, 44)[0]
    assert bps == 512 and spc == 1 and root_cluster == 2
    fat0 = reserved * bps
    data0 = (reserved + nfats * fat_sectors) * bps
    total_clusters = (len(m) - data0) // CLUSTER
    assert clusters + 2 <= total_clusters, 'volume too small'
    fat = bytearray(m[fat0:fat0 + fat_sectors * bps])

    def chain(first, count):
        for c in range(first, first + count - 1):
            struct.pack_into('<I', fat, 4 * c, c + 1)
        struct.pack_into('<I', fat, 4 * (first + count - 1), EOC)

    def put(cluster, data):
        off = data0 + (cluster - 2) * CLUSTER
        m[off:off + len(data)] = data

    nxt = 2
    root = nxt
    nxt += root_clusters
    chain(root, root_clusters)
    root_data = bytearray()
    manifest = []
    index = 0
    for d in range(folders):
        own = nxt
        nxt += dir_clusters
        chain(own, dir_clusters)
        root_data += entries(f'Folder {d:05}', f'D{d:07}   '.encode(), 0x10, own, 0)
        body = bytearray(dot_entries(own, 0))
        for _ in range(per):
            if index >= files:
                break
            data = jpeg(index)
            cl = nxt
            nxt += 1
            put(cl, data)
            name = f'IMG_{index:07}.jpg'
            ents = entries(name, f'F{index:07}JPG'.encode(), 0x20, cl, len(data))
            if index % 10 == 0:
                for k in range(0, len(ents), 32):
                    ents[k] = 0xE5
                manifest.append(f'{hashlib.sha1(data).hexdigest()}\tFolder {d:05}/{name}')
            else:
                struct.pack_into('<I', fat, 4 * cl, EOC)
            body += ents
            index += 1
        body += bytes(dir_clusters * CLUSTER - len(body))
        put(own, body)
    root_data += bytes(root_clusters * CLUSTER - len(root_data))
    put(root, root_data)
    for k in range(nfats):
        m[fat0 + k * fat_sectors * bps:fat0 + (k + 1) * fat_sectors * bps] = fat
    # FSInfo: free count and next free unknown.
    fsinfo = struct.unpack_from('<H', m, 48)[0] * bps
    struct.pack_into('<II', m, fsinfo + 488, 0xFFFFFFFF, 0xFFFFFFFF)
    m.flush()
    m.close()
    with open(img + '.manifest', 'w') as f:
        f.write('\n'.join(manifest) + '\n')


if __name__ == '__main__':
    main()
