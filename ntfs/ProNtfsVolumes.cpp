// The deep NTFS parser's volumes: the MFTs met (their copies in $MFTMirr
// told apart), the volume each record belongs to, and reading a volume's
// records through its MFT's runs.
#include "ntfs/ProfessionalNtfsRecovery.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include "common/DebugLog.h"
#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "device/FsRecognize.h"
#include "engine/SaveTarget.h"

namespace {

constexpr unsigned int kMaxSectorsPerCluster = 4096;  // 2 MiB clusters of 512-byte sectors
// Every record met is looked up in each MFT kept: a medium crafted with
// thousands of $MFT records would make the pass quadratic. Real disks hold a
// few (one per volume, and those of earlier formats); records of MFTs past
// this many are placed as those of an MFT never met.
constexpr size_t kMaxMfts = 64;

bool IsPowerOfTwo(uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

bool SameRuns(const std::vector<__RUNLIST__>& a, const std::vector<__RUNLIST__>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].u64Length != b[i].u64Length || a[i].i64Offset != b[i].i64Offset ||
            a[i].bSparse != b[i].bSparse)
            return false;
    return true;
}

// Where sector s of an MFT lies: walks its runs (start = the volume start),
// every product and sum checked. False when no run holds it.
bool MapMftSector(const std::vector<__RUNLIST__>& vecRuns, unsigned int nSpc,
                  unsigned long long u64Start, unsigned long long s, unsigned long long& u64Abs,
                  unsigned long long& u64Left) {
    unsigned long long m = 0;
    int64_t i64Cluster = 0;
    for (const __RUNLIST__& r : vecRuns) {
        if (!r.bSparse && __builtin_add_overflow(i64Cluster, r.i64Offset, &i64Cluster))
            return false;
        unsigned long long u64Len;
        if (__builtin_mul_overflow(r.u64Length, static_cast<unsigned long long>(nSpc), &u64Len))
            return false;
        if (s - m < u64Len) {
            if (r.bSparse || i64Cluster < 0) return false;
            unsigned long long u64First;
            if (__builtin_mul_overflow(static_cast<unsigned long long>(i64Cluster),
                                       static_cast<unsigned long long>(nSpc), &u64First) ||
                __builtin_add_overflow(u64First, u64Start, &u64First) ||
                __builtin_add_overflow(u64First, s - m, &u64Abs))
                return false;
            u64Left = u64Len - (s - m);
            return true;
        }
        if (__builtin_add_overflow(m, u64Len, &m)) return false;
        if (s < m) return false;
    }
    return false;
}

}  // namespace

// ---- MFT registry and volumes -------------------------------------------------

unsigned int CProfessionalNtfsRecovery::GetFileRecordSectorPerClusterByRecordBuf(
    const unsigned char* pRecord, unsigned int& nSectorsPerCluster) const {
    NTFS_DATA_ATTR data;
    if (!NtfsFindAttribute(pRecord, static_cast<size_t>(m_nRecordSize), NTFS_ATTR_DATA, 0, data) ||
        data.bResident)
        return TW_ERR_BAD_ARGUMENT;
    const uint64_t u64Clusters = RunListClusters(data.vecRuns);
    if (u64Clusters == 0 || data.u64AllocatedSize % m_nBytesPerSector != 0)
        return TW_ERR_BAD_ARGUMENT;
    const uint64_t u64Sectors = data.u64AllocatedSize / m_nBytesPerSector;
    if (u64Sectors % u64Clusters != 0) return TW_ERR_BAD_ARGUMENT;
    const uint64_t v = u64Sectors / u64Clusters;
    if (!IsPowerOfTwo(v) || v > kMaxSectorsPerCluster) return TW_ERR_BAD_ARGUMENT;
    nSectorsPerCluster = static_cast<unsigned int>(v);
    return 0;
}

