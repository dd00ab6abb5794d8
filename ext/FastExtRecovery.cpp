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
#include "ext/FastExtLimits.h"

namespace {

// No more directories than this are opened.
const size_t kMaxDirs = 1u << 22;
// Blocks kept by the block cache.
const size_t kCacheBlocks = 64;
// The current inode tables are read for deleted inodes up to this much.
const uint64_t kMaxTableBytes = 1ull << 30;

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
        if (lNow - lLast >= kExtReportMs) {
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
            if (lNow - lLast >= kExtReportMs) {
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
            const uint32_t n = std::min<uint32_t>(nBlocks - b, kExtReadBytes / m_sb.nBlockBytes);
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
        RecordFile(nIno, kExtLostDir, std::string());
    }
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
    const uint32_t nPerRead = std::max<uint32_t>(1, kExtReadBytes / nBlock);
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
