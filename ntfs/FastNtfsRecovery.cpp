#include "ntfs/FastNtfsRecovery.h"

#include <fcntl.h>
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
#include "engine/SaveTarget.h"
#include "ntfs/NtfsRecord.h"

namespace {

CFaultGuard g_ntfsGuard("CFastNtfsRecovery recvSignal");

constexpr unsigned int kRecordsPerPiece = 1024;
constexpr int kMaxParentDepth = 4096;  // deeper chains are cut into a lost folder

// Keeps the runs of a list up to the first one that leaves the volume.
void TrimRunsToVolume(std::vector<__RUNLIST__>& vecRuns, uint64_t u64Clusters,
                      uint64_t u64ClusterBytes) {
    std::vector<__RUNLIST__> vecKept;
    for (const __RUNLIST__& r : vecRuns) {
        vecKept.push_back(r);
        if (CheckRunsInVolume(vecKept, u64Clusters, u64ClusterBytes) != 0) {
            vecKept.pop_back();
            break;
        }
    }
    vecRuns.swap(vecKept);
}

}  // namespace

CFastNtfsRecovery::CFastNtfsRecovery()
    : m_u64VolumeStart(0),
      m_u64VolumeSectors(0),
      m_u64AreaStart512(0),
      m_u64AreaSectors512(0),
      m_u64MftStartSector(0),
      m_u64Clusters(0),
      m_wcDriveLetter(L'C'),
      m_nBytesPerSector(512),
      m_nSectorsPerRecord(2),
      m_nRecordSize(1024),
      m_nSectorsPerCluster(0),
      m_bVolumeOk(false),
      m_nDamagedRecords(0) {}

CFastNtfsRecovery::~CFastNtfsRecovery() = default;

// ---- set-up ----------------------------------------------------------------

unsigned int CFastNtfsRecovery::Init(const std::shared_ptr<CMediumSource>& pSource,
                                     long long llFirstSector, long long llSectorCount,
                                     wchar_t wcDriveLetter) {
    m_wcDriveLetter = wcDriveLetter;
    m_bVolumeOk = false;
    if (!pSource || llFirstSector < 0 || llSectorCount <= 0) return TW_ERR_BAD_ARGUMENT;
    unsigned char abBoot[4096];
    // The copy in the last sector is the only sector there.
    const size_t nWant = m_u64BootCopy ? 512 : sizeof abBoot;
    MediumRead got;
    unsigned int nRet = pSource->Read((static_cast<uint64_t>(llFirstSector) + m_u64BootCopy) * 512,
                                      nWant, abBoot, got);
    if (nRet != 0 && nRet != TW_ERR_SHORT_READ) return nRet;
    if (got.nLeading < nWant) return TW_ERR_SHORT_READ;
    if (nWant < sizeof abBoot) std::memset(abBoot + nWant, 0, sizeof abBoot - nWant);
    nRet = SetupVolume(abBoot, llFirstSector, llSectorCount);
    if (nRet != 0) return nRet;
    nRet = m_reader.Init(pSource, m_u64VolumeStart + m_u64VolumeSectors);
    if (nRet != 0) return nRet;
    m_bVolumeOk = true;
    LoadMftRuns();
    return 0;
}

