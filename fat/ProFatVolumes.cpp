// The deep FAT parser's volumes: the virtual boot records that place
// clusters on the device, and each directory's parent and level.
#include "fat/ProfessionalFatRecovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include "common/ByteOrder.h"
#include "common/FatEntry.h"
#include "common/Helpers.h"
#include "device/FsRecognize.h"
#include "engine/NodeInfo.h"
#include "engine/SaveTarget.h"
#include "fat/FatRecord.h"
#include "fat/ProFatLimits.h"

namespace {

const uint32_t kMaxTag = 15;  // volume tags fit the top four bits of a directory id
const uint32_t kMaxObservations = 1u << 16;

}  // namespace

// ---------------------------------------------------------------------------
// Virtual boot records.

uint64_t CProfessionalFatRecovery::ClusterSector(int nDbr, uint32_t nCluster) const {
    const __VIRTUAL_DBR_INFO__& v = m_vecDbr[nDbr];
    const uint64_t u64Data = v.u64PartitionStart + v.nDataStart;
    if (nCluster < 2) {
        const uint32_t nRoot = (nDbr == 0 && m_bFindDbr) ? m_nBootRootSectors : 32;
        return u64Data >= nRoot ? u64Data - nRoot : ~0ull;
    }
    return u64Data + static_cast<uint64_t>(nCluster - 2) * v.nSectorsPerCluster;
}

bool CProfessionalFatRecovery::IsTopCluster(int nDbr, uint32_t nCluster) const {
    return nCluster == 0 || (nDbr == 0 && m_bFindDbr && nCluster == m_nRootCluster);
}

uint32_t CProfessionalFatRecovery::DirIdOf(int nDbr, uint32_t nCluster) const {
    if (IsTopCluster(nDbr, nCluster)) return 0;
    uint32_t nTag = nDbr < 0 ? 0 : (static_cast<uint32_t>(nDbr) > kMaxTag ? kMaxTag : nDbr);
    return (nTag << 28) | (nCluster & 0x0FFFFFFF);
}

int CProfessionalFatRecovery::AddDbr(uint32_t nSpc, uint64_t u64DataAbs) {
    auto key = std::make_pair(nSpc, u64DataAbs);
    auto it = m_mapDbrByGeometry.find(key);
    if (it != m_mapDbrByGeometry.end()) return it->second;
    if (u64DataAbs < m_src.u64Start || u64DataAbs - m_src.u64Start > 0xFFFFFFFFull) return -1;
    const int nIndex = static_cast<int>(m_vecDbr.size());
    m_vecDbr.push_back({nSpc, static_cast<uint32_t>(u64DataAbs - m_src.u64Start), m_src.u64Start});
    m_mapDbrByGeometry.emplace(key, nIndex);
    m_mapDbrByStart.emplace(u64DataAbs, nIndex);
    m_nSpcMask |= nSpc;
    return nIndex;
}

int CProfessionalFatRecovery::CalcVirtualDbr(uint32_t c1, uint64_t s1, uint32_t c2, uint64_t s2) {
    if (c1 <= c2 || s1 <= s2 || c2 < 2) return -1;
    const uint64_t u64Clusters = c1 - c2;
    if ((s1 - s2) % u64Clusters != 0) return -1;
    const uint64_t k = (s1 - s2) / u64Clusters;
    if (!IsClusterSize(k)) return -1;
    const uint64_t u64Offset = static_cast<uint64_t>(c2 - 2) * k;
    if (s2 < u64Offset) return -1;
    return AddDbr(static_cast<uint32_t>(k), s2 - u64Offset);
}

