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

const uint32_t kMaxClusterBytes = 104857600;  // no read buffer above 100 MiB
const uint64_t kUnDealBudget = 64ull << 20;
const size_t kMaxKeptRemainders = 4096;
const size_t kMaxRunBytes = 20 * 32;  // a long name has at most 20 parts

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
