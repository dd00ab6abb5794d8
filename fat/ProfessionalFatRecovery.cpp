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

namespace {

const uint32_t kMaxClusterBytes = 104857600;  // no read buffer above 100 MiB
const uint64_t kUnDealBudget = 64ull << 20;
const uint64_t kInFile = 1ull << 63;
const uint32_t kMaxTag = 15;  // volume tags fit the top four bits of a directory id
const size_t kMaxKeptRemainders = 4096;
const uint32_t kMaxObservations = 1u << 16;
const size_t kMaxRunBytes = 20 * 32;  // a long name has at most 20 parts
// DotDotOf results that are no cluster.
const int64_t kNotDir = -1, kLabel = -2, kUnreadable = -3;

bool IsClusterSize(uint64_t k) {
    return k >= 1 && k <= 128 && (k & (k - 1)) == 0;
}

// The bucket of a sector's first slot for the search of long-name
// continuations: long-name slots by their checksum, live short slots by the
// checksum of their name; -1 for anything else.
int ContinuationKey(const unsigned char* pSlot) {
    if (!IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(pSlot), 32) || pSlot[0] == 0)
        return -1;
    if (pSlot[11] == FAT_ATTR_LONG_NAME) return pSlot[13];
    if (pSlot[0] == FAT_ENTRY_DELETED) return -1;
    return 256 + GetShortNameCheckSum(reinterpret_cast<const char*>(pSlot));
}

}  // namespace

CProfessionalFatRecovery::CProfessionalFatRecovery()
    : m_nBytesPerSector(512),
      m_nSpcMask(0),
      m_bFindDbr(false),
      m_nRootCluster(2),
      m_nBootRootSectors(32),
      m_nDbrPlaced(0),
      m_u64UnDealBudget(kUnDealBudget),
      m_nUnDealFd(-1),
      m_u64UnDealFileSize(0),
      m_u64UnDealSpilled(0) {
    m_nScale = 90;
}

CProfessionalFatRecovery::~CProfessionalFatRecovery() {
    ClearUnDeal();
}

// ---------------------------------------------------------------------------
// Set-up.

unsigned int CProfessionalFatRecovery::Opened() {
    m_bFindDbr = false;
    m_ctx = ParseContext();
    return 0;
}

unsigned int CProfessionalFatRecovery::Init(const std::shared_ptr<CMediumSource>& pSource,
                                            long long llFirstSector, long long llSectorCount,
                                            wchar_t wcDriveLetter) {
    return m_src.Open(pSource, llFirstSector, llSectorCount, wcDriveLetter,
                      [this] { return Opened(); });
}

unsigned int CProfessionalFatRecovery::InitVirtualDbrInfo() {
    std::vector<unsigned char> buf(4096, 0);
    uint32_t nRead = 0;
    unsigned int nRet = ReadClipped(buf.data(), 8, m_src.u64Start, nRead);
    if (nRead == 0) return nRet ? nRet : TW_ERR_SHORT_READ;
    const unsigned char* b = buf.data();
    if (!IsFat(b) || Le16(b + 0x0B) != m_nBytesPerSector) return 0;
    const bool bFat32 = std::memcmp(b + 0x52, "FAT32   ", 8) == 0;
    const uint32_t nSpc = b[0x0D], nReserved = Le16(b + 0x0E), nFats = b[0x10];
    const uint32_t nFatSize = bFat32 ? Le32(b + 0x24) : Le16(b + 0x16);
    if (!IsClusterSize(nSpc) || nReserved == 0 || nFats == 0 || nFatSize == 0) return 0;
    // The root area of FAT12/16 holds as many sectors as its entries need.
    const uint32_t nRootSectors = bFat32 ? 0 : (Le16(b + 0x11) * 32u + 511) / 512;
    const uint64_t u64Data = nReserved + static_cast<uint64_t>(nFats) * nFatSize + nRootSectors;
    if (u64Data >= m_src.u64Count) return 0;
    const bool bFirst = m_vecDbr.empty();
    int nDbr = AddDbr(nSpc, m_src.u64Start + u64Data);
    if (nDbr == 0 && bFirst) {
        m_bFindDbr = true;
        m_nRootCluster = bFat32 ? Le32(b + 0x2C) : 0;
        m_nBootRootSectors = nRootSectors;
    }
    return 0;
}