unsigned int CFastNtfsRecovery::SetupVolume(const unsigned char* pBoot, long long llFirstSector,
                                            long long llSectorCount) {
    NTFS_BOOT_SECTOR boot;
    std::memcpy(&boot, pBoot, sizeof boot);
    int nBps = boot.nBytesPerSector ? boot.nBytesPerSector : 512;
    if (nBps != 512 && nBps != 1024 && nBps != 2048 && nBps != 4096) {
        TwDebug("CFastNtfsRecovery: bad sector size %d\n", nBps);
        return TW_ERR_BAD_ARGUMENT;
    }
    unsigned int nSpc = NtfsSectorsPerCluster(boot.nSectorsPerCluster, nBps);
    if (nSpc == 0) {
        TwDebug("CFastNtfsRecovery: bad sectors per cluster 0x%02x\n", boot.nSectorsPerCluster);
        return TW_ERR_BAD_ARGUMENT;
    }
    if (static_cast<unsigned long long>(llFirstSector) % (nBps / 512) != 0)
        return TW_ERR_BAD_ARGUMENT;
    // Records of the size the boot sector gives (else of a sector, at least
    // 1,024 bytes). Records smaller than a sector (1,024 bytes on 4,096-byte
    // sectors) are counted in 512-byte sectors, so that each has a sector of
    // its own: that is the unit of this engine's sectors then.
    const int nRecordBytes = NtfsRecordBytes(pBoot) ? NtfsRecordBytes(pBoot) : std::max(nBps, 1024);
    const int nUnit = nRecordBytes < nBps ? 512 : nBps;
    const unsigned int nPerSector = static_cast<unsigned int>(nBps / nUnit);
    nSpc *= nPerSector;
    const unsigned long long u64Scale = nUnit / 512;
    m_nBytesPerSector = nUnit;
    m_nSectorsPerCluster = nSpc;
    m_nRecordSize = nRecordBytes;
    m_nSectorsPerRecord = nRecordBytes / nUnit;
    m_ntfsParse.Init(nUnit, nRecordBytes);
    m_u64AreaStart512 = static_cast<unsigned long long>(llFirstSector);
    m_u64AreaSectors512 = static_cast<unsigned long long>(llSectorCount);
    m_u64VolumeStart = m_u64AreaStart512 / u64Scale;
    m_u64VolumeSectors = m_u64AreaSectors512 / u64Scale;
    unsigned long long u64FsSectors = m_u64VolumeSectors, u64BootSectors;
    if (boot.u64TotalSectors &&
        !__builtin_mul_overflow(boot.u64TotalSectors, nPerSector, &u64BootSectors) &&
        u64BootSectors < u64FsSectors)
        u64FsSectors = u64BootSectors;
    m_u64Clusters = u64FsSectors / nSpc;
    if (boot.u64MftCluster >= m_u64Clusters) {
        TwDebug("CFastNtfsRecovery: MFT outside the volume\n");
        m_u64MftStartSector = m_u64VolumeStart;
    } else {
        m_u64MftStartSector = nSpc * boot.u64MftCluster + m_u64VolumeStart;
    }
    m_vecScanBuf.assign(static_cast<size_t>(m_nRecordSize) * (kRecordsPerPiece + 1), 0);
    m_vecMftRuns.clear();
    return 0;
}

unsigned int CFastNtfsRecovery::LoadMftRuns() {
    m_vecMftRuns.clear();
    if (m_u64MftStartSector == m_u64VolumeStart) return TW_ERR_BAD_ARGUMENT;
    std::vector<unsigned char> vecRecord;
    unsigned int nRet = ReadRecordAt(static_cast<long long>(m_u64MftStartSector), vecRecord);
    if (nRet != 0) {
        TwDebug("CFastNtfsRecovery: MFT record 0 unreadable (%u)\n", nRet);
        return nRet;
    }
    // The base record's own piece first: it maps the records that hold the rest.
    NTFS_DATA_ATTR first;
    if (!NtfsFindAttribute(vecRecord.data(), vecRecord.size(), NTFS_ATTR_DATA, 0, first) ||
        first.bResident)
        return NTFS_ERR_NO_ATTRIBUTE;
    m_vecMftRuns = first.vecRuns;
    TrimRunsToVolume(m_vecMftRuns, m_u64Clusters, ClusterBytes());
    NTFS_FILE_DATA data;
    if (GatherAttribute(vecRecord, NTFS_ATTR_DATA, data) == 0 && !data.bResident &&
        RunListClusters(data.vecRuns) > RunListClusters(m_vecMftRuns)) {
        TrimRunsToVolume(data.vecRuns, m_u64Clusters, ClusterBytes());
        m_vecMftRuns.swap(data.vecRuns);
    }
    return 0;
}

// ---- locating and reading records -----------------------------------------

CFastNtfsRecovery::RECORD_LOCATION CFastNtfsRecovery::LocateSector(
    unsigned long long u64MftSector) const {
    unsigned long long u64Before = 0;
    int64_t i64Cluster = 0;
    for (const __RUNLIST__& r : m_vecMftRuns) {
        if (!r.bSparse) i64Cluster += r.i64Offset;
        unsigned long long u64RunSectors = r.u64Length * m_nSectorsPerCluster;
        if (u64MftSector < u64Before + u64RunSectors) {
            if (r.bSparse) break;
            unsigned long long u64Into = u64MftSector - u64Before;
            unsigned long long u64Left = u64RunSectors - u64Into;
            return {true,
                    static_cast<unsigned long long>(i64Cluster) * m_nSectorsPerCluster + u64Into +
                        m_u64VolumeStart,
                    static_cast<unsigned int>(std::min<unsigned long long>(u64Left, 1u << 20))};
        }
        u64Before += u64RunSectors;
    }
    return {false, 0, 0};
}

