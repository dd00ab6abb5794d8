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

CFaultGuard g_deepNtfsGuard("CProfessionalNtfsRecovery recvSignal");

constexpr unsigned int kMaxParentDepth = 4096;       // deeper chains end in a lost folder
constexpr uint32_t kFirstVolumeDirId = 0x80000000u;  // folder ids of the other volumes
constexpr uint32_t kExtendRecord = 11;

}  // namespace

CProfessionalNtfsRecovery::CProfessionalNtfsRecovery()
    : m_u64DeviceStart(0),
      m_u64SectorCount(0),
      m_u64SectorLimit(0),
      m_wcDriveLetter(L'C'),
      m_nBytesPerSector(512),
      m_nSectorsPerRecord(2),
      m_nRecordSize(1024),
      m_nSectorsPerCluster(8),
      m_bOpen(false),
      m_nNextDirId(kFirstVolumeDirId),
      m_u64ParentReads(0),
      m_nUnfollowedLists(0) {}

CProfessionalNtfsRecovery::~CProfessionalNtfsRecovery() = default;

// ---- set-up ----------------------------------------------------------------

unsigned int CProfessionalNtfsRecovery::Init(const std::shared_ptr<CMediumSource>& pSource,
                                             long long llFirstSector, long long llSectorCount,
                                             wchar_t wcDriveLetter) {
    m_wcDriveLetter = wcDriveLetter;
    m_bOpen = false;
    m_mapMft.clear();
    if (!pSource || llFirstSector < 0 || llSectorCount <= 0) return TW_ERR_BAD_ARGUMENT;
    unsigned char abBoot[4096];
    MediumRead got;
    unsigned int nRet =
        pSource->Read(static_cast<uint64_t>(llFirstSector) * 512, sizeof abBoot, abBoot, got);
    if (nRet != 0 && nRet != TW_ERR_SHORT_READ) return nRet;
    // Sectors are the driver's 512 bytes whatever the volume's own size: a
    // record's sector is the same number for both.
    m_nBytesPerSector = 512;
    m_u64DeviceStart = static_cast<unsigned long long>(llFirstSector);
    const uint64_t u64Count = static_cast<uint64_t>(llSectorCount);
    nRet = m_reader.Init(pSource, m_u64DeviceStart + u64Count);
    if (nRet != 0) return nRet;
    return OpenCommon(abBoot, u64Count);
}

unsigned int CProfessionalNtfsRecovery::OpenCommon(const unsigned char* pBoot,
                                                   unsigned long long u64SectorCount) {
    m_u64SectorCount = u64SectorCount;
    m_u64SectorLimit = m_u64DeviceStart + u64SectorCount;
    // The record size the area's boot sector gives (4,096 bytes on volumes
    // of 4,096-byte sectors), else the usual 1,024.
    const int nRecordBytes = IsNtfs(pBoot) ? NtfsRecordBytes(pBoot) : 0;
    SetRecordSize(nRecordBytes ? nRecordBytes : 1024);
    m_bRecordSizeKnown = nRecordBytes != 0;
    m_nSectorsPerCluster = GetDefaultNtfsSectorPerCluster(u64SectorCount, m_nBytesPerSector);
    m_bOpen = true;
    if (IsNtfs(pBoot)) RegisterBootMft(pBoot);
    return 0;
}

void CProfessionalNtfsRecovery::SetRecordSize(int nBytes) {
    m_nRecordSize = nBytes;
    m_nSectorsPerRecord = m_nRecordSize / m_nBytesPerSector;
    m_ntfsParse.Init(m_nBytesPerSector, m_nRecordSize);
}

int CProfessionalNtfsRecovery::RecordSizeAt(const unsigned char* pRecord) const {
    if (m_bRecordSizeKnown) return m_nRecordSize;
    uint32_t nAllocated;
    std::memcpy(&nAllocated, pRecord + 0x1C, 4);
    return nAllocated == 1024 || nAllocated == 2048 || nAllocated == 4096
               ? static_cast<int>(nAllocated)
               : 0;
}

