#include "ntfs/NtfsRecord.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include "carving/FileTypeJudge.h"
#include "common/Helpers.h"
#include "engine/NodeInfo.h"
#include "engine/SaveTarget.h"

namespace {

constexpr uint64_t kMaxAttrListBytes = 4u << 20;        // attribute lists are far smaller
constexpr uint16_t kUncopyableFlags = 0x00FF | 0x4000;  // compressed or encrypted data

void SplitFileTime(uint64_t u64Time, _FILETIME& ft) {
    ft.dwLowDateTime = static_cast<uint32_t>(u64Time);
    ft.dwHighDateTime = static_cast<uint32_t>(u64Time >> 32);
}

unsigned int ReadAttrListValue(CNtfsDataSource& source, const NTFS_VOLUME_VIEW& vol,
                               const NTFS_DATA_ATTR& list, const unsigned char* pRecord,
                               std::vector<unsigned char>& vecValue) {
    if (list.bResident) {
        vecValue.assign(pRecord + list.nValueOffset,
                        pRecord + list.nValueOffset + list.nValueLength);
        return 0;
    }
    // The whole allocation is read: a deleted file's list may hold entries past
    // the size written at its deletion (see GatherNtfsAttribute).
    const uint64_t u64Bytes = std::max(list.u64DataSize, list.u64AllocatedSize);
    if (u64Bytes > kMaxAttrListBytes) return TW_ERR_BAD_ARGUMENT;
    // Read through the shared data walk with a node that describes the list.
    _FILE_NODE_ node{};
    node.nClusterBytes = vol.nClusterBytes;
    node.u64FileSize = u64Bytes;
    node.u64PartitionStartSector = vol.u64VolumeStart;
    NTFS_FILE_DATA data;
    data.vecRuns = list.vecRuns;
    vecValue.clear();
    return StreamNtfsData(source, node, data, u64Bytes,
                          [&](const unsigned char* p, size_t n) -> unsigned int {
                              vecValue.insert(vecValue.end(), p, p + n);
                              return 0;
                          });
}

// An extension record of the list that still belongs to the base record (not
// reused since): read, finished and parsed.
unsigned int ReadExtension(const NTFS_VOLUME_VIEW& vol, uint64_t u64Record, uint32_t nBase,
                           std::vector<unsigned char>& vecOther, NTFS_RECORD_INFO& other) {
    if (u64Record > 0xFFFFFFFFull) return TW_ERR_BAD_ARGUMENT;
    unsigned int nRet = vol.fnReadRecord(u64Record, vecOther);
    if (nRet != 0) return nRet;
    if (NtfsParseRecord(vecOther.data(), vecOther.size(), other) != NTFS_REC_OK ||
        other.u64BaseRecord != nBase)
        return TW_ERR_BAD_ARGUMENT;
    return 0;
}

}  // namespace

unsigned int FinishNtfsRecord(const CNtfsParse& parse, std::vector<unsigned char>& vecRecord) {
    uint32_t nSignature;
    if (vecRecord.size() < 4) return NTFS_ERR_NOT_FILE;
    std::memcpy(&nSignature, vecRecord.data(), 4);
    if (nSignature != NTFS_FILE_SIGNATURE) return NTFS_ERR_NOT_FILE;
    return parse.FileRecordFixUp(vecRecord.data()) == 0 ? 0 : static_cast<unsigned int>(-2);
}