unsigned int CProfessionalFatRecovery::ClearProfessionalVec(const wchar_t* wszName) {
    m_vecDbr.clear();
    m_mapDbrByGeometry.clear();
    m_mapDbrByStart.clear();
    m_nSpcMask = 0;
    m_bFindDbr = false;
    m_nRootCluster = 2;
    m_nBootRootSectors = 32;
    m_nDbrPlaced = 0;
    m_vecObservation.clear();
    m_mapObservation.clear();
    m_vecNoDbrFile.clear();
    m_vecLongFile.clear();
    ClearUnDeal();
    m_mapDir.clear();
    m_mapNeedAdd.clear();
    m_mapLevel.clear();
    m_mapDotDot.clear();
    m_vecPlaced.clear();
    m_u64HighSearchReads = 0;
    m_ctx = ParseContext();

    unsigned int nRet;
    if (wszName && *wszName) {
        nRet = OpenStore(wszName);
    } else {
        nRet = OpenFreshStore("Pro_Fat_", static_cast<long long>(m_src.u64Start), false);
    }
    m_strUnDealPath = nRet == 0 ? m_pStore->GetNodeFilePath() + "_UnDeal" : std::string();
    return nRet;
}

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

// ---------------------------------------------------------------------------
// Parsing.

void CProfessionalFatRecovery::ClusterRange(int nDbr, uint32_t nCluster, uint64_t& u64Start,
                                            uint32_t& nSectors) const {
    u64Start = ClusterSector(nDbr, nCluster);
    nSectors = m_vecDbr[nDbr].nSectorsPerCluster;
    if (nCluster == 0) {  // the FAT12/16 top area, up to cluster 2
        const uint64_t u64Data = ClusterSector(nDbr, 2);
        nSectors = u64Start < u64Data ? static_cast<uint32_t>(u64Data - u64Start) : 0;
    }
}

void CProfessionalFatRecovery::SetContext(int nDbr, uint32_t nCluster) {
    m_ctx.nDbr = nDbr;
    m_ctx.nCluster = nCluster;
    ClusterRange(nDbr, nCluster, m_ctx.u64Sector, m_ctx.nSectors);
}

bool CProfessionalFatRecovery::InContext(uint64_t u64Sector) const {
    return m_ctx.nDbr >= 0 && u64Sector > m_ctx.u64Sector &&
           u64Sector - m_ctx.u64Sector < m_ctx.nSectors;
}

unsigned int CProfessionalFatRecovery::ParseFatFileRecord(const unsigned char* pBuf,
                                                          uint64_t u64Sector) {
    if (!pBuf || !IsFatFileRecord(pBuf)) return TW_ERR_BAD_ARGUMENT;
    const uint32_t c = FatSlotCluster(pBuf);
    int nDbr = GetExactVirtualDbr(c, u64Sector);
    if (nDbr < 0 && c >= 2) {
        AddObservation(c, u64Sector);
        nDbr = GetExactVirtualDbr(c, u64Sector);
    }
    if (nDbr >= 0) {
        UpdateNoDbrFileVec();
        SetContext(nDbr, c);
    } else {
        m_ctx = ParseContext();
    }
    ParseFatFDTRecord(pBuf, static_cast<int>(m_nBytesPerSector), u64Sector, c, nDbr);
    return 0;
}

unsigned int CProfessionalFatRecovery::ParseFDTFileRecord(const unsigned char* pBuf,
                                                          uint64_t u64Sector) {
    if (!pBuf) return TW_ERR_BAD_ARGUMENT;
    if (TakeKeptRemainder(pBuf, u64Sector)) return 0;
    if (InContext(u64Sector)) {
        ParseFatFDTRecord(pBuf, static_cast<int>(m_nBytesPerSector), u64Sector, m_ctx.nCluster,
                          m_ctx.nDbr);
        return 0;
    }
    DoParseFileOrAddUndelFileMap(pBuf, u64Sector);
    return 0;
}

void CProfessionalFatRecovery::DoParseFileOrAddUndelFileMap(const unsigned char* pBuf,
                                                            uint64_t u64Sector) {
    uint32_t nCluster = 0;
    const int nDbr = DbrBeginningCluster(pBuf, u64Sector, nCluster);
    if (nDbr < 0) {
        AddUnDeal(pBuf, u64Sector);
        return;
    }
    SetContext(nDbr, nCluster);
    ParseFatFDTRecord(pBuf, static_cast<int>(m_nBytesPerSector), u64Sector, nCluster, nDbr);
}

