#include "exfat/FastExFatRecovery.h"

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include "common/ByteOrder.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "carving/FileTypeJudge.h"
#include "device/FsRecognize.h"
#include "engine/NodeInfo.h"

namespace {

// The boot region and its backup with 4 KiB sectors: 24 sectors.
const uint32_t kBootProbeBytes = 24 * 4096;
// No directory is larger than 256 MiB; no cluster larger than 32 MiB.
const uint64_t kMaxDirBytes = 256ull << 20;
// Reads of file data: whole clusters, up to about 1 MiB at a time.
const uint64_t kReadBytes = 1u << 20;
const uint32_t kFatCacheEntries = 16384;
const long kReportMs = 200;

}  // namespace

CFastExFatRecovery::CFastExFatRecovery() = default;
CFastExFatRecovery::~CFastExFatRecovery() = default;

// ---------------------------------------------------------------------------
// Set-up.

unsigned int CFastExFatRecovery::Init(const std::shared_ptr<CMediumSource>& pSource,
                                      long long llFirstSector, long long llSectorCount,
                                      wchar_t wcDriveLetter) {
    return m_src.Open(pSource, llFirstSector, llSectorCount, wcDriveLetter,
                      [this] { return SetUpVolume(); });
}

unsigned int CFastExFatRecovery::SetUpVolume() {
    m_bReady = false;
    // The boot region, or its backup when the main one is damaged, in 512-byte
    // sectors as far as the partition goes.
    std::vector<unsigned char> probe(kBootProbeBytes, 0);
    const uint64_t u64ProbeSectors = std::min<uint64_t>(kBootProbeBytes / 512, m_src.u64Count);
    unsigned int nRead = 0;
    unsigned int nRet = m_src.reader.ReadData(probe.data(), static_cast<int>(u64ProbeSectors),
                                              static_cast<long long>(m_src.u64Start), 512, &nRead);
    if (nRet != 0 && nRet != TW_ERR_SHORT_READ) return nRet;
    const size_t nHave = nRet == 0 ? u64ProbeSectors * 512 : static_cast<size_t>(nRead) * 512;
    const long long llRegion = FindExFatBootRegion(probe.data(), nHave);
    if (llRegion < 0) return nHave < 512 ? TW_ERR_SHORT_READ : TW_ERR_BAD_ARGUMENT;
    m_bBackupBoot = llRegion != 0;
    const unsigned char* b = probe.data() + llRegion;

    m_nBytesPerSector = 1u << b[108];
    m_nSectorsPerCluster = 1u << b[109];
    m_nClusterBytes = m_nBytesPerSector * m_nSectorsPerCluster;
    m_u64FatOffset = Le32(b + 80);
    m_u64HeapOffset = Le32(b + 88);
    m_nClusterCount = Le32(b + 92);
    m_nRootCluster = Le32(b + 96);
    // The caller counts in 512-byte sectors; the volume in its own.
    const uint32_t nRatio = m_nBytesPerSector / 512;
    if (m_src.u64Start % nRatio != 0) return TW_ERR_BAD_ARGUMENT;
    m_src.u64Start /= nRatio;
    m_src.u64Count /= nRatio;
    // Clusters past the end of the partition do not exist here.
    if (m_src.u64Count <= m_u64HeapOffset) return TW_ERR_SHORT_READ;
    const uint64_t u64Fits = (m_src.u64Count - m_u64HeapOffset) / m_nSectorsPerCluster;
    if (u64Fits < m_nClusterCount) m_nClusterCount = static_cast<uint32_t>(u64Fits);
    if (!IsDataCluster(m_nRootCluster)) return TW_ERR_BAD_ARGUMENT;
    m_u64FatCacheFirst = ~0ull;

    // The root directory names the allocation bitmap.
    std::vector<unsigned char> root;
    std::vector<uint64_t> vecSectors;
    if (!ReadRun(m_nRootCluster, 0, false, kMaxDirBytes / m_nClusterBytes, root, vecSectors))
        return TW_ERR_SHORT_READ;
    m_bReady = true;
    return ReadBitmap(root);
}