void CProfessionalFatRecovery::AddObservation(uint32_t c, uint64_t s) {
    // Two observations give a record exactly when they imply the same cluster
    // size and data start; the index finds the first such earlier one at once.
    const uint32_t nIndex = static_cast<uint32_t>(m_vecObservation.size());
    // Past a bound (directory copies inside file data, say) an observation is
    // still compared with the earlier ones but no longer kept.
    const bool bKeep = nIndex < kMaxObservations;
    uint32_t nBest = UINT32_MAX;
    for (uint32_t k = 1; k <= 128; k <<= 1) {
        const uint64_t u64Offset = static_cast<uint64_t>(c - 2) * k;
        if (s < u64Offset || s - u64Offset < m_src.u64Start) continue;
        auto key = std::make_pair(k, s - u64Offset);
        auto it = m_mapObservation.find(key);
        if (it != m_mapObservation.end()) {
            for (uint32_t j : it->second) {
                if (m_vecObservation[j].nCluster != c) {
                    if (j < nBest) nBest = j;
                    break;
                }
            }
        }
        if (!bKeep) continue;
        std::vector<uint32_t>& vec =
            it != m_mapObservation.end() ? it->second : m_mapObservation[key];
        if (vec.size() < 2 && (vec.empty() || m_vecObservation[vec[0]].nCluster != c))
            vec.push_back(nIndex);
    }
    if (nBest != UINT32_MAX) {
        const __FAT_SECTOR_OFFSET__& o = m_vecObservation[nBest];
        if (o.nCluster > c)
            CalcVirtualDbr(o.nCluster, o.u64Sector, c, s);
        else
            CalcVirtualDbr(c, s, o.nCluster, o.u64Sector);
    }
    if (bKeep) m_vecObservation.push_back({c, s});
}

int CProfessionalFatRecovery::GetExactVirtualDbr(uint32_t c, uint64_t s) const {
    int nBest = -1;
    if (c < 2) {
        if (c == 1) return -1;
        for (size_t i = 0; i < m_vecDbr.size() && nBest < 0; ++i)
            if (ClusterSector(static_cast<int>(i), 0) == s) nBest = static_cast<int>(i);
        return nBest;
    }
    for (uint32_t k = 1; k <= 128; k <<= 1) {
        if (!(m_nSpcMask & k)) continue;
        const uint64_t u64Offset = static_cast<uint64_t>(c - 2) * k;
        if (s < u64Offset) continue;
        auto it = m_mapDbrByGeometry.find(std::make_pair(k, s - u64Offset));
        if (it != m_mapDbrByGeometry.end() && (nBest < 0 || it->second < nBest)) nBest = it->second;
    }
    return nBest;
}

int CProfessionalFatRecovery::GetNearestVirtualDbrInfo(uint32_t c, uint64_t s) const {
    if (c < 2) return GetExactVirtualDbr(c, s);
    int nBest = -1;
    for (uint32_t k = 1; k <= 128; k <<= 1) {
        if (!(m_nSpcMask & k)) continue;
        const uint64_t u64Offset = static_cast<uint64_t>(c - 2) * k;
        if (s < u64Offset) continue;
        const uint64_t u64Hi = s - u64Offset;
        const uint64_t u64Lo = u64Hi >= k - 1 ? u64Hi - (k - 1) : 0;
        for (auto it = m_mapDbrByGeometry.lower_bound(std::make_pair(k, u64Lo));
             it != m_mapDbrByGeometry.end() && it->first.first == k && it->first.second <= u64Hi;
             ++it) {
            if (nBest < 0 || it->second < nBest) nBest = it->second;
        }
    }
    return nBest;
}

int CProfessionalFatRecovery::GetBestVirtalDbr(uint64_t s) const {
    if (m_vecDbr.empty()) return -1;
    if (m_vecDbr.size() == 1) return 0;
    int nBest = -1;
    uint64_t u64BestStart = 0;
    for (auto it = m_mapDbrByStart.upper_bound(s); it != m_mapDbrByStart.begin();) {
        --it;
        if (it->second == 0 && m_bFindDbr) continue;
        if (nBest >= 0 && it->first != u64BestStart) break;
        if (nBest < 0 || it->second < nBest) nBest = it->second;
        u64BestStart = it->first;
    }
    return nBest < 0 ? 0 : nBest;
}