unsigned long long CFastNtfsRecovery::GetFileRecordIndexSectorOffset(
    unsigned long long u64RecordNo) const {
    RECORD_LOCATION loc = LocateSector(u64RecordNo * m_nSectorsPerRecord);
    return loc.bFound ? loc.u64Sector : m_u64VolumeStart;
}

unsigned int CFastNtfsRecovery::ReadRecordAt(long long llRecordSector,
                                             std::vector<unsigned char>& vecRecord) {
    vecRecord.assign(m_nRecordSize, 0);
    unsigned int nRead = 0;
    unsigned int nRet = m_reader.ReadData(vecRecord.data(), m_nSectorsPerRecord, llRecordSector,
                                          m_nBytesPerSector, &nRead);
    if (nRet != 0) return nRet;
    if (nRead < static_cast<unsigned int>(m_nSectorsPerRecord)) return TW_ERR_SHORT_READ;
    return FinishNtfsRecord(m_ntfsParse, vecRecord);
}

unsigned int CFastNtfsRecovery::GetFileRecordBuf(unsigned int nRecordNo,
                                                 std::vector<unsigned char>& vecRecord) {
    const unsigned long long u64First =
        static_cast<unsigned long long>(nRecordNo) * m_nSectorsPerRecord;
    RECORD_LOCATION loc = LocateSector(u64First);
    if (!loc.bFound) return TW_ERR_BAD_ARGUMENT;
    if (loc.nContiguous >= static_cast<unsigned int>(m_nSectorsPerRecord))
        return ReadRecordAt(static_cast<long long>(loc.u64Sector), vecRecord);
    // The record straddles two runs of the MFT: read it sector by sector.
    vecRecord.assign(m_nRecordSize, 0);
    for (int i = 0; i < m_nSectorsPerRecord; ++i) {
        RECORD_LOCATION part = LocateSector(u64First + i);
        if (!part.bFound) return TW_ERR_BAD_ARGUMENT;
        unsigned int nRead = 0;
        unsigned int nRet =
            m_reader.ReadData(vecRecord.data() + i * m_nBytesPerSector, 1,
                              static_cast<long long>(part.u64Sector), m_nBytesPerSector, &nRead);
        if (nRet != 0) return nRet;
        if (nRead == 0) return TW_ERR_SHORT_READ;
    }
    return FinishNtfsRecord(m_ntfsParse, vecRecord);
}

// ---- attributes --------------------------------------------------------------

unsigned int CFastNtfsRecovery::GatherAttribute(const std::vector<unsigned char>& vecRecord,
                                                uint32_t nType, NTFS_FILE_DATA& data) {
    NTFS_VOLUME_VIEW vol;
    vol.nClusterBytes = m_nSectorsPerCluster * m_nBytesPerSector;
    vol.u64VolumeStart = m_u64VolumeStart;
    vol.fnReadRecord = [this](uint64_t u64RecordNo, std::vector<unsigned char>& vecOther) {
        return GetFileRecordBuf(static_cast<unsigned int>(u64RecordNo), vecOther);
    };
    return GatherNtfsAttribute(*this, vol, vecRecord, nType, data);
}

unsigned int CFastNtfsRecovery::GetRunListInfo(long long llRecordSector, int nType,
                                               std::vector<__RUNLIST__>& vecRuns) {
    std::vector<unsigned char> vecRecord;
    unsigned int nRet = ReadRecordAt(llRecordSector, vecRecord);
    if (nRet != 0) return nRet;
    NTFS_FILE_DATA data;
    nRet = GatherAttribute(vecRecord, static_cast<uint32_t>(nType), data);
    if (nRet == 0) AppendRunExtent(vecRuns, data.vecRuns);
    return nRet;
}

unsigned int CFastNtfsRecovery::GetAttr0x80Data(long long llRecordSector,
                                                std::vector<unsigned char>& vecData) {
    std::vector<unsigned char> vecRecord;
    unsigned int nRet = ReadRecordAt(llRecordSector, vecRecord);
    if (nRet == NTFS_ERR_NOT_FILE) return NTFS_ERR_NOT_RESIDENT;
    if (nRet != 0) return nRet;
    NTFS_FILE_DATA data;
    nRet = GatherAttribute(vecRecord, NTFS_ATTR_DATA, data);
    if (nRet == NTFS_ERR_NO_ATTRIBUTE || (nRet == 0 && !data.bResident))
        return NTFS_ERR_NOT_RESIDENT;
    if (nRet != 0) return nRet;
    vecData.swap(data.vecResident);
    return 0;
}