// The bitmap of the first Allocation Bitmap entry of the root. Without one (or
// when it cannot be read) nothing is taken for free space, and deleted data is
// followed by its chain only.
unsigned int CFastExFatRecovery::ReadBitmap(const std::vector<unsigned char>& root) {
    const size_t nBytes = (static_cast<size_t>(m_nClusterCount) + 7) / 8;
    m_bBitmapKnown = false;
    try {
        m_vecBitmap.assign(nBytes, 0xFF);
    } catch (const std::bad_alloc&) {
        return TW_ERR_OUT_OF_MEMORY;
    }
    for (size_t nOff = 0; nOff + kExFatEntryBytes <= root.size(); nOff += kExFatEntryBytes) {
        const unsigned char* e = root.data() + nOff;
        if (e[0] == EXFAT_ENTRY_END) break;
        if (e[0] != EXFAT_ENTRY_BITMAP || (e[1] & 1)) continue;  // the first bitmap only
        const uint32_t nFirst = Le32(e + 20);
        const uint64_t u64Length = Le64(e + 24);
        if (!IsDataCluster(nFirst) || u64Length < nBytes) break;
        std::vector<unsigned char> data;
        std::vector<uint64_t> vecSectors;
        const uint64_t u64Clusters = (nBytes + m_nClusterBytes - 1) / m_nClusterBytes;
        if (!ReadRun(nFirst, 0, false, u64Clusters, data, vecSectors) || data.size() < nBytes)
            break;
        std::memcpy(m_vecBitmap.data(), data.data(), nBytes);
        m_bBitmapKnown = true;
        break;
    }
    return 0;
}

bool CFastExFatRecovery::IsClusterInUse(uint32_t nCluster) const {
    if (!IsDataCluster(nCluster)) return true;
    const uint32_t i = nCluster - 2;
    return (m_vecBitmap[i / 8] >> (i % 8)) & 1;
}

uint64_t CFastExFatRecovery::ClusterSector(uint32_t nCluster) const {
    return m_src.u64Start + m_u64HeapOffset +
           static_cast<uint64_t>(nCluster - 2) * m_nSectorsPerCluster;
}

unsigned int CFastExFatRecovery::ReadVolume(unsigned char* pBuf, uint64_t u64Sector,
                                            uint32_t nSectors) {
    unsigned int nRead = 0;
    unsigned int nRet =
        m_src.reader.ReadData(pBuf, static_cast<int>(nSectors), static_cast<long long>(u64Sector),
                              static_cast<int>(m_nBytesPerSector), &nRead);
    // What lies past the end of the source is missing like a short read.
    return nRet == TW_ERR_BAD_ARGUMENT ? TW_ERR_SHORT_READ : nRet;
}

unsigned int CFastExFatRecovery::GetFatEntry(uint32_t nCluster, uint32_t& nEntry) {
    nEntry = 0;
    if (!IsDataCluster(nCluster)) return TW_ERR_BAD_ARGUMENT;
    const uint64_t u64First = nCluster / kFatCacheEntries * kFatCacheEntries;
    if (u64First != m_u64FatCacheFirst) {
        m_u64FatCacheFirst = ~0ull;
        const uint32_t nEntriesPerSector = m_nBytesPerSector / 4;
        const uint32_t nSectors = kFatCacheEntries / nEntriesPerSector;
        m_vecFatCache.assign(static_cast<size_t>(nSectors) * m_nBytesPerSector, 0);
        const uint64_t u64Sector = m_src.u64Start + m_u64FatOffset + u64First / nEntriesPerSector;
        unsigned int nRead = 0;
        unsigned int nRet = m_src.reader.ReadData(m_vecFatCache.data(), static_cast<int>(nSectors),
                                                  static_cast<long long>(u64Sector),
                                                  static_cast<int>(m_nBytesPerSector), &nRead);
        if (nRet != 0) {
            // Near the end of a short source: what arrived, sector by sector.
            nRead = 0;
            for (uint32_t i = 0; i < nSectors; ++i) {
                if (ReadVolume(m_vecFatCache.data() + static_cast<size_t>(i) * m_nBytesPerSector,
                               u64Sector + i, 1) != 0)
                    break;
                ++nRead;
            }
            if (nRead == 0) return TW_ERR_SHORT_READ;
            m_vecFatCache.resize(static_cast<size_t>(nRead) * m_nBytesPerSector);
        }
        m_u64FatCacheFirst = u64First;
    }
    const size_t nAt = static_cast<size_t>(nCluster - m_u64FatCacheFirst) * 4;
    if (nAt + 4 > m_vecFatCache.size()) return TW_ERR_SHORT_READ;
    nEntry = Le32(m_vecFatCache.data() + nAt);
    return 0;
}

