// The deep scan's results: each found file is browsed, searched and saved
// through the engine that found it.
#include "deepscan/ProfessionalRecovery.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include "carving/FileTypeJudge.h"
#include "common/DebugLog.h"
#include "common/FatEntry.h"
#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "common/StoreFiles.h"
#include "common/Types.h"
#include "deepscan/FastEngine.h"
#include "device/FsRecognize.h"
#include "device/PartitionManager.h"
#include "engine/EngineBase.h"
#include "engine/NodeInfo.h"
#include "ext/FastExtRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "ntfs/NtfsParse.h"

IFileRecoveryParse* CProfessionalRecovery::SourceOf(const _FILE_NODE_& node) {
    switch (node.nEngineType) {
        case ENGINE_FAST_NTFS:
        case ENGINE_FAST_FAT:
        case ENGINE_FAST_EXFAT:
        case ENGINE_FAST_EXT: {
            // The volume the record names: its first sector, or that sector in
            // the volume's own sectors (FAT and exFAT of larger sectors).
            if (m_vecVolumes.size() == 1) return m_vecVolumes[0].pEngine.get();
            IFileRecoveryParse* pScaled = nullptr;
            for (const Volume& vol : m_vecVolumes) {
                if (vol.u64First == node.u64PartitionStartSector) return vol.pEngine.get();
                for (unsigned long long u64Ratio : {2ull, 4ull, 8ull})
                    if (!pScaled && vol.u64First % u64Ratio == 0 &&
                        vol.u64First / u64Ratio == node.u64PartitionStartSector)
                        pScaled = vol.pEngine.get();
            }
            return pScaled;
        }
        case ENGINE_DEEP_NTFS:
            return &m_proNtfs;
        case ENGINE_DEEP_FAT:
            return &m_proFat;
        case ENGINE_CARVING:
            return &m_carving;
        default:
            return nullptr;
    }
}

unsigned int CProfessionalRecovery::GetChildrenFileNode(const _FILE_NODE_* pDir,
                                                        unsigned int nLevel,
                                                        std::vector<_FILE_NODE_>& vecChildren) {
    if (!pDir) {
        if (nLevel != 0) return TW_ERR_BAD_ARGUMENT;
        for (Volume& vol : m_vecVolumes) vol.pEngine->GetChildrenFileNode(nullptr, 0, vecChildren);
        m_proFat.GetChildrenFileNode(nullptr, 0, vecChildren);
        m_proNtfs.GetChildrenFileNode(nullptr, 0, vecChildren);
        m_carving.GetChildrenFileNode(nullptr, 0, vecChildren);
    } else if (pDir->nEngineType != ENGINE_CARVING) {
        IFileRecoveryParse* pSource = SourceOf(*pDir);
        if (pSource) pSource->GetChildrenFileNode(pDir, nLevel, vecChildren);
    }
    std::sort(vecChildren.begin(), vecChildren.end(), VectorCmp);
    return 0;
}

unsigned int CProfessionalRecovery::GetChildrenFileCount(const _FILE_NODE_* pDir,
                                                         unsigned int nLevel,
                                                         unsigned int& nCount) {
    if (!pDir) {
        if (nLevel != 0) return TW_ERR_BAD_ARGUMENT;
        unsigned int nPart = 0;
        for (Volume& vol : m_vecVolumes) {
            nPart = 0;
            if (vol.pEngine->GetChildrenFileCount(nullptr, 0, nPart) == 0) nCount += nPart;
        }
        nPart = 0;
        if (m_proFat.GetChildrenFileCount(nullptr, 0, nPart) == 0) nCount += nPart;
        nPart = 0;
        if (m_proNtfs.GetChildrenFileCount(nullptr, 0, nPart) == 0) nCount += nPart;
        nPart = 0;
        if (m_carving.GetChildrenFileCount(nullptr, 0, nPart) == 0) nCount += nPart;
        return 0;
    }
    if (pDir->nEngineType == ENGINE_CARVING) return 0;
    IFileRecoveryParse* pSource = SourceOf(*pDir);
    return pSource ? pSource->GetChildrenFileCount(pDir, nLevel, nCount) : 0;
}

unsigned int CProfessionalRecovery::GetLostFileCount() {
    unsigned int nCount = 0;
    for (Volume& vol : m_vecVolumes) nCount += vol.pEngine->GetLostFileCount();
    return nCount + m_proFat.GetLostFileCount() + m_proNtfs.GetLostFileCount() +
           m_carving.GetLostFileCount();
}

unsigned int CProfessionalRecovery::GetFileNodeParentDirPath(const _FILE_NODE_* pNode,
                                                             wchar_t* wszBuf, int nBufLen) {
    if (!pNode) return TW_ERR_BAD_ARGUMENT;
    if (pNode->nEngineType == ENGINE_CARVING) return 0;
    IFileRecoveryParse* pSource = SourceOf(*pNode);
    return pSource ? pSource->GetFileNodeParentDirPath(pNode, wszBuf, nBufLen) : 0;
}

unsigned int CProfessionalRecovery::SaveFileData(const _FILE_NODE_* pNode,
                                                 const wchar_t* wszTargetPath, int nLevelOffset) {
    if (!pNode) return TW_ERR_BAD_ARGUMENT;
    IFileRecoveryParse* pSource = SourceOf(*pNode);
    return pSource ? pSource->SaveFileData(pNode, wszTargetPath, nLevelOffset) : 0;
}