unsigned int CFastNtfsRecovery::GetBitMapRealBytesSize(long long llRecordSector,
                                                       unsigned long long& u64Size) {
    std::vector<unsigned char> vecRecord;
    unsigned int nRet = ReadRecordAt(llRecordSector, vecRecord);
    if (nRet != 0) return nRet;
    NTFS_FILE_DATA data;
    nRet = GatherAttribute(vecRecord, NTFS_ATTR_DATA, data);
    if (nRet == NTFS_ERR_NO_ATTRIBUTE) return TW_ERR_BAD_ARGUMENT;
    if (nRet == 0) u64Size = data.u64DataSize;
    return nRet;
}

unsigned int CFastNtfsRecovery::ReadNodeData(const _FILE_NODE_& node, NTFS_FILE_DATA& data) {
    if (!m_bVolumeOk) return TW_ERR_BAD_ARGUMENT;
    // The record is found by its number; a node whose sector disagrees does
    // not belong to this volume.
    if (GetFileRecordIndexSectorOffset(node.nDirId) != node.u64RecordSector)
        return TW_ERR_BAD_ARGUMENT;
    std::vector<unsigned char> vecRecord;
    unsigned int nRet = GetFileRecordBuf(node.nDirId, vecRecord);
    if (nRet != 0) return nRet;
    return GatherAttribute(vecRecord, NTFS_ATTR_DATA, data);
}

uint64_t CFastNtfsRecovery::VolumeClusters(const _FILE_NODE_& node) const {
    (void)node;
    return m_u64Clusters;
}

// ---- interface: callbacks, store, browsing -----------------------------------

unsigned int CFastNtfsRecovery::ScanDevice(const wchar_t* wszResultName) {
    m_vecPending.clear();
    m_setPending.clear();
    m_setLost.clear();
    m_setLostMade.clear();
    m_nDamagedRecords = 0;
    m_u64ParentReads = 0;
    m_mapParentLevel.clear();
    m_mapFolderSequence.clear();
    m_mapStaleFolder.clear();
    if (wszResultName) return OpenStore(wszResultName);
    unsigned int nRet = OpenFreshStore("Fast_", static_cast<long long>(m_u64AreaStart512), false);
    if (nRet != 0) return nRet;
    if (!m_bVolumeOk) return TW_ERR_BAD_ARGUMENT;
    return FastScanDevice();
}

// ---- the scan ---------------------------------------------------------------------

unsigned int CFastNtfsRecovery::FastScanDevice() {
    CProgressClock clock;
    unsigned long long u64Total = 0;
    for (const __RUNLIST__& r : m_vecMftRuns) u64Total += r.u64Length * m_nSectorsPerCluster;
    if (u64Total == 0) {
        TwDebug("CFastNtfsRecovery: the MFT could not be mapped\n");
        u64Total = 1;
    }
    unsigned long long u64Done = 0;
    int nSecondsLeft = -1;
    // The callbacks carry no sector position: the walk follows the MFT, not the device.
    unsigned int nStatus = 0;
    size_t nCarry = 0;
    unsigned long long u64NextRecord = 0;
    const unsigned int nPieceSectors = kRecordsPerPiece * m_nSectorsPerRecord;
    int64_t i64Cluster = 0;
    for (const __RUNLIST__& run : m_vecMftRuns) {
        unsigned long long u64RunSectors = run.u64Length * m_nSectorsPerCluster;
        if (run.bSparse) {  // no records stored here
            u64NextRecord += (u64RunSectors * m_nBytesPerSector + nCarry) / m_nRecordSize;
            nCarry = 0;
            u64Done += u64RunSectors;
            continue;
        }
        i64Cluster += run.i64Offset;
        unsigned long long u64Pos =
            static_cast<unsigned long long>(i64Cluster) * m_nSectorsPerCluster + m_u64VolumeStart;
        for (unsigned long long u64Off = 0; u64Off < u64RunSectors && nStatus == 0;) {
            unsigned int nPiece = static_cast<unsigned int>(
                std::min<unsigned long long>(nPieceSectors, u64RunSectors - u64Off));
            nStatus = ScanMftPiece(u64Pos + u64Off, nPiece, nCarry, u64NextRecord);
            if (nStatus != 0) break;
            u64Off += nPiece;
            u64Done += nPiece;
            if (m_nScale == 100) nSecondsLeft = clock.SecondsLeft(u64Done, u64Total);
            int nRet = ReportScan(
                static_cast<int>(std::min<unsigned long long>(u64Done * 100 / u64Total, 100)),
                nSecondsLeft, m_pStore->GetFileIndex());
            if (nRet != 0) {
                m_pStore->FlushBufToFile();
                return static_cast<unsigned int>(nRet);
            }
        }
        if (nStatus != 0) break;
    }
    if (nStatus != 0) TwDebug("CFastNtfsRecovery: MFT read failed (%u)\n", nStatus);

    // Second pass: the folders on the paths of the deleted files. Folders met
    // here add their own parents to the end of the list.
    std::vector<unsigned char> vecRecord;
    for (size_t i = 0; i < m_vecPending.size(); ++i) {
        const unsigned int nRecordNo = m_vecPending[i];
        unsigned int nRet = GetFileRecordBuf(nRecordNo, vecRecord);
        TW_FAULT_TRY(g_ntfsGuard) {
            if (nRet != 0)
                MakeLostFolder(nRecordNo);
            else
                ParseRecordInfo(vecRecord.data(), 1, nRecordNo,
                                GetFileRecordIndexSectorOffset(nRecordNo));
        }
        TW_FAULT_CATCH(g_ntfsGuard) {
            MakeLostFolder(nRecordNo);
        }
        TW_FAULT_END(g_ntfsGuard);
    }
    m_pStore->FlushBufToFile();
    if (m_nDamagedRecords)
        TwDebug("CFastNtfsRecovery: %u damaged records skipped\n", m_nDamagedRecords);
    if (nStatus != 0) return nStatus;
    return static_cast<unsigned int>(ReportScan(100, nSecondsLeft, m_pStore->GetFileIndex()));
}