bool CProfessionalFatRecovery::Continues(const __LONG_FILE_INFO__& remain,
                                         const unsigned char* pSlot, uint64_t u64Sector) const {
    if (!IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(pSlot), 32) || pSlot[0] == 0)
        return false;
    if (pSlot[11] == FAT_ATTR_LONG_NAME) return pSlot[13] == remain.nCheckSum;
    if (pSlot[0] != FAT_ENTRY_DELETED)
        return GetShortNameCheckSum(reinterpret_cast<const char*>(pSlot)) == remain.nCheckSum;
    // A deleted short slot lost the byte the checksum needs: it continues a
    // name cut off within the same cluster.
    const uint64_t u64Span = remain.nDbr >= 0 ? m_vecDbr[remain.nDbr].nSectorsPerCluster : 1;
    return u64Sector > remain.u64Sector &&
           u64Sector - remain.u64Sector < std::max<uint64_t>(u64Span, 2);
}

bool CProfessionalFatRecovery::TakeKeptRemainder(const unsigned char* pBuf, uint64_t u64Sector) {
    for (size_t i = m_vecLongFile.size(); i-- > 0;) {
        if (!Continues(m_vecLongFile[i], pBuf, u64Sector)) continue;
        __LONG_FILE_INFO__ remain = std::move(m_vecLongFile[i]);
        m_vecLongFile.erase(m_vecLongFile.begin() + static_cast<long>(i));
        if (remain.nDbr >= 0) SetContext(remain.nDbr, remain.nCluster);
        ParseJoined(remain, pBuf, u64Sector);
        return true;
    }
    return false;
}

void CProfessionalFatRecovery::ParseJoined(const __LONG_FILE_INFO__& remain,
                                           const unsigned char* pBuf, uint64_t u64Sector) {
    std::vector<unsigned char> joined(remain.vecBytes);
    joined.insert(joined.end(), pBuf, pBuf + m_nBytesPerSector);
    ParseFatFDTRecord(joined.data(), static_cast<int>(joined.size()), u64Sector, remain.nCluster,
                      remain.nDbr, remain.u64Sector, static_cast<int>(remain.vecBytes.size()));
}

void CProfessionalFatRecovery::ParseFatFDTRecord(const unsigned char* pBuf, int nLength,
                                                 uint64_t u64Sector, uint32_t nCluster, int nDbr,
                                                 uint64_t u64LeadSector, int nLeadBytes) {
    if (nDbr < 0) nDbr = GetExactVirtualDbr(nCluster, u64Sector);
    __LONG_FILE_INFO__ remain;
    DealProfessionalFatFileEntry(pBuf, nLength, u64Sector, nCluster, nDbr, remain, u64LeadSector,
                                 nLeadBytes);
    // A long name cut off by the buffer's end goes on in a sector kept aside
    // earlier, or in one still to come.
    std::vector<unsigned char> sector(m_nBytesPerSector);
    while (!remain.vecBytes.empty()) {
        const int nFound = FindUnDealContinuation(remain);
        if (nFound < 0 || !LoadUnDeal(m_vecUnDeal[nFound], sector.data())) {
            if (m_vecLongFile.size() >= kMaxKeptRemainders)
                m_vecLongFile.erase(m_vecLongFile.begin());
            m_vecLongFile.push_back(std::move(remain));
            return;
        }
        m_vecUnDeal[nFound].bDealt = 1;
        std::vector<unsigned char> joined(remain.vecBytes);
        joined.insert(joined.end(), sector.begin(), sector.end());
        __LONG_FILE_INFO__ next;
        DealProfessionalFatFileEntry(joined.data(), static_cast<int>(joined.size()),
                                     m_vecUnDeal[nFound].u64Sector, remain.nCluster, remain.nDbr,
                                     next, remain.u64Sector,
                                     static_cast<int>(remain.vecBytes.size()));
        remain = std::move(next);
    }
}