bool CProfessionalNtfsRecovery::MftFromRecord(const std::vector<unsigned char>& vecRecord,
                                              unsigned long long u64Sector,
                                              NTFS_MFT_ENTRY& entry) const {
    NTFS_DATA_ATTR data;
    if (!NtfsFindAttribute(vecRecord.data(), vecRecord.size(), NTFS_ATTR_DATA, 0, data) ||
        data.bResident || data.vecRuns.empty() || data.vecRuns[0].bSparse ||
        data.vecRuns[0].i64Offset <= 0)
        return false;
    unsigned int nSpc = 0;
    if (GetFileRecordSectorPerClusterByRecordBuf(vecRecord.data(), nSpc) != 0) return false;
    unsigned long long u64Before;
    if (__builtin_mul_overflow(static_cast<unsigned long long>(data.vecRuns[0].i64Offset),
                               static_cast<unsigned long long>(nSpc), &u64Before) ||
        u64Before > u64Sector - m_u64DeviceStart)
        return false;  // the volume would begin before the device
    entry.vecRuns = data.vecRuns;
    entry.nSectorsPerCluster = nSpc;
    entry.u64VolumeStart = u64Sector - u64Before;
    entry.u64MftBytes = data.u64DataSize;
    return true;
}

// The copy of the first MFT records in $MFTMirr also holds a record 0 named
// "$MFT" with the same runs. Record 1 beside it names the mirror's cluster;
// if this record lay in the mirror, the true record 0 lies the distance
// between the two clusters further on, and holds the same runs.
bool CProfessionalNtfsRecovery::IsMftMirror(const NTFS_MFT_ENTRY& entry,
                                            unsigned long long u64Sector) {
    std::vector<unsigned char> vecRecord;
    if (ReadRecordAt(u64Sector + m_nSectorsPerRecord, vecRecord) != 0) return false;
    NTFS_RECORD_INFO info;
    NTFS_DATA_ATTR mirror;
    if (NtfsParseRecord(vecRecord.data(), vecRecord.size(), info) != NTFS_REC_OK ||
        info.nRecordNumber != 1 ||
        !NtfsFindAttribute(vecRecord.data(), vecRecord.size(), NTFS_ATTR_DATA, 0, mirror) ||
        mirror.bResident || mirror.vecRuns.empty() || mirror.vecRuns[0].bSparse)
        return false;
    int64_t i64Delta, i64Sectors, i64True;
    if (__builtin_sub_overflow(entry.vecRuns[0].i64Offset, mirror.vecRuns[0].i64Offset,
                               &i64Delta) ||
        i64Delta == 0 ||
        __builtin_mul_overflow(i64Delta, static_cast<int64_t>(entry.nSectorsPerCluster),
                               &i64Sectors) ||
        u64Sector > INT64_MAX ||
        __builtin_add_overflow(static_cast<int64_t>(u64Sector), i64Sectors, &i64True) ||
        i64True < static_cast<int64_t>(m_u64DeviceStart))
        return false;
    if (ReadRecordAt(static_cast<unsigned long long>(i64True), vecRecord) != 0) return false;
    NTFS_DATA_ATTR data;
    return NtfsParseRecord(vecRecord.data(), vecRecord.size(), info) == NTFS_REC_OK &&
           info.nRecordNumber == 0 && info.u64BaseRecord == 0 &&
           NtfsFindAttribute(vecRecord.data(), vecRecord.size(), NTFS_ATTR_DATA, 0, data) &&
           !data.bResident && SameRuns(data.vecRuns, entry.vecRuns);
}

void CProfessionalNtfsRecovery::RegisterMft(const std::vector<unsigned char>& vecRecord,
                                            const NTFS_RECORD_INFO& info,
                                            unsigned long long u64Sector) {
    if (!info.bHasName || strcasecmp(Unicode2Ansi(info.wstrName.c_str()).c_str(), "$MFT") != 0)
        return;
    if (m_mapMft.count(u64Sector)) return;  // from the boot sector, or met before
    if (m_mapMft.size() >= kMaxMfts) return;
    NTFS_MFT_ENTRY entry;
    if (!MftFromRecord(vecRecord, u64Sector, entry)) return;
    if (IsMftMirror(entry, u64Sector)) return;
    m_mapMft[u64Sector] = entry;
}

unsigned long long CProfessionalNtfsRecovery::GetFileRecordIndexMftRunList(
    unsigned long long u64RecordNo, unsigned long long u64Sector, NTFS_MFT_ENTRY* pEntry) const {
    unsigned long long s, u64Byte;
    if (__builtin_mul_overflow(u64RecordNo, static_cast<unsigned long long>(m_nSectorsPerRecord),
                               &s) ||
        __builtin_mul_overflow(u64RecordNo, static_cast<unsigned long long>(m_nRecordSize),
                               &u64Byte))
        return 0;
    for (const auto& [k, entry] : m_mapMft) {
        // A record past the MFT's size is a stale one of an earlier format.
        if (entry.u64MftBytes && u64Byte >= entry.u64MftBytes) continue;
        unsigned long long u64Abs = 0, u64Left = 0;
        if (MapMftSector(entry.vecRuns, entry.nSectorsPerCluster, entry.u64VolumeStart, s, u64Abs,
                         u64Left) &&
            u64Abs == u64Sector) {
            if (pEntry) *pEntry = entry;
            return k;
        }
    }
    return 0;
}

