#include "ext/ExtFormat.h"

#include <cstdint>
#include <cstring>
#include "common/ByteOrder.h"

bool ParseExtSuper(const unsigned char* p, size_t n, EXT_SUPER& sb) {
    sb = EXT_SUPER();
    if (!p || n < 1024 || Le16(p + 0x38) != kExtMagic) return false;
    const uint32_t nLogBlock = Le32(p + 0x18);
    if (nLogBlock > 6) return false;  // 1 KiB to 64 KiB blocks
    sb.nBlockBytes = 1024u << nLogBlock;
    sb.nInodes = Le32(p + 0x00);
    sb.nFirstDataBlock = Le32(p + 0x14);
    sb.nBlocksPerGroup = Le32(p + 0x20);
    sb.nInodesPerGroup = Le32(p + 0x28);
    sb.nRevLevel = Le32(p + 0x4C);
    sb.nCompat = Le32(p + 0x5C);
    sb.nIncompat = Le32(p + 0x60);
    sb.nRoCompat = Le32(p + 0x64);
    sb.u64Blocks = Le32(p + 0x04);
    if (sb.nIncompat & EXT_INCOMPAT_64BIT) {
        sb.u64Blocks |= static_cast<uint64_t>(Le32(p + 0x150)) << 32;
        sb.nDescBytes = Le16(p + 0xFE);
        if (sb.nDescBytes < 64 || sb.nDescBytes > 1024 || (sb.nDescBytes & (sb.nDescBytes - 1)))
            return false;
    }
    if (sb.nRevLevel >= 1) {
        sb.nInodeBytes = Le16(p + 0x58);
        sb.nFirstIno = Le32(p + 0x54);
        if (sb.nInodeBytes < 128 || sb.nInodeBytes > sb.nBlockBytes ||
            (sb.nInodeBytes & (sb.nInodeBytes - 1)))
            return false;
    }
    sb.nJournalInode = (sb.nCompat & EXT_COMPAT_HAS_JOURNAL) ? Le32(p + 0xE0) : 0;
    sb.nFirstMetaBg = Le32(p + 0x104);
    sb.nReservedGdtBlocks = Le16(p + 0xCE);
    std::memcpy(sb.szLabel, p + 0x78, 16);
    sb.szLabel[16] = 0;
    if (sb.nInodes == 0 || sb.u64Blocks == 0 || sb.nBlocksPerGroup == 0 ||
        sb.nInodesPerGroup == 0 || sb.nFirstDataBlock >= sb.u64Blocks ||
        sb.nBlocksPerGroup > 8 * sb.nBlockBytes || sb.nInodesPerGroup > 8 * sb.nBlockBytes)
        return false;
    // Bigalloc counts its bitmaps in clusters; its block groups are not read here.
    if (sb.nRoCompat & EXT_RO_COMPAT_BIGALLOC) return false;
    const uint64_t u64Groups =
        (sb.u64Blocks - sb.nFirstDataBlock + sb.nBlocksPerGroup - 1) / sb.nBlocksPerGroup;
    if (u64Groups == 0 || u64Groups > 0xFFFFFFFFull / sb.nInodesPerGroup + 1) return false;
    sb.nGroups = static_cast<uint32_t>(u64Groups);
    if (static_cast<uint64_t>(sb.nGroups) * sb.nInodesPerGroup < sb.nInodes) return false;
    return true;
}

bool ExtGroupHasSuper(const EXT_SUPER& sb, uint32_t nGroup) {
    if (nGroup <= 1 || !(sb.nRoCompat & EXT_RO_COMPAT_SPARSE_SUPER)) return true;
    for (uint32_t nBase : {3u, 5u, 7u}) {
        uint64_t v = nBase;
        while (v < nGroup) v *= nBase;
        if (v == nGroup) return true;
    }
    return false;
}