unsigned int CProfessionalRecovery::PreView(const _FILE_NODE_* pNode, wchar_t* wszPreviewPath,
                                            unsigned char* pBuf, int& nLength,
                                            PFN_PREVIEW_CALLBACK pfnPreview, void* pContext) {
    if (!pNode) return TW_ERR_BAD_ARGUMENT;
    IFileRecoveryParse* pSource = SourceOf(*pNode);
    return pSource ? pSource->PreView(pNode, wszPreviewPath, pBuf, nLength, pfnPreview, pContext)
                   : 0;
}

bool CProfessionalRecovery::DataStartOf(const __SEARCH_FILE_INFO__& hit, uint64_t& u64Start) {
    const uint64_t u64Bps = static_cast<uint64_t>(m_nBytesPerSector);
    if (hit.nEngineType == ENGINE_FAST_NTFS || hit.nEngineType == ENGINE_DEEP_NTFS) {
        // The fast engine's sectors are its volume's (4,096 bytes on a 4Kn
        // volume), the deep parser's 512 bytes.
        uint64_t u64Scale = 1;
        if (hit.nEngineType == ENGINE_FAST_NTFS) {
            const auto* pNtfs = dynamic_cast<const CFastNtfsRecovery*>(SourceOf(hit));
            if (!pNtfs) return false;
            u64Scale = static_cast<uint64_t>(pNtfs->GetBytesPerSector()) / u64Bps;
        }
        std::vector<__RUNLIST__> vecRuns;
        if (m_proNtfs.GetRunListInfo(static_cast<long long>(hit.u64RecordSector * u64Scale), 0x80,
                                     vecRuns) != 0 ||
            vecRuns.empty() || vecRuns[0].bSparse || vecRuns[0].i64Offset < 0)
            return false;
        u64Start = static_cast<uint64_t>(hit.nClusterBytes) *
                       static_cast<uint64_t>(vecRuns[0].i64Offset) / u64Bps +
                   hit.u64PartitionStartSector * u64Scale;
        return true;
    }
    if (hit.nEngineType == ENGINE_FAST_FAT || hit.nEngineType == ENGINE_DEEP_FAT ||
        hit.nEngineType == ENGINE_FAST_EXFAT) {
        const int64_t llSpc = static_cast<int64_t>(hit.nClusterBytes / u64Bps);
        const int64_t llCluster = hit.nDirId == 0 ? -32 : static_cast<int64_t>(hit.nDirId) - 2;
        u64Start = hit.u64DataStartSector + hit.u64PartitionStartSector +
                   static_cast<uint64_t>(llCluster * llSpc);
        return true;
    }
    if (hit.nEngineType == ENGINE_FAST_EXT) return GetFileNodeFirstSector(hit, 512, u64Start);
    return false;
}

unsigned int CProfessionalRecovery::SearchFileNode(const wchar_t* wszKey,
                                                   std::vector<__SEARCH_FILE_INFO__>& vecHits) {
    // The data start of every named file, for the carved duplicates below;
    // each hit's start is worked out (and its record read) once.
    std::set<uint64_t> setStart;
    std::vector<__SEARCH_FILE_INFO__> vecFast;
    for (Volume& vol : m_vecVolumes) vol.pEngine->SearchFileNode(wszKey, vecFast);
    vecHits.insert(vecHits.end(), vecFast.begin(), vecFast.end());

    // A deep-parser hit that the fast pass lists already (the same data start
    // and name) is dropped: the deep parsers meet the folders of deleted files
    // in free space too.
    std::multimap<uint64_t, std::string> mapFastNames;
    for (const __SEARCH_FILE_INFO__& hit : vecFast) {
        uint64_t u64Start = 0;
        if (hit.bIsDir || !DataStartOf(hit, u64Start)) continue;
        setStart.insert(u64Start);
        mapFastNames.emplace(u64Start, hit.szFileName);
    }
    IFileRecoveryParse* deep[] = {&m_proFat, &m_proNtfs};
    for (IFileRecoveryParse* pDeep : deep) {
        std::vector<__SEARCH_FILE_INFO__> vecDeep;
        pDeep->SearchFileNode(wszKey, vecDeep);
        for (const __SEARCH_FILE_INFO__& hit : vecDeep) {
            uint64_t u64Start = 0;
            const bool bHasStart = DataStartOf(hit, u64Start);
            bool bDuplicate = false;
            if (bHasStart && !hit.bIsDir) {
                auto range = mapFastNames.equal_range(u64Start);
                for (auto it = range.first; it != range.second && !bDuplicate; ++it)
                    bDuplicate = strcasecmp(it->second.c_str(), hit.szFileName) == 0;
            }
            if (bDuplicate) continue;
            vecHits.push_back(hit);
            if (bHasStart && !hit.bIsDir) setStart.insert(u64Start);
        }
    }

    // A carved file that starts where a named file's data starts is that file
    // (whatever its name says: a ".jpeg", a ".thm" picture, an ".odt").
    std::vector<__SEARCH_FILE_INFO__> vecCarved;
    m_carving.SearchFileNode(wszKey, vecCarved);
    for (const __SEARCH_FILE_INFO__& hit : vecCarved)
        if (!setStart.count(hit.u64RecordSector)) vecHits.push_back(hit);
    std::sort(vecHits.begin(), vecHits.end(), SearchVectorCmp);
    return 0;
}
