// The fast FAT engine, part two: the scan. Walks the directory tree breadth
// first with long names, records deleted files and the directories on their
// paths, and checks a file's first sector against its extension.
#include "fat/FastFatRecovery.h"

#include <cstring>
#include "carving/FileTypeJudge.h"
#include "common/ByteOrder.h"
#include "common/FatEntry.h"
#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/NodeInfo.h"
#include "fat/FatRecord.h"

namespace {

CFaultGuard g_fatGuard("CFastFatRecovery recvSignal");

// A FAT directory holds at most 65,536 entries: reading more is a loop or junk.
const uint64_t kMaxDirBytes = 65536ull * 32;
// Free clusters looked at for the next cluster of a deleted directory.
const uint32_t kMaxDirSearch = 4096;
const long kReportMs = 5000;

}  // namespace

// ---------------------------------------------------------------------------
// Scan.

unsigned int CFastFatRecovery::InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch, void* pContext) {
    CEngineBase::InitSearchCallBack(pfnSearch, pContext);
    return 0;
}

unsigned int CFastFatRecovery::ScanDevice(const wchar_t* wszResultName) {
    m_folders.Clear();
    m_mapDirLevel.clear();
    m_setDirClusters.clear();
    m_u64FilesFound = 0;
    m_dirQueue.clear();
    m_claims.Clear();
    if (wszResultName) return OpenStore(wszResultName);
    m_pStore.reset();
    if (!m_bReady) return m_src.bOpen ? TW_ERR_BAD_ARGUMENT : TW_ERR_SHORT_READ;

    // Fast FAT and exFAT stores are named by UTC time.
    unsigned int nRet = OpenFreshStore("Fast_", static_cast<long long>(m_src.u64Start), true);
    if (nRet != 0) return nRet;

    PendingDir top;
    std::memset(&top, 0, sizeof(top));
    top.nCluster = GetRootDirId();
    m_dirQueue.push_back(top);
    int nStop = ReportScan(1, -1, m_u64FilesFound);
    std::unordered_set<uint32_t> setVisited;
    long lLastReport = rsb_getTickCount();
    int nProgress = (m_nScale == 9) ? 21 : 2;
    int nSecondsLeft = 99;
    while (!m_dirQueue.empty() && nStop == 0) {
        PendingDir item = m_dirQueue.front();
        m_dirQueue.pop_front();
        unsigned int nRead = 0;
        if (!setVisited.count(item.nCluster) && InitDirInfo(item, nRead))
            setVisited.insert(item.nCluster);
        long lNow = rsb_getTickCount();
        if (lNow - lLastReport >= kReportMs) {
            lLastReport = lNow;
            if (m_nScale == 100) {
                nStop = ReportScan(nProgress, nSecondsLeft, m_u64FilesFound);
                if (nProgress < 79) ++nProgress;
                if (nSecondsLeft > 11) --nSecondsLeft;
            } else if (m_nScale == 9) {
                nStop = ReportScan(nProgress, -1, m_u64FilesFound);
                if (nProgress < 79) ++nProgress;
            }
        }
    }
    m_dirQueue.clear();
    if (nStop == 0) nStop = ReportScan(80, 10, m_u64FilesFound);
    return EndFolderWalk(
        nStop, m_folders, [this](uint32_t nDirId) { return LevelOf(nDirId); }, m_u64FilesFound);
}

// The level of a directory met in this scan; failing that, from ".." entries on disk.
unsigned int CFastFatRecovery::LevelOf(uint32_t nDirId) {
    auto it = m_mapDirLevel.find(nDirId);
    if (it != m_mapDirLevel.end()) return it->second;
    unsigned int nLevel = 0;
    _GetRootParentDirIndex(nDirId, nLevel);
    return nLevel;
}