void CProfessionalNtfsRecovery::RegisterBootMft(const unsigned char* pBoot) {
    NTFS_BOOT_SECTOR boot;
    std::memcpy(&boot, pBoot, sizeof boot);
    const unsigned int nBps = boot.nBytesPerSector ? boot.nBytesPerSector : 512;
    if (nBps % m_nBytesPerSector != 0) return;
    // Clusters in this parser's sectors.
    const unsigned int nSpc = NtfsSectorsPerCluster(boot.nSectorsPerCluster, nBps) *
                              (nBps / static_cast<unsigned int>(m_nBytesPerSector));
    unsigned long long u64Mft;
    if (nSpc == 0 || __builtin_mul_overflow(boot.u64MftCluster, nSpc, &u64Mft) ||
        __builtin_add_overflow(u64Mft, m_u64DeviceStart, &u64Mft) || u64Mft >= m_u64SectorLimit)
        return;
    std::vector<unsigned char> vecRecord;
    if (ReadRecordAt(u64Mft, vecRecord) != 0) return;
    NTFS_MFT_ENTRY entry;
    if (!MftFromRecord(vecRecord, u64Mft, entry)) return;
    // The boot sector knows the cluster size and the volume start for sure.
    if (entry.nSectorsPerCluster != nSpc || entry.u64VolumeStart != m_u64DeviceStart) {
        entry.nSectorsPerCluster = nSpc;
        entry.u64VolumeStart = m_u64DeviceStart;
    }
    m_mapMft[u64Mft] = entry;
}

// ---- the scan -----------------------------------------------------------------

unsigned int CProfessionalNtfsRecovery::InitProfessionalScan(const wchar_t* wszResultName) {
    m_vecPending.clear();
    m_setPending.clear();
    m_mapLevel.clear();
    m_setLost.clear();
    m_setLostMade.clear();
    m_mapDirId.clear();
    m_mapFolderSequence.clear();
    m_mapStaleFolder.clear();
    m_vecVolumes.clear();
    m_mapVolumeIndex.clear();
    m_nNextDirId = kFirstVolumeDirId;
    m_u64ParentReads = 0;
    m_nUnfollowedLists = 0;
    if (wszResultName && *wszResultName) return OpenStore(wszResultName);
    return OpenFreshStore("Pro_Ntfs_", static_cast<long long>(m_u64DeviceStart), false);
}

unsigned int CProfessionalNtfsRecovery::ParseNtfsFileRecord(const unsigned char* pRecord,
                                                            unsigned long long u64Sector) {
    if (!pRecord || !m_pStore || !m_bOpen) return TW_ERR_BAD_ARGUMENT;
    uint16_t nFlags;
    std::memcpy(&nFlags, pRecord + 0x16, 2);
    if (nFlags & NTFS_RECORD_IS_DIR) return 0;
    // The record is copied whole only when it states the size it is taken
    // with: a caller that tested it against a smaller size holds fewer bytes.
    if (std::memcmp(pRecord, "FILE", 4) != 0) return NTFS_ERR_NOT_FILE;
    uint32_t nAllocated;
    std::memcpy(&nAllocated, pRecord + 0x1C, 4);
    const int nSize = RecordSizeAt(pRecord);
    if (nSize == 0 || nAllocated != static_cast<uint32_t>(nSize)) return TW_ERR_BAD_ARGUMENT;
    if (!m_bRecordSizeKnown) {
        SetRecordSize(nSize);
        m_bRecordSizeKnown = true;
    }
    std::vector<unsigned char> vecRecord(pRecord, pRecord + m_nRecordSize);
    return static_cast<unsigned int>(ParseProfessionalRecordInfo(vecRecord, u64Sector, 0, 0, 0));
}