bool FindExtSuperCopy(const ExtVolumeReader& read, uint64_t u64VolumeBytes, uint64_t& u64At) {
    // Groups 1, 3, 5, 7 and 9 hold copies with or without sparse_super; the
    // later ones are tried for volumes whose first groups are damaged too.
    const uint32_t groups[] = {1, 3, 5, 7, 9, 25, 27, 49};
    unsigned char buf[1024];
    for (uint32_t nLog = 0; nLog <= 6; ++nLog) {
        const uint64_t u64Block = 1024ull << nLog;
        const uint64_t u64PerGroup = 8 * u64Block;  // mke2fs's default
        const uint64_t u64FirstData = nLog == 0 ? 1 : 0;
        for (uint32_t nGroup : groups) {
            const uint64_t u64Offset = (u64FirstData + nGroup * u64PerGroup) * u64Block;
            if (u64Offset + sizeof buf > u64VolumeBytes) break;
            EXT_SUPER sb;
            if (!read(u64Offset, buf, sizeof buf) || !ParseExtSuper(buf, sizeof buf, sb) ||
                Le16(buf + 0x5A) != nGroup || sb.nBlockBytes != u64Block ||
                (sb.nFirstDataBlock + static_cast<uint64_t>(nGroup) * sb.nBlocksPerGroup) *
                        u64Block !=
                    u64Offset)
                continue;
            u64At = u64Offset;
            return true;
        }
    }
    return false;
}

bool ParseExtGroup(const unsigned char* p, size_t n, const EXT_SUPER& sb, uint32_t nIndex,
                   EXT_GROUP& group) {
    group = EXT_GROUP();
    const size_t nAt = static_cast<size_t>(nIndex) * sb.nDescBytes;
    if (!p || sb.nDescBytes < 32 || nAt / sb.nDescBytes != nIndex || nAt + sb.nDescBytes > n)
        return false;
    const unsigned char* d = p + nAt;
    group.u64BlockBitmap = Le32(d + 0x00);
    group.u64InodeBitmap = Le32(d + 0x04);
    group.u64InodeTable = Le32(d + 0x08);
    group.nFlags = Le16(d + 0x12);
    group.nItableUnused = Le16(d + 0x1C);
    if (sb.nDescBytes >= 64) {
        group.u64BlockBitmap |= static_cast<uint64_t>(Le32(d + 0x20)) << 32;
        group.u64InodeBitmap |= static_cast<uint64_t>(Le32(d + 0x24)) << 32;
        group.u64InodeTable |= static_cast<uint64_t>(Le32(d + 0x28)) << 32;
        group.nItableUnused |= static_cast<uint32_t>(Le16(d + 0x32)) << 16;
    }
    return true;
}

bool EXT_INODE::HasDataMap() const {
    if (nFlags & EXT_INODE_INLINE_DATA_FL) return u64Size > 0;
    if (nFlags & EXT_INODE_EXTENTS_FL) return Le16(block) == kExtentMagic && Le16(block + 2) > 0;
    for (int i = 0; i < 15; ++i)
        if (Le32(block + 4 * i) != 0) return true;
    return false;
}

bool ParseExtInode(const unsigned char* p, size_t n, EXT_INODE& inode) {
    inode = EXT_INODE();
    if (!p || n < 128) return false;
    inode.nMode = Le16(p + 0x00);
    inode.u64Size = Le32(p + 0x04) | (static_cast<uint64_t>(Le32(p + 0x6C)) << 32);
    inode.nAtime = Le32(p + 0x08);
    inode.nCtime = Le32(p + 0x0C);
    inode.nMtime = Le32(p + 0x10);
    inode.nDtime = Le32(p + 0x14);
    inode.nLinks = Le16(p + 0x1A);
    inode.nFlags = Le32(p + 0x20);
    std::memcpy(inode.block, p + 0x28, sizeof inode.block);
    inode.nGeneration = Le32(p + 0x64);
    // The creation time lies in the extra fields, when they reach it.
    if (n >= 0x98) {
        const uint16_t nExtra = Le16(p + 0x80);
        if (128u + nExtra >= 0x94 && 128u + nExtra <= n) inode.nCrtime = Le32(p + 0x90);
    }
    return true;
}

