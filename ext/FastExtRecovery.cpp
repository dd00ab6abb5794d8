#include "ext/FastExtRecovery.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include "carving/FileTypeJudge.h"
#include "common/ByteOrder.h"
#include "common/DebugLog.h"
#include "common/Helpers.h"
#include "common/Platform.h"

namespace {

// No directory is read past 64 MiB; no more directories than this are opened.
const uint64_t kMaxDirBytes = 64ull << 20;
const size_t kMaxDirs = 1u << 22;
// File data and the journal are read up to 1 MiB at a time.
const uint32_t kReadBytes = 1u << 20;
// Blocks kept by the block cache.
const size_t kCacheBlocks = 64;
// The current inode tables are read for deleted inodes up to this much.
const uint64_t kMaxTableBytes = 1ull << 30;
const long kReportMs = 200;
// What a deep scan keeps of the free space: names, and journal blocks.
const size_t kMaxFreeNames = 1u << 20;
const size_t kMaxFreeJournal = 1u << 16;
// The folder of deleted files whose name is gone: inode 1 is never a folder.
const uint32_t kLostDir = 1;
const char kLostDirName[] = "LostFiles";

void UnixToFileTime(uint32_t nSeconds, _FILETIME& ft) {
    const uint64_t u64 = nSeconds ? (nSeconds + 11644473600ull) * 10000000ull : 0;
    ft.dwLowDateTime = static_cast<uint32_t>(u64);
    ft.dwHighDateTime = static_cast<uint32_t>(u64 >> 32);
}

// A name as narrow text; bytes that are no UTF-8 become '_'.
void NameToNode(const std::string& strName, char* szOut, size_t nCap) {
    std::wstring wstr = tw::Utf8ToWide(strName.c_str());
    if (wstr.empty() && !strName.empty()) {
        std::string strSafe = strName;
        for (char& c : strSafe)
            if (static_cast<unsigned char>(c) >= 0x80) c = '_';
        wstr = tw::Utf8ToWide(strSafe.c_str());
    }
    if (tw::WideToNarrowBounded(wstr.c_str(), wstr.size(), szOut, nCap, nullptr) < 0) szOut[0] = 0;
}

// A logged copy whose first four bytes were the journal's magic has them back.
void RestoreJournalMagic(unsigned char* p) {
    p[0] = 0xC0;
    p[1] = 0x3B;
    p[2] = 0x39;
    p[3] = 0x98;
}

}  // namespace

CFastExtRecovery::CFastExtRecovery() = default;
CFastExtRecovery::~CFastExtRecovery() = default;

// ---------------------------------------------------------------------------
// Set-up.

unsigned int CFastExtRecovery::Init(const std::shared_ptr<CMediumSource>& pSource,
                                    long long llFirstSector, long long llSectorCount,
                                    wchar_t wcDriveLetter) {
    return m_src.Open(pSource, llFirstSector, llSectorCount, wcDriveLetter,
                      [this] { return SetUpVolume(); });
}

uint64_t CFastExtRecovery::BlockSector(uint64_t u64Block) const {
    return m_src.u64Start + u64Block * (m_sb.nBlockBytes / 512);
}

unsigned int CFastExtRecovery::ReadBlocks(unsigned char* p, uint64_t u64Block, uint32_t nBlocks) {
    if (u64Block >= m_sb.u64Blocks || nBlocks > m_sb.u64Blocks - u64Block) return TW_ERR_SHORT_READ;
    const uint32_t nPer = m_sb.nBlockBytes / 512;
    unsigned int nRead = 0;
    const unsigned int nRet =
        m_src.reader.ReadData(p, static_cast<int>(nBlocks * nPer),
                              static_cast<long long>(BlockSector(u64Block)), 512, &nRead);
    return nRet == TW_ERR_BAD_ARGUMENT ? TW_ERR_SHORT_READ : nRet;
}

bool CFastExtRecovery::ReadBytes(uint64_t u64Offset, unsigned char* p, size_t n) {
    // Whole sectors around the bytes, inside the area.
    const uint64_t u64First = u64Offset / 512, u64End = (u64Offset + n + 511) / 512;
    if (n == 0 || u64End > m_src.u64Count || u64End - u64First > 16) return false;
    unsigned char buf[16 * 512];
    unsigned int nRead = 0;
    if (m_src.reader.ReadData(buf, static_cast<int>(u64End - u64First),
                              static_cast<long long>(m_src.u64Start + u64First), 512, &nRead) != 0)
        return false;
    std::memcpy(p, buf + u64Offset % 512, n);
    return true;
}

const std::vector<unsigned char>* CFastExtRecovery::CachedBlockAt(uint64_t u64Sector) {
    auto it = m_cache.find(u64Sector);
    if (it != m_cache.end()) return &it->second;
    if (m_cache.size() >= kCacheBlocks) m_cache.clear();
    std::vector<unsigned char> buf(m_sb.nBlockBytes);
    unsigned int nRead = 0;
    if (m_src.reader.ReadData(buf.data(), static_cast<int>(m_sb.nBlockBytes / 512),
                              static_cast<long long>(u64Sector), 512, &nRead) != 0)
        return nullptr;
    return &m_cache.emplace(u64Sector, std::move(buf)).first->second;
}

unsigned int CFastExtRecovery::SetUpVolume() {
    m_bReady = false;
    if (m_src.u64Count < 4) return TW_ERR_SHORT_READ;
    unsigned char super[1024];
    unsigned int nRead = 0;
    unsigned int nRet =
        m_src.reader.ReadData(super, 2, static_cast<long long>(m_src.u64Start + 2), 512, &nRead);
    // A damaged first superblock: a copy in a later group, whose group
    // descriptors follow it.
    uint64_t u64CopyGdt = 0;
    if (nRet != 0 || !ParseExtSuper(super, sizeof super, m_sb)) {
        uint64_t u64At = 0;
        if (!FindExtSuperCopy([this](uint64_t u64Offset, unsigned char* p,
                                     size_t n) { return ReadBytes(u64Offset, p, n); },
                              m_src.u64Count * 512, u64At) ||
            !ReadBytes(u64At, super, sizeof super) || !ParseExtSuper(super, sizeof super, m_sb))
            return nRet != 0 ? nRet : TW_ERR_BAD_ARGUMENT;
        TwDebug("ext: the first superblock is damaged; its copy at byte %llu is used\n",
                static_cast<unsigned long long>(u64At));
        u64CopyGdt = u64At / m_sb.nBlockBytes + 1;
    }
    // Blocks past the end of the area do not exist here.
    const uint64_t u64AreaBlocks = m_src.u64Count / (m_sb.nBlockBytes / 512);
    if (u64AreaBlocks <= m_sb.nFirstDataBlock + 1) return TW_ERR_SHORT_READ;
    if (m_sb.u64Blocks > u64AreaBlocks) {
        m_sb.u64Blocks = u64AreaBlocks;
        m_sb.nGroups = static_cast<uint32_t>(
            (m_sb.u64Blocks - m_sb.nFirstDataBlock + m_sb.nBlocksPerGroup - 1) /
            m_sb.nBlocksPerGroup);
    }

    // Group descriptors: one table after the superblock, or with meta_bg one
    // block at the start of each meta group past the first ones.
    const uint32_t nPerBlock = m_sb.nBlockBytes / m_sb.nDescBytes;
    const uint64_t u64TableBlocks =
        (static_cast<uint64_t>(m_sb.nGroups) + nPerBlock - 1) / nPerBlock;
    const bool bMetaBg = m_sb.nIncompat & EXT_INCOMPAT_META_BG;
    const uint64_t u64Plain =
        bMetaBg ? std::min<uint64_t>(m_sb.nFirstMetaBg, u64TableBlocks) : u64TableBlocks;
    if (u64Plain * m_sb.nBlockBytes > (256u << 20)) return TW_ERR_BAD_ARGUMENT;
    try {
        m_groups.assign(m_sb.nGroups, EXT_GROUP());
        std::vector<unsigned char> table(static_cast<size_t>(u64Plain) * m_sb.nBlockBytes);
        if (u64Plain > 0) {
            nRet = ReadBlocks(table.data(), m_sb.nFirstDataBlock + 1ull,
                              static_cast<uint32_t>(u64Plain));
            if (nRet != 0 && u64CopyGdt == 0) return nRet;
        }
        // Beside a superblock copy: the copy's table, for the groups whose
        // first descriptors do not agree with it (their flags are from the
        // format and are not used).
        std::vector<unsigned char> copy;
        if (u64CopyGdt != 0 && !bMetaBg && u64Plain > 0) {
            copy.assign(table.size(), 0);
            if (ReadBlocks(copy.data(), u64CopyGdt, static_cast<uint32_t>(u64Plain)) != 0)
                return TW_ERR_SHORT_READ;
        }
        std::vector<unsigned char> block(m_sb.nBlockBytes);
        uint64_t u64MetaRead = ~0ull;
        for (uint32_t g = 0; g < m_sb.nGroups; ++g) {
            const uint64_t u64Meta = g / nPerBlock;
            if (u64Meta < u64Plain) {
                ParseExtGroup(table.data(), table.size(), m_sb, g, m_groups[g]);
                EXT_GROUP other;
                if (!copy.empty() && ParseExtGroup(copy.data(), copy.size(), m_sb, g, other) &&
                    (other.u64BlockBitmap != m_groups[g].u64BlockBitmap ||
                     other.u64InodeBitmap != m_groups[g].u64InodeBitmap ||
                     other.u64InodeTable != m_groups[g].u64InodeTable)) {
                    other.nFlags = 0;
                    other.nItableUnused = 0;
                    m_groups[g] = other;
                }
                continue;
            }
            if (u64Meta != u64MetaRead) {
                const uint64_t u64Group = u64Meta * nPerBlock;
                const uint64_t u64At =
                    m_sb.nFirstDataBlock + u64Group * m_sb.nBlocksPerGroup +
                    (ExtGroupHasSuper(m_sb, static_cast<uint32_t>(u64Group)) ? 1 : 0);
                if (ReadBlocks(block.data(), u64At, 1) != 0)
                    std::fill(block.begin(), block.end(), 0);
                u64MetaRead = u64Meta;
            }
            ParseExtGroup(block.data(), block.size(), m_sb, g % nPerBlock, m_groups[g]);
        }
    } catch (const std::bad_alloc&) {
        return TW_ERR_OUT_OF_MEMORY;
    }
    m_cache.clear();
    m_vecTables.clear();
    nRet = ReadBitmaps();
    if (nRet != 0) return nRet;
    m_bReady = true;
    return 0;
}