CProfessionalNtfsRecovery::VOLUME CProfessionalNtfsRecovery::FindVolume(
    unsigned long long u64RecordNo, unsigned long long u64Sector) const {
    VOLUME vol;
    NTFS_MFT_ENTRY entry;
    unsigned long long k = GetFileRecordIndexMftRunList(u64RecordNo, u64Sector, &entry);
    if (k != 0) {
        vol.u64Start = entry.u64VolumeStart;
        vol.nSectorsPerCluster = entry.nSectorsPerCluster;
        vol.bKnown = true;
        vol.vecMftRuns = entry.vecRuns;
        vol.u64MftSector = k;
        return vol;
    }
    // An MFT never met: contiguous, record 0 where this record's number puts it.
    vol.u64Start = m_u64DeviceStart;
    vol.nSectorsPerCluster = m_nSectorsPerCluster;
    const unsigned long long u64Into = u64RecordNo * m_nSectorsPerRecord;
    vol.u64MftSector = u64RecordNo < (1ull << 48) && u64Sector - m_u64DeviceStart >= u64Into
                           ? u64Sector - u64Into
                           : m_u64DeviceStart;
    return vol;
}

unsigned long long CProfessionalNtfsRecovery::GetSpecialFileRecordPartitionStartSector(
    unsigned long long u64Sector, unsigned long long u64RecordNo,
    unsigned int* pnSectorsPerCluster) const {
    VOLUME vol = FindVolume(u64RecordNo, u64Sector);
    if (pnSectorsPerCluster) *pnSectorsPerCluster = vol.nSectorsPerCluster;
    return vol.u64Start;
}

unsigned int CProfessionalNtfsRecovery::VolumeIndex(const VOLUME& vol) {
    // A volume of an MFT never met is another one than a registered MFT at the
    // same place: the records past a reformatted MFT's size are the older volume's.
    const auto key = std::make_tuple(vol.u64Start, vol.u64MftSector, vol.bKnown);
    auto it = m_mapVolumeIndex.find(key);
    if (it != m_mapVolumeIndex.end()) return it->second;
    const unsigned int v = static_cast<unsigned int>(m_vecVolumes.size());
    bool bDeviceStartTaken = false;
    for (const VOLUME& other : m_vecVolumes) bDeviceStartTaken |= other.nIndex == 0;
    m_vecVolumes.push_back(vol);
    // The folder-id space 0 (record numbers as they are, the root at the top)
    // goes to the first volume at the device start; every other volume is a
    // folder of its own at the top.
    m_vecVolumes[v].nIndex = vol.u64Start == m_u64DeviceStart && !bDeviceStartTaken ? 0 : v + 1;
    m_mapVolumeIndex[key] = v;
    if (m_vecVolumes[v].nIndex != 0 && m_pStore) {
        char szName[64];
        if (vol.u64Start != m_u64DeviceStart)
            std::snprintf(szName, sizeof szName, "NtfsVolume%llu", vol.u64Start);
        else
            std::snprintf(szName, sizeof szName, "NtfsVolume%llu_%u", vol.u64Start, v);
        _FILE_NODE_* pNode = MakeNtfsLostFolder(*m_pStore, ENGINE_DEEP_NTFS, m_wcDriveLetter,
                                                DirId(v, NTFS_ROOT_RECORD), NTFS_ROOT_RECORD);
        if (pNode) {
            std::snprintf(pNode->szFileName, sizeof pNode->szFileName, "%s", szName);
            pNode->u64PartitionStartSector = vol.u64Start;
            m_pStore->AddChildren(NTFS_ROOT_RECORD, 0, pNode->nFileIndex, pNode->nDirId, szName);
        }
    }
    return v;
}

uint32_t CProfessionalNtfsRecovery::DirId(unsigned int nVolume, unsigned int nRecordNo) {
    if (m_vecVolumes[nVolume].nIndex == 0) return nRecordNo;
    auto [it, bNew] = m_mapDirId.emplace(std::make_pair(nVolume, nRecordNo), m_nNextDirId);
    if (bNew) ++m_nNextDirId;
    return it->second;
}