std::string ExtInlineDataTail(const unsigned char* p, size_t n) {
    if (!p || n < 132) return std::string();
    const size_t nStart = 128u + Le16(p + 0x80);
    if (nStart + 4 > n || Le32(p + nStart) != 0xEA020000u) return std::string();
    const size_t nFirst = nStart + 4;  // value offsets count from here
    size_t nAt = nFirst;
    while (nAt + 16 <= n && Le32(p + nAt) != 0) {
        const uint8_t nNameLen = p[nAt];
        const uint8_t nIndex = p[nAt + 1];
        const uint16_t nValueOff = Le16(p + nAt + 2);
        const uint32_t nValueSize = Le32(p + nAt + 8);
        if (nAt + 16 + nNameLen > n) break;
        if (nIndex == 7 && nNameLen == 4 && std::memcmp(p + nAt + 16, "data", 4) == 0) {
            if (nFirst + nValueOff + static_cast<size_t>(nValueSize) > n) return std::string();
            return std::string(reinterpret_cast<const char*>(p + nFirst + nValueOff), nValueSize);
        }
        nAt += (16u + nNameLen + 3u) & ~3u;
    }
    return std::string();
}

bool ParseExtentNode(const unsigned char* p, size_t n, EXT_EXTENT_NODE& node) {
    node = EXT_EXTENT_NODE();
    if (!p || n < 12 || Le16(p) != kExtentMagic) return false;
    const uint16_t nEntries = Le16(p + 2);
    const uint16_t nMax = Le16(p + 4);
    node.nDepth = Le16(p + 6);
    if (node.nDepth > kExtMaxExtentDepth || nEntries > nMax || 12 + 12 * size_t(nMax) > n)
        return false;
    node.vecEntries.reserve(nEntries);
    for (uint16_t i = 0; i < nEntries; ++i) {
        const unsigned char* e = p + 12 + 12 * size_t(i);
        EXT_EXTENT x{};
        x.nLogical = Le32(e);
        if (node.nDepth == 0) {
            uint16_t nLen = Le16(e + 4);
            x.bUninit = nLen > 32768;
            x.nLength = x.bUninit ? nLen - 32768u : nLen;
            x.u64Physical = (static_cast<uint64_t>(Le16(e + 6)) << 32) | Le32(e + 8);
        } else {
            x.u64Physical = (static_cast<uint64_t>(Le16(e + 8)) << 32) | Le32(e + 4);
        }
        node.vecEntries.push_back(x);
    }
    return true;
}

namespace {

// A plausible name: no NUL or '/', no control character, valid UTF-8.
bool IsPlausibleName(const unsigned char* p, size_t n) {
    if (n == 0) return false;
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x20 || c == '/' || c == 0x7F) return false;
        const size_t nMore = c < 0x80             ? 0
                             : (c & 0xE0) == 0xC0 ? 1
                             : (c & 0xF0) == 0xE0 ? 2
                             : (c & 0xF8) == 0xF0 ? 3
                                                  : SIZE_MAX;
        if (nMore == SIZE_MAX || nMore >= n - i) return false;
        for (size_t k = 1; k <= nMore; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += nMore + 1;
    }
    return true;
}

size_t RecLen(const unsigned char* e, size_t nBlock) {
    const size_t nLen = Le16(e + 4);
    if (nBlock >= 65536 && (nLen == 0 || nLen == 65535)) return 65536;
    return nLen;
}