unsigned int GatherNtfsAttribute(CNtfsDataSource& source, const NTFS_VOLUME_VIEW& vol,
                                 const std::vector<unsigned char>& vecRecord, uint32_t nType,
                                 NTFS_FILE_DATA& data) {
    data = NTFS_FILE_DATA{};
    const unsigned char* pRecord = vecRecord.data();
    const size_t nSize = vecRecord.size();
    NTFS_RECORD_INFO info;
    int nParse = NtfsParseRecord(pRecord, nSize, info);
    if (nParse == NTFS_REC_NOT_FILE) return NTFS_ERR_NOT_FILE;
    if (nParse != NTFS_REC_OK) return TW_ERR_BAD_ARGUMENT;

    auto takeFirst = [&](const NTFS_DATA_ATTR& a) -> unsigned int {
        if (a.nAttrFlags & kUncopyableFlags) return TW_ERR_BAD_ARGUMENT;
        data.u64DataSize = a.u64DataSize;
        data.bResident = a.bResident;
        if (a.bResident)
            data.vecResident.assign(pRecord + a.nValueOffset,
                                    pRecord + a.nValueOffset + a.nValueLength);
        return 0;
    };
    NTFS_DATA_ATTR base;
    bool bBase = NtfsFindAttribute(pRecord, nSize, nType, 0, base);
    if (!info.bHasAttrList) {
        if (!bBase) return NTFS_ERR_NO_ATTRIBUTE;
        unsigned int nRet = takeFirst(base);
        if (nRet == 0 && !base.bResident) data.vecRuns = base.vecRuns;
        return nRet;
    }
    // The pieces named by the list cannot be found without the volume's MFT.
    if (!vol.fnReadRecord) return NTFS_ERR_NO_ATTRIBUTE;

    // Follow the attribute list: every piece of the attribute, in VCN order.
    std::vector<unsigned char> vecList;
    unsigned int nRet = ReadAttrListValue(source, vol, info.attrList, pRecord, vecList);
    if (nRet != 0) return nRet;
    std::vector<NTFS_LIST_ENTRY> vecEntries;
    NtfsParseAttrList(vecList.data(), vecList.size(), vecEntries);
    uint64_t u64NextVcn = 0;
    bool bAny = false;
    std::vector<unsigned char> vecOther;
    for (const NTFS_LIST_ENTRY& e : vecEntries) {
        if (e.nType != nType || (nType == NTFS_ATTR_DATA && e.nNameLength != 0)) continue;
        // Deleting a file can cut the list's size short of its last entries;
        // entries past the size are taken only while the pieces found so far
        // do not yet cover the data, and each must continue them exactly.
        uint64_t u64Covered;
        if (__builtin_mul_overflow(u64NextVcn, static_cast<uint64_t>(vol.nClusterBytes),
                                   &u64Covered))
            u64Covered = UINT64_MAX;
        if (e.nOffset >= info.attrList.u64DataSize && bAny && u64Covered >= data.u64DataSize) break;
        if (e.u64StartVcn != u64NextVcn) return TW_ERR_BAD_ARGUMENT;  // a gap or overlap
        NTFS_DATA_ATTR piece;
        bool bFound;
        if (e.u64Record == info.nRecordNumber) {
            bFound = NtfsFindAttribute(pRecord, nSize, nType, e.u64StartVcn, piece);
        } else {
            NTFS_RECORD_INFO other;
            nRet = ReadExtension(vol, e.u64Record, info.nRecordNumber, vecOther, other);
            if (nRet != 0) return nRet;
            bFound =
                NtfsFindAttribute(vecOther.data(), vecOther.size(), nType, e.u64StartVcn, piece);
            if (bFound && piece.bResident) {  // resident data held in another record
                if (bAny) return TW_ERR_BAD_ARGUMENT;
                data.u64DataSize = piece.u64DataSize;
                data.bResident = true;
                data.vecResident.assign(vecOther.data() + piece.nValueOffset,
                                        vecOther.data() + piece.nValueOffset + piece.nValueLength);
                return (piece.nAttrFlags & kUncopyableFlags) ? TW_ERR_BAD_ARGUMENT : 0;
            }
        }
        if (!bFound) return TW_ERR_BAD_ARGUMENT;
        if (!bAny) {
            nRet = takeFirst(piece);
            if (nRet != 0 || piece.bResident) return nRet;
        } else if (piece.bResident) {
            return TW_ERR_BAD_ARGUMENT;
        }
        AppendRunExtent(data.vecRuns, piece.vecRuns);
        if (__builtin_add_overflow(e.u64StartVcn, RunListClusters(piece.vecRuns), &u64NextVcn))
            return TW_ERR_BAD_ARGUMENT;
        bAny = true;
    }
    if (bAny) return 0;
    if (!bBase) return NTFS_ERR_NO_ATTRIBUTE;
    nRet = takeFirst(base);
    if (nRet == 0 && !base.bResident) data.vecRuns = base.vecRuns;
    return nRet;
}