unsigned int CFastFatRecovery::_GetRootParentDirIndex(uint32_t nDir, unsigned int& nLevel) {
    nLevel = 0;
    if (!m_bReady) return TW_ERR_BAD_ARGUMENT;
    std::unordered_set<uint32_t> setVisited;
    std::vector<unsigned char> buf(kBootBytes);
    const uint32_t nSectors = kBootBytes / m_nBytesPerSector;
    for (;;) {
        if (nDir == GetRootDirId()) return 0;
        if (!IsDataCluster(nDir)) return 0;
        setVisited.insert(nDir);
        uint32_t nRead = 0;
        unsigned int nRet = ReadSectors(buf.data(), nSectors, ClusterToSector(nDir), nRead);
        if (nRet != 0) return nRet;
        const unsigned char* p = buf.data();
        if (p[11] == FAT_ATTR_VOLUME_ID || !FatStartsWithDotEntries(p, nRead * m_nBytesPerSector))
            return 0;
        ++nLevel;
        uint32_t nParent = Le16(p + 32 + 0x1A);
        if (m_nFatBits == 32) nParent |= static_cast<uint32_t>(Le16(p + 32 + 0x14)) << 16;
        if (nParent == 0 || setVisited.count(nParent)) return 0;
        nDir = nParent;
    }
}

bool CFastFatRecovery::InitDirInfo(const PendingDir& dir, unsigned int& nResult) {
    const uint32_t nDir = dir.nCluster;
    nResult = 0;
    const bool bFixedRoot = (m_nFatBits != 32 && nDir == 0);
    if (!bFixedRoot && !IsDataCluster(nDir)) {
        nResult = TW_ERR_BAD_ARGUMENT;
        return true;
    }
    DirWalk walk;
    walk.lfn.Reset();
    walk.nCurrentId = nDir;
    walk.nLevel = dir.nLevel;
    walk.bEnded = false;
    walk.bParentDeleted = dir.bHasEntry && dir.info.node.bIsDeleted;
    const bool bChecked = dir.bHasEntry;

    const uint32_t nSectors = bFixedRoot ? m_nRootDirSectors : m_nSectorsPerCluster;
    walk.pInfo = bChecked ? &dir.info : nullptr;
    if (nSectors == 0) return true;
    std::vector<unsigned char> buf(static_cast<size_t>(nSectors) * m_nBytesPerSector);
    std::unordered_set<uint32_t> setRead;  // clusters of this directory read so far
    uint32_t nCluster = nDir;
    uint64_t u64BytesRead = 0;
    for (bool bFirst = true;; bFirst = false) {
        uint64_t u64Sector = ClusterToSector(nCluster);
        uint32_t nRead = 0;
        nResult = ReadSectors(buf.data(), nSectors, u64Sector, nRead);
        if (nResult != 0 && nRead == 0) return bFirst ? false : true;
        const int nLength = static_cast<int>(nRead * m_nBytesPerSector);
        setRead.insert(nCluster);
        m_setDirClusters.insert(nCluster);
        u64BytesRead += static_cast<uint64_t>(nLength);
        if (bFirst && bChecked && nDir != m_nRootCluster) {
            // A directory reached through an entry must still start with "."
            // and "..", and ".." must name the directory holding that entry:
            // otherwise its cluster now belongs to something else.
            if (!FatStartsWithDotEntries(buf.data(), static_cast<uint32_t>(nLength))) return false;
            uint32_t nDotDot = Le16(buf.data() + 32 + 0x1A);
            if (m_nFatBits == 32)
                nDotDot |= static_cast<uint32_t>(Le16(buf.data() + 32 + 0x14)) << 16;
            if (nDotDot == 0) nDotDot = GetRootDirId();
            if (nDotDot != dir.info.nParentId) return false;
            m_folders.mapDir[nDir] = dir.info;
            m_mapDirLevel.emplace(nDir, dir.nLevel);
        }
        if (bFirst && !bChecked) m_mapDirLevel.emplace(nDir, dir.nLevel);
        for (int nOffset = 0; nOffset + 32 <= nLength && !walk.bEnded; nOffset += 32) {
            uint64_t u64SlotSector = u64Sector + static_cast<uint64_t>(nOffset) / m_nBytesPerSector;
            TW_FAULT_TRY(g_fatGuard) {
                ParseDirSlot(walk, buf.data(), nLength, nOffset, u64SlotSector);
            }
            TW_FAULT_CATCH(g_fatGuard) {
                walk.lfn.Reset();
            }
            TW_FAULT_END(g_fatGuard);
        }
        if (walk.bEnded || bFixedRoot || nResult != 0) break;
        uint32_t nNext = 0;
        uint32_t nEntry = 1;
        if (GetNextClusterNO(nCluster, nEntry) == 0 && nEntry == 0) {
            // A deleted directory: its chain is gone, and its later clusters
            // were allocated after whatever was written in between.
            nNext = FindNextDirCluster(nCluster, buf);
        } else {
            FindNextClusterNO(nCluster, nNext);
        }
        if (nNext == 0 || setRead.count(nNext) || u64BytesRead >= kMaxDirBytes) break;
        nCluster = nNext;
    }
    return true;
}