uint32_t CFastExFatRecovery::NextCluster(ClusterWalk& walk, bool bDeleted) {
    const uint32_t nCluster = walk.nCluster;
    uint32_t nNext = 0;
    if (walk.bNoFatChain) {
        nNext = nCluster + 1;
        return IsDataCluster(nNext) ? nNext : 0;
    }
    walk.setSeen.insert(nCluster);
    uint32_t nEntry = 0;
    if (GetFatEntry(nCluster, nEntry) == 0 && IsDataCluster(nEntry) &&
        !walk.setSeen.count(nEntry) && (!bDeleted || !IsReused(nEntry)))
        return nEntry;
    if (!bDeleted || !m_bBitmapKnown) return 0;
    // The chain of deleted data is gone (or leads into clusters now in use):
    // the data goes on in the next free cluster that no other deleted file
    // holds. The search goes on where the last one ended, so that a file's
    // searches read the bitmap once at most.
    for (uint64_t c = std::max<uint64_t>(nCluster + 1ull, walk.u64FreeFrom); IsDataCluster(c);
         ++c) {
        const uint32_t i = static_cast<uint32_t>(c - 2);
        if (m_vecBitmap[i / 8] == 0xFF && i % 8 == 0) {
            c += 7;
            continue;
        }
        uint64_t u64ClaimEnd = 0;
        if (m_claims.IsClaimed(c, walk.nFirst, &u64ClaimEnd)) {
            c = u64ClaimEnd - 1;
            continue;
        }
        if (!IsClusterInUse(static_cast<uint32_t>(c)) &&
            !walk.setSeen.count(static_cast<uint32_t>(c))) {
            walk.u64FreeFrom = c + 1;
            return static_cast<uint32_t>(c);
        }
    }
    return 0;
}

bool CFastExFatRecovery::ReadRun(uint32_t nFirst, uint8_t nFlags, bool bDeleted,
                                 uint64_t u64Clusters, std::vector<unsigned char>& buf,
                                 std::vector<uint64_t>& vecSectors) {
    buf.clear();
    vecSectors.clear();
    if (!IsDataCluster(nFirst) || u64Clusters == 0) return false;
    ClusterWalk walk{nFirst, (nFlags & EXFAT_FLAG_NO_FAT_CHAIN) != 0, {}, 0, nFirst};
    while (vecSectors.size() < u64Clusters) {
        const uint64_t u64Sector = ClusterSector(walk.nCluster);
        const size_t nAt = buf.size();
        buf.resize(nAt + m_nClusterBytes);
        if (ReadVolume(buf.data() + nAt, u64Sector, m_nSectorsPerCluster) != 0) {
            buf.resize(nAt);
            break;
        }
        vecSectors.push_back(u64Sector);
        if (vecSectors.size() >= u64Clusters) break;
        walk.nCluster = NextCluster(walk, bDeleted);
        if (walk.nCluster == 0) break;
    }
    return !vecSectors.empty();
}

// ---------------------------------------------------------------------------
// Scan.

unsigned int CFastExFatRecovery::ScanDevice(const wchar_t* wszResultName) {
    m_dirQueue.clear();
    m_folders.Clear();
    m_mapDirLevel.clear();
    m_setDirClusters.clear();
    m_u64FilesFound = 0;
    m_nDamagedSets = 0;
    m_claims.Clear();
    if (wszResultName) return OpenStore(wszResultName);
    if (!m_bReady) return m_src.bOpen ? TW_ERR_BAD_ARGUMENT : TW_ERR_SHORT_READ;
    // Fast FAT and exFAT stores are named by UTC time.
    unsigned int nRet = OpenFreshStore("Fast_", static_cast<long long>(m_src.u64Start), true);
    if (nRet != 0) return nRet;

    PendingDir top{};
    top.nCluster = m_nRootCluster;
    m_dirQueue.push_back(top);
    m_mapDirLevel[m_nRootCluster] = 0;
    int nStop = ReportScan(1, -1, 0);
    long lLastReport = rsb_getTickCount();
    uint64_t u64Done = 0;
    while (!m_dirQueue.empty() && nStop == 0) {
        const PendingDir dir = m_dirQueue.front();
        m_dirQueue.pop_front();
        if (!m_setDirClusters.count(dir.nCluster) && WalkDir(dir))
            m_setDirClusters.insert(dir.nCluster);
        ++u64Done;
        const long lNow = rsb_getTickCount();
        if (lNow - lLastReport >= kReportMs) {
            lLastReport = lNow;
            // Folders read against folders known: 2 ... 79 percent.
            const int nPercent = 2 + static_cast<int>(77 * u64Done / (u64Done + m_dirQueue.size()));
            nStop = ReportScan(nPercent, -1, m_u64FilesFound);
        }
    }
    m_dirQueue.clear();
    return EndFolderWalk(
        nStop, m_folders, [this](uint32_t nDirId) { return LevelOf(nDirId); }, m_u64FilesFound);
}