// The directory a buffer of entries belongs to (0 for the top).
uint32_t CProfessionalFatRecovery::FindBufferDir(const unsigned char* pBuf, int nLength,
                                                 uint32_t nCluster, int nDbr) {
    if (pBuf[11] == FAT_ATTR_VOLUME_ID && pBuf[0] != 0 && pBuf[0] != FAT_ENTRY_DELETED) return 0;
    if (FatStartsWithDotEntries(pBuf, static_cast<uint32_t>(nLength))) {
        const uint32_t nSelf = FatSlotCluster(pBuf);
        return IsTopCluster(nDbr, nSelf) ? 0 : nSelf;
    }
    if (nDbr < 0) return nCluster;
    if (IsTopCluster(nDbr, nCluster)) return 0;
    const int64_t llOwn = DotDotOf(nDbr, nCluster);
    if (llOwn >= 0) return nCluster;
    if (llOwn == kLabel) return 0;
    // A later cluster of a directory: a subdirectory's ".." names the directory.
    for (int o = 0; o + 32 <= nLength && pBuf[o] != 0; o += 32) {
        const unsigned char* p = pBuf + o;
        if (p[11] == FAT_ATTR_LONG_NAME || !(p[11] & FAT_ATTR_DIRECTORY) || p[0] == '.') continue;
        if (!IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(p), nLength - o)) continue;
        const int64_t llParent = DotDotOf(nDbr, FatSlotCluster(p));
        if (llParent >= 0) return static_cast<uint32_t>(llParent);
    }
    return nCluster;
}

void CProfessionalFatRecovery::DealProfessionalFatFileEntry(const unsigned char* pBuf, int nLength,
                                                            uint64_t u64Sector, uint32_t nCluster,
                                                            int nDbr, __LONG_FILE_INFO__& remain,
                                                            uint64_t u64LeadSector,
                                                            int nLeadBytes) {
    remain = __LONG_FILE_INFO__();
    if (!pBuf || nLength < 32) return;
    uint32_t nDir = FindBufferDir(pBuf, nLength, nCluster, nDbr);
    FatLongName lfn;
    int nRunStart = -1;
    bool bEnded = false;
    for (int o = 0; o + 32 <= nLength; o += 32) {
        const unsigned char* p = pBuf + o;
        if (p[0] == 0) {
            bEnded = true;
            break;
        }
        const uint64_t u64Entry =
            o < nLeadBytes ? u64LeadSector
                           : u64Sector + static_cast<uint64_t>(o - nLeadBytes) / m_nBytesPerSector;
        if (!IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(p), nLength - o)) {
            lfn.Reset();
            nRunStart = -1;
            continue;
        }
        const uint8_t nAttr = p[11];
        if (nAttr == FAT_ATTR_LONG_NAME) {
            if (!lfn.bPending || p[13] != lfn.nCheckSum) nRunStart = o;
            lfn.AddPart(p);
            if (!lfn.bPending) nRunStart = -1;
            continue;
        }
        nRunStart = -1;
        const bool bDir = (nAttr & FAT_ATTR_DIRECTORY) != 0;
        const std::string strName = FatSlotName(lfn, p, bDir);
        if (strName.empty()) continue;
        if (bDir) {
            if (strName == ".") {
                const uint32_t nSelf = FatSlotCluster(p);
                if (nSelf >= 2) nDir = IsTopCluster(nDbr, nSelf) ? 0 : nSelf;
            } else if (strName != "..") {
                RecordDirEntry(p, MakeSafeFileName(strName.c_str()), u64Entry, nDir, nDbr);
            }
        } else if ((nAttr & FAT_ATTR_ARCHIVE) && !(nAttr & FAT_ATTR_VOLUME_ID)) {
            RecordFile(p, MakeSafeFileName(strName.c_str()), u64Entry, u64Sector, nDir, nDbr);
        }
    }
    if (!bEnded && lfn.bPending && nRunStart >= 0 &&
        static_cast<size_t>(nLength - nRunStart) <= kMaxRunBytes) {
        remain.nCheckSum = lfn.nCheckSum;
        remain.nDbr = nDbr;
        remain.nCluster = nCluster;
        remain.u64Sector =
            nRunStart < nLeadBytes
                ? u64LeadSector
                : u64Sector + static_cast<uint64_t>(nLength - 1 - nLeadBytes) / m_nBytesPerSector;
        remain.vecBytes.assign(pBuf + nRunStart, pBuf + nLength);
    }
}