int CProfessionalNtfsRecovery::ParseProfessionalRecordInfo(std::vector<unsigned char>& vecRecord,
                                                           unsigned long long u64Sector,
                                                           unsigned int nPass, unsigned int nVolume,
                                                           unsigned int nQueuedNo) {
    if (nPass == 0) {
        unsigned int nRet = FinishNtfsRecord(m_ntfsParse, vecRecord);
        if (nRet != 0) return static_cast<int>(nRet);
    }
    NTFS_RECORD_INFO info;
    const int nParse = NtfsParseRecord(vecRecord.data(), vecRecord.size(), info);
    if (nPass == 1) {
        if (nQueuedNo < NTFS_FIRST_USER_RECORD) return 0;  // system folders ($Extend)
        VOLUME& vol = m_vecVolumes[nVolume];
        if (nParse == NTFS_REC_OK && info.u64BaseRecord == 0)
            GatherNtfsName(*this, ViewOf(vol), vecRecord, info);
        if (nParse != NTFS_REC_OK || !(info.nFlags & NTFS_RECORD_IS_DIR) ||
            m_setLost.count({nVolume, nQueuedNo}) || info.nRecordNumber != nQueuedNo ||
            !info.bHasName || info.u64BaseRecord != 0) {
            MakeLostFolder(nVolume, nQueuedNo);
            return 0;
        }
        uint32_t nFolder = 0;
        const unsigned int nLevel = ParentLevel(nVolume, info.u64ParentRef, &nFolder);
        _FILE_NODE_* pNode =
            MakeNtfsNode(*m_pStore, info, 1, ENGINE_DEEP_NTFS, m_wcDriveLetter,
                         vol.nSectorsPerCluster * m_nBytesPerSector, u64Sector, vol.u64Start);
        if (!pNode) return TW_ERR_OUT_OF_MEMORY;
        pNode->nDirId = DirId(nVolume, nQueuedNo);
        m_pStore->AddChildren(nFolder, nLevel, pNode->nFileIndex, pNode->nDirId, pNode->szFileName);
        return 0;
    }
    if (nParse != NTFS_REC_OK) return nParse;
    if (info.nFlags & NTFS_RECORD_IS_DIR) return 0;  // folders come in the second pass
    if (info.u64BaseRecord != 0) return 0;           // a piece of another record
    if (info.nRecordNumber == 0) {
        RegisterMft(vecRecord, info, u64Sector);
        return 0;
    }
    if (info.nRecordNumber < NTFS_FIRST_USER_RECORD) return 0;
    // The files of $Extend (record 11) are the volume's own metadata.
    if (info.bHasName && NtfsRefRecord(info.u64ParentRef) == kExtendRecord) return 0;

    VOLUME vol = FindVolume(info.nRecordNumber, u64Sector);
    unsigned int nSpc = 0;
    if (!vol.bKnown) {
        // The parser-wide value serves records of an MFT never met.
        if (GetFileRecordSectorPerClusterByRecordBuf(vecRecord.data(), nSpc) == 0)
            m_nSectorsPerCluster = nSpc;
        vol.nSectorsPerCluster = m_nSectorsPerCluster;
    }
    const NTFS_VOLUME_VIEW view = ViewOf(vol);
    if (!GatherNtfsName(*this, view, vecRecord, info)) return 0;  // no name anywhere
    NTFS_FILE_DATA data;
    unsigned int nData = NTFS_ERR_NO_ATTRIBUTE;
    if (info.data.bPresent || info.bHasAttrList)
        nData = GatherNtfsAttribute(*this, view, vecRecord, NTFS_ATTR_DATA, data);
    if (info.bHasAttrList && !vol.bKnown) ++m_nUnfollowedLists;

    const unsigned int v = VolumeIndex(vol);
    uint32_t nFolder = 0;
    const unsigned int nLevel = ParentLevel(v, info.u64ParentRef, &nFolder);
    _FILE_NODE_* pNode =
        MakeNtfsNode(*m_pStore, info, 0, ENGINE_DEEP_NTFS, m_wcDriveLetter,
                     vol.nSectorsPerCluster * m_nBytesPerSector, u64Sector, vol.u64Start);
    if (!pNode) return TW_ERR_OUT_OF_MEMORY;
    if (nData == 0) pNode->u64FileSize = data.u64DataSize;
    m_pStore->AddChildren(nFolder, nLevel, pNode->nFileIndex, pNode->nDirId, nullptr);
    pNode->bDataHealth = static_cast<uint32_t>(
        NtfsDataHealth(m_reader, m_nBytesPerSector, vol.nSectorsPerCluster, vol.u64Start,
                       VolumeClustersOf(vol.u64Start, vol.nSectorsPerCluster), pNode->szFileName,
                       pNode->u64FileSize, nData, data));
    return 0;
}

void CProfessionalNtfsRecovery::AddPending(unsigned int nVolume, unsigned int nRecordNo) {
    if (m_setPending.insert({nVolume, nRecordNo}).second)
        m_vecPending.push_back({nVolume, nRecordNo});
}