uint32_t CFastFatRecovery::FindNextDirCluster(uint32_t nCluster, std::vector<unsigned char>& buf) {
    const uint32_t nBytes = m_nSectorsPerCluster * m_nBytesPerSector;
    if (buf.size() < nBytes) return 0;
    uint32_t nTried = 0;
    for (uint32_t c = nCluster + 1; IsDataCluster(c) && nTried < kMaxDirSearch; ++c) {
        uint32_t nEntry = 0;
        if (GetNextClusterNO(c, nEntry) != 0) return 0;
        if (nEntry != 0 || m_setDirClusters.count(c)) continue;
        ++nTried;
        uint32_t nRead = 0;
        if (ReadSectors(buf.data(), m_nSectorsPerCluster, ClusterToSector(c), nRead) != 0) return 0;
        // Entries that go on from a cluster before, not a directory's first cluster.
        if (!IsFatFileRecord(buf.data()) && IsFatFDTRecord(buf.data(), static_cast<int>(nBytes)))
            return c;
    }
    return 0;
}

void CFastFatRecovery::ParseDirSlot(DirWalk& walk, const unsigned char* pBuf, int nLength,
                                    int nOffset, uint64_t u64SlotSector) {
    if (nOffset < 0 || nOffset + 32 > nLength) return;
    const unsigned char* pSlot = pBuf + nOffset;
    if (pSlot[0] == 0) {
        walk.bEnded = true;
        return;
    }
    FatLongName& lfn = walk.lfn;
    const FAT32_Entry* pEntry = reinterpret_cast<const FAT32_Entry*>(pSlot);
    if (!IsFatEntyValid(pEntry, nLength - nOffset)) {
        lfn.Reset();
        return;
    }
    const uint8_t nAttr = pSlot[11];
    if (nAttr == FAT_ATTR_LONG_NAME) {
        lfn.AddPart(pSlot);
        return;
    }

    const bool bDeleted = pSlot[0] == FAT_ENTRY_DELETED;
    const bool bDir = (nAttr & FAT_ATTR_DIRECTORY) != 0;
    const bool bRecorded = (nAttr & FAT_ATTR_ARCHIVE) && !(nAttr & FAT_ATTR_VOLUME_ID) &&
                           (bDeleted || walk.bParentDeleted);
    // A live file in a live folder is not recorded: its name is not made
    // (the conversion was the walk's main cost on a volume of live files).
    if (!bDir && !bRecorded) {
        lfn.Reset();
        return;
    }
    const std::string strName = FatSlotName(lfn, pSlot, bDir);
    if (strName.empty()) return;

    if (bDir) {
        RecordDir(walk, pSlot, strName);
    } else {
        RecordFile(walk, pSlot, strName, u64SlotSector);
    }
}

