#include "fat/FastFatRecovery.h"

#include "common/ByteOrder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include "carving/FileTypeJudge.h"
#include "common/DebugLog.h"
#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/SaveTarget.h"
#include "fat/FatEntry.h"
#include "fat/FatRecord.h"

namespace {

CFaultGuard g_fatGuard("CFastFatRecovery recvSignal");

const uint32_t kFatCacheBytes = 16u * 1024 * 1024;
const uint32_t kMaxClusterBytes = 104857600;  // no read buffer above 100 MiB
// A FAT directory holds at most 65,536 entries: reading more is a loop or junk.
const uint64_t kMaxDirBytes = 65536ull * 32;
const int kBootBytes = 4096;
// Free clusters looked at for the next cluster of a deleted directory.
const uint32_t kMaxDirSearch = 4096;
const long kReportMs = 5000;

bool IsPowerOfTwo(uint32_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

}  // namespace

CFastFatRecovery::CFastFatRecovery()
    : m_nDiskNo(-1),
      m_bOpen(false),
      m_bReady(false),
      m_u64PartitionStart(0),
      m_u64SectorCount(0),
      m_nDriveLetter(0),
      m_nBytesPerSector(512),
      m_nSectorsPerCluster(0),
      m_nReservedSectors(0),
      m_nNumFats(0),
      m_nFatSectors(0),
      m_nRootDirSectors(0),
      m_nFirstDataSector(0),
      m_nRootCluster(0),
      m_nFat32(1),
      m_nFatBits(0),
      m_u64VolumeSectors(0),
      m_nClusterCount(0),
      m_nEngineType(ENGINE_FAST_FAT),
      m_u64FirstFatSector(0),
      m_u64CacheStart(0),
      m_nCacheValid(0),
      m_u64FilesFound(0) {
    std::memset(m_szBootSector, 0, sizeof(m_szBootSector));
}

CFastFatRecovery::~CFastFatRecovery() = default;

// ---------------------------------------------------------------------------
// Set-up.

unsigned int CFastFatRecovery::OpenReader(unsigned long long u64SectorLimit) {
    if (m_nDiskNo >= 0) return m_reader.Init(m_nDiskNo, u64SectorLimit);
    return m_reader.Init(m_wstrPath.c_str(), u64SectorLimit);
}

unsigned int CFastFatRecovery::Init(int nDiskNo, long long llFirstSector, long long llSectorCount,
                                    wchar_t wcDriveLetter) {
    if (m_bOpen) return 0;
    if (nDiskNo < 0 || llFirstSector < 0 || llSectorCount <= 0) return TW_ERR_BAD_ARGUMENT;
    m_nDiskNo = nDiskNo;
    m_u64PartitionStart = static_cast<uint64_t>(llFirstSector);
    m_u64SectorCount = static_cast<uint64_t>(llSectorCount);
    m_nDriveLetter = static_cast<uint32_t>(wcDriveLetter);
    unsigned int nRet = OpenReader(m_u64PartitionStart + m_u64SectorCount);
    if (nRet != 0) return nRet;
    m_bOpen = true;
    return SetUpVolume();
}

unsigned int CFastFatRecovery::Init(const wchar_t* wszPath, wchar_t wcDriveLetter) {
    if (m_bOpen) return 0;
    if (!wszPath || !*wszPath) return TW_ERR_BAD_ARGUMENT;
    m_nDiskNo = -1;
    m_wstrPath = wszPath;
    m_nDriveLetter = static_cast<uint32_t>(wcDriveLetter);
    unsigned int nRet = OpenReader(~0ull);
    if (nRet != 0) return nRet;
    // The size of an image file or of a device node given by path.
    off_t llEnd = lseek(m_reader.GetHandle(), 0, SEEK_END);
    if (llEnd < 0) return static_cast<unsigned int>(errno);
    m_u64PartitionStart = 0;
    m_u64SectorCount = static_cast<uint64_t>(llEnd) / 512;
    nRet = OpenReader(m_u64SectorCount);
    if (nRet != 0) return nRet;
    m_bOpen = true;
    return SetUpVolume();
}

unsigned int CFastFatRecovery::SetUpVolume() {
    m_bReady = false;
    unsigned int nRead = 0;
    unsigned int nRet = m_reader.ReadData(m_szBootSector, kBootBytes / 512,
                                          static_cast<long long>(m_u64PartitionStart), 512, &nRead);
    if (nRet == TW_ERR_BAD_ARGUMENT) return TW_ERR_SHORT_READ;  // less than 4,096 bytes
    if (nRet != 0) return nRet;
    if (nRead == 0) return TW_ERR_SHORT_READ;

    const unsigned char* b = m_szBootSector;
    uint32_t nBps = Le16(b + 0x0B);
    uint32_t nSpc = b[0x0D];
    uint32_t nReserved = Le16(b + 0x0E);
    uint32_t nFats = b[0x10];
    uint32_t nRootEntries = Le16(b + 0x11);
    uint32_t nTotal16 = Le16(b + 0x13);
    uint32_t nTotal32 = Le32(b + 0x20);
    bool bFat32 = std::memcmp(b + 0x52, "FAT32   ", 8) == 0;
    uint32_t nFatSize = bFat32 ? Le32(b + 0x24) : Le16(b + 0x16);
    if ((nBps != 512 && nBps != 1024 && nBps != 2048 && nBps != 4096) || !IsPowerOfTwo(nSpc) ||
        nReserved == 0 || nFats == 0 || nFatSize == 0) {
        return TW_ERR_BAD_ARGUMENT;
    }
    // Small volumes keep their size in the 16-bit field and leave the 32-bit one 0.
    uint64_t u64Total = nTotal32 != 0 ? nTotal32 : nTotal16;
    uint32_t nRootDirSectors = bFat32 ? 0 : (nRootEntries * 32 + nBps - 1) / nBps;
    uint64_t u64FirstData = static_cast<uint64_t>(nReserved) +
                            static_cast<uint64_t>(nFats) * nFatSize + nRootDirSectors;
    if (u64Total <= u64FirstData || u64FirstData > 0xFFFFFFFFull) return TW_ERR_BAD_ARGUMENT;

    // The caller counts in 512-byte sectors; the volume in its own.
    if (nBps != 512) {
        uint32_t nRatio = nBps / 512;
        if (m_u64PartitionStart % nRatio != 0) return TW_ERR_BAD_ARGUMENT;
        m_u64PartitionStart /= nRatio;
        m_u64SectorCount /= nRatio;
        unsigned int nOpen = OpenReader(m_u64PartitionStart + m_u64SectorCount);
        if (nOpen != 0) return nOpen;
    }

    m_nBytesPerSector = nBps;
    m_nSectorsPerCluster = nSpc;
    m_nReservedSectors = nReserved;
    m_nNumFats = nFats;
    m_nFatSectors = nFatSize;
    m_nRootDirSectors = nRootDirSectors;
    m_nFirstDataSector = static_cast<uint32_t>(u64FirstData);
    m_u64VolumeSectors = u64Total;
    uint64_t u64Clusters = (u64Total - u64FirstData) / nSpc;
    m_nFat32 = bFat32 ? 1 : 0;
    m_nFatBits = bFat32 ? 32 : (u64Clusters < 4085 ? 12 : 16);
    // Only clusters that the table can describe exist.
    uint64_t u64TableEntries = static_cast<uint64_t>(nFatSize) * nBps * 8 / m_nFatBits;
    if (u64TableEntries < 2) return TW_ERR_BAD_ARGUMENT;
    if (u64Clusters > u64TableEntries - 2) u64Clusters = u64TableEntries - 2;
    if (u64Clusters > 0x0FFFFFF5ull) u64Clusters = 0x0FFFFFF5ull;
    m_nClusterCount = static_cast<uint32_t>(u64Clusters);
    m_nRootCluster = bFat32 ? Le32(b + 0x2C) : 0;
    if (bFat32 && !IsDataCluster(m_nRootCluster)) return TW_ERR_BAD_ARGUMENT;
    m_u64FirstFatSector = m_u64PartitionStart + nReserved;

    m_vecFatCache.clear();
    m_nCacheValid = 0;
    m_u64CacheStart = 0;
    FillFatCache(0);
    m_bReady = true;
    return 0;
}

// Reads the window of the first allocation table that begins with the sector
// holding u64ByteOffset: at most 16 MiB, never past the table or the partition.
unsigned int CFastFatRecovery::FillFatCache(uint64_t u64ByteOffset) {
    const uint64_t u64TableBytes = static_cast<uint64_t>(m_nFatSectors) * m_nBytesPerSector;
    if (u64ByteOffset >= u64TableBytes) return TW_ERR_BAD_ARGUMENT;
    uint64_t u64FirstSector = u64ByteOffset / m_nBytesPerSector;
    uint64_t u64Sectors = (u64TableBytes - u64FirstSector * m_nBytesPerSector) / m_nBytesPerSector;
    uint64_t u64MaxSectors = kFatCacheBytes / m_nBytesPerSector;
    if (u64Sectors > u64MaxSectors) u64Sectors = u64MaxSectors;
    uint64_t u64Abs = m_u64FirstFatSector + u64FirstSector;
    uint64_t u64Limit = m_reader.GetSectorLimit();
    if (u64Abs >= u64Limit) {
        m_nCacheValid = 0;
        return TW_ERR_SHORT_READ;
    }
    if (u64Abs + u64Sectors > u64Limit) u64Sectors = u64Limit - u64Abs;
    m_vecFatCache.assign(static_cast<size_t>(u64Sectors * m_nBytesPerSector), 0);
    unsigned int nRead = 0;
    unsigned int nRet = m_reader.ReadData(m_vecFatCache.data(), static_cast<int>(u64Sectors),
                                          static_cast<long long>(u64Abs),
                                          static_cast<int>(m_nBytesPerSector), &nRead);
    if (nRet != 0 && nRet != TW_ERR_SHORT_READ) nRead = 0;
    m_u64CacheStart = u64FirstSector * m_nBytesPerSector;
    m_nCacheValid = nRead * m_nBytesPerSector;
    if (m_nCacheValid == 0) return nRet ? nRet : TW_ERR_SHORT_READ;
    return 0;
}

unsigned int CFastFatRecovery::GetDeviceFileSystemType(char* /*szUnused*/) const {
    return m_nFat32;
}

bool CFastFatRecovery::IsDataCluster(uint32_t nCluster) const {
    return nCluster >= 2 && nCluster - 2 < m_nClusterCount;
}

bool CFastFatRecovery::IsEndOfChain(uint32_t nEntry) const {
    switch (m_nFatBits) {
        case 12:
            return nEntry >= 0xFF8;
        case 16:
            return nEntry >= 0xFFF8;
        default:
            return nEntry >= 0x0FFFFFF8;
    }
}

uint64_t CFastFatRecovery::ClusterToSector(uint32_t nCluster) const {
    if (nCluster < 2) return m_u64PartitionStart + m_nFirstDataSector - m_nRootDirSectors;
    return m_u64PartitionStart + m_nFirstDataSector +
           static_cast<uint64_t>(nCluster - 2) * m_nSectorsPerCluster;
}

unsigned int CFastFatRecovery::ReadSectors(unsigned char* pBuf, uint32_t nSectors,
                                           uint64_t u64Sector, uint32_t& nRead) {
    nRead = 0;
    // What lies past the end of the source is missing, like the rest of a
    // short read.
    const uint64_t u64Limit = m_reader.GetSectorLimit();
    if (u64Sector >= u64Limit) return TW_ERR_SHORT_READ;
    const bool bClipped = nSectors > u64Limit - u64Sector;
    if (bClipped) nSectors = static_cast<uint32_t>(u64Limit - u64Sector);
    unsigned int nGot = 0;
    unsigned int nRet =
        m_reader.ReadData(pBuf, static_cast<int>(nSectors), static_cast<long long>(u64Sector),
                          static_cast<int>(m_nBytesPerSector), &nGot);
    if (nRet == TW_ERR_SHORT_READ) nRead = nGot;
    if (nRet != 0) return nRet;
    nRead = nGot;
    return (nRead == 0 || bClipped) ? TW_ERR_SHORT_READ : 0;
}

unsigned int CFastFatRecovery::GetNextClusterNO(uint32_t nCluster, uint32_t& nNext) {
    nNext = 0;
    if (!m_bReady) return TW_ERR_BAD_ARGUMENT;
    if (nCluster > m_nClusterCount + 1) return TW_ERR_BAD_ARGUMENT;
    uint64_t u64Offset;
    uint32_t nWidth;
    if (m_nFatBits == 32) {
        u64Offset = static_cast<uint64_t>(nCluster) * 4;
        nWidth = 4;
    } else if (m_nFatBits == 16) {
        u64Offset = static_cast<uint64_t>(nCluster) * 2;
        nWidth = 2;
    } else {
        u64Offset = static_cast<uint64_t>(nCluster) + nCluster / 2;
        nWidth = 2;
    }
    if (u64Offset < m_u64CacheStart || u64Offset + nWidth > m_u64CacheStart + m_nCacheValid) {
        unsigned int nRet = FillFatCache(u64Offset);
        if (nRet != 0) return nRet;
        if (u64Offset + nWidth > m_u64CacheStart + m_nCacheValid) return TW_ERR_SHORT_READ;
    }
    const unsigned char* p = m_vecFatCache.data() + (u64Offset - m_u64CacheStart);
    if (m_nFatBits == 32) {
        nNext = Le32(p) & 0x0FFFFFFF;
    } else if (m_nFatBits == 16) {
        nNext = Le16(p);
    } else {
        uint32_t v = Le16(p);
        nNext = (nCluster & 1) ? (v >> 4) : (v & 0x0FFF);
    }
    return 0;
}

unsigned int CFastFatRecovery::FindNextClusterNO(uint32_t nCluster, uint32_t& nNext) {
    nNext = 0;
    uint32_t nEntry = 0;
    unsigned int nRet = GetNextClusterNO(nCluster, nEntry);
    if (nRet != 0) {
        // No table to go by: take the data as lying in one piece.
        if (IsDataCluster(nCluster + 1)) nNext = nCluster + 1;
        return 0;
    }
    if (IsDataCluster(nEntry)) {
        nNext = nEntry;
        return 0;
    }
    if (nEntry != 0) return 0;  // end of chain, bad or reserved cluster
    // A free entry: a deleted file goes on in the next free cluster.
    for (uint32_t c = nCluster + 1; IsDataCluster(c); ++c) {
        uint32_t nNextEntry = 0;
        if (GetNextClusterNO(c, nNextEntry) != 0) return 0;
        if (nNextEntry == 0) {
            nNext = c;
            return 0;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Scan.

unsigned int CFastFatRecovery::InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch, void* pContext) {
    CEngineBase::InitSearchCallBack(pfnSearch, pContext);
    return 0;
}

unsigned int CFastFatRecovery::ScanDevice(const wchar_t* wszResultName) {
    m_mapDir.clear();
    m_mapDirLevel.clear();
    m_setDirClusters.clear();
    m_u64FilesFound = 0;
    m_vecDeletedPath.clear();
    m_setDeletedPath.clear();
    m_dirQueue.clear();
    if (wszResultName) return OpenStore(wszResultName);
    m_pStore.reset();
    if (!m_bReady) return m_bOpen ? TW_ERR_BAD_ARGUMENT : TW_ERR_SHORT_READ;

    SYSTEMTIME st;
    std::memset(&st, 0, sizeof(st));
    rsb_getSystemTime(&st);
    unsigned int nRet =
        OpenFreshStore(FormatStoreName("Fast_", static_cast<long long>(m_u64PartitionStart), st));
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
    if (nStop != 0) {
        m_pStore->FlushBufToFile();
        return static_cast<unsigned int>(nStop);
    }

    // The directories on the path from each recorded file to the top.
    for (uint32_t nDirId : m_vecDeletedPath) {
        auto it = m_mapDir.find(nDirId);
        if (it == m_mapDir.end()) continue;
        _FILE_NODE_* pNode =
            static_cast<_FILE_NODE_*>(m_pStore->CreateFileNode(sizeof(_FILE_NODE_)));
        if (!pNode) break;
        std::memcpy(pNode, &it->second.node, sizeof(_FILE_NODE_));
        pNode->bDataHealth = 1;
        pNode->nFileIndex = m_pStore->GetFileIndex();
        uint32_t nParent = it->second.nParentId;
        m_pStore->AddChildren(nParent, LevelOf(nParent), pNode->nFileIndex, pNode->nDirId,
                              pNode->szFileName);
    }
    m_pStore->FlushBufToFile();
    return static_cast<unsigned int>(ReportScan(100, 0, m_u64FilesFound));
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
            m_mapDir[nDir] = dir.info;
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
    std::string strName = lfn.TakeName(pSlot, sizeof(_FILE_NODE_::szFileName));
    if (strName.empty()) {
        strName = FatShortName(pSlot, !bDir);
        if (!strName.empty() && static_cast<unsigned char>(strName[0]) == FAT_ENTRY_DELETED)
            strName[0] = '!';
    }
    if (strName.empty()) return;

    if (bDir) {
        RecordDir(walk, pSlot, strName);
    } else if ((nAttr & FAT_ATTR_ARCHIVE) && !(nAttr & FAT_ATTR_VOLUME_ID)) {
        if (bDeleted || walk.bParentDeleted) RecordFile(walk, pSlot, strName, u64SlotSector);
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
    pNode->nDriveLetter = m_nDriveLetter;
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
    pNode->u64PartitionStartSector = m_u64PartitionStart;
    FatCopyName(*pNode, strName);
    m_pStore->AddChildren(walk.nCurrentId, walk.nLevel, pNode->nFileIndex, pNode->nDirId, nullptr);
    pNode->bDataHealth = IsFileDataHealth(pNode, m_nSectorsPerCluster);
    ++m_u64FilesFound;
    AddDeletedPath(walk.nCurrentId);
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
            if (walk.pInfo) m_mapDir[nSelf] = *walk.pInfo;
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
    node.nDriveLetter = m_nDriveLetter;
    node.nEngineType = m_nEngineType;
    node.bIsDir = 1;
    node.bIsDeleted = (bDeleted || walk.bParentDeleted) ? 1 : 0;
    node.nDirId = nFirst;
    node.nClusterBytes = m_nBytesPerSector * m_nSectorsPerCluster;
    FatSetTimes(node, pSlot);
    node.u64DataStartSector = m_nFirstDataSector;
    node.u64PartitionStartSector = m_u64PartitionStart;
    FatCopyName(node, strName);
    info.nParentId = walk.nCurrentId;
    PendingDir pending;
    pending.nCluster = nFirst;
    pending.nLevel = walk.nLevel + 1;
    pending.bHasEntry = true;
    pending.info = info;
    m_dirQueue.push_back(pending);
}

void CFastFatRecovery::AddDeletedPath(uint32_t nDirId) {
    const uint32_t nRoot = GetRootDirId();
    while (m_setDeletedPath.insert(nDirId).second) {
        m_vecDeletedPath.push_back(nDirId);
        if (nDirId == nRoot) return;
        auto it = m_mapDir.find(nDirId);
        if (it == m_mapDir.end()) return;
        uint32_t nParent = it->second.nParentId;
        if (nParent == nDirId) return;
        nDirId = nParent;
    }
}

// ---------------------------------------------------------------------------
// Data checks.

bool CFastFatRecovery::IsSectorOfType(const unsigned char* pSector, const char* szExt,
                                      uint64_t u64Sector) {
    return FatIsSectorOfType(m_reader, pSector, m_nBytesPerSector, szExt, u64Sector);
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

// ---------------------------------------------------------------------------
// Reading file data back.

unsigned int CFastFatRecovery::StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                              const DataSink& sink) {
    if (node.nClusterBytes > kMaxClusterBytes) return TW_ERR_CLUSTER_TOO_LARGE;
    if (u64Wanted == 0) return 0;
    if (!m_bReady || node.nClusterBytes == 0 || node.nClusterBytes % m_nBytesPerSector != 0)
        return TW_ERR_BAD_ARGUMENT;
    const uint32_t nSectors = node.nClusterBytes / m_nBytesPerSector;
    std::vector<unsigned char> buf;
    try {
        buf.resize(node.nClusterBytes);
    } catch (const std::bad_alloc&) {
        return TW_ERR_OUT_OF_MEMORY;
    }
    std::unordered_set<uint32_t> setVisited;
    uint32_t nCluster = node.nDirId;
    uint64_t u64Left = u64Wanted;
    while (u64Left > 0) {
        // Data lives in data clusters only: cluster 0 is the FAT12/16 root area.
        if (!IsDataCluster(nCluster)) return TW_ERR_SHORT_READ;
        uint64_t u64Sector = node.u64DataStartSector + node.u64PartitionStartSector +
                             static_cast<uint64_t>(nCluster - 2) * nSectors;
        uint32_t nRead = 0;
        unsigned int nRet = ReadSectors(buf.data(), nSectors, u64Sector, nRead);
        if (nRead == 0) return nRet ? nRet : TW_ERR_SHORT_READ;
        uint64_t u64Take = static_cast<uint64_t>(nRead) * m_nBytesPerSector;
        if (u64Take > u64Left) u64Take = u64Left;
        unsigned int nChunk = sink(buf.data(), static_cast<size_t>(u64Take));
        if (nChunk != 0) return nChunk;
        u64Left -= u64Take;
        if (u64Left == 0) break;
        if (nRet != 0) return nRet;
        setVisited.insert(nCluster);
        uint32_t nNext = 0;
        FindNextClusterNO(nCluster, nNext);
        if (nNext == 0 || setVisited.count(nNext)) return TW_ERR_SHORT_READ;
        nCluster = nNext;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Free-space map.

unsigned int CFastFatRecovery::BuildBitMapInfo() {
    m_vecBitmap.clear();
    if (!m_bReady) return 0;
    const uint32_t nCount = m_nClusterCount;
    m_vecBitmap.assign((static_cast<size_t>(nCount) + 7) / 8, 0);
    for (uint32_t i = 0; i < nCount; ++i) {
        uint32_t nEntry = 0;
        if (GetNextClusterNO(i + 2, nEntry) != 0) continue;
        if (nEntry == 0) continue;
        m_vecBitmap[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
        if (IsDataCluster(nEntry)) {
            uint32_t j = nEntry - 2;
            m_vecBitmap[j / 8] |= static_cast<unsigned char>(1u << (j % 8));
        }
    }
    return 0;
}

unsigned int CFastFatRecovery::GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                                    unsigned long long& u64Count) {
    u64Count = 0;
    if (u64StartSector > m_u64SectorCount) {
        u64StartSector = m_u64SectorCount;
        return 1;
    }
    if (m_nSectorsPerCluster == 0) return 1;
    const uint64_t nSpc = m_nSectorsPerCluster;
    uint64_t u64Rel = u64StartSector > m_nFirstDataSector ? u64StartSector - m_nFirstDataSector : 0;
    const uint64_t nBits = m_vecBitmap.empty() ? 0 : m_nClusterCount;
    auto used = [this](uint64_t c) { return (m_vecBitmap[c / 8] >> (c % 8)) & 1; };
    uint64_t c0 = u64Rel / nSpc;
    if (c0 < nBits) {
        uint64_t c = c0;
        while (c < nBits && used(c)) ++c;
        if (c < nBits) {
            if (c != c0) u64Rel = c * nSpc;
            uint64_t e = c;
            while (e < nBits && !used(e)) ++e;
            u64Count = e * nSpc - u64Rel;
        }
    }
    u64StartSector = u64Rel + m_nFirstDataSector;
    if (u64StartSector >= m_u64SectorCount) {
        u64Count = 0;
    } else if (u64StartSector + u64Count > m_u64SectorCount) {
        u64Count = m_u64SectorCount - u64StartSector;
    }
    return 1;
}