// A deleted entry in slack: its record need not fit the live chain, only its
// own name and the slack it lies in.
bool SlackEntryAt(const unsigned char* e, size_t nRoom, bool bFileType, uint32_t nMaxInode,
                  EXT_DIR_ENTRY& out) {
    if (nRoom < 12) return false;
    const uint32_t nInode = Le32(e);
    const size_t nNameLen = bFileType ? e[6] : Le16(e + 6);
    const uint8_t nType = bFileType ? e[7] : 0;
    if (nInode == 0 || nInode > nMaxInode || nNameLen == 0 || 8 + nNameLen > nRoom || nType > 7)
        return false;
    const size_t nRec = Le16(e + 4);
    if (nRec < 8 + nNameLen || (nRec & 3)) return false;
    if (!IsPlausibleName(e + 8, nNameLen)) return false;
    if ((nNameLen == 1 && e[8] == '.') || (nNameLen == 2 && e[8] == '.' && e[9] == '.'))
        return false;
    out.nInode = nInode;
    out.nType = nType;
    out.strName.assign(reinterpret_cast<const char*>(e + 8), nNameLen);
    out.bLive = false;
    return true;
}

}  // namespace

bool ParseExtDirBlock(const unsigned char* p, size_t n, bool bFileType, uint32_t nMaxInode,
                      std::vector<EXT_DIR_ENTRY>& vecEntries) {
    if (!p || n < 12) return false;
    size_t nAt = 0;
    bool bFirst = true;
    while (nAt < n) {
        if (n - nAt < 8) return false;
        const unsigned char* e = p + nAt;
        const size_t nRec = RecLen(e, n);
        const uint32_t nInode = Le32(e);
        const size_t nNameLen = bFileType ? e[6] : Le16(e + 6);
        if (nRec < 8 || (nRec & 3) || nRec > n - nAt || 8 + nNameLen > nRec) return false;
        // An htree index block (the root after "..", or an inner node that is
        // one empty record) holds hashes, not entries, in its slack.
        const bool bIndex = (bFirst && nInode == 0 && nRec == n && nNameLen == 0) ||
                            (nAt == 12 && nNameLen == 2 && e[8] == '.' && e[9] == '.' &&
                             nRec == n - 12 && n >= 40 && Le32(p + 24) == 0 && p[29] == 8);
        if (nInode != 0 && nNameLen > 0) {
            if (nInode > nMaxInode) return false;
            EXT_DIR_ENTRY live{nInode, bFileType ? e[7] : uint8_t(0),
                               std::string(reinterpret_cast<const char*>(e + 8), nNameLen), true};
            vecEntries.push_back(std::move(live));
        }
        // The slack past the record's own bytes may hold entries deleted since.
        size_t nSlack = nInode != 0 || nNameLen > 0 ? (8 + nNameLen + 3) & ~size_t(3) : 8;
        while (!bIndex && nSlack + 12 <= nRec) {
            EXT_DIR_ENTRY old;
            if (SlackEntryAt(e + nSlack, nRec - nSlack, bFileType, nMaxInode, old)) {
                const size_t nOwn = (8 + old.strName.size() + 3) & ~size_t(3);
                vecEntries.push_back(std::move(old));
                nSlack += nOwn;
            } else {
                nSlack += 4;
            }
        }
        nAt += nRec;
        bFirst = false;
    }
    return true;
}

// ---- jbd2 ------------------------------------------------------------------

bool ParseJournalHeader(const unsigned char* p, size_t n, uint32_t& nType, uint32_t& nSequence) {
    if (!p || n < 12 || Be32(p) != kJbdMagic) return false;
    nType = Be32(p + 4);
    nSequence = Be32(p + 8);
    return true;
}

bool ParseJournalSuper(const unsigned char* p, size_t n, JBD_SUPER& js) {
    js = JBD_SUPER();
    uint32_t nType = 0, nSeq = 0;
    if (!ParseJournalHeader(p, n, nType, nSeq) || n < 0x40 ||
        (nType != JBD_SUPER_V1 && nType != JBD_SUPER_V2))
        return false;
    js.nBlockBytes = Be32(p + 0x0C);
    js.nMaxLen = Be32(p + 0x10);
    js.nFirst = Be32(p + 0x14);
    if (nType == JBD_SUPER_V2) js.nIncompat = Be32(p + 0x28);
    if (js.nBlockBytes < 1024 || js.nBlockBytes > 65536 ||
        (js.nBlockBytes & (js.nBlockBytes - 1)) || js.nFirst == 0 || js.nFirst >= js.nMaxLen)
        return false;
    js.nCsumSeed = Crc32c(~0u, p + 0x30, 16);
    return true;
}