unsigned int CFastExtRecovery::ReadBitmaps() {
    const uint64_t u64Bits = m_sb.u64Blocks - m_sb.nFirstDataBlock;
    m_bBitmapKnown = false;
    try {
        m_vecBitmap.assign(static_cast<size_t>((u64Bits + 7) / 8), 0);
    } catch (const std::bad_alloc&) {
        return TW_ERR_OUT_OF_MEMORY;
    }
    auto mark = [&](uint64_t u64First, uint64_t u64Count) {
        for (uint64_t b = u64First; b < u64First + u64Count; ++b) {
            if (b < m_sb.nFirstDataBlock || b >= m_sb.u64Blocks) continue;
            const uint64_t i = b - m_sb.nFirstDataBlock;
            m_vecBitmap[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
        }
    };
    std::vector<unsigned char> block(m_sb.nBlockBytes);
    const uint32_t nBytesPerGroup = m_sb.nBlocksPerGroup / 8;
    const uint64_t u64TableBlocks =
        (static_cast<uint64_t>(m_sb.nInodesPerGroup) * m_sb.nInodeBytes + m_sb.nBlockBytes - 1) /
        m_sb.nBlockBytes;
    const uint32_t nGdtBlocks = (m_sb.nGroups + m_sb.nBlockBytes / m_sb.nDescBytes - 1) /
                                (m_sb.nBlockBytes / m_sb.nDescBytes);
    for (uint32_t g = 0; g < m_sb.nGroups; ++g) {
        const EXT_GROUP& grp = m_groups[g];
        const uint64_t u64GroupFirst =
            m_sb.nFirstDataBlock + static_cast<uint64_t>(g) * m_sb.nBlocksPerGroup;
        const size_t nAt = static_cast<size_t>(g) * nBytesPerGroup;
        const size_t nTake = std::min<size_t>(nBytesPerGroup, m_vecBitmap.size() - nAt);
        if (grp.nFlags & EXT_BG_BLOCK_UNINIT) {
            // Never written: only the group's own metadata is in use.
            if (ExtGroupHasSuper(m_sb, g))
                mark(u64GroupFirst, 1ull + nGdtBlocks + m_sb.nReservedGdtBlocks);
        } else if (nBytesPerGroup <= m_sb.nBlockBytes &&
                   ReadBlocks(block.data(), grp.u64BlockBitmap, 1) == 0) {
            std::memcpy(m_vecBitmap.data() + nAt, block.data(), nTake);
        } else {
            std::memset(m_vecBitmap.data() + nAt, 0xFF, nTake);  // unknown: taken as in use
        }
        mark(grp.u64BlockBitmap, 1);
        mark(grp.u64InodeBitmap, 1);
        mark(grp.u64InodeTable, u64TableBlocks);
    }
    // Bits past the last block of the last group.
    for (uint64_t i = u64Bits; i < static_cast<uint64_t>(m_vecBitmap.size()) * 8; ++i)
        m_vecBitmap[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
    m_bBitmapKnown = true;
    return 0;
}

bool CFastExtRecovery::IsBlockInUse(uint64_t u64Block) const {
    if (!m_bBitmapKnown || u64Block < m_sb.nFirstDataBlock || u64Block >= m_sb.u64Blocks)
        return true;
    const uint64_t i = u64Block - m_sb.nFirstDataBlock;
    return (m_vecBitmap[i / 8] >> (i % 8)) & 1;
}

bool CFastExtRecovery::AnyBlockInUse(uint64_t u64First, uint64_t u64Count) const {
    if (!m_bBitmapKnown || u64First < m_sb.nFirstDataBlock || u64First >= m_sb.u64Blocks ||
        u64Count > m_sb.u64Blocks - u64First)
        return true;
    // The run's own bits only, a whole byte at a time where it can.
    uint64_t i = u64First - m_sb.nFirstDataBlock;
    const uint64_t u64End = i + u64Count;
    while (i < u64End) {
        if (i % 8 == 0 && u64End - i >= 8) {
            if (m_vecBitmap[i / 8]) return true;
            i += 8;
            continue;
        }
        if ((m_vecBitmap[i / 8] >> (i % 8)) & 1) return true;
        ++i;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Inodes.

bool CFastExtRecovery::InodeBlock(uint32_t nIno, uint64_t& u64Block, uint32_t& nOffset) const {
    if (nIno == 0 || nIno > m_sb.nInodes) return false;
    const uint32_t g = (nIno - 1) / m_sb.nInodesPerGroup;
    if (g >= m_groups.size()) return false;
    const uint64_t u64Byte =
        static_cast<uint64_t>((nIno - 1) % m_sb.nInodesPerGroup) * m_sb.nInodeBytes;
    u64Block = m_groups[g].u64InodeTable + u64Byte / m_sb.nBlockBytes;
    nOffset = static_cast<uint32_t>(u64Byte % m_sb.nBlockBytes);
    return u64Block < m_sb.u64Blocks && u64Block >= m_sb.nFirstDataBlock;
}

bool CFastExtRecovery::IsInodeLive(const EXT_INODE& cur, uint32_t nIno) const {
    if (nIno == 0 || nIno > m_sb.nInodes) return false;
    const uint32_t g = (nIno - 1) / m_sb.nInodesPerGroup;
    const uint32_t nIndex = (nIno - 1) % m_sb.nInodesPerGroup;
    if (g >= m_groups.size()) return false;
    if (m_sb.nRoCompat & (EXT_RO_COMPAT_GDT_CSUM | EXT_RO_COMPAT_METADATA_CSUM)) {
        // Never-used inodes of a group hold whatever the table held.
        if ((m_groups[g].nFlags & EXT_BG_INODE_UNINIT) ||
            nIndex >=
                m_sb.nInodesPerGroup - std::min(m_groups[g].nItableUnused, m_sb.nInodesPerGroup))
            return false;
    }
    return cur.nLinks > 0 && cur.nMode != 0;
}

void CFastExtRecovery::InodeVersions(uint32_t nIno, std::vector<InodeVersion>& vecOut) {
    vecOut.clear();
    uint64_t u64Block = 0;
    uint32_t nOffset = 0;
    if (!InodeBlock(nIno, u64Block, nOffset)) return;
    const size_t nBytes = m_sb.nInodeBytes;
    InodeVersion v;
    const uint64_t u64Sector = BlockSector(u64Block);
    const std::vector<unsigned char>* pBlock = CachedBlockAt(u64Sector);
    if (!pBlock) return;  // the current inode is needed to tell live from deleted
    ParseExtInode(pBlock->data() + nOffset, nBytes, v.inode);
    v.u64Sector = u64Sector;
    v.nSeq = kOnDisk;
    vecOut.push_back(v);
    auto it = m_copies.find(u64Block);
    if (it == m_copies.end()) return;
    for (const Copy& copy : it->second) {
        pBlock = CachedBlockAt(copy.u64Sector);
        if (!pBlock) continue;
        ParseExtInode(pBlock->data() + nOffset, nBytes, v.inode);
        v.u64Sector = copy.u64Sector;
        v.nSeq = copy.nSeq;
        vecOut.push_back(v);
    }
}

bool CFastExtRecovery::ChooseVersion(uint32_t nIno, bool bDir, InodeVersion& chosen,
                                     std::vector<Run>& runs, bool& bHealthy) {
    std::vector<InodeVersion> versions;
    InodeVersions(nIno, versions);
    if (versions.empty()) return false;
    const EXT_INODE cur = versions[0].inode;
    const bool bLive = IsInodeLive(cur, nIno);
    bool bFallback = false;
    InodeVersion fallback;
    std::vector<Run> fallbackRuns;
    for (const InodeVersion& v : versions) {
        const EXT_INODE& in = v.inode;
        if (bDir ? !in.IsDir() : !in.IsFile()) continue;
        if (bLive) {
            // Only an earlier file that had this inode before the live one.
            if (in.nGeneration == cur.nGeneration) continue;
        } else if (cur.nMode != 0 && in.nGeneration != cur.nGeneration) {
            continue;  // another file's inode
        }
        // The medium's own copy of a deleted inode counts only while it still
        // maps its data (ext2 as older kernels leave it); a journal copy must
        // be of the file while it had a name.
        if (v.nSeq == kOnDisk ? bLive || !in.HasDataMap() : in.nLinks == 0) continue;
        std::vector<Run> found;
        if (!in.HasDataMap()) {
            if (in.u64Size != 0) continue;
        } else if (MapInode(in, v.nSeq, true, found) != 0) {
            continue;
        }
        bool bInUse = false;
        for (const Run& r : found)
            if (r.u64Physical && AnyBlockInUse(r.u64Physical, r.u64Count)) bInUse = true;
        if (!bInUse) {
            chosen = v;
            runs.swap(found);
            bHealthy = true;
            return true;
        }
        if (!bFallback) {
            bFallback = true;
            fallback = v;
            fallbackRuns.swap(found);
        }
    }
    if (!bFallback) return false;
    chosen = fallback;
    runs.swap(fallbackRuns);
    bHealthy = false;
    return true;
}

// ---------------------------------------------------------------------------
// Block maps.

unsigned int CFastExtRecovery::MapInode(const EXT_INODE& inode, uint64_t nSeq, bool bDeleted,
                                        std::vector<Run>& runs) {
    runs.clear();
    if (inode.nFlags & EXT_INODE_INLINE_DATA_FL) return 0;
    const uint64_t u64Blocks = (inode.u64Size + m_sb.nBlockBytes - 1) / m_sb.nBlockBytes;
    const uint64_t u64PerBlock = m_sb.nBlockBytes / 4;
    // Interior blocks a map of this size needs, with room to spare.
    const uint64_t u64Budget = 4 * u64Blocks / u64PerBlock + 16;
    unsigned int nBudget = static_cast<unsigned int>(std::min<uint64_t>(u64Budget, 1u << 24));
    unsigned int nRet = 0;
    if (inode.nFlags & EXT_INODE_EXTENTS_FL) {
        nRet = WalkExtents(inode.block, sizeof inode.block, -1, nSeq, bDeleted, nBudget, runs);
    } else {
        for (uint32_t i = 0; i < 12 && nRet == 0; ++i)
            nRet = WalkIndirect(Le32(inode.block + 4 * i), 0, i, u64Blocks, nSeq, bDeleted, nBudget,
                                runs);
        uint64_t u64Logical = 12, u64Span = u64PerBlock;
        for (int nLevel = 1; nLevel <= 3 && nRet == 0; ++nLevel) {
            nRet = WalkIndirect(Le32(inode.block + 4 * (11 + nLevel)), nLevel, u64Logical,
                                u64Blocks, nSeq, bDeleted, nBudget, runs);
            u64Logical += u64Span;
            u64Span *= u64PerBlock;
        }
    }
    if (nRet != 0) return nRet;
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.u64Logical < b.u64Logical; });
    // Nothing past the file's size, no run over another.
    std::vector<Run> kept;
    uint64_t u64End = 0;
    for (Run r : runs) {
        if (r.u64Logical < u64End || r.u64Logical >= u64Blocks) continue;
        r.u64Count = std::min(r.u64Count, u64Blocks - r.u64Logical);
        u64End = r.u64Logical + r.u64Count;
        kept.push_back(r);
    }
    runs.swap(kept);
    return 0;
}

unsigned int CFastExtRecovery::WalkExtents(const unsigned char* p, size_t n, int nDepth,
                                           uint64_t nSeq, bool bDeleted, unsigned int& nBudget,
                                           std::vector<Run>& runs) {
    if (nBudget == 0) return TW_ERR_BAD_ARGUMENT;
    --nBudget;
    EXT_EXTENT_NODE node;
    if (!ParseExtentNode(p, n, node) || (nDepth >= 0 && node.nDepth != nDepth))
        return TW_ERR_BAD_ARGUMENT;
    if (node.nDepth == 0) {
        for (const EXT_EXTENT& x : node.vecEntries) {
            if (x.nLength == 0) continue;
            if (x.u64Physical < m_sb.nFirstDataBlock || x.u64Physical >= m_sb.u64Blocks ||
                x.nLength > m_sb.u64Blocks - x.u64Physical)
                return TW_ERR_BAD_ARGUMENT;
            if (runs.size() >= (1u << 24)) return TW_ERR_BAD_ARGUMENT;
            runs.push_back({x.nLogical, x.bUninit ? 0 : x.u64Physical, x.nLength});
        }
        return 0;
    }
    std::vector<unsigned char> child;
    const uint16_t nChildDepth = node.nDepth - 1;
    for (const EXT_EXTENT& x : node.vecEntries) {
        if (x.u64Physical < m_sb.nFirstDataBlock || x.u64Physical >= m_sb.u64Blocks)
            return TW_ERR_BAD_ARGUMENT;
        const size_t nBlock = m_sb.nBlockBytes;
        auto valid = [nChildDepth, nBlock](const unsigned char* b) {
            EXT_EXTENT_NODE c;
            return ParseExtentNode(b, nBlock, c) && c.nDepth == nChildDepth &&
                   !c.vecEntries.empty();
        };
        if (!ReadMetaBlock(x.u64Physical, nSeq, bDeleted, valid, child)) return TW_ERR_SHORT_READ;
        const unsigned int nRet =
            WalkExtents(child.data(), child.size(), nChildDepth, nSeq, bDeleted, nBudget, runs);
        if (nRet != 0) return nRet;
    }
    return 0;
}

unsigned int CFastExtRecovery::WalkIndirect(uint64_t u64Block, int nLevel, uint64_t u64Logical,
                                            uint64_t u64Blocks, uint64_t nSeq, bool bDeleted,
                                            unsigned int& nBudget, std::vector<Run>& runs) {
    if (u64Block == 0 || u64Logical >= u64Blocks) return 0;  // a hole, or past the end
    if (u64Block < m_sb.nFirstDataBlock || u64Block >= m_sb.u64Blocks) return TW_ERR_BAD_ARGUMENT;
    if (nLevel == 0) {
        if (!runs.empty() && runs.back().u64Physical &&
            runs.back().u64Logical + runs.back().u64Count == u64Logical &&
            runs.back().u64Physical + runs.back().u64Count == u64Block) {
            ++runs.back().u64Count;
        } else {
            runs.push_back({u64Logical, u64Block, 1});
        }
        return 0;
    }
    if (nBudget == 0) return TW_ERR_BAD_ARGUMENT;
    --nBudget;
    const uint64_t u64First = m_sb.nFirstDataBlock, u64Last = m_sb.u64Blocks;
    const size_t nBlock = m_sb.nBlockBytes;
    auto valid = [u64First, u64Last, nBlock](const unsigned char* b) {
        bool bAny = false;
        for (size_t i = 0; i < nBlock; i += 4) {
            const uint32_t v = Le32(b + i);
            if (v == 0) continue;
            if (v < u64First || v >= u64Last) return false;
            bAny = true;
        }
        return bAny;
    };
    std::vector<unsigned char> buf;
    if (!ReadMetaBlock(u64Block, nSeq, bDeleted, valid, buf)) return TW_ERR_SHORT_READ;
    const uint64_t u64PerBlock = m_sb.nBlockBytes / 4;
    uint64_t u64Span = 1;
    for (int i = 1; i < nLevel; ++i) u64Span *= u64PerBlock;
    for (uint64_t i = 0; i < u64PerBlock; ++i) {
        const uint64_t u64At = u64Logical + i * u64Span;
        if (u64At >= u64Blocks) break;
        const unsigned int nRet = WalkIndirect(Le32(buf.data() + 4 * i), nLevel - 1, u64At,
                                               u64Blocks, nSeq, bDeleted, nBudget, runs);
        if (nRet != 0) return nRet;
    }
    return 0;
}

void CFastExtRecovery::ReadCopy(const Copy& copy, std::vector<unsigned char>& out) {
    out.assign(m_sb.nBlockBytes, 0);
    unsigned int nRead = 0;
    if (m_src.reader.ReadData(out.data(), static_cast<int>(m_sb.nBlockBytes / 512),
                              static_cast<long long>(copy.u64Sector), 512, &nRead) != 0) {
        out.clear();
        return;
    }
    if (copy.bEscaped) RestoreJournalMagic(out.data());
}

bool CFastExtRecovery::ReadMetaBlock(uint64_t u64Block, uint64_t nSeq, bool bDeleted,
                                     const std::function<bool(const unsigned char*)>& fnValid,
                                     std::vector<unsigned char>& out) {
    // A block in use again holds someone else's data now.
    if (!bDeleted || !IsBlockInUse(u64Block)) {
        out.assign(m_sb.nBlockBytes, 0);
        if (ReadBlocks(out.data(), u64Block, 1) == 0 && fnValid(out.data())) return true;
    }
    if (!bDeleted) return false;
    ReadJournal();
    auto it = m_copies.find(u64Block);
    if (it == m_copies.end()) return false;
    // The copies as they were with the inode copy in use first, then later ones.
    for (int nPass = 0; nPass < 2; ++nPass) {
        for (const Copy& copy : it->second) {
            if ((nPass == 0) != (copy.nSeq <= nSeq)) continue;
            ReadCopy(copy, out);
            if (!out.empty() && fnValid(out.data())) return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Journal.

unsigned int CFastExtRecovery::ReadJournal() {
    if (m_bJournalRead) return 0;
    m_bJournalRead = true;
    m_copies.clear();
    m_vecDotDirs.clear();
    m_nJournalCopies = 0;
    if (!m_bReady || m_sb.nJournalInode == 0) return 0;
    std::vector<InodeVersion> versions;
    InodeVersions(m_sb.nJournalInode, versions);
    if (versions.empty()) return TW_ERR_SHORT_READ;
    std::vector<Run> runs;
    if (MapInode(versions[0].inode, kOnDisk, false, runs) != 0 || runs.empty())
        return TW_ERR_BAD_ARGUMENT;
    // Journal block -> file-system block (0 for a hole).
    const uint64_t u64Len = runs.back().u64Logical + runs.back().u64Count;
    if (u64Len > (1u << 26)) return TW_ERR_BAD_ARGUMENT;
    std::vector<uint64_t> vecMap(static_cast<size_t>(u64Len), 0);
    for (const Run& r : runs)
        for (uint64_t i = 0; i < r.u64Count && r.u64Physical; ++i)
            vecMap[r.u64Logical + i] = r.u64Physical + i;
    std::vector<unsigned char> block(m_sb.nBlockBytes);
    if (vecMap[0] == 0 || ReadBlocks(block.data(), vecMap[0], 1) != 0 ||
        !ParseJournalSuper(block.data(), block.size(), m_js) ||
        m_js.nBlockBytes != m_sb.nBlockBytes)
        return TW_ERR_BAD_ARGUMENT;
    const uint32_t nMax = static_cast<uint32_t>(std::min<uint64_t>(m_js.nMaxLen, vecMap.size()));
    if (m_js.nFirst >= nMax) return TW_ERR_BAD_ARGUMENT;

    struct Pending {
        uint64_t u64Block;
        uint32_t nSeq;
        JBD_TAG tag;
    };
    struct Found {
        uint64_t u64Block;
        Copy copy;
        bool bVerified;
    };
    std::unordered_map<uint32_t, Pending> mapPending;  // journal block -> the copy it holds
    std::vector<Found> vecFound;
    std::set<uint32_t> setCommitted;
    struct DotDir {
        uint32_t nDir, nParent;
        uint64_t u64Block;
        uint32_t nSeq;
        bool bVerified;
    };
    std::vector<DotDir> vecDots;
    const uint32_t nFirst = m_js.nFirst;
    auto next = [nFirst, nMax](uint32_t j) { return j + 1 >= nMax ? nFirst : j + 1; };

    auto handle = [&](uint32_t j, const unsigned char* p) {
        uint32_t nType = 0, nSeq = 0;
        const bool bHeader = ParseJournalHeader(p, m_sb.nBlockBytes, nType, nSeq);
        auto it = mapPending.find(j);
        if (it != mapPending.end()) {
            const Pending pend = it->second;
            mapPending.erase(it);
            if (!bHeader) {
                // The logged copy (its magic, when it had one, was escaped).
                std::vector<unsigned char> data(p, p + m_sb.nBlockBytes);
                const bool bEscaped = pend.tag.nFlags & JBD_TAG_ESCAPE;
                if (bEscaped) RestoreJournalMagic(data.data());
                const bool bSums = m_js.nIncompat & (JBD_INCOMPAT_CSUM_V2 | JBD_INCOMPAT_CSUM_V3);
                if (bSums &&
                    !JournalTagChecksumOk(m_js, pend.tag, pend.nSeq, data.data(), data.size()))
                    return;
                Found f{pend.u64Block, {BlockSector(vecMap[j]), pend.nSeq, bEscaped, false}, bSums};
                vecFound.push_back(f);
                std::vector<EXT_DIR_ENTRY> entries;
                if (ParseExtDirBlock(data.data(), data.size(),
                                     m_sb.nIncompat & EXT_INCOMPAT_FILETYPE, m_sb.nInodes,
                                     entries) &&
                    entries.size() >= 2 && entries[0].strName == "." && entries[1].strName == "..")
                    vecDots.push_back(
                        {entries[0].nInode, entries[1].nInode, pend.u64Block, pend.nSeq, bSums});
                return;
            }
        }
        if (!bHeader) return;
        if (nType == JBD_COMMIT) {
            setCommitted.insert(nSeq);
        } else if (nType == JBD_DESCRIPTOR) {
            std::vector<JBD_TAG> tags;
            ParseJournalDescriptor(p, m_sb.nBlockBytes, m_js, tags);
            uint32_t k = j;
            for (const JBD_TAG& tag : tags) {
                k = next(k);
                if (k == j) break;
                mapPending[k] = {tag.u64Block, nSeq, tag};
            }
        }
    };

    // The whole log area, not only from its start: a clean unmount leaves the
    // journal "empty" with every copy still in it.
    std::vector<unsigned char> chunk;
    const uint32_t nPerRead = std::max<uint32_t>(1, kReadBytes / m_sb.nBlockBytes);
    uint32_t j = nFirst;
    long lLast = rsb_getTickCount();
    while (j < nMax) {
        uint32_t nRun = 1;
        while (nRun < nPerRead && j + nRun < nMax && vecMap[j + nRun] &&
               vecMap[j + nRun] == vecMap[j] + nRun)
            ++nRun;
        chunk.assign(static_cast<size_t>(nRun) * m_sb.nBlockBytes, 0);
        if (vecMap[j] != 0 && ReadBlocks(chunk.data(), vecMap[j], nRun) == 0) {
            for (uint32_t i = 0; i < nRun; ++i)
                handle(j + i, chunk.data() + static_cast<size_t>(i) * m_sb.nBlockBytes);
        }
        j += nRun;
        const long lNow = rsb_getTickCount();
        if (lNow - lLast >= kReportMs) {
            lLast = lNow;
            // Progress is the scan's; a journal read for a save reports nothing.
            if (m_bScanning &&
                ReportScan(1 + static_cast<int>(9ull * (j - nFirst) / (nMax - nFirst)), -1, 0) != 0)
                break;
        }
    }
    // Copies whose descriptor lies at the end of the log and data at its start.
    std::vector<uint32_t> vecWrapped;
    for (const auto& pend : mapPending) vecWrapped.push_back(pend.first);
    std::sort(vecWrapped.begin(), vecWrapped.end());
    for (uint32_t k : vecWrapped) {
        if (!mapPending.count(k) || vecMap[k] == 0 || ReadBlocks(block.data(), vecMap[k], 1) != 0)
            continue;
        handle(k, block.data());
    }

    // Only copies of transactions that were committed (or whose checksums
    // hold): a transaction cut short may have logged half its blocks.
    for (const Found& f : vecFound) {
        if (!f.bVerified && !setCommitted.count(f.copy.nSeq)) continue;
        m_copies[f.u64Block].push_back(f.copy);
        ++m_nJournalCopies;
    }
    for (auto& entry : m_copies)
        std::stable_sort(entry.second.begin(), entry.second.end(), NewerCopy);
    for (const DotDir& d : vecDots)
        if (d.bVerified || setCommitted.count(d.nSeq)) m_vecDotDirs.push_back({d.nDir, d.nParent});
    m_cache.clear();
    return 0;
}

// ---------------------------------------------------------------------------
// Scan.

unsigned int CFastExtRecovery::ScanDevice(const wchar_t* wszResultName) {
    m_setOpened.clear();
    m_setLiveDirs.clear();
    m_mapNewest.clear();
    m_mapDirParent.clear();
    m_mapDirLevel.clear();
    m_setRecorded.clear();
    m_folders.Clear();
    m_u64FilesFound = 0;
    m_nNamesWithoutData = 0;
    m_setLost.clear();
    m_vecNoData.clear();
    m_mapFreeNames.clear();
    m_mapFreeParents.clear();
    m_vecFreeJournal.clear();
    m_setFreeCommits.clear();
    m_vecFreeJournalSupers.clear();
    if (wszResultName) {
        const unsigned int nRet = OpenStore(wszResultName);
        // A deep scan that goes on from an earlier one scans the volume
        // afresh: the end of a deep scan adds to its results (files named by
        // what the free space held, in place of nameless ones), which a store
        // written by an interrupted scan could not take back.
        if (nRet != 0 || !m_bDeep || !m_bReady) return nRet;
        const std::string strFiles[] = {m_pStore->GetNodeFilePath(),
                                        m_pStore->GetRelationFilePath(),
                                        m_pStore->GetDirInfoFilePath()};
        m_pStore.reset();
        for (const std::string& strPath : strFiles) unlink(strPath.c_str());
    }
    if (!m_bReady) return m_src.bOpen ? TW_ERR_BAD_ARGUMENT : TW_ERR_SHORT_READ;
    const unsigned int nRet = OpenFreshStore("Fast_", static_cast<long long>(m_src.u64Start), true);
    return nRet != 0 ? nRet : Analyse();
}

unsigned int CFastExtRecovery::Analyse() {
    int nStop = ReportScan(1, -1, 0);
    if (nStop == 0) {
        m_bJournalRead = false;
        m_bScanning = true;
        ReadJournal();
        m_bScanning = false;
        nStop = ReportScan(10, -1, 0);
    }

    // Every directory reachable from the root, live or deleted, and those the
    // journal shows by their "." block.
    std::vector<uint32_t> queue{kExtRootInode};
    long lLast = rsb_getTickCount();
    size_t nDots = 0;
    while (nStop == 0 && !queue.empty()) {
        const uint32_t nDir = queue.back();
        queue.pop_back();
        if (m_setOpened.size() < kMaxDirs) OpenDir(nDir, nDir == kExtRootInode, queue);
        const long lNow = rsb_getTickCount();
        if (lNow - lLast >= kReportMs) {
            lLast = lNow;
            nStop = ReportScan(10 + static_cast<int>(60 * m_setOpened.size() /
                                                     (m_setOpened.size() + queue.size() + 1)),
                               -1, m_u64FilesFound);
        }
        while (queue.empty() && nDots < m_vecDotDirs.size()) {
            const auto& dot = m_vecDotDirs[nDots++];
            if (m_setOpened.count(dot.first)) continue;
            m_mapDirParent.emplace(dot.first, dot.second);
            queue.push_back(dot.first);
        }
    }
    if (nStop == 0) {
        SettleFolders();
        nStop = ReportScan(75, -1, m_u64FilesFound);
    }

    // Deleted files under their names.
    if (nStop == 0) {
        std::vector<std::pair<uint32_t, const Entry*>> files;
        for (const auto& named : m_mapNewest)
            if (named.second.nType != EXT_FT_DIR && !m_setOpened.count(named.first))
                files.push_back({named.first, &named.second});
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            RecordFile(f.first, f.second->nParent, f.second->strName);
            const long lNow = rsb_getTickCount();
            if (lNow - lLast >= kReportMs) {
                lLast = lNow;
                if ((nStop = ReportScan(80, -1, m_u64FilesFound)) != 0) break;
            }
        }
    }

    // Deleted files without a name: inodes of the tables and of the journal's
    // copies of them. A deep scan records them at its end, once the free
    // space has given what names it holds.
    if (nStop == 0) {
        CollectLost();
        if (!m_bDeep) RecordLost();
        nStop = ReportScan(95, -1, m_u64FilesFound);
    }
    m_cache.clear();
    if (m_nNamesWithoutData)
        TwDebug("ext: %u deleted names whose data no inode copy maps\n", m_nNamesWithoutData);
    return EndFolderWalk(
        nStop, m_folders, [this](uint32_t nDir) { return LevelOf(nDir); }, m_u64FilesFound);
}

void CFastExtRecovery::NoteLost(const unsigned char* p, uint32_t nFirstIno, uint32_t nCount,
                                bool bDisk) {
    for (uint32_t i = 0; i < nCount; ++i) {
        EXT_INODE in;
        ParseExtInode(p + static_cast<size_t>(i) * m_sb.nInodeBytes, m_sb.nInodeBytes, in);
        const bool bCandidate = bDisk ? in.nLinks == 0 && in.nDtime != 0 && in.HasDataMap()
                                      : in.nLinks > 0 && (in.HasDataMap() || in.u64Size);
        if (in.IsFile() && bCandidate && nFirstIno + i <= m_sb.nInodes)
            m_setLost.insert(nFirstIno + i);
    }
}

bool CFastExtRecovery::TableBlockInodes(uint64_t u64Block, uint32_t& nFirstIno) {
    const uint64_t u64TableBlocks =
        (static_cast<uint64_t>(m_sb.nInodesPerGroup) * m_sb.nInodeBytes + m_sb.nBlockBytes - 1) /
        m_sb.nBlockBytes;
    if (m_vecTables.size() != m_groups.size()) {
        m_vecTables.clear();
        for (uint32_t g = 0; g < m_groups.size(); ++g)
            m_vecTables.push_back({m_groups[g].u64InodeTable, g});
        std::sort(m_vecTables.begin(), m_vecTables.end());
    }
    // The last table that starts at or before the block.
    auto it =
        std::upper_bound(m_vecTables.begin(), m_vecTables.end(), std::make_pair(u64Block, ~0u));
    if (it == m_vecTables.begin()) return false;
    --it;
    if (u64Block - it->first >= u64TableBlocks) return false;
    const uint32_t nPerBlock = m_sb.nBlockBytes / m_sb.nInodeBytes;
    const uint64_t u64First = static_cast<uint64_t>(it->second) * m_sb.nInodesPerGroup +
                              (u64Block - it->first) * nPerBlock + 1;
    if (u64First > m_sb.nInodes) return false;
    nFirstIno = static_cast<uint32_t>(u64First);
    return true;
}

void CFastExtRecovery::CollectLost() {
    std::vector<unsigned char> chunk;
    uint64_t u64TableBytes = 0;
    const uint32_t nPerBlock = m_sb.nBlockBytes / m_sb.nInodeBytes;
    for (uint32_t g = 0; g < m_groups.size() && u64TableBytes < kMaxTableBytes; ++g) {
        uint32_t nUsed = m_sb.nInodesPerGroup;
        if (m_sb.nRoCompat & (EXT_RO_COMPAT_GDT_CSUM | EXT_RO_COMPAT_METADATA_CSUM)) {
            if (m_groups[g].nFlags & EXT_BG_INODE_UNINIT) continue;
            nUsed -= std::min(m_groups[g].nItableUnused, nUsed);
        }
        const uint32_t nBlocks = (nUsed + nPerBlock - 1) / nPerBlock;
        for (uint32_t b = 0; b < nBlocks;) {
            const uint32_t n = std::min<uint32_t>(nBlocks - b, kReadBytes / m_sb.nBlockBytes);
            chunk.assign(static_cast<size_t>(n) * m_sb.nBlockBytes, 0);
            if (ReadBlocks(chunk.data(), m_groups[g].u64InodeTable + b, n) == 0)
                NoteLost(chunk.data(), g * m_sb.nInodesPerGroup + b * nPerBlock + 1,
                         std::min(n * nPerBlock, nUsed - b * nPerBlock), true);
            b += n;
            u64TableBytes += static_cast<uint64_t>(n) * m_sb.nBlockBytes;
        }
    }
    std::vector<unsigned char> copy;
    for (const auto& copies : m_copies) {
        uint32_t nFirstIno = 0;
        if (!TableBlockInodes(copies.first, nFirstIno)) continue;
        for (const Copy& c : copies.second) {
            ReadCopy(c, copy);
            if (!copy.empty()) NoteLost(copy.data(), nFirstIno, nPerBlock, false);
        }
    }
}

void CFastExtRecovery::RecordLost() {
    for (uint32_t nIno : m_setLost) {
        if (m_setRecorded.count(nIno) || m_mapNewest.count(nIno) || m_setOpened.count(nIno) ||
            nIno < m_sb.nFirstIno)
            continue;
        RecordFile(nIno, kLostDir, std::string());
    }
}

// ---------------------------------------------------------------------------
// Deep scan: what the free space holds.

bool CFastExtRecovery::TakeFreeBlock(const unsigned char* p, size_t nAvail, uint64_t u64Sector,
                                     uint64_t& u64Sectors) {
    u64Sectors = 0;
    if (!m_bReady || !m_bDeep || !p || nAvail < 512 || u64Sector < m_src.u64Start) return false;
    const uint32_t nBlock = m_sb.nBlockBytes;
    const bool bFileType = m_sb.nIncompat & EXT_INCOMPAT_FILETYPE;
    uint32_t nType = 0, nSeq = 0;
    const bool bJournal = ParseJournalHeader(p, 512, nType, nSeq) &&
                          (nType == JBD_DESCRIPTOR || nType == JBD_COMMIT ||
                           nType == JBD_SUPER_V1 || nType == JBD_SUPER_V2);
    if (!bJournal) {
        // The first record of a directory block, before the whole block is read.
        const uint32_t nIno = Le32(p);
        const size_t nRec = Le16(p + 4), nNameLen = bFileType ? p[6] : Le16(p + 6);
        if (nIno > m_sb.nInodes || nRec < 12 || nRec > nBlock || (nRec & 3) || nNameLen == 0 ||
            8 + nNameLen > nRec || (bFileType && p[7] > 7) || p[8] < 0x20 || p[8] == '/')
            return false;
    }
    std::vector<unsigned char> own;
    if (nAvail < nBlock) {
        own.assign(nBlock, 0);
        unsigned int nRead = 0;
        if (m_src.reader.ReadData(own.data(), static_cast<int>(nBlock / 512),
                                  static_cast<long long>(u64Sector), 512, &nRead) != 0)
            return false;
        p = own.data();
    }
    if (bJournal) {
        const uint64_t u64Block = (u64Sector - m_src.u64Start) / (nBlock / 512);
        if (nType == JBD_DESCRIPTOR) {
            if (m_vecFreeJournal.size() >= kMaxFreeJournal) return false;
            m_vecFreeJournal.push_back(u64Block);
        } else if (nType == JBD_COMMIT) {
            if (m_setFreeCommits.size() >= kMaxFreeJournal) return false;
            m_setFreeCommits.insert(nSeq);
        } else {
            JBD_SUPER js;
            if (!ParseJournalSuper(p, nBlock, js) || js.nBlockBytes != nBlock ||
                m_vecFreeJournalSupers.size() >= 64)
                return false;
            m_vecFreeJournalSupers.push_back({u64Block, js});
        }
        u64Sectors = nBlock / 512;
        return true;
    }
    std::vector<EXT_DIR_ENTRY> entries;
    if (!ParseExtDirBlock(p, nBlock, bFileType, m_sb.nInodes, entries) || entries.empty())
        return false;
    NoteFreeNames(entries);
    u64Sectors = nBlock / 512;
    return true;
}

void CFastExtRecovery::NoteFreeNames(const std::vector<EXT_DIR_ENTRY>& vecEntries) {
    // A folder's first block names the folder and its parent.
    uint32_t nDir = 0;
    if (vecEntries.size() >= 2 && vecEntries[0].strName == "." && vecEntries[1].strName == "..") {
        nDir = vecEntries[0].nInode;
        if (nDir != vecEntries[1].nInode && m_mapFreeParents.size() < kMaxFreeNames)
            m_mapFreeParents.emplace(nDir, vecEntries[1].nInode);
    }
    for (const EXT_DIR_ENTRY& e : vecEntries) {
        if (e.strName == "." || e.strName == ".." || e.nInode == nDir ||
            e.nInode < m_sb.nFirstIno || m_mapFreeNames.size() >= kMaxFreeNames)
            continue;
        m_mapFreeNames.emplace(e.nInode, FreeName{nDir, e.strName});
    }
}

void CFastExtRecovery::TakeFreeJournals() {
    const uint32_t nBlock = m_sb.nBlockBytes, nPer = nBlock / 512;
    const bool bFileType = m_sb.nIncompat & EXT_INCOMPAT_FILETYPE;
    const uint64_t u64AreaBlocks = m_src.u64Count / nPer;
    std::vector<unsigned char> desc(nBlock), data(nBlock);
    auto read = [&](uint64_t u64Block, std::vector<unsigned char>& out) {
        unsigned int nRead = 0;
        return u64Block < u64AreaBlocks &&
               m_src.reader.ReadData(out.data(), static_cast<int>(nPer),
                                     static_cast<long long>(m_src.u64Start + u64Block * nPer), 512,
                                     &nRead) == 0;
    };
    for (uint64_t u64Desc : m_vecFreeJournal) {
        uint32_t nType = 0, nSeq = 0;
        if (!read(u64Desc, desc) || !ParseJournalHeader(desc.data(), nBlock, nType, nSeq) ||
            nType != JBD_DESCRIPTOR)
            continue;
        // The journal it belongs to: the nearest superblock before it (its
        // features say how the tags are written), else the volume's journal.
        JBD_SUPER js = m_js;
        uint64_t u64Zero = 0;
        bool bZero = false;
        for (const auto& super : m_vecFreeJournalSupers)
            if (super.first < u64Desc && (!bZero || super.first > u64Zero)) {
                u64Zero = super.first;
                js = super.second;
                bZero = true;
            }
        const bool bSums = js.nIncompat & (JBD_INCOMPAT_CSUM_V2 | JBD_INCOMPAT_CSUM_V3);
        std::vector<JBD_TAG> tags;
        ParseJournalDescriptor(desc.data(), nBlock, js, tags);
        if (tags.empty()) continue;
        // Where its copies lie: right after it (a journal in one piece), or
        // with the indirect blocks of a block-mapped journal between them.
        // A layout holds when the block after the copies is the next block
        // of the same transaction (a descriptor or its commit); without one
        // only copies whose checksums hold are taken.
        std::vector<uint64_t> where(tags.size() + 1);
        bool bPlaced = false;
        for (int nLayout = 0; nLayout < 2 && !bPlaced; ++nLayout) {
            uint64_t jDesc = 0;
            if (nLayout == 1) {
                if (!bZero) break;
                const uint64_t u64Span = u64Desc - u64Zero;
                uint64_t u64At = 0;
                for (jDesc = u64Span > nBlock ? u64Span - nBlock : 0; jDesc <= u64Span; ++jDesc)
                    if (ExtMappedJournalBlock(u64Zero, jDesc, nBlock, u64At) && u64At >= u64Desc)
                        break;
                if (u64At != u64Desc) break;
            }
            bool bOk = true;
            for (size_t k = 0; k <= tags.size() && bOk; ++k)
                bOk = nLayout == 0
                          ? (where[k] = u64Desc + k + 1, true)
                          : ExtMappedJournalBlock(u64Zero, jDesc + k + 1, nBlock, where[k]);
            uint32_t nNextType = 0, nNextSeq = 0;
            bPlaced = bOk && read(where.back(), data) &&
                      ParseJournalHeader(data.data(), nBlock, nNextType, nNextSeq) &&
                      nNextSeq == nSeq && (nNextType == JBD_DESCRIPTOR || nNextType == JBD_COMMIT);
        }
        const bool bCommitted = m_setFreeCommits.count(nSeq) != 0;
        if (!(bPlaced && bCommitted) && !bSums) continue;
        if (!bPlaced)
            for (size_t k = 0; k < tags.size(); ++k) where[k] = u64Desc + k + 1;
        for (size_t k = 0; k < tags.size(); ++k) {
            const JBD_TAG& tag = tags[k];
            if (tag.u64Block < m_sb.nFirstDataBlock || tag.u64Block >= m_sb.u64Blocks ||
                !read(where[k], data))
                continue;
            const bool bEscaped = tag.nFlags & JBD_TAG_ESCAPE;
            if (bEscaped) RestoreJournalMagic(data.data());
            if (bSums && !JournalTagChecksumOk(js, tag, nSeq, data.data(), nBlock)) continue;
            m_copies[tag.u64Block].push_back(
                Copy{m_src.u64Start + where[k] * nPer, nSeq, bEscaped, true});
            ++m_nJournalCopies;
            uint32_t nFirstIno = 0;
            std::vector<EXT_DIR_ENTRY> entries;
            if (TableBlockInodes(tag.u64Block, nFirstIno))
                NoteLost(data.data(), nFirstIno, nBlock / m_sb.nInodeBytes, false);
            else if (ParseExtDirBlock(data.data(), nBlock, bFileType, m_sb.nInodes, entries))
                NoteFreeNames(entries);
        }
    }
    // Older than every copy the volume's journal holds, newest first.
    for (auto& entry : m_copies)
        std::stable_sort(entry.second.begin(), entry.second.end(), NewerCopy);
    m_cache.clear();
}

uint32_t CFastExtRecovery::PlaceFolder(uint32_t nDir) {
    // The folder and those above it that are not known yet, up to one that
    // is, with the names the scan and the free space gave them.
    uint32_t nAt = nDir;
    std::set<uint32_t> seen;
    while (nAt != kExtRootInode && !m_folders.mapDir.count(nAt) && seen.insert(nAt).second &&
           seen.size() < 256) {
        std::string strName = "LostFolder" + std::to_string(nAt);
        uint32_t nParent = kExtRootInode;
        auto named = m_mapNewest.find(nAt);
        auto free = m_mapFreeNames.find(nAt);
        if (named != m_mapNewest.end()) {
            strName = named->second.strName;
            nParent = named->second.nParent;
        } else if (free != m_mapFreeNames.end()) {
            strName = free->second.strName;
            nParent = free->second.nDir ? free->second.nDir : kExtRootInode;
        }
        auto up = m_mapFreeParents.find(nAt);
        if (up != m_mapFreeParents.end()) nParent = up->second;
        if (!AddDeletedFolder(nAt, strName, nParent)) break;
        nAt = nParent;
    }
    return nDir == kExtRootInode || m_folders.mapDir.count(nDir) ? nDir : kLostDir;
}

unsigned int CFastExtRecovery::FinishDeepScan() {
    if (!m_bDeep || !m_bReady || !m_pStore) return 0;
    const size_t nCopiesBefore = m_nJournalCopies;
    TakeFreeJournals();

    // Names whose data no copy mapped, with the copies met since; then the
    // names met in free space, under their folders.
    std::vector<NoData> todo;
    if (m_nJournalCopies != nCopiesBefore) todo.swap(m_vecNoData);
    std::vector<std::pair<uint32_t, const FreeName*>> vecFree;
    for (const auto& f : m_mapFreeNames)
        if (!m_setRecorded.count(f.first) && !m_mapNewest.count(f.first) &&
            !m_setOpened.count(f.first))
            vecFree.push_back({f.first, &f.second});
    std::sort(vecFree.begin(), vecFree.end());
    for (const auto& f : vecFree) {
        // Folders among them are placed as their files need them.
        std::vector<InodeVersion> versions;
        InodeVersions(f.first, versions);
        bool bFile = false;
        for (const InodeVersion& v : versions) bFile = bFile || v.inode.IsFile();
        if (bFile)
            todo.push_back({f.first, f.second->nDir ? PlaceFolder(f.second->nDir) : kLostDir,
                            f.second->strName});
    }
    SettleLevels();
    for (const NoData& n : todo) RecordFile(n.nIno, n.nParent, n.strName);
    RecordLost();
    m_cache.clear();
    m_folders.WriteTo(*m_pStore, [this](uint32_t nDir) { return LevelOf(nDir); });
    m_pStore->FlushBufToFile();
    return 0;
}

void CFastExtRecovery::OpenDir(uint32_t nDir, bool bRoot, std::vector<uint32_t>& queue) {
    if (!m_setOpened.insert(nDir).second) return;
    std::vector<InodeVersion> versions;
    InodeVersions(nDir, versions);
    if (versions.empty()) return;
    const EXT_INODE& cur = versions[0].inode;
    const bool bLive = cur.IsDir() && IsInodeLive(cur, nDir);
    if (!bLive && bRoot) return;
    std::vector<Run> runs;
    EXT_INODE dir = cur;
    if (bLive) {
        m_setLiveDirs.insert(nDir);
        MapInode(cur, kOnDisk, false, runs);
    } else {
        InodeVersion chosen;
        bool bHealthy = false;
        if (ChooseVersion(nDir, true, chosen, runs, bHealthy)) dir = chosen.inode;
    }
    const bool bFileType = m_sb.nIncompat & EXT_INCOMPAT_FILETYPE;
    if (dir.nFlags & EXT_INODE_INLINE_DATA_FL) {
        std::vector<EXT_DIR_ENTRY> entries;
        ParseExtDirBlock(dir.block + 4, sizeof dir.block - 4, bFileType, m_sb.nInodes, entries);
        AddEntries(nDir, entries, kOnDisk, bLive, queue);
    }
    std::set<uint64_t> setBlocks;
    uint64_t u64Bytes = 0;
    for (const Run& r : runs) {
        for (uint64_t i = 0; i < r.u64Count && r.u64Physical && u64Bytes < kMaxDirBytes; ++i) {
            setBlocks.insert(r.u64Physical + i);
            u64Bytes += m_sb.nBlockBytes;
        }
    }
    std::vector<unsigned char> buf(m_sb.nBlockBytes);
    std::vector<EXT_DIR_ENTRY> entries;
    for (uint64_t u64Block : setBlocks) {
        // A deleted folder's block in use again holds someone else's data now.
        if ((bLive || !IsBlockInUse(u64Block)) && ReadBlocks(buf.data(), u64Block, 1) == 0) {
            entries.clear();
            ParseExtDirBlock(buf.data(), buf.size(), bFileType, m_sb.nInodes, entries);
            AddEntries(nDir, entries, kOnDisk, bLive, queue);
        }
        auto it = m_copies.find(u64Block);
        if (it == m_copies.end()) continue;
        for (const Copy& copy : it->second) {
            ReadCopy(copy, buf);
            if (buf.empty()) break;
            entries.clear();
            if (ParseExtDirBlock(buf.data(), buf.size(), bFileType, m_sb.nInodes, entries) ||
                !entries.empty())
                AddEntries(nDir, entries, copy.nSeq, false, queue);
        }
        buf.resize(m_sb.nBlockBytes);
    }
}

void CFastExtRecovery::AddEntries(uint32_t nDir, const std::vector<EXT_DIR_ENTRY>& vecEntries,
                                  uint64_t nSeq, bool bLiveBlock, std::vector<uint32_t>& queue) {
    const bool bFileType = m_sb.nIncompat & EXT_INCOMPAT_FILETYPE;
    for (const EXT_DIR_ENTRY& e : vecEntries) {
        // Names of the folder itself or of the root are no entries of a tree.
        if (e.strName == "." || e.strName == ".." || e.nInode == nDir || e.nInode == kExtRootInode)
            continue;
        uint8_t nType = e.nType;
        if (!bFileType) {
            // Without types in the entries, the inode tells (any of its versions).
            std::vector<InodeVersion> versions;
            InodeVersions(e.nInode, versions);
            nType = 0;
            for (const InodeVersion& v : versions)
                if (v.inode.IsDir() || v.inode.IsFile()) {
                    nType = v.inode.IsDir() ? EXT_FT_DIR : EXT_FT_FILE;
                    break;
                }
        }
        if (nType == EXT_FT_DIR) {
            if (bLiveBlock && e.bLive) {
                // A live folder: the tree the deleted files' paths run through.
                std::vector<InodeVersion> versions;
                InodeVersions(e.nInode, versions);
                if (!versions.empty() && !m_folders.mapDir.count(e.nInode)) {
                    FolderPaths::Folder folder;
                    FillNode(folder.node, versions[0].inode, e.nInode, e.strName);
                    folder.node.bIsDeleted = 0;
                    folder.node.u64RecordSector = versions[0].u64Sector;
                    folder.nParentId = nDir;
                    m_folders.mapDir[e.nInode] = folder;
                    m_mapDirParent[e.nInode] = nDir;
                }
            }
            if (!m_setOpened.count(e.nInode)) queue.push_back(e.nInode);
        }
        if (bLiveBlock && e.bLive) continue;
        auto it = m_mapNewest.find(e.nInode);
        if (it == m_mapNewest.end() || it->second.nSeq < nSeq)
            m_mapNewest[e.nInode] = Entry{nDir, e.strName, nType, nSeq};
    }
}

bool CFastExtRecovery::AddDeletedFolder(uint32_t nDir, const std::string& strName,
                                        uint32_t nParent) {
    std::vector<InodeVersion> versions;
    InodeVersions(nDir, versions);
    if (versions.empty()) return false;
    FolderPaths::Folder folder;
    EXT_INODE in = versions[0].inode;
    for (const InodeVersion& v : versions)
        if (v.inode.IsDir()) {
            in = v.inode;
            break;
        }
    FillNode(folder.node, in, nDir, strName);
    folder.node.bIsDir = 1;
    folder.node.u64FileSize = 0;
    folder.node.u64RecordSector = versions[0].u64Sector;
    folder.nParentId = nParent;
    m_folders.mapDir[nDir] = folder;
    return true;
}

void CFastExtRecovery::SettleFolders() {
    // Deleted folders: their newest name, or a made-up one under the root.
    for (uint32_t nDir : m_setOpened) {
        if (nDir == kExtRootInode || m_setLiveDirs.count(nDir) || m_folders.mapDir.count(nDir))
            continue;
        auto it = m_mapNewest.find(nDir);
        if (it != m_mapNewest.end()) {
            AddDeletedFolder(nDir, it->second.strName, it->second.nParent);
        } else {
            auto p = m_mapDirParent.find(nDir);
            AddDeletedFolder(nDir, "LostFolder" + std::to_string(nDir),
                             p != m_mapDirParent.end() ? p->second : kExtRootInode);
        }
    }
    FolderPaths::Folder lost;
    std::memset(&lost.node, 0, sizeof lost.node);
    lost.node.nDriveLetter = m_src.nDriveLetter;
    lost.node.nEngineType = ENGINE_FAST_EXT;
    lost.node.bIsDir = 1;
    lost.node.bIsDeleted = 1;
    lost.node.bDataHealth = 1;
    lost.node.nDirId = kLostDir;
    lost.node.nClusterBytes = m_sb.nBlockBytes;
    lost.node.u64PartitionStartSector = m_src.u64Start;
    std::strcpy(lost.node.szFileName, kLostDirName);
    lost.nParentId = kExtRootInode;
    m_folders.mapDir[kLostDir] = lost;
    SettleLevels();
}

void CFastExtRecovery::SettleLevels() {
    // A parent that is not known, or a chain that loops, puts the folder at the root.
    for (auto& d : m_folders.mapDir) {
        std::set<uint32_t> seen{d.first};
        uint32_t nAt = d.second.nParentId;
        while (nAt != kExtRootInode) {
            auto p = m_folders.mapDir.find(nAt);
            if (p == m_folders.mapDir.end() || !seen.insert(nAt).second) {
                d.second.nParentId = kExtRootInode;
                break;
            }
            nAt = p->second.nParentId;
        }
    }
    m_mapDirLevel.clear();
    m_mapDirLevel[kExtRootInode] = 0;
    for (const auto& d : m_folders.mapDir) {
        std::vector<uint32_t> chain;
        uint32_t nAt = d.first;
        while (!m_mapDirLevel.count(nAt)) {
            chain.push_back(nAt);
            auto p = m_folders.mapDir.find(nAt);
            nAt = p == m_folders.mapDir.end() ? kExtRootInode : p->second.nParentId;
        }
        unsigned int nLevel = m_mapDirLevel[nAt];
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) m_mapDirLevel[*it] = ++nLevel;
    }
}

unsigned int CFastExtRecovery::LevelOf(uint32_t nDir) const {
    auto it = m_mapDirLevel.find(nDir);
    return it == m_mapDirLevel.end() ? 0 : it->second;
}

void CFastExtRecovery::FillNode(_FILE_NODE_& node, const EXT_INODE& inode, uint32_t nIno,
                                const std::string& strName) {
    std::memset(&node, 0, sizeof(node));
    node.nDriveLetter = m_src.nDriveLetter;
    node.nEngineType = ENGINE_FAST_EXT;
    node.bIsDir = inode.IsDir() ? 1 : 0;
    node.bIsDeleted = 1;
    node.bDataHealth = 1;
    node.nDirId = nIno;
    node.nClusterBytes = m_sb.nBlockBytes;
    UnixToFileTime(inode.nCrtime ? inode.nCrtime : inode.nCtime, node.ftCreateTime);
    UnixToFileTime(inode.nAtime, node.ftLastAccessTime);
    UnixToFileTime(inode.nMtime, node.ftLastWriteTime);
    node.u64FileSize = node.bIsDir ? 0 : inode.u64Size;
    node.u64PartitionStartSector = m_src.u64Start;
    NameToNode(strName, node.szFileName, sizeof node.szFileName);
}

void CFastExtRecovery::RecordFile(uint32_t nIno, uint32_t nParent, const std::string& strName) {
    if (m_setRecorded.count(nIno)) return;
    InodeVersion chosen;
    std::vector<Run> runs;
    bool bHealthy = false;
    if (!ChooseVersion(nIno, false, chosen, runs, bHealthy)) {
        std::vector<InodeVersion> versions;
        InodeVersions(nIno, versions);
        if (!versions.empty() && !IsInodeLive(versions[0].inode, nIno)) {
            ++m_nNamesWithoutData;
            // Tried again when the deep scan meets more copies.
            if (m_bDeep && !strName.empty() && m_vecNoData.size() < kMaxFreeNames)
                m_vecNoData.push_back({nIno, nParent, strName});
        }
        return;
    }
    // The first block of the data (0 when the file begins with a hole).
    const uint64_t u64First = !runs.empty() && runs[0].u64Logical == 0 ? runs[0].u64Physical : 0;
    std::string strOwn = strName;
    if (strOwn.empty()) {
        strOwn = "#" + std::to_string(nIno);
        const std::string strExt = u64First ? GuessExtension(u64First) : std::string();
        if (!strExt.empty()) strOwn += "." + strExt;
    }
    _FILE_NODE_* pNode = static_cast<_FILE_NODE_*>(m_pStore->CreateFileNode(sizeof(_FILE_NODE_)));
    if (!pNode) return;
    FillNode(*pNode, chosen.inode, nIno, strOwn);
    pNode->u64RecordSector = chosen.u64Sector;
    pNode->u64DataStartSector = u64First * (m_sb.nBlockBytes / 512);
    pNode->bDataHealth = bHealthy ? DataHealth(*pNode) : 0;
    pNode->nFileIndex = m_pStore->GetFileIndex();
    m_pStore->AddChildren(nParent, LevelOf(nParent), pNode->nFileIndex, nIno, nullptr);
    m_folders.AddPath(nParent, kExtRootInode);
    m_setRecorded.insert(nIno);
    ++m_u64FilesFound;
}

uint32_t CFastExtRecovery::DataHealth(const _FILE_NODE_& node) {
    char szExt[sizeof(node.szFileName)] = {0};
    if (node.u64FileSize == 0 || node.u64DataStartSector == 0 ||
        GetExtendName(node.szFileName, szExt) != 0 || !szExt[0])
        return 1;
    unsigned char sector[512];
    const uint64_t u64Sector = m_src.u64Start + node.u64DataStartSector;
    unsigned int nRead = 0;
    if (m_src.reader.ReadData(sector, 1, static_cast<long long>(u64Sector), 512, &nRead) != 0)
        return 1;
    return CFileTypeJudge::IsFileTypeMatching(sector, sizeof sector, szExt, &m_src.reader, 512,
                                              u64Sector) != 0;
}

std::string CFastExtRecovery::GuessExtension(uint64_t u64Block) {
    unsigned char sector[512];
    unsigned int nRead = 0;
    if (m_src.reader.ReadData(sector, 1, static_cast<long long>(BlockSector(u64Block)), 512,
                              &nRead) != 0)
        return std::string();
    const EXTEND_NAME_TYPE nType = CFileTypeJudge::GetDataBufType(sector, sizeof sector);
    for (int i = 0; i < CFileTypeJudge::kExtendNameRows; ++i) {
        const _EXTEND_NAME_ITEM_& row = CFileTypeJudge::szExtendNameAndType[i];
        if (row.szExtendName && row.nType == nType) return row.szExtendName;
    }
    return std::string();
}

// ---------------------------------------------------------------------------
// Data.

unsigned int CFastExtRecovery::StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                              const DataSink& sink) {
    if (!m_bReady || node.nClusterBytes != m_sb.nBlockBytes || node.bIsDir)
        return TW_ERR_BAD_ARGUMENT;
    if (u64Wanted > node.u64FileSize) u64Wanted = node.u64FileSize;
    if (u64Wanted == 0) return 0;
    // The inode copy the scan chose, and which version it is.
    uint64_t u64TableBlock = 0;
    uint32_t nOffset = 0;
    if (!InodeBlock(node.nDirId, u64TableBlock, nOffset)) return TW_ERR_BAD_ARGUMENT;
    ReadJournal();
    uint64_t nSeq = kOnDisk;
    if (node.u64RecordSector != BlockSector(u64TableBlock)) {
        auto it = m_copies.find(u64TableBlock);
        bool bFound = false;
        if (it != m_copies.end())
            for (const Copy& c : it->second)
                if (c.u64Sector == node.u64RecordSector) {
                    nSeq = c.nSeq;
                    bFound = true;
                    break;
                }
        if (!bFound) return TW_ERR_SHORT_READ;
    }
    const std::vector<unsigned char>* pBlock = CachedBlockAt(node.u64RecordSector);
    if (!pBlock) return TW_ERR_SHORT_READ;
    const std::vector<unsigned char> raw(pBlock->begin() + nOffset,
                                         pBlock->begin() + nOffset + m_sb.nInodeBytes);
    EXT_INODE inode;
    ParseExtInode(raw.data(), raw.size(), inode);
    // The medium changed since the scan.
    if (!inode.IsFile() || inode.u64Size != node.u64FileSize) return TW_ERR_SHORT_READ;

    if (inode.nFlags & EXT_INODE_INLINE_DATA_FL) {
        std::string strData(reinterpret_cast<const char*>(inode.block), sizeof inode.block);
        strData += ExtInlineDataTail(raw.data(), raw.size());
        if (strData.size() < u64Wanted) return TW_ERR_SHORT_READ;
        return sink(reinterpret_cast<const unsigned char*>(strData.data()),
                    static_cast<size_t>(u64Wanted));
    }
    std::vector<Run> runs;
    unsigned int nRet = MapInode(inode, nSeq, true, runs);
    if (nRet != 0) return nRet;

    const uint32_t nBlock = m_sb.nBlockBytes;
    const uint32_t nPerRead = std::max<uint32_t>(1, kReadBytes / nBlock);
    std::vector<unsigned char> buf;
    try {
        buf.assign(static_cast<size_t>(nPerRead) * nBlock, 0);
    } catch (const std::bad_alloc&) {
        return TW_ERR_OUT_OF_MEMORY;
    }
    uint64_t u64Done = 0;
    size_t nRun = 0;
    while (u64Done < u64Wanted) {
        const uint64_t u64Logical = u64Done / nBlock;
        while (nRun < runs.size() && runs[nRun].u64Logical + runs[nRun].u64Count <= u64Logical)
            ++nRun;
        uint32_t nTake = nPerRead;
        bool bHole = true;
        uint64_t u64Physical = 0;
        if (nRun < runs.size() && runs[nRun].u64Logical <= u64Logical) {
            const Run& r = runs[nRun];
            const uint64_t u64Into = u64Logical - r.u64Logical;
            nTake = static_cast<uint32_t>(std::min<uint64_t>(nTake, r.u64Count - u64Into));
            bHole = r.u64Physical == 0;
            u64Physical = r.u64Physical + u64Into;
        } else if (nRun < runs.size()) {
            nTake = static_cast<uint32_t>(
                std::min<uint64_t>(nTake, runs[nRun].u64Logical - u64Logical));
        }
        if (bHole) {
            std::fill(buf.begin(), buf.begin() + static_cast<size_t>(nTake) * nBlock, 0);
        } else if ((nRet = ReadBlocks(buf.data(), u64Physical, nTake)) != 0) {
            return nRet;
        }
        const uint64_t u64Bytes =
            std::min<uint64_t>(static_cast<uint64_t>(nTake) * nBlock, u64Wanted - u64Done);
        nRet = sink(buf.data(), static_cast<size_t>(u64Bytes));
        if (nRet != 0) return nRet;
        u64Done += u64Bytes;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Free space.

unsigned int CFastExtRecovery::BuildBitMapInfo() {
    return 0;
}

unsigned int CFastExtRecovery::GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                                    unsigned long long& u64Count) {
    u64Count = 0;
    if (!m_bReady) return 1;
    const uint64_t u64Per = m_sb.nBlockBytes / 512;
    const uint64_t u64Bits = m_sb.u64Blocks - m_sb.nFirstDataBlock;
    uint64_t u64Block = (u64StartSector + u64Per - 1) / u64Per;
    if (u64Block < m_sb.nFirstDataBlock) u64Block = m_sb.nFirstDataBlock;
    uint64_t nFirst = 0, nEnd = 0;
    if (u64Block - m_sb.nFirstDataBlock < u64Bits)
        FindClearRun(m_vecBitmap, u64Bits, u64Block - m_sb.nFirstDataBlock, nFirst, nEnd);
    else
        nFirst = nEnd = u64Bits;
    if (nFirst >= u64Bits) {
        u64StartSector = m_sb.u64Blocks * u64Per;
        return 1;
    }
    u64StartSector = (nFirst + m_sb.nFirstDataBlock) * u64Per;
    u64Count = (nEnd - nFirst) * u64Per;
    return 1;
}