unsigned int CFastExFatRecovery::LevelOf(uint32_t nDirId) const {
    auto it = m_mapDirLevel.find(nDirId);
    return it == m_mapDirLevel.end() ? 0 : it->second;
}

bool CFastExFatRecovery::WalkDir(const PendingDir& dir) {
    // A deleted folder whose first cluster is in use again holds someone
    // else's entries now.
    if (dir.bHasEntry && dir.bDeleted && IsReused(dir.nCluster)) return false;
    uint64_t u64Clusters = kMaxDirBytes / m_nClusterBytes;
    if (dir.bHasEntry) {
        const uint64_t u64Length = std::min(dir.u64Length, kMaxDirBytes);
        u64Clusters = (u64Length + m_nClusterBytes - 1) / m_nClusterBytes;
    }
    std::vector<unsigned char> buf;
    std::vector<uint64_t> vecSectors;
    if (!ReadRun(dir.nCluster, dir.nFlags, dir.bDeleted, u64Clusters, buf, vecSectors))
        return false;
    if (dir.bHasEntry) m_folders.mapDir[dir.nCluster] = dir.info;
    m_mapDirLevel[dir.nCluster] = dir.nLevel;

    size_t nOff = 0;
    while (nOff + kExFatEntryBytes <= buf.size()) {
        const uint8_t nType = buf[nOff];
        if (nType == EXFAT_ENTRY_END) break;
        if ((nType | EXFAT_ENTRY_IN_USE) != EXFAT_ENTRY_FILE) {
            nOff += kExFatEntryBytes;
            continue;
        }
        EXFAT_FILE_SET set;
        if (ParseExFatFileSet(buf.data(), buf.size(), nOff, set) != EXFAT_SET_OK) {
            ++m_nDamagedSets;
            nOff += kExFatEntryBytes;
            continue;
        }
        // The Stream Extension is the second entry: its sector on the device.
        const size_t nStream = nOff + kExFatEntryBytes;
        const uint64_t u64StreamSector =
            vecSectors[nStream / m_nClusterBytes] + (nStream % m_nClusterBytes) / m_nBytesPerSector;
        OnSet(dir, set, u64StreamSector);
        nOff += set.nEntries * kExFatEntryBytes;
    }
    return true;
}

void CFastExFatRecovery::FillNode(_FILE_NODE_& node, const EXFAT_FILE_SET& set, bool bDeleted) {
    std::memset(&node, 0, sizeof(node));
    node.nDriveLetter = m_src.nDriveLetter;
    node.nEngineType = ENGINE_FAST_EXFAT;
    node.bIsDir = (set.nAttributes & EXFAT_ATTR_DIRECTORY) ? 1 : 0;
    node.bIsDeleted = bDeleted ? 1 : 0;
    node.bDataHealth = 1;
    node.nDirId = set.nFirstCluster;
    node.nClusterBytes = m_nClusterBytes;
    ExFatTimeToFileTime(set.nCreateTime, set.nCreate10ms, set.nCreateUtc, node.ftCreateTime);
    ExFatTimeToFileTime(set.nAccessTime, 0, set.nAccessUtc, node.ftLastAccessTime);
    ExFatTimeToFileTime(set.nModifyTime, set.nModify10ms, set.nModifyUtc, node.ftLastWriteTime);
    node.u64FileSize = node.bIsDir ? 0 : set.u64DataLength;
    node.u64DataStartSector = m_u64HeapOffset;
    node.u64PartitionStartSector = m_src.u64Start;
    // Cut at a character boundary when the narrow name is longer than the field.
    if (tw::WideToNarrowBounded(set.wstrName.c_str(), set.wstrName.size(), node.szFileName,
                                sizeof(node.szFileName), nullptr) < 0)
        node.szFileName[0] = 0;
}