// The level of a parent folder (the number of folders from the top to it,
// itself included): walks up to the root, reading each record once per scan
// (levels are remembered per volume) and queuing each for the second pass. A
// record that cannot be a folder on the path, one at which the chain loops
// back, and one 4,096 folders deep become lost folders at the top of their
// volume. A reference whose record is a folder of another file now (its
// sequence number moved on), or whose number no record can have, ends in a
// lost folder of its own (StaleFolder). *pnFolder gets the folder id the
// reference's own file goes in.
unsigned int CProfessionalNtfsRecovery::ParentLevel(unsigned int nVolume, uint64_t u64Ref,
                                                    uint32_t* pnFolder) {
    const unsigned int nBase = VolumeLevel(m_vecVolumes[nVolume].nIndex);
    const unsigned int nLostLevel = nBase + 1;
    std::vector<unsigned int> vecChain;
    std::set<unsigned int> setVisited;
    std::vector<unsigned char> vecRecord;
    unsigned int nLevel = nBase;
    for (bool bFirst = true;; bFirst = false) {
        const uint64_t u64Record = NtfsRefRecord(u64Ref);
        const unsigned int p = static_cast<unsigned int>(u64Record);
        auto stale = [&] {
            nLevel = nLostLevel;
            if (bFirst && pnFolder) *pnFolder = StaleFolder(nVolume, u64Record);
        };
        if (u64Record > UINT32_MAX) {
            stale();
            break;
        }
        if (bFirst && pnFolder) *pnFolder = DirId(nVolume, p);
        if (p == NTFS_ROOT_RECORD) break;
        auto itSeq = m_mapFolderSequence.find({nVolume, p});
        if (itSeq != m_mapFolderSequence.end() &&
            !NtfsRefMatches(u64Ref, itSeq->second.first, itSeq->second.second)) {
            stale();
            break;
        }
        auto it = m_mapLevel.find({nVolume, p});
        if (it != m_mapLevel.end()) {
            nLevel = it->second;
            break;
        }
        vecChain.push_back(p);
        setVisited.insert(p);
        NTFS_RECORD_INFO info;
        ++m_u64ParentReads;
        const bool bFolder =
            !m_setLost.count({nVolume, p}) &&
            ReadVolumeRecord(m_vecVolumes[nVolume], p, vecRecord) == 0 &&
            NtfsParseRecord(vecRecord.data(), vecRecord.size(), info) == NTFS_REC_OK &&
            (info.nFlags & NTFS_RECORD_IS_DIR) && info.nRecordNumber == p &&
            info.u64BaseRecord == 0 &&
            GatherNtfsName(*this, ViewOf(m_vecVolumes[nVolume]), vecRecord, info);
        if (bFolder) {
            const bool bInUse = (info.nFlags & NTFS_RECORD_IN_USE) != 0;
            m_mapFolderSequence[{nVolume, p}] = {info.nSequence, bInUse};
            if (!NtfsRefMatches(u64Ref, info.nSequence, bInUse)) {
                // Not the folder meant (and not listed for this file): its level
                // is its own, the lost folder takes this one.
                vecChain.pop_back();
                stale();
                break;
            }
        }
        AddPending(nVolume, p);
        const uint64_t u64Next = NtfsRefRecord(info.u64ParentRef);
        if (!bFolder ||
            (u64Next <= UINT32_MAX && setVisited.count(static_cast<unsigned int>(u64Next))) ||
            vecChain.size() >= kMaxParentDepth) {
            m_setLost.insert({nVolume, p});
            vecChain.pop_back();
            m_mapLevel[{nVolume, p}] = nLostLevel;
            nLevel = nLostLevel;
            break;
        }
        u64Ref = info.u64ParentRef;
    }
    for (size_t i = vecChain.size(); i-- > 0;) m_mapLevel[{nVolume, vecChain[i]}] = ++nLevel;
    return nLevel;
}