unsigned int CFastNtfsRecovery::ScanMftPiece(unsigned long long u64Sector, unsigned int nSectors,
                                             size_t& nCarry, unsigned long long& u64NextRecord) {
    unsigned char* pBuf = m_vecScanBuf.data();
    unsigned int nRead = 0;
    unsigned int nRet =
        m_reader.ReadData(pBuf + nCarry, static_cast<int>(nSectors),
                          static_cast<long long>(u64Sector), m_nBytesPerSector, &nRead);
    if (nRet != 0) return nRet;
    if (nRead < nSectors) return TW_ERR_SHORT_READ;
    const size_t nTotal = nCarry + static_cast<size_t>(nSectors) * m_nBytesPerSector;
    const size_t nRecords = nTotal / m_nRecordSize;
    for (size_t i = 0; i < nRecords; ++i) {
        unsigned char* pRecord = pBuf + i * m_nRecordSize;
        const unsigned long long u64RecordNo = u64NextRecord++;
        // A record carried over from the run before starts where it was read.
        unsigned long long u64RecordSector =
            (i == 0 && nCarry) ? GetFileRecordIndexSectorOffset(u64RecordNo)
                               : u64Sector + (i * m_nRecordSize - nCarry) / m_nBytesPerSector;
        if (u64RecordNo > 0xFFFFFFFFull) break;
        TW_FAULT_TRY(g_ntfsGuard) {
            ParseRecordInfo(pRecord, 0, static_cast<unsigned int>(u64RecordNo), u64RecordSector);
        }
        TW_FAULT_CATCH(g_ntfsGuard) {
            ++m_nDamagedRecords;
        }
        TW_FAULT_END(g_ntfsGuard);
    }
    const size_t nLeft = nTotal - nRecords * m_nRecordSize;
    if (nLeft) std::memmove(pBuf, pBuf + nRecords * m_nRecordSize, nLeft);
    nCarry = nLeft;
    return 0;
}

