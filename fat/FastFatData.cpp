// The fast FAT engine, part three: a file's data read back along its chain
// (for saving and preview through the engine base) and the free-space map.
#include "fat/FastFatRecovery.h"

#include <new>
#include <unordered_set>

namespace {

const uint32_t kMaxClusterBytes = 104857600;  // no read buffer above 100 MiB

}  // namespace

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
        FindNextClusterNO(nCluster, nNext, node.nDirId);
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
    // The caller counts in 512-byte sectors (the deep scan reads the area in
    // them); the map in the volume's own.
    const unsigned long long u64Ratio = m_nBytesPerSector > 512 ? m_nBytesPerSector / 512 : 1;
    u64StartSector /= u64Ratio;
    const unsigned int nRet = FreeRun(u64StartSector, u64Count);
    u64StartSector *= u64Ratio;
    u64Count *= u64Ratio;
    return nRet;
}

unsigned int CFastFatRecovery::FreeRun(unsigned long long& u64StartSector,
                                       unsigned long long& u64Count) {
    u64Count = 0;
    if (u64StartSector > m_src.u64Count) {
        u64StartSector = m_src.u64Count;
        return 1;
    }
    if (m_nSectorsPerCluster == 0) return 1;
    const uint64_t nSpc = m_nSectorsPerCluster;
    uint64_t u64Rel = u64StartSector > m_nFirstDataSector ? u64StartSector - m_nFirstDataSector : 0;
    const uint64_t nBits = m_vecBitmap.empty() ? 0 : m_nClusterCount;
    const uint64_t c0 = u64Rel / nSpc;
    uint64_t c = 0, e = 0;
    FindClearRun(m_vecBitmap, nBits, c0, c, e);
    if (c < nBits) {
        if (c != c0) u64Rel = c * nSpc;
        u64Count = e * nSpc - u64Rel;
    }
    u64StartSector = u64Rel + m_nFirstDataSector;
    if (u64StartSector >= m_src.u64Count) {
        u64Count = 0;
    } else if (u64StartSector + u64Count > m_src.u64Count) {
        u64Count = m_src.u64Count - u64StartSector;
    }
    return 1;
}