void CProfessionalFatRecovery::RecordFile(const unsigned char* pSlot, const std::string& strName,
                                          uint64_t u64Entry, uint64_t u64DirSector, uint32_t nDir,
                                          int nDbr) {
    const bool bDeleted = pSlot[0] == FAT_ENTRY_DELETED;
    const uint16_t nLow = Le16(pSlot + 0x1A);
    uint16_t nHigh = Le16(pSlot + 0x14);
    if (bDeleted && nHigh == 0) GetFileRealHighClusterNO(nLow, nHigh, strName.c_str(), nDbr);
    _FILE_NODE_ node;
    std::memset(&node, 0, sizeof(node));
    node.nDriveLetter = m_src.nDriveLetter;
    node.nEngineType = ENGINE_DEEP_FAT;
    node.bIsDeleted = bDeleted ? 1 : 0;
    node.bDataHealth = 1;
    node.nDirId = (static_cast<uint32_t>(nHigh) << 16) | nLow;
    FatSetTimes(node, pSlot);
    node.u64FileSize = Le32(pSlot + 0x1C);
    node.u64RecordSector = u64Entry;
    FatCopyName(node, strName);
    if (nDbr >= 0) {
        PlaceFile(node, nDir, nDbr);
        return;
    }
    __NO_DBR_FILE_NODE__ pending;
    pending.bDealt = 0;
    pending.node = node;
    pending.node.nFileIndex = nDir;
    pending.node.u64RecordSector = u64DirSector;
    m_vecNoDbrFile.push_back(pending);
}

void CProfessionalFatRecovery::RecordDirEntry(const unsigned char* pSlot,
                                              const std::string& strName, uint64_t u64Entry,
                                              uint32_t nDir, int nDbr) {
    uint32_t nFirst = FatSlotCluster(pSlot);
    if (pSlot[0] == FAT_ENTRY_DELETED && (nFirst >> 16) == 0)
        nFirst |= static_cast<uint32_t>(GetDirRealHighClusterNO(Le16(pSlot + 0x1A), nDbr)) << 16;
    if (nFirst < 2 || nFirst == nDir) return;
    __PRO_DIR_INFO__ info;
    std::memset(&info, 0, sizeof(info));
    info.node.nDriveLetter = m_src.nDriveLetter;
    info.node.nEngineType = ENGINE_DEEP_FAT;
    info.node.bIsDir = 1;
    info.node.bIsDeleted = pSlot[0] == FAT_ENTRY_DELETED ? 1 : 0;
    info.node.nDirId = nFirst;
    FatSetTimes(info.node, pSlot);
    info.node.u64RecordSector = u64Entry;
    FatCopyName(info.node, strName);
    info.nParentCluster = nDir;
    info.u64EntrySector = u64Entry;
    info.nDbr = nDbr;
    std::vector<__PRO_DIR_INFO__>& vec = m_mapDir[nFirst];
    for (__PRO_DIR_INFO__& e : vec) {
        if (e.nParentCluster == nDir && e.nDbr == nDbr) {
            e = info;  // the same entry met again
            return;
        }
    }
    vec.push_back(info);
}

void CProfessionalFatRecovery::PlaceFile(_FILE_NODE_ node, uint32_t nDir, int nDbr) {
    if (!m_pStore) return;
    const __VIRTUAL_DBR_INFO__& v = m_vecDbr[nDbr];
    node.u64DataStartSector = v.nDataStart;
    node.u64PartitionStartSector = v.u64PartitionStart;
    node.nClusterBytes = m_nBytesPerSector * v.nSectorsPerCluster;
    node.nFileIndex = 0;
    node.bDataHealth = IsFileDataHealth(&node, v.nSectorsPerCluster);
    if (IsTopCluster(nDbr, nDir)) nDir = 0;
    _FILE_NODE_* p = static_cast<_FILE_NODE_*>(m_pStore->CreateFileNode(sizeof(_FILE_NODE_)));
    if (!p) return;
    std::memcpy(p, &node, sizeof(node));
    p->nFileIndex = m_pStore->GetFileIndex();
    // Filed under its folder at the end of the pass, once every folder's
    // parent is known.
    m_vecPlaced.push_back({nDbr, nDir, p->nFileIndex, node.nDirId});
    NoteNeedAdd(nDbr, nDir);
}