bool GatherNtfsName(CNtfsDataSource& source, const NTFS_VOLUME_VIEW& vol,
                    const std::vector<unsigned char>& vecRecord, NTFS_RECORD_INFO& info) {
    if (info.bHasName) return true;
    if (!info.bHasAttrList || !vol.fnReadRecord) return false;
    std::vector<unsigned char> vecList, vecOther;
    if (ReadAttrListValue(source, vol, info.attrList, vecRecord.data(), vecList) != 0) return false;
    std::vector<NTFS_LIST_ENTRY> vecEntries;
    NtfsParseAttrList(vecList.data(), vecList.size(), vecEntries);
    for (const NTFS_LIST_ENTRY& e : vecEntries) {
        if (e.nType != NTFS_ATTR_FILE_NAME || e.u64Record == info.nRecordNumber) continue;
        NTFS_RECORD_INFO other;
        if (ReadExtension(vol, e.u64Record, info.nRecordNumber, vecOther, other) != 0 ||
            !other.bHasName)
            continue;
        info.bHasName = true;
        info.u64ParentRef = other.u64ParentRef;
        info.u64CreateTime = other.u64CreateTime;
        info.u64ModifyTime = other.u64ModifyTime;
        info.u64AccessTime = other.u64AccessTime;
        info.u64NameDataSize = other.u64NameDataSize;
        info.wstrName = other.wstrName;
        return true;
    }
    return false;
}

int NtfsDataHealth(CDiskReader& reader, int nBytesPerSector, unsigned int nSectorsPerCluster,
                   uint64_t u64VolumeStart, uint64_t u64Clusters, const char* szName,
                   uint64_t u64FileSize, unsigned int nData, const NTFS_FILE_DATA& data) {
    if (!FitsInVolume(u64FileSize, u64Clusters,
                      static_cast<uint64_t>(nSectorsPerCluster) * nBytesPerSector))
        return 0;
    if (nData != 0) return 1;
    char szExt[512] = {0};
    const bool bExt = std::strlen(szName) < sizeof szExt && GetExtendName(szName, szExt) == 0;
    if (data.bResident) {
        if (data.vecResident.empty()) return 0;
        if (!bExt) return 1;
        return CFileTypeJudge::IsFileTypeMatching(data.vecResident.data(),
                                                  static_cast<int>(data.vecResident.size()), szExt,
                                                  &reader, nBytesPerSector, 0)
                   ? 1
                   : 0;
    }
    if (!bExt || data.vecRuns.empty() || data.vecRuns[0].bSparse ||
        data.vecRuns[0].i64Offset <= 0 ||
        static_cast<uint64_t>(data.vecRuns[0].i64Offset) >= u64Clusters)
        return 1;
    uint64_t u64First;
    if (__builtin_mul_overflow(static_cast<uint64_t>(data.vecRuns[0].i64Offset),
                               static_cast<uint64_t>(nSectorsPerCluster), &u64First) ||
        __builtin_add_overflow(u64First, u64VolumeStart, &u64First) || u64First > INT64_MAX)
        return 1;
    std::vector<unsigned char> vecSector(nBytesPerSector);
    unsigned int nRead = 0;
    if (reader.ReadData(vecSector.data(), 1, static_cast<long long>(u64First), nBytesPerSector,
                        &nRead) != 0 ||
        nRead != 1)
        return 1;
    return CFileTypeJudge::IsFileTypeMatching(vecSector.data(), nBytesPerSector, szExt, &reader,
                                              nBytesPerSector, u64First)
               ? 1
               : 0;
}