uint32_t CProfessionalNtfsRecovery::StaleFolder(unsigned int nVolume, uint64_t u64Record) {
    auto [it, bNew] = m_mapStaleFolder.emplace(std::make_pair(nVolume, u64Record), m_nNextDirId);
    if (!bNew) return it->second;
    ++m_nNextDirId;
    const VOLUME& vol = m_vecVolumes[nVolume];
    _FILE_NODE_* pNode =
        MakeNtfsLostFolder(*m_pStore, ENGINE_DEEP_NTFS, m_wcDriveLetter, it->second, u64Record);
    if (pNode) {
        pNode->nClusterBytes = vol.nSectorsPerCluster * m_nBytesPerSector;
        m_pStore->AddChildren(DirId(nVolume, NTFS_ROOT_RECORD), VolumeLevel(vol.nIndex),
                              pNode->nFileIndex, pNode->nDirId, pNode->szFileName);
    }
    return it->second;
}

void CProfessionalNtfsRecovery::MakeLostFolder(unsigned int nVolume, unsigned int nRecordNo) {
    if (!m_setLostMade.insert({nVolume, nRecordNo}).second) return;
    const VOLUME& vol = m_vecVolumes[nVolume];
    _FILE_NODE_* pNode = MakeNtfsLostFolder(*m_pStore, ENGINE_DEEP_NTFS, m_wcDriveLetter,
                                            DirId(nVolume, nRecordNo), nRecordNo);
    if (!pNode) return;
    pNode->nClusterBytes = vol.nSectorsPerCluster * m_nBytesPerSector;
    m_pStore->AddChildren(DirId(nVolume, NTFS_ROOT_RECORD), VolumeLevel(vol.nIndex),
                          pNode->nFileIndex, pNode->nDirId, pNode->szFileName);
}

unsigned int CProfessionalNtfsRecovery::ParseProfessionalRecordVec() {
    if (!m_pStore) return TW_ERR_BAD_ARGUMENT;
    unsigned int nResult = 0;
    std::vector<unsigned char> vecRecord;
    // Folders met here add their own parents to the end of the list.
    for (size_t i = 0; i < m_vecPending.size(); ++i) {
        const PENDING pending = m_vecPending[i];
        const VOLUME& vol = m_vecVolumes[pending.nVolume];
        unsigned long long u64Sector = 0;
        unsigned int nContiguous = 0;
        unsigned int nRet = LocateRecord(vol, pending.nRecordNo, u64Sector, nContiguous)
                                ? ReadVolumeRecord(vol, pending.nRecordNo, vecRecord)
                                : static_cast<unsigned int>(TW_ERR_BAD_ARGUMENT);
        // A folder that cannot be read (or holds no record now) is a lost one;
        // the pass goes on with the others.
        if (nRet != 0 && nRet != NTFS_ERR_NOT_FILE && nRet != static_cast<unsigned int>(-2))
            nResult = nRet;
        TW_FAULT_TRY(g_deepNtfsGuard) {
            if (nRet != 0 && pending.nRecordNo >= NTFS_FIRST_USER_RECORD)
                MakeLostFolder(pending.nVolume, pending.nRecordNo);
            else if (nRet == 0)
                ParseProfessionalRecordInfo(vecRecord, u64Sector, 1, pending.nVolume,
                                            pending.nRecordNo);
        }
        TW_FAULT_CATCH(g_deepNtfsGuard) {
            MakeLostFolder(pending.nVolume, pending.nRecordNo);
        }
        TW_FAULT_END(g_deepNtfsGuard);
    }
    m_pStore->FlushBufToFile();
    if (m_nUnfollowedLists)
        TwDebug("CProfessionalNtfsRecovery: %u attribute lists of unknown MFTs not followed\n",
                m_nUnfollowedLists);
    return nResult;
}

// ---- data of a node ---------------------------------------------------------------

