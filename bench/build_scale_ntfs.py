#!/usr/bin/env python3
"""An NTFS volume with a million files, written without mounting anything.

build_scale_ntfs.py IMAGE FILES FOLDERS

mkntfs formats IMAGE (512-byte sectors and clusters, room for every file); the
folders and files are then written straight into it the way an NTFS driver
leaves them: MFT records with their update-sequence fix-ups ($STANDARD_INFO,
$FILE_NAME, $DATA; directories $INDEX_ROOT, $INDEX_ALLOCATION and the $I30
bitmap), $MFT grown by a run with its record bitmap, $MFTMirr, the cluster
bitmap $Bitmap, and each folder's index as a B-tree in the up-case order of
the names, in INDX blocks of 4 KiB when the entries do not fit the record.
FILES files go into FOLDERS folders of the root ("Folder 00000/File
0000000.bin"), 300 to 2,800 bytes each, one in a hundred small enough to stay
resident in its record. Every tenth file is then deleted as NTFS deletes: the
record's in-use flag cleared (its sequence number moves on), its bits in the
MFT bitmap and $Bitmap cleared, its entry gone from the folder's index; its
data stays. IMAGE.manifest lists one line per deleted file: the SHA-1 of its
data, a tab, its path.
"""
import bisect
import hashlib
import mmap
import os
import random
import re
import struct
import subprocess
import sys

SECTOR = 512
CLUSTER = 512
RECORD = 1024
BLOCK = 4096
BLOCK_CLUSTERS = BLOCK // CLUSTER
FILETIME = 133548570000000000  # 2024-03-14 12:30 UTC
SECURITY_ID = 0x100  # the first descriptor mkntfs puts in $Secure
END = struct.pack('<II', 0xFFFFFFFF, 0)
UPCASE = {c: c - 32 for c in range(ord('a'), ord('z') + 1)}


def align8(n):
    return (n + 7) & ~7


# --- update sequences -------------------------------------------------------