void CProfessionalFatRecovery::NoteNeedAdd(int nDbr, uint32_t nDir) {
    std::set<uint32_t> setVisited;
    while (!IsTopCluster(nDbr, nDir) && setVisited.insert(nDir).second) {
        // A directory noted before has its path noted too.
        if (!m_mapNeedAdd.emplace(std::make_pair(nDbr, nDir), ClusterSector(nDbr, nDir)).second)
            return;
        const __PRO_DIR_INFO__* pEntry = nullptr;
        nDir = ParentOf(nDbr, nDir, &pEntry);
    }
}

void CProfessionalFatRecovery::UpdateNoDbrFileVec() {
    if (m_vecNoDbrFile.empty() || m_nDbrPlaced >= m_vecDbr.size()) return;
    for (size_t i = m_nDbrPlaced; i < m_vecDbr.size(); ++i) {
        for (__NO_DBR_FILE_NODE__& pending : m_vecNoDbrFile) {
            if (pending.bDealt) continue;
            const uint32_t nDir = pending.node.nFileIndex;
            if (nDir < 2 ||
                ClusterSector(static_cast<int>(i), nDir) != pending.node.u64RecordSector)
                continue;
            pending.bDealt = 1;
            PlaceFile(pending.node, nDir, static_cast<int>(i));
        }
    }
    m_nDbrPlaced = m_vecDbr.size();
}

// ---------------------------------------------------------------------------
// Undealt sectors.

void CProfessionalFatRecovery::AddUnDeal(const unsigned char* pBuf, uint64_t u64Sector) {
    __UNDEAL_FILE__ item;
    item.u64Sector = u64Sector;
    item.bDealt = 0;
    item.u64Where = m_vecUnDealMem.size();
    bool bStored = false;
    if (m_vecUnDealMem.size() + m_nBytesPerSector > m_u64UnDealBudget && !m_strUnDealPath.empty()) {
        if (m_nUnDealFd < 0)
            m_nUnDealFd =
                open(m_strUnDealPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_nUnDealFd >= 0 &&
            pwrite(m_nUnDealFd, pBuf, m_nBytesPerSector, static_cast<off_t>(m_u64UnDealFileSize)) ==
                static_cast<ssize_t>(m_nBytesPerSector)) {
            item.u64Where = m_u64UnDealFileSize | kInFile;
            m_u64UnDealFileSize += m_nBytesPerSector;
            ++m_u64UnDealSpilled;
            bStored = true;
        }
    }
    // Without a file the copy stays in memory: nothing is dropped.
    if (!bStored) m_vecUnDealMem.insert(m_vecUnDealMem.end(), pBuf, pBuf + m_nBytesPerSector);
    const int nKey = ContinuationKey(pBuf);
    if (nKey >= 0) m_vecUnDealByKey[nKey].push_back(static_cast<uint32_t>(m_vecUnDeal.size()));
    m_vecUnDeal.push_back(item);
}

bool CProfessionalFatRecovery::LoadUnDeal(const __UNDEAL_FILE__& item, unsigned char* pBuf) {
    if (!(item.u64Where & kInFile)) {
        if (item.u64Where + m_nBytesPerSector > m_vecUnDealMem.size()) return false;
        std::memcpy(pBuf, m_vecUnDealMem.data() + item.u64Where, m_nBytesPerSector);
        return true;
    }
    return m_nUnDealFd >= 0 && pread(m_nUnDealFd, pBuf, m_nBytesPerSector,
                                     static_cast<off_t>(item.u64Where & ~kInFile)) ==
                                   static_cast<ssize_t>(m_nBytesPerSector);
}