int CFastNtfsRecovery::ParseRecordInfo(unsigned char* pRecord, int nPass, unsigned int nRecordNo,
                                       unsigned long long u64RecordSector) {
    uint16_t nFlags;
    std::memcpy(&nFlags, pRecord + 0x16, 2);
    if (nPass == 0) {
        uint32_t nSignature;
        std::memcpy(&nSignature, pRecord, 4);
        if (nSignature != NTFS_FILE_SIGNATURE) return -1;  // never used, or not a record
        if (nFlags != 0) return 0;                         // in use, or a directory
        if (m_ntfsParse.FileRecordFixUp(pRecord) != 0) {
            ++m_nDamagedRecords;
            return -2;
        }
    }
    // In the second pass the record has been read and fixed up already.
    NTFS_RECORD_INFO info;
    int nParse = NtfsParseRecord(pRecord, m_nRecordSize, info);
    if (nPass == 1) {
        if (nParse != NTFS_REC_OK || !(info.nFlags & NTFS_RECORD_IS_DIR) ||
            m_setLost.count(nRecordNo) || info.nRecordNumber != nRecordNo || !info.bHasName ||
            info.u64BaseRecord != 0) {
            MakeLostFolder(nRecordNo);
            return 0;
        }
        _FILE_NODE_* pNode = FillFileNode(info, 1, u64RecordSector);
        if (!pNode) return TW_ERR_OUT_OF_MEMORY;
        int nDepth = 0;
        uint32_t nFolder = 0;
        GetRootParentDirIndex(info.u64ParentRef, nDepth, &nFolder);
        m_pStore->AddChildren(nFolder, static_cast<uint32_t>(nDepth), pNode->nFileIndex,
                              pNode->nDirId, pNode->szFileName);
        return 0;
    }
    if (nParse != NTFS_REC_OK) {
        ++m_nDamagedRecords;
        return nParse;
    }
    // Records without a name (formatted but never used, or extension records
    // that carry pieces of another file) and system files are skipped.
    if (info.u64BaseRecord != 0 || !info.bHasName) return 0;
    if (info.nRecordNumber != nRecordNo) {  // a record that is not where it says it is
        ++m_nDamagedRecords;
        return TW_ERR_BAD_ARGUMENT;
    }
    if (info.nRecordNumber < NTFS_FIRST_USER_RECORD) return 0;
    NTFS_FILE_DATA data;
    unsigned int nData = NTFS_ERR_NO_ATTRIBUTE;
    if (info.data.bPresent || info.bHasAttrList) {
        std::vector<unsigned char> vecRecord(pRecord, pRecord + m_nRecordSize);
        nData = GatherAttribute(vecRecord, NTFS_ATTR_DATA, data);
    }
    int nDepth = 0;
    uint32_t nFolder = 0;
    GetRootParentDirIndex(info.u64ParentRef, nDepth, &nFolder);
    _FILE_NODE_* pNode = FillFileNode(info, 0, u64RecordSector);
    if (!pNode) return TW_ERR_OUT_OF_MEMORY;
    if (nData == 0) pNode->u64FileSize = data.u64DataSize;
    m_pStore->AddChildren(nFolder, static_cast<uint32_t>(nDepth), pNode->nFileIndex, pNode->nDirId,
                          nullptr);
    pNode->bDataHealth = static_cast<uint32_t>(DataHealth(*pNode, nData, data));
    return 0;
}

int CFastNtfsRecovery::IsFileDataHealth(const _FILE_NODE_& node) {
    return NodeDataHealth(node, m_nSectorsPerCluster, m_u64VolumeStart, m_u64Clusters);
}

int CFastNtfsRecovery::DataHealth(const _FILE_NODE_& node, unsigned int nData,
                                  const NTFS_FILE_DATA& data) {
    return NtfsDataHealth(m_reader, m_nBytesPerSector, m_nSectorsPerCluster, m_u64VolumeStart,
                          m_u64Clusters, node.szFileName, node.u64FileSize, nData, data);
}

_FILE_NODE_* CFastNtfsRecovery::FillFileNode(const NTFS_RECORD_INFO& info, int bIsDir,
                                             unsigned long long u64RecordSector) {
    return MakeNtfsNode(*m_pStore, info, bIsDir, ENGINE_FAST_NTFS, m_wcDriveLetter,
                        m_nSectorsPerCluster * m_nBytesPerSector, u64RecordSector,
                        m_u64VolumeStart);
}

void CFastNtfsRecovery::MakeLostFolder(unsigned int nRecordNo) {
    if (!m_setLostMade.insert(nRecordNo).second) return;
    _FILE_NODE_* pNode =
        MakeNtfsLostFolder(*m_pStore, ENGINE_FAST_NTFS, m_wcDriveLetter, nRecordNo, nRecordNo);
    if (pNode)
        m_pStore->AddChildren(NTFS_ROOT_RECORD, 0, pNode->nFileIndex, nRecordNo, pNode->szFileName);
}

void CFastNtfsRecovery::AddPending(unsigned int nRecordNo) {
    if (m_setPending.insert(nRecordNo).second) m_vecPending.push_back(nRecordNo);
}