// ---- reading records ----------------------------------------------------------

unsigned int CProfessionalNtfsRecovery::ReadRecordAt(unsigned long long u64Sector,
                                                     std::vector<unsigned char>& vecRecord) {
    vecRecord.assign(m_nRecordSize, 0);
    if (u64Sector > INT64_MAX) return TW_ERR_BAD_ARGUMENT;
    unsigned int nRead = 0;
    unsigned int nRet =
        m_reader.ReadData(vecRecord.data(), m_nSectorsPerRecord, static_cast<long long>(u64Sector),
                          m_nBytesPerSector, &nRead);
    if (nRet != 0) return nRet;
    if (nRead < static_cast<unsigned int>(m_nSectorsPerRecord)) return TW_ERR_SHORT_READ;
    return FinishNtfsRecord(m_ntfsParse, vecRecord);
}

bool CProfessionalNtfsRecovery::LocateRecord(const VOLUME& vol, unsigned long long u64RecordNo,
                                             unsigned long long& u64Sector,
                                             unsigned int& nContiguous) const {
    unsigned long long s;
    if (__builtin_mul_overflow(u64RecordNo, static_cast<unsigned long long>(m_nSectorsPerRecord),
                               &s))
        return false;
    if (!vol.bKnown) {
        nContiguous = static_cast<unsigned int>(m_nSectorsPerRecord);
        return !__builtin_add_overflow(vol.u64MftSector, s, &u64Sector);
    }
    unsigned long long u64Left = 0;
    if (!MapMftSector(vol.vecMftRuns, vol.nSectorsPerCluster, vol.u64Start, s, u64Sector, u64Left))
        return false;
    nContiguous = static_cast<unsigned int>(std::min<unsigned long long>(u64Left, 1u << 20));
    return true;
}

unsigned int CProfessionalNtfsRecovery::ReadVolumeRecord(const VOLUME& vol,
                                                         unsigned long long u64RecordNo,
                                                         std::vector<unsigned char>& vecRecord) {
    unsigned long long u64Sector = 0;
    unsigned int nContiguous = 0;
    if (!LocateRecord(vol, u64RecordNo, u64Sector, nContiguous)) return TW_ERR_BAD_ARGUMENT;
    if (nContiguous >= static_cast<unsigned int>(m_nSectorsPerRecord))
        return ReadRecordAt(u64Sector, vecRecord);
    // The record straddles two runs of the MFT: read it sector by sector.
    vecRecord.assign(m_nRecordSize, 0);
    for (int i = 0; i < m_nSectorsPerRecord; ++i) {
        unsigned long long u64Part = 0, u64Left = 0;
        if (!MapMftSector(vol.vecMftRuns, vol.nSectorsPerCluster, vol.u64Start,
                          u64RecordNo * m_nSectorsPerRecord + i, u64Part, u64Left) ||
            u64Part > INT64_MAX)
            return TW_ERR_BAD_ARGUMENT;
        unsigned int nRead = 0;
        unsigned int nRet =
            m_reader.ReadData(vecRecord.data() + i * m_nBytesPerSector, 1,
                              static_cast<long long>(u64Part), m_nBytesPerSector, &nRead);
        if (nRet != 0) return nRet;
        if (nRead == 0) return TW_ERR_SHORT_READ;
    }
    return FinishNtfsRecord(m_ntfsParse, vecRecord);
}

NTFS_VOLUME_VIEW CProfessionalNtfsRecovery::ViewOf(const VOLUME& vol) {
    NTFS_VOLUME_VIEW view;
    view.nClusterBytes = vol.nSectorsPerCluster * static_cast<uint32_t>(m_nBytesPerSector);
    view.u64VolumeStart = vol.u64Start;
    if (vol.bKnown)
        view.fnReadRecord = [this, vol](uint64_t u64RecordNo, std::vector<unsigned char>& vec) {
            return ReadVolumeRecord(vol, u64RecordNo, vec);
        };
    return view;
}

unsigned long long CProfessionalNtfsRecovery::VolumeClustersOf(unsigned long long u64Start,
                                                               unsigned int nSpc) const {
    if (nSpc == 0 || u64Start >= m_u64SectorLimit) return 0;
    return (m_u64SectorLimit - u64Start) / nSpc;
}
