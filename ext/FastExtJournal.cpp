// The ext engine's block maps and its journal: the copies of blocks the log
// holds, read from the journal inode or met in free space by a deep scan.
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

// What a deep scan keeps of the free space's journal blocks.
const size_t kMaxFreeJournal = 1u << 16;

// A logged copy whose first four bytes were the journal's magic has them back.
void RestoreJournalMagic(unsigned char* p) {
    p[0] = 0xC0;
    p[1] = 0x3B;
    p[2] = 0x39;
    p[3] = 0x98;
}

// A block a descriptor announced, awaited at its place in the log.
struct PendingCopy {
    uint64_t u64Block;
    uint32_t nSeq;
    JBD_TAG tag;
};
// A logged directory block that starts with "." and "..".
struct LoggedDotDir {
    uint32_t nDir, nParent;
    uint64_t u64Block;
    uint32_t nSeq;
    bool bVerified;
};

}  // namespace

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

unsigned int CFastExtRecovery::MapJournal(std::vector<uint64_t>& vecMap, uint32_t& nMax) {
    std::vector<InodeVersion> versions;
    InodeVersions(m_sb.nJournalInode, versions);
    if (versions.empty()) return TW_ERR_SHORT_READ;
    std::vector<Run> runs;
    if (MapInode(versions[0].inode, kOnDisk, false, runs) != 0 || runs.empty())
        return TW_ERR_BAD_ARGUMENT;
    // Journal block -> file-system block (0 for a hole).
    const uint64_t u64Len = runs.back().u64Logical + runs.back().u64Count;
    if (u64Len > (1u << 26)) return TW_ERR_BAD_ARGUMENT;
    vecMap.assign(static_cast<size_t>(u64Len), 0);
    for (const Run& r : runs)
        for (uint64_t i = 0; i < r.u64Count && r.u64Physical; ++i)
            vecMap[r.u64Logical + i] = r.u64Physical + i;
    std::vector<unsigned char> block(m_sb.nBlockBytes);
    if (vecMap[0] == 0 || ReadBlocks(block.data(), vecMap[0], 1) != 0 ||
        !ParseJournalSuper(block.data(), block.size(), m_js) ||
        m_js.nBlockBytes != m_sb.nBlockBytes)
        return TW_ERR_BAD_ARGUMENT;
    nMax = static_cast<uint32_t>(std::min<uint64_t>(m_js.nMaxLen, vecMap.size()));
    if (m_js.nFirst >= nMax) return TW_ERR_BAD_ARGUMENT;
    return 0;
}

unsigned int CFastExtRecovery::ReadJournal() {
    if (m_bJournalRead) return 0;
    m_bJournalRead = true;
    m_copies.clear();
    m_vecDotDirs.clear();
    m_nJournalCopies = 0;
    if (!m_bReady || m_sb.nJournalInode == 0) return 0;
    std::vector<uint64_t> vecMap;
    uint32_t nMax = 0;
    if (const unsigned int nRet = MapJournal(vecMap, nMax)) return nRet;
    std::vector<unsigned char> block(m_sb.nBlockBytes);

    struct Found {
        uint64_t u64Block;
        Copy copy;
        bool bVerified;
    };
    std::unordered_map<uint32_t, PendingCopy> mapPending;  // journal block -> the copy it holds
    std::vector<Found> vecFound;
    std::set<uint32_t> setCommitted;
    std::vector<LoggedDotDir> vecDots;
    const uint32_t nFirst = m_js.nFirst;
    auto next = [nFirst, nMax](uint32_t j) { return j + 1 >= nMax ? nFirst : j + 1; };

    auto handle = [&](uint32_t j, const unsigned char* p) {
        uint32_t nType = 0, nSeq = 0;
        const bool bHeader = ParseJournalHeader(p, m_sb.nBlockBytes, nType, nSeq);
        auto it = mapPending.find(j);
        if (it != mapPending.end()) {
            const PendingCopy pend = it->second;
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
    const uint32_t nPerRead = std::max<uint32_t>(1, kExtReadBytes / m_sb.nBlockBytes);
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
        if (lNow - lLast >= kExtReportMs) {
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
    for (const LoggedDotDir& d : vecDots)
        if (d.bVerified || setCommitted.count(d.nSeq)) m_vecDotDirs.push_back({d.nDir, d.nParent});
    m_cache.clear();
    return 0;
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
        if (nDir != vecEntries[1].nInode && m_mapFreeParents.size() < kExtMaxFreeNames)
            m_mapFreeParents.emplace(nDir, vecEntries[1].nInode);
    }
    for (const EXT_DIR_ENTRY& e : vecEntries) {
        if (e.strName == "." || e.strName == ".." || e.nInode == nDir ||
            e.nInode < m_sb.nFirstIno || m_mapFreeNames.size() >= kExtMaxFreeNames)
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