void CFastExFatRecovery::OnSet(const PendingDir& dir, const EXFAT_FILE_SET& set,
                               uint64_t u64StreamSector) {
    const bool bDeleted = set.bDeleted || dir.bDeleted;
    if (set.nAttributes & EXFAT_ATTR_DIRECTORY) {
        if (!IsDataCluster(set.nFirstCluster) || m_setDirClusters.count(set.nFirstCluster)) return;
        PendingDir sub{};
        sub.nCluster = set.nFirstCluster;
        sub.nFlags = set.nFlags;
        sub.u64Length = set.u64DataLength;
        sub.nLevel = dir.nLevel + 1;
        sub.bDeleted = bDeleted;
        sub.bHasEntry = true;
        FillNode(sub.info.node, set, bDeleted);
        sub.info.node.u64RecordSector = u64StreamSector;
        sub.info.nParentId = dir.nCluster;
        m_dirQueue.push_back(sub);
        return;
    }
    if (!bDeleted) return;
    _FILE_NODE_* pNode = static_cast<_FILE_NODE_*>(m_pStore->CreateFileNode(sizeof(_FILE_NODE_)));
    if (!pNode) return;
    FillNode(*pNode, set, true);
    pNode->u64RecordSector = u64StreamSector;
    pNode->bDataHealth = DataHealth(*pNode);
    // Data of known extent that still starts like its file (a type whose
    // start can be tested) is that file's.
    if ((set.nFlags & EXFAT_FLAG_NO_FAT_CHAIN) && pNode->bDataHealth &&
        IsDataCluster(set.nFirstCluster) && CFileTypeJudge::HasTypeTest(pNode->szFileName))
        m_claims.Add(set.nFirstCluster, set.u64DataLength / m_nClusterBytes +
                                            (set.u64DataLength % m_nClusterBytes != 0));
    pNode->nFileIndex = m_pStore->GetFileIndex();
    m_pStore->AddChildren(dir.nCluster, dir.nLevel, pNode->nFileIndex, pNode->nDirId, nullptr);
    ++m_u64FilesFound;
    m_folders.AddPath(dir.nCluster, m_nRootCluster);
}

// ---------------------------------------------------------------------------
// Data.

uint32_t CFastExFatRecovery::DataHealth(const _FILE_NODE_& node) {
    char szExt[sizeof(node.szFileName)] = {0};
    if (!FitsInVolume(node.u64FileSize, m_nClusterCount, m_nClusterBytes)) return 0;
    if (node.u64FileSize == 0 || !IsDataCluster(node.nDirId) ||
        GetExtendName(node.szFileName, szExt) != 0 || !szExt[0])
        return 1;
    std::vector<unsigned char> sector(m_nBytesPerSector);
    const uint64_t u64Sector = ClusterSector(node.nDirId);
    if (ReadVolume(sector.data(), u64Sector, 1) != 0) return 1;
    return CFileTypeJudge::IsFileTypeMatching(sector.data(), static_cast<int>(sector.size()), szExt,
                                              &m_src.reader, static_cast<int>(m_nBytesPerSector),
                                              u64Sector) != 0;
}

unsigned int CFastExFatRecovery::ReadStreamEntry(const _FILE_NODE_& node, uint8_t& nFlags,
                                                 uint64_t& u64Valid) {
    std::vector<unsigned char> sector(m_nBytesPerSector);
    unsigned int nRet = ReadVolume(sector.data(), node.u64RecordSector, 1);
    if (nRet != 0) return nRet;
    for (size_t nOff = 0; nOff + kExFatEntryBytes <= sector.size(); nOff += kExFatEntryBytes) {
        const unsigned char* s = sector.data() + nOff;
        if ((s[0] | EXFAT_ENTRY_IN_USE) != EXFAT_ENTRY_STREAM || Le32(s + 20) != node.nDirId ||
            Le64(s + 24) != node.u64FileSize || Le64(s + 8) > node.u64FileSize)
            continue;
        nFlags = s[1];
        u64Valid = Le64(s + 8);
        return 0;
    }
    // The entry is gone (the directory was written since the scan).
    return TW_ERR_SHORT_READ;
}