void CFastFatRecovery::RecordFile(DirWalk& walk, const unsigned char* pSlot,
                                  const std::string& strName, uint64_t u64SlotSector) {
    const bool bDeleted = pSlot[0] == FAT_ENTRY_DELETED;
    uint16_t nLow = Le16(pSlot + 0x1A);
    uint16_t nHigh = 0;
    if (m_nFatBits == 32) {
        nHigh = Le16(pSlot + 0x14);
        if (bDeleted && nHigh == 0) GetFileRealHighClusterNO(nLow, nHigh, strName.c_str());
    }
    _FILE_NODE_* pNode = static_cast<_FILE_NODE_*>(m_pStore->CreateFileNode(sizeof(_FILE_NODE_)));
    if (!pNode) return;
    std::memset(pNode, 0, sizeof(_FILE_NODE_));
    pNode->nDriveLetter = m_src.nDriveLetter;
    pNode->nEngineType = m_nEngineType;
    pNode->bIsDir = 0;
    pNode->bIsDeleted = 1;
    pNode->bDataHealth = 1;
    pNode->nFileIndex = m_pStore->GetFileIndex();
    pNode->nDirId = (static_cast<uint32_t>(nHigh) << 16) | nLow;
    pNode->nClusterBytes = m_nBytesPerSector * m_nSectorsPerCluster;
    FatSetTimes(*pNode, pSlot);
    pNode->u64FileSize = Le32(pSlot + 0x1C);
    pNode->u64DataStartSector = m_nFirstDataSector;
    pNode->u64RecordSector = u64SlotSector;
    pNode->u64PartitionStartSector = m_src.u64Start;
    FatCopyName(*pNode, strName);
    m_pStore->AddChildren(walk.nCurrentId, walk.nLevel, pNode->nFileIndex, pNode->nDirId, nullptr);
    pNode->bDataHealth = IsFileDataHealth(pNode, m_nSectorsPerCluster);
    // A file that still starts like its type holds the clusters it is read
    // from (FAT keeps no extent: they are taken to follow each other).
    if (pNode->bDataHealth && IsDataCluster(pNode->nDirId) &&
        CFileTypeJudge::HasTypeTest(pNode->szFileName))
        m_claims.Add(pNode->nDirId, pNode->u64FileSize / pNode->nClusterBytes +
                                        (pNode->u64FileSize % pNode->nClusterBytes != 0));
    ++m_u64FilesFound;
    m_folders.AddPath(walk.nCurrentId, GetRootDirId());
}

void CFastFatRecovery::RecordDir(DirWalk& walk, const unsigned char* pSlot,
                                 const std::string& strName) {
    uint16_t nLow = Le16(pSlot + 0x1A);
    uint16_t nHigh = m_nFatBits == 32 ? Le16(pSlot + 0x14) : 0;
    if (strName == ".") {
        uint32_t nSelf = (static_cast<uint32_t>(nHigh) << 16) | nLow;
        if (IsDataCluster(nSelf) && nSelf != walk.nCurrentId) {
            walk.nCurrentId = nSelf;
            m_mapDirLevel.emplace(nSelf, walk.nLevel);
            if (walk.pInfo) m_folders.mapDir[nSelf] = *walk.pInfo;
        }
        return;
    }
    if (strName == "..") return;
    const bool bDeleted = pSlot[0] == FAT_ENTRY_DELETED;
    if (m_nFatBits == 32 && bDeleted && nHigh == 0) GetDirRealHighClusterNO(nLow, nHigh);
    uint32_t nFirst = (static_cast<uint32_t>(nHigh) << 16) | nLow;
    if (nFirst == 0 || nFirst == walk.nCurrentId || !IsDataCluster(nFirst)) return;

    DirInfo info;
    std::memset(&info, 0, sizeof(info));
    _FILE_NODE_& node = info.node;
    node.nDriveLetter = m_src.nDriveLetter;
    node.nEngineType = m_nEngineType;
    node.bIsDir = 1;
    node.bIsDeleted = (bDeleted || walk.bParentDeleted) ? 1 : 0;
    node.nDirId = nFirst;
    node.nClusterBytes = m_nBytesPerSector * m_nSectorsPerCluster;
    FatSetTimes(node, pSlot);
    node.u64DataStartSector = m_nFirstDataSector;
    node.u64PartitionStartSector = m_src.u64Start;
    FatCopyName(node, strName);
    info.nParentId = walk.nCurrentId;
    PendingDir pending;
    pending.nCluster = nFirst;
    pending.nLevel = walk.nLevel + 1;
    pending.bHasEntry = true;
    pending.info = info;
    m_dirQueue.push_back(pending);
}