// The node's record, read again, with the volume as the node gives it; the
// attribute list is followed when the MFT that holds the record is known.
unsigned int CProfessionalNtfsRecovery::NodeData(const _FILE_NODE_& node, NTFS_FILE_DATA& data) {
    if (!m_bOpen || node.nClusterBytes == 0 || node.nClusterBytes % m_nBytesPerSector != 0)
        return TW_ERR_BAD_ARGUMENT;
    std::vector<unsigned char> vecRecord;
    unsigned int nRet = ReadRecordAt(node.u64RecordSector, vecRecord);
    if (nRet != 0) return nRet;
    NTFS_RECORD_INFO info;
    if (NtfsParseRecord(vecRecord.data(), vecRecord.size(), info) != NTFS_REC_OK)
        return TW_ERR_BAD_ARGUMENT;
    VOLUME vol = FindVolume(info.nRecordNumber, node.u64RecordSector);
    const unsigned int nSpc = node.nClusterBytes / m_nBytesPerSector;
    if (vol.u64Start != node.u64PartitionStartSector || vol.nSectorsPerCluster != nSpc) {
        vol = VOLUME{};
        vol.u64Start = node.u64PartitionStartSector;
        vol.nSectorsPerCluster = nSpc;
    }
    return GatherNtfsAttribute(*this, ViewOf(vol), vecRecord, NTFS_ATTR_DATA, data);
}

unsigned int CProfessionalNtfsRecovery::ReadNodeData(const _FILE_NODE_& node,
                                                     NTFS_FILE_DATA& data) {
    return NodeData(node, data);
}

uint64_t CProfessionalNtfsRecovery::VolumeClusters(const _FILE_NODE_& node) const {
    if (node.nClusterBytes < static_cast<uint32_t>(m_nBytesPerSector)) return 0;
    return VolumeClustersOf(node.u64PartitionStartSector, node.nClusterBytes / m_nBytesPerSector);
}

unsigned int CProfessionalNtfsRecovery::GetRunListInfo(long long llRecordSector, int nType,
                                                       std::vector<__RUNLIST__>& vecRuns) {
    if (llRecordSector < 0) return TW_ERR_BAD_ARGUMENT;
    std::vector<unsigned char> vecRecord;
    unsigned int nRet = ReadRecordAt(static_cast<unsigned long long>(llRecordSector), vecRecord);
    if (nRet != 0) return nRet;
    NTFS_RECORD_INFO info;
    if (NtfsParseRecord(vecRecord.data(), vecRecord.size(), info) != NTFS_REC_OK)
        return TW_ERR_BAD_ARGUMENT;
    VOLUME vol = FindVolume(info.nRecordNumber, static_cast<unsigned long long>(llRecordSector));
    NTFS_FILE_DATA data;
    nRet = GatherNtfsAttribute(*this, ViewOf(vol), vecRecord, static_cast<uint32_t>(nType), data);
    if (nRet == 0) AppendRunExtent(vecRuns, data.vecRuns);
    return nRet;
}

unsigned int CProfessionalNtfsRecovery::GetFileNodeRunListInfo(const _FILE_NODE_& node, int nType,
                                                               std::vector<__RUNLIST__>& vecRuns) {
    if (nType != static_cast<int>(NTFS_ATTR_DATA))
        return GetRunListInfo(static_cast<long long>(node.u64RecordSector), nType, vecRuns);
    NTFS_FILE_DATA data;
    unsigned int nRet = NodeData(node, data);
    if (nRet == 0) AppendRunExtent(vecRuns, data.vecRuns);
    return nRet;
}

unsigned int CProfessionalNtfsRecovery::GetFileNodeAttr0x80Data(
    const _FILE_NODE_& node, std::vector<unsigned char>& vecData) {
    NTFS_FILE_DATA data;
    unsigned int nRet = NodeData(node, data);
    if (nRet == NTFS_ERR_NOT_FILE || nRet == NTFS_ERR_NO_ATTRIBUTE ||
        (nRet == 0 && !data.bResident))
        return NTFS_ERR_NOT_RESIDENT;
    if (nRet != 0) return nRet;
    vecData.swap(data.vecResident);
    return 0;
}

int CProfessionalNtfsRecovery::IsFileDataHealth(const _FILE_NODE_& node) {
    return NodeDataHealth(node, node.nClusterBytes / m_nBytesPerSector,
                          node.u64PartitionStartSector, VolumeClusters(node));
}

// ---- the driver scans ---------------------------------------------------------------

unsigned int CProfessionalNtfsRecovery::ScanDevice(const wchar_t*) {
    return 0;
}

unsigned int CProfessionalNtfsRecovery::GetUnUsedSectorCount(unsigned long long&,
                                                             unsigned long long&) {
    return 0;
}

unsigned int CProfessionalNtfsRecovery::BuildBitMapInfo() {
    return 0;
}