void ParseJournalDescriptor(const unsigned char* p, size_t n, const JBD_SUPER& js,
                            std::vector<JBD_TAG>& vecTags) {
    const bool b64 = js.nIncompat & JBD_INCOMPAT_64BIT;
    const bool bV3 = js.nIncompat & JBD_INCOMPAT_CSUM_V3;
    const bool bV2 = js.nIncompat & JBD_INCOMPAT_CSUM_V2;
    size_t nTagBytes = bV3 ? 16 : (12 + (bV2 ? 2 : 0) - (b64 ? 0 : 4));
    // The checksum tail closes the block when the journal keeps checksums.
    const size_t nEnd = (bV2 || bV3) ? (n >= 4 ? n - 4 : 0) : n;
    size_t nAt = 12;
    while (nAt + nTagBytes <= nEnd) {
        const unsigned char* t = p + nAt;
        JBD_TAG tag{};
        tag.u64Block = Be32(t);
        if (bV3) {
            tag.nFlags = Be32(t + 4);
            if (b64) tag.u64Block |= static_cast<uint64_t>(Be32(t + 8)) << 32;
            tag.nChecksum = Be32(t + 12);
        } else {
            tag.nChecksum = Be16(t + 4);
            tag.nFlags = Be16(t + 6);
            if (b64) tag.u64Block |= static_cast<uint64_t>(Be32(t + 8)) << 32;
        }
        nAt += nTagBytes;
        if (!(tag.nFlags & JBD_TAG_SAME_UUID)) nAt += 16;
        if (nAt > nEnd) break;
        vecTags.push_back(tag);
        if (tag.nFlags & JBD_TAG_LAST) break;
    }
}

bool JournalTagChecksumOk(const JBD_SUPER& js, const JBD_TAG& tag, uint32_t nSequence,
                          const unsigned char* pData, size_t n) {
    const bool bV3 = js.nIncompat & JBD_INCOMPAT_CSUM_V3;
    if (!bV3 && !(js.nIncompat & JBD_INCOMPAT_CSUM_V2)) return true;
    const unsigned char seq[4] = {
        static_cast<unsigned char>(nSequence >> 24), static_cast<unsigned char>(nSequence >> 16),
        static_cast<unsigned char>(nSequence >> 8), static_cast<unsigned char>(nSequence)};
    uint32_t nCrc = Crc32c(js.nCsumSeed, seq, 4);
    nCrc = Crc32c(nCrc, pData, n);
    return bV3 ? nCrc == tag.nChecksum : (nCrc & 0xFFFF) == tag.nChecksum;
}

bool ExtMappedJournalBlock(uint64_t u64Zero, uint64_t j, uint32_t nBlockBytes, uint64_t& u64Block) {
    const uint64_t nPer = nBlockBytes / 4;
    uint64_t nInterior = 0;  // indirect blocks laid out before block j
    if (j >= 12 + nPer) {
        const uint64_t nGroup = (j - 12 - nPer) / nPer;
        if (nGroup >= nPer) return false;
        nInterior = 3 + nGroup;
    } else if (j >= 12) {
        nInterior = 1;
    }
    u64Block = u64Zero + j + nInterior;
    return true;
}

uint32_t Crc32c(uint32_t nCrc, const unsigned char* p, size_t n) {
    static uint32_t s_table[256];
    static bool s_bReady = [] {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            s_table[i] = c;
        }
        return true;
    }();
    (void)s_bReady;
    for (size_t i = 0; i < n; ++i) nCrc = s_table[(nCrc ^ p[i]) & 0xFF] ^ (nCrc >> 8);
    return nCrc;
}