// The record under which a sector begins a cluster; of several, the one whose
// data area starts nearest below it (the volume the sector lies in). A top
// directory (a volume label first) must begin exactly where its record puts
// the top: any record with small clusters would take it otherwise.
int CProfessionalFatRecovery::DbrBeginningCluster(const unsigned char* pBuf, uint64_t u64Sector,
                                                  uint32_t& nCluster) const {
    const bool bTop =
        pBuf[11] == FAT_ATTR_VOLUME_ID && pBuf[0] != 0 && pBuf[0] != FAT_ENTRY_DELETED;
    for (auto it = m_mapDbrByStart.upper_bound(u64Sector + 32); it != m_mapDbrByStart.begin();) {
        --it;
        const int nDbr = it->second;
        if (ClusterSector(nDbr, 0) == u64Sector) {
            nCluster = 0;
            return nDbr;
        }
        if (it->first > u64Sector || (bTop && it->first != u64Sector)) continue;
        const uint32_t nSpc = m_vecDbr[nDbr].nSectorsPerCluster;
        if ((u64Sector - it->first) % nSpc == 0) {
            nCluster = static_cast<uint32_t>((u64Sector - it->first) / nSpc) + 2;
            return nDbr;
        }
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Reading.

unsigned int CProfessionalFatRecovery::ReadClipped(unsigned char* pBuf, uint32_t nSectors,
                                                   uint64_t u64Sector, uint32_t& nRead) {
    nRead = 0;
    if (!m_src.bOpen) return TW_ERR_BAD_ARGUMENT;
    const uint64_t u64Limit = AreaEnd();
    if (u64Sector >= u64Limit || nSectors == 0) return TW_ERR_SHORT_READ;
    if (nSectors > u64Limit - u64Sector) nSectors = static_cast<uint32_t>(u64Limit - u64Sector);
    unsigned int nGot = 0;
    unsigned int nRet =
        m_src.reader.ReadData(pBuf, static_cast<int>(nSectors), static_cast<long long>(u64Sector),
                              static_cast<int>(m_nBytesPerSector), &nGot);
    if (nRet == 0 || nRet == TW_ERR_SHORT_READ) nRead = nGot;
    return nRet;
}

int64_t CProfessionalFatRecovery::DotDotOf(int nDbr, uint32_t nCluster) {
    if (nDbr < 0 || nCluster < 2) return kUnreadable;
    auto key = std::make_pair(nDbr, nCluster);
    auto it = m_mapDotDot.find(key);
    if (it != m_mapDotDot.end()) return it->second;
    std::vector<unsigned char> sector(m_nBytesPerSector);
    uint32_t nRead = 0;
    int64_t llResult = kUnreadable;
    const uint64_t u64Sector = ClusterSector(nDbr, nCluster);
    if (u64Sector < AreaEnd() && ReadClipped(sector.data(), 1, u64Sector, nRead) == 0 && nRead) {
        const unsigned char* p = sector.data();
        if (p[11] == FAT_ATTR_VOLUME_ID && p[0] != 0 && p[0] != FAT_ENTRY_DELETED) {
            llResult = kLabel;
        } else if (FatStartsWithDotEntries(p, m_nBytesPerSector)) {
            uint32_t nParent = FatSlotCluster(p + 32);
            llResult = IsTopCluster(nDbr, nParent) ? 0 : nParent;
        } else {
            llResult = kNotDir;
        }
    }
    m_mapDotDot.emplace(key, llResult);
    return llResult;
}

unsigned int CProfessionalFatRecovery::GetParentClusterNO(int nDbr, uint32_t nCluster,
                                                          uint32_t& nParent) {
    if (nDbr < 0 || nCluster == 0 || ClusterSector(nDbr, nCluster) >= AreaEnd())
        return TW_ERR_BAD_ARGUMENT;
    const int64_t ll = DotDotOf(nDbr, nCluster);
    if (ll == kUnreadable) return TW_ERR_SHORT_READ;
    nParent = ll >= 0 ? static_cast<uint32_t>(ll) : 0;
    return 0;
}

bool CProfessionalFatRecovery::EntryFits(const __PRO_DIR_INFO__& e, int nDbr) const {
    if (e.nDbr >= 0) return e.nDbr == nDbr;
    if (m_vecDbr.size() == 1) return true;
    const int nNear = e.nParentCluster
                          ? GetNearestVirtualDbrInfo(e.nParentCluster, e.u64EntrySector)
                          : GetBestVirtalDbr(e.u64EntrySector);
    return nNear == nDbr;
}

// The parent of a directory: the entry met in its parent whose ".." agrees with
// the directory's own first sector; without one, that ".." itself; else the top.
uint32_t CProfessionalFatRecovery::ParentOf(int nDbr, uint32_t nCluster,
                                            const __PRO_DIR_INFO__** ppEntry) {
    *ppEntry = nullptr;
    const int64_t llDotDot = DotDotOf(nDbr, nCluster);
    auto it = m_mapDir.find(nCluster);
    if (it != m_mapDir.end()) {
        for (auto e = it->second.rbegin(); e != it->second.rend(); ++e) {
            if (!EntryFits(*e, nDbr)) continue;
            const uint32_t nParent = IsTopCluster(nDbr, e->nParentCluster) ? 0 : e->nParentCluster;
            if (llDotDot >= 0 && nParent != llDotDot) continue;
            *ppEntry = &*e;
            return nParent;
        }
    }
    uint32_t nParent = 0;
    GetParentClusterNO(nDbr, nCluster, nParent);
    return nParent;
}

// The level of a directory (0 for the top): one for each step up the parents
// that the tree is built from. A directory whose first sector is no
// directory's start is still one level below its parent; the walk ends at
// the top, at a volume label, at a directory met before or at the area's end.
unsigned int CProfessionalFatRecovery::GetRootParentDirIndex(int nDbr, uint32_t nCluster,
                                                             unsigned int& nLevel,
                                                             std::set<uint32_t>& setVisited) {
    if (nDbr < 0 || nCluster == 0) return TW_ERR_BAD_ARGUMENT;
    std::vector<uint32_t> vecPath;
    nLevel += WalkToTop(nDbr, nCluster, setVisited, vecPath);
    return 0;
}

// The levels of the directories from nCluster up, remembered for each: a walk
// stops at a directory whose level is known, so every chain is walked once.
unsigned int CProfessionalFatRecovery::LevelOf(int nDbr, uint32_t nCluster) {
    if (nDbr < 0 || IsTopCluster(nDbr, nCluster)) return 0;
    std::set<uint32_t> setVisited;
    std::vector<uint32_t> vecPath;
    return WalkToTop(nDbr, nCluster, setVisited, vecPath);
}

unsigned int CProfessionalFatRecovery::WalkToTop(int nDbr, uint32_t nCluster,
                                                 std::set<uint32_t>& setVisited,
                                                 std::vector<uint32_t>& vecPath) {
    unsigned int nBase = 0;                  // the level of where the walk stopped
    size_t nLoop = ~static_cast<size_t>(0);  // where a loop closes on the path
    while (!IsTopCluster(nDbr, nCluster)) {
        auto it = m_mapLevel.find(std::make_pair(nDbr, nCluster));
        if (it != m_mapLevel.end()) {
            nBase = it->second;
            break;
        }
        if (!setVisited.insert(nCluster).second) {
            nLoop = static_cast<size_t>(std::find(vecPath.begin(), vecPath.end(), nCluster) -
                                        vecPath.begin());
            break;
        }
        if (ClusterSector(nDbr, nCluster) >= AreaEnd() || DotDotOf(nDbr, nCluster) == kLabel) break;
        vecPath.push_back(nCluster);
        const __PRO_DIR_INFO__* pEntry = nullptr;
        nCluster = ParentOf(nDbr, nCluster, &pEntry);
    }
    // Each directory counts the ones above it once: in a loop, the loop's.
    const size_t n = vecPath.size();
    for (size_t i = 0; i < n; ++i) {
        const size_t nCounted = nLoop < n && i > nLoop ? n - nLoop : n - i;
        m_mapLevel[std::make_pair(nDbr, vecPath[i])] = nBase + static_cast<unsigned>(nCounted);
    }
    return n ? m_mapLevel[std::make_pair(nDbr, vecPath[0])] : nBase;
}

unsigned int CProfessionalFatRecovery::GetFileRealHighClusterNO(uint16_t nLow, uint16_t& nHigh,
                                                                const char* szName, int nDbr) {
    if (nDbr < 0 || !szName) return 0;
    const std::string strExt = FatLowerExtension(szName);
    if (strExt.empty()) return 0;
    std::vector<unsigned char> sector(m_nBytesPerSector);
    for (uint32_t nTry = 0; nTry <= 256; ++nTry) {
        const uint32_t nCluster = (nTry << 16) | nLow;
        if (nCluster < 2) continue;
        const uint64_t u64Sector = ClusterSector(nDbr, nCluster);
        if (u64Sector >= AreaEnd()) return 0;
        // In all, the search reads no more sectors than the area holds: a
        // crafted run of deleted entries cannot multiply the scan's reads.
        if (++m_u64HighSearchReads > m_src.u64Count) return 0;
        uint32_t nRead = 0;
        unsigned int nRet = ReadClipped(sector.data(), 1, u64Sector, nRead);
        if (nRead == 0) return nRet == TW_ERR_SHORT_READ ? 0 : nRet;
        if (FatIsSectorOfType(m_src.reader, sector.data(), m_nBytesPerSector, strExt.c_str(),
                              u64Sector)) {
            nHigh = static_cast<uint16_t>(nTry);
            return 0;
        }
    }
    return 0;
}

uint16_t CProfessionalFatRecovery::GetDirRealHighClusterNO(uint16_t nLow, int nDbr) {
    for (uint32_t nTry = 0; nDbr >= 0 && nTry <= 256; ++nTry) {
        const uint32_t nCluster = (nTry << 16) | nLow;
        if (nCluster < 2) continue;
        if (ClusterSector(nDbr, nCluster) >= AreaEnd()) break;
        if (DotDotOf(nDbr, nCluster) >= 0) return static_cast<uint16_t>(nTry);
    }
    return 0;
}

uint32_t CProfessionalFatRecovery::IsFileDataHealth(const _FILE_NODE_* pNode,
                                                    uint32_t nSectorsPerCluster) {
    if (!pNode) return 1;
    if (!FitsInVolume(pNode->u64FileSize, m_src.u64Count, m_nBytesPerSector)) return 0;
    const std::string strExt = FatLowerExtension(pNode->szFileName);
    if (strExt.empty()) return 1;
    if (pNode->nDirId < 2) return pNode->u64FileSize == 0 ? 1 : 0;
    const uint64_t u64Sector = pNode->u64DataStartSector + pNode->u64PartitionStartSector +
                               static_cast<uint64_t>(pNode->nDirId - 2) * nSectorsPerCluster;
    std::vector<unsigned char> sector(m_nBytesPerSector);
    uint32_t nRead = 0;
    if (ReadClipped(sector.data(), 1, u64Sector, nRead) != 0 || nRead == 0) return 1;
    return FatIsSectorOfType(m_src.reader, sector.data(), m_nBytesPerSector, strExt.c_str(),
                             u64Sector)
               ? 1
               : 0;
}