// Walks from a parent reference up to the root, counting the records met (the
// parent included, the root not) and queuing each for the second pass. A record
// that cannot be a folder on the path ends the walk and becomes a lost folder
// at the top; so does the record at which a parent chain loops back on itself,
// so that every walk through that loop stops at the same place. A reference
// whose record is a folder of another file now (its sequence number moved on),
// or whose number no record can have, ends the walk in a lost folder of its own
// (StaleFolder): the record is not the folder that was meant. *pnAttach gets
// the folder the reference's own file goes in.
// The count from every record met is remembered, so that a scan reads each
// parent record once: a later walk that meets it adds its count and stops. A
// walk ends at the same record whichever record of the chain it starts from
// (the record that ended it is lost from then on), except where a chain is cut
// at kMaxParentDepth: the memo is used only where no cut can happen, and a cut
// forgets it.
int CFastNtfsRecovery::GetRootParentDirIndex(uint64_t u64Ref, int& nDepth, uint32_t* pnAttach) {
    std::set<unsigned int> setVisited;
    std::vector<unsigned int> vecChain;
    std::vector<unsigned char> vecRecord;
    const int nStart = nDepth;
    int nResult = 0;
    for (bool bFirst = true;; bFirst = false) {
        const uint64_t u64Record = NtfsRefRecord(u64Ref);
        const unsigned int nParent = static_cast<unsigned int>(u64Record);
        if (bFirst && pnAttach) *pnAttach = nParent;
        auto stale = [&] {
            ++nDepth;
            if (bFirst && pnAttach) *pnAttach = StaleFolder(u64Record);
        };
        if (u64Record > UINT32_MAX) {
            stale();
            break;
        }
        if (nParent == NTFS_ROOT_RECORD) break;
        auto itSeq = m_mapFolderSequence.find(nParent);
        if (itSeq != m_mapFolderSequence.end() &&
            !NtfsRefMatches(u64Ref, itSeq->second.first, itSeq->second.second)) {
            stale();
            break;
        }
        auto it = m_mapParentLevel.find(nParent);
        if (it != m_mapParentLevel.end() && nDepth + it->second < kMaxParentDepth) {
            nDepth += it->second;
            break;
        }
        setVisited.insert(nParent);
        ++nDepth;
        vecChain.push_back(nParent);
        if (m_setLost.count(nParent)) break;
        NTFS_RECORD_INFO info;
        ++m_u64ParentReads;
        if (GetFileRecordBuf(nParent, vecRecord) != 0 ||
            NtfsParseRecord(vecRecord.data(), vecRecord.size(), info) != NTFS_REC_OK ||
            !(info.nFlags & NTFS_RECORD_IS_DIR) || info.nRecordNumber != nParent ||
            !info.bHasName || info.u64BaseRecord != 0) {
            m_setLost.insert(nParent);
            AddPending(nParent);
            nResult = -1;
            break;
        }
        const bool bInUse = (info.nFlags & NTFS_RECORD_IN_USE) != 0;
        m_mapFolderSequence[nParent] = {info.nSequence, bInUse};
        if (!NtfsRefMatches(u64Ref, info.nSequence, bInUse)) {
            // Not the folder meant (and not listed for this file): its level is
            // its own, the lost folder takes this one.
            vecChain.pop_back();
            if (bFirst && pnAttach) *pnAttach = StaleFolder(u64Record);
            break;
        }
        AddPending(nParent);
        const uint64_t u64Next = NtfsRefRecord(info.u64ParentRef);
        if ((u64Next <= UINT32_MAX && setVisited.count(static_cast<unsigned int>(u64Next))) ||
            nDepth >= kMaxParentDepth) {
            if (nDepth >= kMaxParentDepth) m_mapParentLevel.clear();
            m_setLost.insert(nParent);
            break;
        }
        u64Ref = info.u64ParentRef;
    }
    const int nWalked = nDepth - nStart;
    for (size_t i = 0; i < vecChain.size(); ++i)
        m_mapParentLevel[vecChain[i]] = nWalked - static_cast<int>(i);
    return nResult;
}

uint32_t CFastNtfsRecovery::StaleFolder(uint64_t u64Record) {
    auto it = m_mapStaleFolder.find(u64Record);
    if (it != m_mapStaleFolder.end()) return it->second;
    // Folder ids are record numbers; these come from the top of the range,
    // which no MFT reaches.
    const uint32_t nDirId = 0xFFFFFFFEu - static_cast<uint32_t>(m_mapStaleFolder.size());
    m_mapStaleFolder[u64Record] = nDirId;
    _FILE_NODE_* pNode =
        MakeNtfsLostFolder(*m_pStore, ENGINE_FAST_NTFS, m_wcDriveLetter, nDirId, u64Record);
    if (pNode)
        m_pStore->AddChildren(NTFS_ROOT_RECORD, 0, pNode->nFileIndex, nDirId, pNode->szFileName);
    return nDirId;
}

// ---- free space ----------------------------------------------------------------------