static _FILE_NODE_* NewNode(CScanResultFileManager& store, uint32_t nEngineType,
                            wchar_t wcDriveLetter) {
    _FILE_NODE_* pNode = static_cast<_FILE_NODE_*>(store.CreateFileNode(sizeof(_FILE_NODE_)));
    if (!pNode) return nullptr;
    std::memset(pNode, 0, sizeof *pNode);
    pNode->nDriveLetter = static_cast<uint32_t>(wcDriveLetter);
    pNode->nEngineType = nEngineType;
    pNode->bDataHealth = 1;
    pNode->nFileIndex = store.GetFileIndex();
    return pNode;
}

_FILE_NODE_* MakeNtfsNode(CScanResultFileManager& store, const NTFS_RECORD_INFO& info, int bIsDir,
                          uint32_t nEngineType, wchar_t wcDriveLetter, uint32_t nClusterBytes,
                          uint64_t u64RecordSector, uint64_t u64VolumeStart) {
    _FILE_NODE_* pNode = NewNode(store, nEngineType, wcDriveLetter);
    if (!pNode) return nullptr;
    pNode->bIsDir = bIsDir ? 1 : 0;
    pNode->nDirId = info.nRecordNumber;
    pNode->nClusterBytes = nClusterBytes;
    SplitFileTime(info.u64CreateTime, pNode->ftCreateTime);
    SplitFileTime(info.u64AccessTime, pNode->ftLastAccessTime);
    SplitFileTime(info.u64ModifyTime, pNode->ftLastWriteTime);
    pNode->u64FileSize = bIsDir ? 0 : info.u64NameDataSize;
    pNode->u64RecordSector = u64RecordSector;
    pNode->u64PartitionStartSector = u64VolumeStart;
    Unicode2Ansi(info.wstrName.c_str(), pNode->szFileName, sizeof pNode->szFileName);
    pNode->szFileName[sizeof pNode->szFileName - 1] = 0;
    return pNode;
}

_FILE_NODE_* MakeNtfsLostFolder(CScanResultFileManager& store, uint32_t nEngineType,
                                wchar_t wcDriveLetter, uint32_t nDirId, uint64_t u64RecordNo) {
    _FILE_NODE_* pNode = NewNode(store, nEngineType, wcDriveLetter);
    if (!pNode) return nullptr;
    pNode->bIsDir = 1;
    pNode->nDirId = nDirId;
    pNode->nClusterBytes = 0xFFFFFFFFu;
    std::snprintf(pNode->szFileName, sizeof pNode->szFileName, "LostFolder%llu",
                  static_cast<unsigned long long>(u64RecordNo));
    return pNode;
}

unsigned int CNtfsEngine::SaveDataToTargetFile(const _FILE_NODE_& node, const wchar_t* wszTarget) {
    return SaveOneFile(node, wszTarget);
}

unsigned int CNtfsEngine::StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                         const DataSink& sink) {
    return StreamNtfsNode(*this, node, u64Wanted, sink);
}

unsigned int CNtfsEngine::SaveOneFile(const _FILE_NODE_& node, const wchar_t* wszTarget) {
    if (node.bIsDir) return CreateTargetDir(wszTarget);
    return CEngineBase::SaveOneFile(node, wszTarget);
}

int CNtfsEngine::NodeDataHealth(const _FILE_NODE_& node, unsigned int nSectorsPerCluster,
                                uint64_t u64VolumeStart, uint64_t u64Clusters) {
    char szName[sizeof node.szFileName + 1] = {0};
    std::memcpy(szName, node.szFileName, sizeof node.szFileName);
    NTFS_FILE_DATA data;
    const unsigned int nData = ReadNodeData(node, data);
    return NtfsDataHealth(DataReader(), DataBytesPerSector(), nSectorsPerCluster, u64VolumeStart,
                          u64Clusters, szName, node.u64FileSize, nData, data);
}