int CProfessionalFatRecovery::FindUnDealContinuation(const __LONG_FILE_INFO__& remain) {
    // With a record the continuation lies in the cluster the name was cut off in.
    uint64_t u64Start = 0, u64Span = UINT64_MAX;
    if (remain.nDbr >= 0) {
        uint32_t nSpan = 0;
        ClusterRange(remain.nDbr, remain.nCluster, u64Start, nSpan);
        u64Span = nSpan;
    }
    int nBest = -1;
    for (int nKey : {static_cast<int>(remain.nCheckSum), 256 + remain.nCheckSum}) {
        const std::vector<uint32_t>& vec = m_vecUnDealByKey[nKey];
        auto it = std::lower_bound(
            vec.begin(), vec.end(), u64Start,
            [this](uint32_t i, uint64_t s) { return m_vecUnDeal[i].u64Sector < s; });
        for (; it != vec.end(); ++it) {
            const __UNDEAL_FILE__& item = m_vecUnDeal[*it];
            if (item.u64Sector - u64Start >= u64Span ||
                (nBest >= 0 && item.u64Sector >= m_vecUnDeal[nBest].u64Sector))
                break;
            if (item.bDealt) continue;
            nBest = static_cast<int>(*it);
            break;
        }
    }
    return nBest;
}

void CProfessionalFatRecovery::ParseUnDealFileMap() {
    std::vector<unsigned char> sector(m_nBytesPerSector);
    for (size_t i = 0; i < m_vecUnDeal.size(); ++i) {
        if (m_vecUnDeal[i].bDealt) continue;
        m_vecUnDeal[i].bDealt = 1;
        const uint64_t s = m_vecUnDeal[i].u64Sector;
        if (!LoadUnDeal(m_vecUnDeal[i], sector.data())) continue;
        if (TakeKeptRemainder(sector.data(), s)) continue;
        uint32_t nCluster = 0;
        int nDbr = DbrBeginningCluster(sector.data(), s, nCluster);
        if (nDbr >= 0) {
            SetContext(nDbr, nCluster);
        } else if (InContext(s)) {
            nDbr = m_ctx.nDbr;
            nCluster = m_ctx.nCluster;
        } else {
            // The best record, with the cluster the sector lies in.
            nDbr = GetBestVirtalDbr(s);
            if (nDbr < 0) continue;
            const uint64_t u64Data = ClusterSector(nDbr, 2);
            if (s >= u64Data) {
                nCluster =
                    static_cast<uint32_t>((s - u64Data) / m_vecDbr[nDbr].nSectorsPerCluster) + 2;
            } else if (s >= ClusterSector(nDbr, 0)) {
                nCluster = 0;
            } else {
                continue;  // before the volume's directories
            }
        }
        ParseFatFDTRecord(sector.data(), static_cast<int>(m_nBytesPerSector), s, nCluster, nDbr);
    }
    ClearUnDeal();
}

void CProfessionalFatRecovery::ClearUnDeal() {
    m_vecUnDeal.clear();
    m_vecUnDeal.shrink_to_fit();
    m_vecUnDealMem.clear();
    m_vecUnDealMem.shrink_to_fit();
    for (std::vector<uint32_t>& vec : m_vecUnDealByKey) std::vector<uint32_t>().swap(vec);
    if (m_nUnDealFd >= 0) {
        close(m_nUnDealFd);
        m_nUnDealFd = -1;
        unlink(m_strUnDealPath.c_str());
    }
    m_u64UnDealFileSize = 0;
}

// ---------------------------------------------------------------------------
// End of the pass.

