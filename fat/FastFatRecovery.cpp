// The fast FAT engine, part one: the source, the boot sector, the
// allocation-table cache and the cluster chains.
#include "fat/FastFatRecovery.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include "common/ByteOrder.h"
#include "common/Platform.h"

namespace {

const uint32_t kFatCacheBytes = 16u * 1024 * 1024;

bool IsPowerOfTwo(uint32_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

}  // namespace

CFastFatRecovery::CFastFatRecovery()
    : m_bReady(false),
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

unsigned int CFastFatRecovery::Init(const std::shared_ptr<CMediumSource>& pSource,
                                    long long llFirstSector, long long llSectorCount,
                                    wchar_t wcDriveLetter) {
    return m_src.Open(pSource, llFirstSector, llSectorCount, wcDriveLetter,
                      [this] { return SetUpVolume(); });
}

unsigned int CFastFatRecovery::SetUpVolume() {
    m_bReady = false;
    unsigned int nRead = 0;
    unsigned int nRet =
        m_src.reader.ReadData(m_szBootSector, kBootBytes / 512,
                              static_cast<long long>(m_src.u64Start + m_u64BootCopy), 512, &nRead);
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
        if (m_src.u64Start % nRatio != 0) return TW_ERR_BAD_ARGUMENT;
        m_src.u64Start /= nRatio;
        m_src.u64Count /= nRatio;
        unsigned int nOpen = m_src.Reopen();
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
    m_u64FirstFatSector = m_src.u64Start + nReserved;

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
    uint64_t u64Limit = m_src.reader.GetSectorLimit();
    if (u64Abs >= u64Limit) {
        m_nCacheValid = 0;
        return TW_ERR_SHORT_READ;
    }
    if (u64Abs + u64Sectors > u64Limit) u64Sectors = u64Limit - u64Abs;
    m_vecFatCache.assign(static_cast<size_t>(u64Sectors * m_nBytesPerSector), 0);
    unsigned int nRead = 0;
    unsigned int nRet = m_src.reader.ReadData(m_vecFatCache.data(), static_cast<int>(u64Sectors),
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
    if (nCluster < 2) return m_src.u64Start + m_nFirstDataSector - m_nRootDirSectors;
    return m_src.u64Start + m_nFirstDataSector +
           static_cast<uint64_t>(nCluster - 2) * m_nSectorsPerCluster;
}

unsigned int CFastFatRecovery::ReadSectors(unsigned char* pBuf, uint32_t nSectors,
                                           uint64_t u64Sector, uint32_t& nRead) {
    nRead = 0;
    // What lies past the end of the source is missing, like the rest of a
    // short read.
    const uint64_t u64Limit = m_src.reader.GetSectorLimit();
    if (u64Sector >= u64Limit) return TW_ERR_SHORT_READ;
    const bool bClipped = nSectors > u64Limit - u64Sector;
    if (bClipped) nSectors = static_cast<uint32_t>(u64Limit - u64Sector);
    unsigned int nGot = 0;
    unsigned int nRet =
        m_src.reader.ReadData(pBuf, static_cast<int>(nSectors), static_cast<long long>(u64Sector),
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

unsigned int CFastFatRecovery::FindNextClusterNO(uint32_t nCluster, uint32_t& nNext,
                                                 uint32_t nOwnFirst) {
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
        uint64_t u64ClaimEnd = 0;
        if (m_claims.IsClaimed(c, nOwnFirst, &u64ClaimEnd)) {
            c = static_cast<uint32_t>(std::min<uint64_t>(u64ClaimEnd, UINT32_MAX)) - 1;
            continue;
        }
        uint32_t nNextEntry = 0;
        if (GetNextClusterNO(c, nNextEntry) != 0) return 0;
        if (nNextEntry == 0) {
            nNext = c;
            return 0;
        }
    }
    return 0;
}