// ---------------------------------------------------------------------------
// Data checks.

bool CFastFatRecovery::IsSectorOfType(const unsigned char* pSector, const char* szExt,
                                      uint64_t u64Sector) {
    return FatIsSectorOfType(m_src.reader, pSector, m_nBytesPerSector, szExt, u64Sector);
}

unsigned int CFastFatRecovery::GetFileRealHighClusterNO(uint16_t nLow, uint16_t& nHigh,
                                                        const char* szName) {
    if (!szName) return TW_ERR_BAD_ARGUMENT;
    std::string strExt = FatLowerExtension(szName);
    if (strExt.empty()) return 0;
    std::vector<unsigned char> sector(m_nBytesPerSector);
    for (uint32_t nTry = 0; nTry <= 256; ++nTry) {
        uint32_t nCluster = (nTry << 16) | nLow;
        if (!IsDataCluster(nCluster)) {
            if (nCluster >= 2) return 0;  // past the last cluster
            continue;
        }
        uint64_t u64Sector = ClusterToSector(nCluster);
        uint32_t nRead = 0;
        unsigned int nRet = ReadSectors(sector.data(), 1, u64Sector, nRead);
        if (nRet == TW_ERR_SHORT_READ || nRet == TW_ERR_BAD_ARGUMENT) return 0;
        if (nRet != 0) return nRet;
        if (IsSectorOfType(sector.data(), strExt.c_str(), u64Sector)) {
            nHigh = static_cast<uint16_t>(nTry);
            return 0;
        }
    }
    return 0;
}

unsigned int CFastFatRecovery::GetDirRealHighClusterNO(uint16_t nLow, uint16_t& nHigh) {
    std::vector<unsigned char> sector(m_nBytesPerSector);
    for (uint32_t nTry = 0; nTry <= 256; ++nTry) {
        uint32_t nCluster = (nTry << 16) | nLow;
        if (!IsDataCluster(nCluster)) {
            if (nCluster >= 2) return 0;
            continue;
        }
        uint32_t nRead = 0;
        unsigned int nRet = ReadSectors(sector.data(), 1, ClusterToSector(nCluster), nRead);
        if (nRet == TW_ERR_SHORT_READ || nRet == TW_ERR_BAD_ARGUMENT) return 0;
        if (nRet != 0) return nRet;
        if (FatStartsWithDotEntries(sector.data(), m_nBytesPerSector)) {
            nHigh = static_cast<uint16_t>(nTry);
            return 0;
        }
    }
    return 0;
}

uint32_t CFastFatRecovery::IsFileDataHealth(const _FILE_NODE_* pNode, uint32_t nSectorsPerCluster) {
    if (!pNode) return 1;
    if (!FitsInVolume(pNode->u64FileSize, m_u64VolumeSectors, m_nBytesPerSector)) return 0;
    std::string strExt = FatLowerExtension(pNode->szFileName);
    if (strExt.empty()) return 1;
    if (pNode->nDirId < 2) return pNode->u64FileSize == 0 ? 1 : 0;  // no data cluster at all
    uint64_t u64Sector = pNode->u64DataStartSector + pNode->u64PartitionStartSector +
                         static_cast<uint64_t>(pNode->nDirId - 2) * nSectorsPerCluster;
    std::vector<unsigned char> sector(m_nBytesPerSector);
    uint32_t nRead = 0;
    if (ReadSectors(sector.data(), 1, u64Sector, nRead) != 0) return 1;
    return IsSectorOfType(sector.data(), strExt.c_str(), u64Sector) ? 1 : 0;
}