unsigned int CFastExFatRecovery::StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                                const DataSink& sink) {
    if (!m_bReady || node.nClusterBytes != m_nClusterBytes) return TW_ERR_BAD_ARGUMENT;
    if (u64Wanted > node.u64FileSize) u64Wanted = node.u64FileSize;
    if (u64Wanted == 0) return 0;
    uint8_t nFlags = 0;
    uint64_t u64Valid = 0;
    unsigned int nRet = ReadStreamEntry(node, nFlags, u64Valid);
    if (nRet != 0) return nRet;
    if (u64Valid > 0 && !IsDataCluster(node.nDirId)) return TW_ERR_SHORT_READ;

    // The valid data from the clusters, a run of neighbours per read.
    const uint64_t u64FromDisk = std::min(u64Wanted, u64Valid);
    const uint32_t nPerRead =
        static_cast<uint32_t>(std::max<uint64_t>(1, kReadBytes / m_nClusterBytes));
    std::vector<unsigned char> buf;
    try {
        buf.resize(static_cast<size_t>(nPerRead) * m_nClusterBytes);
    } catch (const std::bad_alloc&) {
        return TW_ERR_OUT_OF_MEMORY;
    }
    ClusterWalk walk{node.nDirId, (nFlags & EXFAT_FLAG_NO_FAT_CHAIN) != 0, {}, 0, node.nDirId};
    uint64_t u64Done = 0;
    while (u64Done < u64FromDisk) {
        // Neighbouring clusters of the run, read at once.
        const uint32_t nFirst = walk.nCluster;
        uint32_t nRun = 1;
        uint64_t u64RunBytes = m_nClusterBytes;
        uint32_t nNext = 0;
        while (true) {
            if (u64Done + u64RunBytes >= u64FromDisk) break;
            nNext = NextCluster(walk, true);
            if (nNext == 0) break;
            walk.nCluster = nNext;
            if (nNext != nFirst + nRun || nRun == nPerRead) break;
            ++nRun;
            u64RunBytes += m_nClusterBytes;
            nNext = 0;
        }
        nRet = ReadVolume(buf.data(), ClusterSector(nFirst), nRun * m_nSectorsPerCluster);
        if (nRet != 0) return nRet;
        const uint64_t u64Take = std::min(u64RunBytes, u64FromDisk - u64Done);
        nRet = sink(buf.data(), static_cast<size_t>(u64Take));
        if (nRet != 0) return nRet;
        u64Done += u64Take;
        if (u64Done < u64FromDisk && nNext == 0) return TW_ERR_SHORT_READ;
    }
    // Past the valid data length the file reads as zeros.
    std::fill(buf.begin(), buf.end(), 0);
    while (u64Done < u64Wanted) {
        const uint64_t u64Take = std::min<uint64_t>(buf.size(), u64Wanted - u64Done);
        nRet = sink(buf.data(), static_cast<size_t>(u64Take));
        if (nRet != 0) return nRet;
        u64Done += u64Take;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Free space.

unsigned int CFastExFatRecovery::BuildBitMapInfo() {
    return 0;
}

unsigned int CFastExFatRecovery::GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                                      unsigned long long& u64Count) {
    // The caller counts in 512-byte sectors (the deep scan reads the area in
    // them); the bitmap in the volume's own.
    const unsigned long long u64Ratio = m_nBytesPerSector > 512 ? m_nBytesPerSector / 512 : 1;
    u64StartSector /= u64Ratio;
    const unsigned int nRet = FreeRun(u64StartSector, u64Count);
    u64StartSector *= u64Ratio;
    u64Count *= u64Ratio;
    return nRet;
}

unsigned int CFastExFatRecovery::FreeRun(unsigned long long& u64StartSector,
                                         unsigned long long& u64Count) {
    u64Count = 0;
    if (u64StartSector > m_src.u64Count) {
        u64StartSector = m_src.u64Count;
        return 1;
    }
    if (!m_bReady) return 1;
    // The boot regions and the FAT come before the heap: none of it is free.
    const uint64_t nSpc = m_nSectorsPerCluster;
    uint64_t u64Rel = u64StartSector > m_u64HeapOffset ? u64StartSector - m_u64HeapOffset : 0;
    const uint64_t nClusters = m_nClusterCount;
    uint64_t c = 0, e = 0;
    FindClearRun(m_vecBitmap, nClusters, u64Rel / nSpc, c, e);
    if (c < nClusters) {
        if (c * nSpc > u64Rel) u64Rel = c * nSpc;
        u64Count = e * nSpc - u64Rel;
    } else {
        u64Rel = nClusters * nSpc;
    }
    u64StartSector = u64Rel + m_u64HeapOffset;
    if (u64StartSector >= m_src.u64Count) {
        u64StartSector = m_src.u64Count;
        u64Count = 0;
    } else if (u64StartSector + u64Count > m_src.u64Count) {
        u64Count = m_src.u64Count - u64StartSector;
    }
    return 1;
}