unsigned int CProfessionalFatRecovery::DealProfessionalRecordVec() {
    if (!m_pStore) return 0;
    ParseUnDealFileMap();
    // Files first, so that the folders on their paths are noted before the
    // folders are written.
    UpdateNoDbrFileVec();
    for (__NO_DBR_FILE_NODE__& pending : m_vecNoDbrFile) {
        if (pending.bDealt) continue;
        const int nDbr = GetBestVirtalDbr(pending.node.u64RecordSector);
        if (nDbr < 0) break;
        pending.bDealt = 1;
        PlaceFile(pending.node, pending.node.nFileIndex, nDbr);
    }
    m_vecNoDbrFile.clear();

    // Every folder on a file's path, and the parents those folders have now
    // that every entry is known.
    // Each folder is looked at once: those added go on the list to look at.
    std::vector<std::pair<int, uint32_t>> vecTodo;
    for (const auto& item : m_mapNeedAdd) vecTodo.push_back(item.first);
    while (!vecTodo.empty()) {
        const std::pair<int, uint32_t> key = vecTodo.back();
        vecTodo.pop_back();
        const __PRO_DIR_INFO__* pEntry = nullptr;
        const uint32_t nParent = ParentOf(key.first, key.second, &pEntry);
        if (!IsTopCluster(key.first, nParent) &&
            m_mapNeedAdd
                .emplace(std::make_pair(key.first, nParent), ClusterSector(key.first, nParent))
                .second)
            vecTodo.emplace_back(key.first, nParent);
    }
    m_mapLevel.clear();
    for (const auto& item : m_mapNeedAdd) {
        const int nDbr = item.first.first;
        const uint32_t nCluster = item.first.second;
        const __VIRTUAL_DBR_INFO__& v = m_vecDbr[nDbr];
        const __PRO_DIR_INFO__* pEntry = nullptr;
        const uint32_t nParent = ParentOf(nDbr, nCluster, &pEntry);
        _FILE_NODE_ node;
        std::memset(&node, 0, sizeof(node));
        if (pEntry) {
            node = pEntry->node;
        } else {
            char szName[32];
            std::snprintf(szName, sizeof(szName), "LostFolder%u", nCluster);
            FatCopyName(node, szName);
            node.u64RecordSector = item.second;
        }
        node.nDriveLetter = m_src.nDriveLetter;
        node.nEngineType = ENGINE_DEEP_FAT;
        node.bIsDir = 1;
        node.bDataHealth = 1;
        node.nDirId = DirIdOf(nDbr, nCluster);
        node.nClusterBytes = m_nBytesPerSector * v.nSectorsPerCluster;
        node.u64DataStartSector = v.nDataStart;
        node.u64PartitionStartSector = v.u64PartitionStart;
        const unsigned int nLevel = LevelOf(nDbr, nParent);
        _FILE_NODE_* p = static_cast<_FILE_NODE_*>(m_pStore->CreateFileNode(sizeof(_FILE_NODE_)));
        if (!p) break;
        std::memcpy(p, &node, sizeof(node));
        p->nFileIndex = m_pStore->GetFileIndex();
        m_pStore->AddChildren(DirIdOf(nDbr, nParent), nLevel, p->nFileIndex, node.nDirId,
                              node.szFileName);
    }
    for (const PlacedFile& f : m_vecPlaced)
        m_pStore->AddChildren(DirIdOf(f.nDbr, f.nDir), LevelOf(f.nDbr, f.nDir), f.nIndex, f.nFirst,
                              nullptr);
    m_vecPlaced.clear();
    m_mapNeedAdd.clear();
    m_mapDir.clear();
    m_pStore->FlushBufToFile();
    return 0;
}

// ---------------------------------------------------------------------------
// Data.

unsigned int CProfessionalFatRecovery::StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                                      const DataSink& sink) {
    if (node.nClusterBytes > kMaxClusterBytes) return TW_ERR_CLUSTER_TOO_LARGE;
    if (u64Wanted == 0) return 0;  // an empty file has no cluster to read
    if (node.nClusterBytes == 0 || node.nClusterBytes % m_nBytesPerSector != 0)
        return TW_ERR_BAD_ARGUMENT;
    if (node.nDirId < 2) return TW_ERR_SHORT_READ;
    const uint32_t nSpc = node.nClusterBytes / m_nBytesPerSector;
    std::vector<unsigned char> buf;
    try {
        buf.resize(node.nClusterBytes);
    } catch (const std::bad_alloc&) {
        return TW_ERR_OUT_OF_MEMORY;
    }
    uint64_t u64Sector = node.u64PartitionStartSector + node.u64DataStartSector +
                         static_cast<uint64_t>(node.nDirId - 2) * nSpc;
    uint64_t u64Left = u64Wanted;
    while (u64Left > 0) {
        uint32_t nRead = 0;
        unsigned int nRet = ReadClipped(buf.data(), nSpc, u64Sector, nRead);
        if (nRead == 0) return nRet ? nRet : TW_ERR_SHORT_READ;
        uint64_t u64Take = static_cast<uint64_t>(nRead) * m_nBytesPerSector;
        if (u64Take > u64Left) u64Take = u64Left;
        unsigned int nChunk = sink(buf.data(), static_cast<size_t>(u64Take));
        if (nChunk != 0) return nChunk;
        u64Left -= u64Take;
        if (u64Left > 0 && nRead < nSpc) return TW_ERR_SHORT_READ;
        u64Sector += nSpc;
    }
    return 0;
}