def protect(buf, size, usn):
    """Fix-up before writing: each sector's last two bytes go to the update
    sequence array (at 0x30 in records, 0x28 in INDX blocks) and are replaced by
    the update sequence number."""
    usa = struct.unpack_from('<H', buf, 4)[0]
    struct.pack_into('<H', buf, usa, usn)
    for i in range(size // SECTOR):
        end = (i + 1) * SECTOR - 2
        buf[usa + 2 + 2 * i:usa + 4 + 2 * i] = buf[end:end + 2]
        struct.pack_into('<H', buf, end, usn)


def unprotect(buf, size):
    usa = struct.unpack_from('<H', buf, 4)[0]
    usn = buf[usa:usa + 2]
    for i in range(size // SECTOR):
        end = (i + 1) * SECTOR - 2
        assert buf[end:end + 2] == usn, 'torn record'
        buf[end:end + 2] = buf[usa + 2 + 2 * i:usa + 4 + 2 * i]
    return struct.unpack_from('<H', usn)[0]


# --- run lists --------------------------------------------------------------

def encode_runs(runs):
    out = bytearray()
    prev = 0
    for lcn, n in runs:
        length = n.to_bytes((n.bit_length() + 8) // 8, 'little')
        delta = lcn - prev
        size = 1
        while not -(1 << (8 * size - 1)) <= delta < (1 << (8 * size - 1)):
            size += 1
        out.append(size << 4 | len(length))
        out += length + delta.to_bytes(size, 'little', signed=True)
        prev = lcn
    out.append(0)
    return bytes(out)


def decode_runs(attr):
    pos = struct.unpack_from('<H', attr, 0x20)[0]
    runs, lcn = [], 0
    while attr[pos]:
        lsize, osize = attr[pos] & 15, attr[pos] >> 4
        n = int.from_bytes(attr[pos + 1:pos + 1 + lsize], 'little')
        lcn += int.from_bytes(attr[pos + 1 + lsize:pos + 1 + lsize + osize], 'little',
                              signed=True)
        runs.append((lcn, n))
        pos += 1 + lsize + osize
    return runs


# --- attributes and records -------------------------------------------------

def resident(kind, value, name='', instance=0, indexed=0):
    nm = name.encode('utf-16-le')
    voff = align8(0x18 + len(nm))
    a = bytearray(align8(voff + len(value)))
    struct.pack_into('<IIBBHHHIHBB', a, 0, kind, len(a), 0, len(name), 0x18, 0, instance,
                     len(value), voff, indexed, 0)
    a[0x18:0x18 + len(nm)] = nm
    a[voff:voff + len(value)] = value
    return a


def nonresident(kind, runs, size, name='', instance=0):
    nm = name.encode('utf-16-le')
    roff = align8(0x40 + len(nm))
    rl = encode_runs(runs)
    a = bytearray(align8(roff + len(rl)))
    clusters = sum(n for _, n in runs)
    struct.pack_into('<IIBBHHHqqHB', a, 0, kind, len(a), 1, len(name), 0x40, 0, instance, 0,
                     clusters - 1, roff, 0)
    struct.pack_into('<QQQ', a, 0x28, clusters * CLUSTER, size, size)
    a[0x40:0x40 + len(nm)] = nm
    a[roff:roff + len(rl)] = rl
    return a


def record(number, seq, flags, attrs, next_instance, usn=1):
    r = bytearray(RECORD)
    body = b''.join(attrs) + END
    used = 0x38 + len(body)
    assert used <= RECORD, f'record {number} overflows'
    r[0:4] = b'FILE'
    struct.pack_into('<HHQHHHHIIQHHI', r, 4, 0x30, RECORD // SECTOR + 1, 0, seq, 1, 0x38, flags,
                     used, RECORD, 0, next_instance, 0, number)
    r[0x38:used] = body
    protect(r, RECORD, usn)
    return r


def attributes(rec):
    """(type, bytes) of each attribute of an unprotected record."""
    out = []
    pos = struct.unpack_from('<H', rec, 0x14)[0]
    while struct.unpack_from('<I', rec, pos)[0] != 0xFFFFFFFF:
        length = struct.unpack_from('<I', rec, pos + 4)[0]
        out.append((struct.unpack_from('<I', rec, pos)[0], bytes(rec[pos:pos + length])))
        pos += length
    return out


def rewrite(rec, replace):
    """An unprotected record with the attributes of the types in REPLACE swapped
    for the new ones (each keeping its instance number; None drops it),
    protected anew."""
    attrs = []
    for kind, raw in attributes(rec):
        if kind in replace and replace[kind] is None:
            continue
        if kind in replace:
            new = bytearray(replace[kind])
            new[0x0E:0x10] = raw[0x0E:0x10]
            raw = new
        attrs.append(raw)
    number, seq, flags = (struct.unpack_from('<I', rec, 0x2C)[0],
                          struct.unpack_from('<H', rec, 0x10)[0],
                          struct.unpack_from('<H', rec, 0x16)[0])
    usn = struct.unpack_from('<H', rec, 0x30)[0] % 0xFFFF + 1
    return record(number, seq, flags, attrs, struct.unpack_from('<H', rec, 0x28)[0], usn)


def std_info(attributes_):
    return struct.pack('<QQQQIIIIIIQQ', FILETIME, FILETIME, FILETIME, FILETIME, attributes_,
                       0, 0, 0, 0, SECURITY_ID, 0, 0)


def file_name(parent_ref, name, alloc, size, flags):
    units = name.encode('utf-16-le')
    return struct.pack('<QQQQQQQIIBB', parent_ref, FILETIME, FILETIME, FILETIME, FILETIME,
                       alloc, size, flags, 0, len(name), 1) + units


# --- indexes ----------------------------------------------------------------

def index_entry(ref, key):
    e = bytearray(align8(0x10 + len(key)))
    struct.pack_into('<QHHHH', e, 0, ref, len(e), len(key), 0, 0)
    e[0x10:0x10 + len(key)] = key
    return bytes(e)


def entry_name(entry):
    n = entry[0x50]
    return entry[0x52:0x52 + 2 * n].decode('utf-16-le')


def serialize(items, end_child):
    """Index entries, each (entry, child VCN or None), then the end entry
    pointing at END_CHILD (None in a leaf)."""
    out = bytearray()
    for entry, child in items:
        if child is None:
            out += entry
        else:
            e = bytearray(entry) + struct.pack('<Q', child)
            struct.pack_into('<H', e, 8, len(e))
            struct.pack_into('<H', e, 12, 1)
            out += e
    if end_child is None:
        out += struct.pack('<QHHHH', 0, 0x10, 0, 2, 0)
    else:
        out += struct.pack('<QHHHHQ', 0, 0x18, 0, 3, 0, end_child)
    return out


def entry_size(item):
    return len(item[0]) + (0 if item[1] is None else 8)


def index_tree(entries, root_room):
    """A B-tree over the sorted ENTRIES: (root entries, INDX blocks). The root
    holds at most ROOT_ROOM bytes; below it each level is cut into blocks whose
    separators move up one level, until a level fits the root."""
    items, end_child = [(e, None) for e in entries], None
    blocks = []
    room = BLOCK - 0x40 - 0x18
    while len(serialize(items, end_child)) > root_room:
        total = sum(entry_size(it) for it in items)
        count = -(-total * 10 // (room * 9))
        target = total / count
        up, a = [], 0
        while a < len(items):
            b, size = a, 0
            while b < len(items) and size + entry_size(items[b]) <= room and size < target:
                size += entry_size(items[b])
                b += 1
            vcn = len(blocks) * BLOCK_CLUSTERS
            if b >= len(items) - 1:  # the last block takes what remains
                while b < len(items):
                    size += entry_size(items[b])
                    b += 1
                assert size <= room, 'index block overflows'
                blocks.append((vcn, items[a:b], end_child))
                end_child = vcn
                break
            blocks.append((vcn, items[a:b], items[b][1]))
            up.append((items[b][0], vcn))
            a = b + 1
        items = up
    return serialize(items, end_child), blocks


def indx_block(vcn, items, end_child):
    b = bytearray(BLOCK)
    entries = serialize(items, end_child)
    b[0:4] = b'INDX'
    leaf = all(child is None for _, child in items) and end_child is None
    struct.pack_into('<HHQQIIIB', b, 4, 0x28, BLOCK // SECTOR + 1, 0, vcn, 0x28,
                     0x28 + len(entries), BLOCK - 0x18, 0 if leaf else 1)
    b[0x40:0x40 + len(entries)] = entries
    protect(b, BLOCK, 1)
    return b


def index_root_value(entries, large):
    return struct.pack('<IIIB3xIIIB3x', 0x30, 1, BLOCK, BLOCK_CLUSTERS, 0x10,
                       0x10 + len(entries), 0x10 + len(entries), 1 if large else 0) + entries


# --- the volume -------------------------------------------------------------

class Volume:
    def __init__(self, img):
        with open(img, 'r+b') as f:
            self.m = mmap.mmap(f.fileno(), 0)
        m = self.m
        assert struct.unpack_from('<H', m, 11)[0] == SECTOR and m[13] == CLUSTER // SECTOR
        per_record = m[0x40]  # clusters per record, or 2^-n bytes when negative
        assert (CLUSTER * per_record if per_record < 128 else 1 << (256 - per_record)) == RECORD
        self.clusters = struct.unpack_from('<Q', m, 0x28)[0] // (CLUSTER // SECTOR)
        mft_lcn = struct.unpack_from('<Q', m, 0x30)[0]
        self.mft_runs = [(mft_lcn, 2)]
        self.index_runs()
        rec0 = self.read_record(0)
        self.mft_runs = decode_runs(dict(attributes(rec0))[0x80])
        self.index_runs()
        bitmap_attr = dict(attributes(self.read_record(6)))[0x80]
        self.bitmap_runs = decode_runs(bitmap_attr)
        self.bitmap = bytearray(self.read_runs(self.bitmap_runs,
                                               struct.unpack_from('<Q', bitmap_attr, 0x30)[0]))
        self.free = [(mo.start() * 8, (mo.end() - mo.start()) * 8)
                     for mo in re.finditer(rb'\x00+', self.bitmap[:self.clusters // 8])]
        self.free_at = 0

    def index_runs(self):
        self.vcn_starts, vcn = [], 0
        for _, n in self.mft_runs:
            self.vcn_starts.append(vcn)
            vcn += n

    def record_offset(self, number):
        vcn = number * (RECORD // CLUSTER)
        k = bisect.bisect_right(self.vcn_starts, vcn) - 1
        lcn, n = self.mft_runs[k]
        assert vcn - self.vcn_starts[k] < n
        return (lcn + vcn - self.vcn_starts[k]) * CLUSTER

    def read_record(self, number):
        off = self.record_offset(number)
        rec = bytearray(self.m[off:off + RECORD])
        unprotect(rec, RECORD)
        return rec

    def write_record(self, number, rec):
        off = self.record_offset(number)
        self.m[off:off + RECORD] = rec

    def read_runs(self, runs, size):
        out = bytearray()
        for lcn, n in runs:
            out += self.m[lcn * CLUSTER:(lcn + n) * CLUSTER]
        return out[:size]

    def write_runs(self, runs, data):
        pos = 0
        for lcn, n in runs:
            piece = data[pos:pos + n * CLUSTER]
            self.m[lcn * CLUSTER:lcn * CLUSTER + len(piece)] = piece
            pos += n * CLUSTER

    def mark(self, runs, used):
        bm = self.bitmap
        for lcn, n in runs:
            end = lcn + n
            c = lcn
            while c < end and c & 7:
                bm[c >> 3] = bm[c >> 3] | (1 << (c & 7)) if used else bm[c >> 3] & ~(1 << (c & 7))
                c += 1
            full = (end - c) >> 3
            if full:
                bm[c >> 3:(c >> 3) + full] = (b'\xff' if used else b'\x00') * full
                c += full * 8
            while c < end:
                bm[c >> 3] = bm[c >> 3] | (1 << (c & 7)) if used else bm[c >> 3] & ~(1 << (c & 7))
                c += 1

    def allocate(self, n, split=False):
        """N clusters from the free extents in ascending order: one run, or
        with SPLIT as many as it takes. They are not marked in $Bitmap."""
        runs = []
        while n:
            assert self.free_at < len(self.free), 'volume full'
            start, length = self.free[self.free_at]
            take = min(n, length)
            if take < n and not split:
                self.free_at += 1
                continue
            runs.append((start, take))
            self.free[self.free_at] = (start + take, length - take)
            if take == length:
                self.free_at += 1
            n -= take
        return runs


def file_data(i, pool):
    """File I's bytes: its own first line, then a slice of the random POOL."""
    head = f'tarnwick ntfs scale file {i:07}\n'.encode()
    size = 100 + i % 400 if i % 100 == 3 else 300 + (i * 7919) % 2500
    o = (i * 2654435761) % (len(pool) - size)
    return head + pool[o:o + size - len(head)]


def formatted(img, files, folders):
    """IMAGE made anew, big enough, and formatted by mkntfs; its Volume."""
    per = (files + folders - 1) // folders
    data_clusters = sum(-(-(300 + (i * 7919) % 2500) // CLUSTER) for i in range(files))
    need = 2 * (files + folders) + data_clusters + folders * 8 * (per // 30 + 1)
    mib = (need * CLUSTER * 105 // 100 + 64 * 2**20) >> 20
    if os.path.exists(img):
        os.unlink(img)
    with open(img, 'wb') as f:
        f.truncate(mib << 20)
    subprocess.run(['mkntfs', '-F', '-Q', '-q', '-s', str(SECTOR), '-c', str(CLUSTER), '-L',
                    'SCALE', img], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return Volume(img)


def grow_mft(vol, extra):
    """$MFT's data grown by EXTRA records (new runs after the ones mkntfs
    made); its record bitmap, as long as that needs, moved to new clusters.
    Returns the first new record, the bitmap and its runs; $MFT's own record
    is rewritten last."""
    attrs0 = dict(attributes(vol.read_record(0)))
    first = sum(n for _, n in vol.mft_runs) * CLUSTER // RECORD
    total = first + extra
    grow = vol.allocate((total - first) * RECORD // CLUSTER, split=True)
    vol.mark(grow, True)
    for lcn, n in grow:
        last_lcn, last_n = vol.mft_runs[-1]
        if last_lcn + last_n == lcn:
            vol.mft_runs[-1] = (last_lcn, last_n + n)
        else:
            vol.mft_runs.append((lcn, n))
    vol.index_runs()
    old_runs = decode_runs(attrs0[0xB0])
    bitmap = bytearray(vol.read_runs(old_runs, struct.unpack_from('<Q', attrs0[0xB0], 0x30)[0]))
    bitmap += bytes(align8(-(-total // 8)) - len(bitmap))
    vol.mark(old_runs, False)
    runs = vol.allocate(-(-len(bitmap) // CLUSTER))
    vol.mark(runs, True)
    return first, bitmap, runs


def sort_key(entry):
    """Up-case collation of the ASCII names written here."""
    return entry_name(entry).translate(UPCASE)


def directory_attrs(vol, entries, other_room):
    """$INDEX_ROOT, and when the entries do not fit it $INDEX_ALLOCATION and
    $BITMAP, of a folder holding the sorted ENTRIES in a record whose other
    attributes take OTHER_ROOM bytes; the INDX blocks go to new clusters."""
    room = RECORD - 0x38 - len(END) - other_room - (0x20 + 0x20) - (0x50 + 0x10) - 0x30
    root_entries, blocks = index_tree(entries, room)
    attrs = {0x90: resident(0x90, index_root_value(root_entries, bool(blocks)), '$I30')}
    if blocks:
        runs = vol.allocate(len(blocks) * BLOCK_CLUSTERS)
        vol.mark(runs, True)
        vol.write_runs(runs, b''.join(indx_block(*blk) for blk in blocks))
        attrs[0xA0] = nonresident(0xA0, runs, len(blocks) * BLOCK, '$I30')
        bits = bytearray(align8(-(-len(blocks) // 8)))
        for k in range(len(blocks)):
            bits[k >> 3] |= 1 << (k & 7)
        attrs[0xB0] = resident(0xB0, bits, '$I30')
    return attrs


SI_FILE = resident(0x10, std_info(0x20))
SI_DIR = resident(0x10, std_info(0))


def write_folder(vol, d, dir_no, root_ref, span, pool, mft_bitmap, manifest):
    """Folder D in record DIR_NO with the files of SPAN in the records after
    it; the deleted ones go to MANIFEST. Returns the folder's root entry."""
    dir_ref = dir_no | 1 << 48
    name = f'Folder {d:05}'
    fn = file_name(root_ref, name, 0, 0, 0x10000000)
    entries = []
    number = dir_no + 1
    for i in span:
        data = file_data(i, pool)
        fname = f'File {i:07}.bin'
        deleted = i % 10 == 0
        if i % 100 == 3:
            alloc = 0
            body = resident(0x80, data, instance=2)
        else:
            clusters = -(-len(data) // CLUSTER)
            runs = vol.allocate(clusters)
            lcn = runs[0][0]
            vol.m[lcn * CLUSTER:lcn * CLUSTER + len(data)] = data
            if not deleted:
                vol.mark(runs, True)
            alloc = clusters * CLUSTER
            body = nonresident(0x80, runs, len(data), instance=2)
        key = file_name(dir_ref, fname, alloc, len(data), 0x20)
        attrs = [SI_FILE, resident(0x30, key, instance=1, indexed=1), body]
        if deleted:
            # Freed the NTFS way: not in use, sequence number moved on.
            vol.write_record(number, record(number, 2, 0, attrs, 3))
            manifest.append(f'{hashlib.sha1(data).hexdigest()}\t{name}/{fname}')
        else:
            vol.write_record(number, record(number, 1, 1, attrs, 3))
            mft_bitmap[number >> 3] |= 1 << (number & 7)
            entries.append(index_entry(number | 1 << 48, key))
        number += 1
    entries.sort(key=sort_key)
    fn_attr = resident(0x30, fn, instance=1, indexed=1)
    ix = directory_attrs(vol, entries, len(SI_DIR) + len(fn_attr))
    for k, kind in enumerate((0x90, 0xA0, 0xB0)):
        if kind in ix:
            ix[kind][0x0E:0x10] = struct.pack('<H', 2 + k)
    vol.write_record(dir_no, record(dir_no, 1, 3, [SI_DIR, fn_attr] + list(ix.values()), 5))
    mft_bitmap[dir_no >> 3] |= 1 << (dir_no & 7)
    return index_entry(dir_ref, fn)


def index_entries(buf, pos, out):
    """The entries of an index node from POS up to its end entry, each without
    its sub-node pointer, appended to OUT."""
    while True:
        length, _, flags = struct.unpack_from('<HHH', buf, pos + 8)
        if flags & 2:
            return
        e = bytearray(buf[pos:pos + length - (8 if flags & 1 else 0)])
        struct.pack_into('<H', e, 8, len(e))
        struct.pack_into('<H', e, 12, 0)
        out.append(bytes(e))
        pos += length


def rewrite_root(vol, root, folder_entries):
    """The root's index rebuilt from the entries mkntfs wrote ($MFT ...
    $Extend, ".") and FOLDER_ENTRIES; its old INDX blocks are freed."""
    ra = dict(attributes(root))
    old = []
    iroot = ra[0x90]
    voff = struct.unpack_from('<H', iroot, 0x14)[0]
    index_entries(iroot, voff + 0x10 + struct.unpack_from('<I', iroot, voff + 0x10)[0], old)
    if 0xA0 in ra:
        old_runs = decode_runs(ra[0xA0])
        blocks = vol.read_runs(old_runs, struct.unpack_from('<Q', ra[0xA0], 0x30)[0])
        for k in range(0, len(blocks), BLOCK):
            blk = bytearray(blocks[k:k + BLOCK])
            if blk[0:4] == b'INDX':
                unprotect(blk, BLOCK)
                index_entries(blk, 0x18 + struct.unpack_from('<I', blk, 0x18)[0], old)
        vol.mark(old_runs, False)
    other = sum(len(raw) for kind, raw in attributes(root) if kind not in (0x90, 0xA0, 0xB0))
    ix = directory_attrs(vol, sorted(old + folder_entries, key=sort_key), other)
    assert all(k in ra for k in ix)
    vol.write_record(5, rewrite(root, {k: ix.get(k) for k in (0x90, 0xA0, 0xB0)}))


def main():
    img, files, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    per = (files + folders - 1) // folders
    pool = random.Random(29).randbytes(1 << 16)
    vol = formatted(img, files, folders)
    rec0 = vol.read_record(0)
    number, mft_bitmap, mft_bitmap_runs = grow_mft(vol, folders + files)
    root = vol.read_record(5)
    root_ref = 5 | struct.unpack_from('<H', root, 0x10)[0] << 48
    manifest, folder_entries = [], []
    for d in range(folders):
        span = range(min(files, d * per), min(files, (d + 1) * per))
        folder_entries.append(write_folder(vol, d, number, root_ref, span, pool, mft_bitmap,
                                           manifest))
        number += 1 + len(span)
    rewrite_root(vol, root, folder_entries)
    # $MFT's record with the grown data runs and the moved bitmap; $MFTMirr
    # copies the first four records; $Bitmap written back.
    vol.write_runs(mft_bitmap_runs, mft_bitmap)
    data = nonresident(0x80, vol.mft_runs, sum(n for _, n in vol.mft_runs) * CLUSTER)
    bits = nonresident(0xB0, mft_bitmap_runs, len(mft_bitmap))
    vol.write_record(0, rewrite(rec0, {0x80: data, 0xB0: bits}))
    mirror = decode_runs(dict(attributes(vol.read_record(1)))[0x80])
    vol.write_runs(mirror, b''.join(vol.m[vol.record_offset(k):vol.record_offset(k) + RECORD]
                                    for k in range(4)))
    vol.write_runs(vol.bitmap_runs, vol.bitmap)
    vol.m.flush()
    vol.m.close()
    with open(img + '.manifest', 'w') as f:
        f.write('\n'.join(manifest) + '\n')


if __name__ == '__main__':
    main()