unsigned int CFastNtfsRecovery::BuildBitMapInfo() {
    if (!m_bVolumeOk) return TW_ERR_BAD_ARGUMENT;
    std::vector<unsigned char> vecRecord;
    unsigned int nRet = GetFileRecordBuf(NTFS_BITMAP_RECORD, vecRecord);
    if (nRet != 0) return nRet;
    NTFS_FILE_DATA data;
    nRet = GatherAttribute(vecRecord, NTFS_ATTR_DATA, data);
    if (nRet == NTFS_ERR_NO_ATTRIBUTE) return TW_ERR_BAD_ARGUMENT;
    if (nRet != 0) return nRet;
    const uint64_t u64Need = (m_u64Clusters + 7) / 8;
    if (data.bResident) {
        m_vecBitmap = data.vecResident;
        if (m_vecBitmap.size() > u64Need) m_vecBitmap.resize(u64Need);
        return 0;
    }
    const uint64_t u64ClusterBytes = ClusterBytes();
    if (CheckRunsInVolume(data.vecRuns, m_u64Clusters, u64ClusterBytes) != 0)
        return TW_ERR_BAD_ARGUMENT;
    uint64_t u64Bytes =
        std::min<uint64_t>(data.u64DataSize, RunListClusters(data.vecRuns) * u64ClusterBytes);
    u64Bytes = std::min<uint64_t>(u64Bytes, u64Need);
    // Clusters whose bitmap cannot be read stay 0: free, so the deep scan reads them.
    m_vecBitmap.assign(static_cast<size_t>(u64Bytes), 0);
    const unsigned int nPieceSectors = std::max(65536 / m_nBytesPerSector, 1);
    std::vector<unsigned char> vecPiece(static_cast<size_t>(nPieceSectors) * m_nBytesPerSector);
    uint64_t u64Pos = 0;
    int64_t i64Cluster = 0;
    for (const __RUNLIST__& run : data.vecRuns) {
        if (u64Pos >= u64Bytes) break;
        const uint64_t u64RunSectors = run.u64Length * m_nSectorsPerCluster;
        if (!run.bSparse) i64Cluster += run.i64Offset;
        for (uint64_t u64Off = 0; u64Off < u64RunSectors && u64Pos < u64Bytes;) {
            unsigned int nSectors = static_cast<unsigned int>(
                std::min<uint64_t>(nPieceSectors, u64RunSectors - u64Off));
            size_t nBytes = static_cast<size_t>(nSectors) * m_nBytesPerSector;
            size_t nTake = static_cast<size_t>(std::min<uint64_t>(nBytes, u64Bytes - u64Pos));
            unsigned int nRead = 0;
            if (!run.bSparse &&
                m_reader.ReadData(vecPiece.data(), static_cast<int>(nSectors),
                                  static_cast<long long>(static_cast<uint64_t>(i64Cluster) *
                                                             m_nSectorsPerCluster +
                                                         u64Off + m_u64VolumeStart),
                                  m_nBytesPerSector, &nRead) == 0)
                std::memcpy(m_vecBitmap.data() + u64Pos, vecPiece.data(), nTake);
            u64Pos += nTake;
            u64Off += nSectors;
        }
    }
    return 0;
}

unsigned int CFastNtfsRecovery::GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                                     unsigned long long& u64Count) {
    // Positions are 512-byte sectors from the area start; the map works in clusters.
    const unsigned long long u64Scale = static_cast<unsigned long long>(m_nBytesPerSector) / 512;
    const unsigned long long u64Spc512 =
        static_cast<unsigned long long>(m_nSectorsPerCluster) * u64Scale;
    u64Count = 0;
    if (u64StartSector > m_u64AreaSectors512) {
        u64StartSector = m_u64AreaSectors512;
        return 1;
    }
    if (u64Spc512 == 0) return 1;
    const uint64_t u64Bits = static_cast<uint64_t>(m_vecBitmap.size()) * 8;
    const uint64_t c = u64StartSector / u64Spc512;
    uint64_t f = 0, e = 0;
    FindClearRun(m_vecBitmap, u64Bits, c, f, e);
    if (f >= u64Bits) return 1;  // none: the count stays 0
    if (f != c) u64StartSector = f * u64Spc512;
    u64Count = e * u64Spc512 - u64StartSector;
    if (u64StartSector >= m_u64AreaSectors512)
        u64Count = 0;
    else if (u64StartSector + u64Count > m_u64AreaSectors512)
        u64Count = m_u64AreaSectors512 - u64StartSector;
    return 1;
}
