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

namespace {

// A named file's data start and a hash of its name in lower case: what a deep
// hit is compared with to find the fast pass's hit of the same file, in 16
// bytes instead of a copy of the record. Two names of one data start would
// have to share all 64 bits of the hash to be taken for one file.
struct StartAndName {
    uint64_t u64Start;
    uint64_t u64NameHash;
    bool operator<(const StartAndName& o) const {
        return u64Start != o.u64Start ? u64Start < o.u64Start : u64NameHash < o.u64NameHash;
    }
};

// FNV-1a over the name with ASCII letters lowered (as strcasecmp compares).
uint64_t CaselessNameHash(const char* szName) {
    uint64_t u64Hash = 14695981039346656037ull;
    for (const char* p = szName; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        u64Hash = (u64Hash ^ c) * 1099511628211ull;
    }
    return u64Hash;
}

template <typename T>
void SortUnique(std::vector<T>& vec) {
    std::sort(vec.begin(), vec.end());
    vec.erase(std::unique(vec.begin(), vec.end(),
                          [](const T& a, const T& b) { return !(a < b) && !(b < a); }),
              vec.end());
    vec.shrink_to_fit();
}

}  // namespace

unsigned int CProfessionalRecovery::SearchFileNode(const wchar_t* wszKey,
                                                   std::vector<__SEARCH_FILE_INFO__>& vecHits) {
    SearchFileNodeEach(wszKey, [&vecHits](const __SEARCH_FILE_INFO__& hit) {
        vecHits.push_back(hit);
        return 0;
    });
    std::sort(vecHits.begin(), vecHits.end(), SearchVectorCmp);
    return 0;
}

unsigned int CProfessionalRecovery::SearchFileNodeEach(const wchar_t* wszKey,
                                                       const SearchHitSink& onHit) {
    // Hits go on as they are read; only each named file's data start (and,
    // for the fast pass, its name's hash) is kept for the duplicates below.
    bool bStopped = false;
    auto pass = [&bStopped, &onHit](const __SEARCH_FILE_INFO__& hit) {
        bStopped = onHit(hit) != 0;
        return bStopped ? 1 : 0;
    };
    std::vector<StartAndName> vecFastNames;
    std::vector<uint64_t> vecStarts;
    for (Volume& vol : m_vecVolumes) {
        if (bStopped) return 0;
        vol.pEngine->SearchFileNodeEach(wszKey, [&](const __SEARCH_FILE_INFO__& hit) {
            uint64_t u64Start = 0;
            if (!hit.bIsDir && DataStartOf(hit, u64Start)) {
                vecFastNames.push_back({u64Start, CaselessNameHash(hit.szFileName)});
                vecStarts.push_back(u64Start);
            }
            return pass(hit);
        });
    }
    SortUnique(vecFastNames);

    // A deep-parser hit that the fast pass lists already (the same data start
    // and name) is dropped: the deep parsers meet the folders of deleted files
    // in free space too.
    IFileRecoveryParse* deep[] = {&m_proFat, &m_proNtfs};
    for (IFileRecoveryParse* pDeep : deep) {
        if (bStopped) return 0;
        pDeep->SearchFileNodeEach(wszKey, [&](const __SEARCH_FILE_INFO__& hit) {
            uint64_t u64Start = 0;
            if (hit.bIsDir || !DataStartOf(hit, u64Start)) return pass(hit);
            if (std::binary_search(vecFastNames.begin(), vecFastNames.end(),
                                   StartAndName{u64Start, CaselessNameHash(hit.szFileName)}))
                return 0;
            vecStarts.push_back(u64Start);
            return pass(hit);
        });
    }
    std::vector<StartAndName>().swap(vecFastNames);
    SortUnique(vecStarts);

    // A carved file that starts where a named file's data starts is that file
    // (whatever its name says: a ".jpeg", a ".thm" picture, an ".odt").
    if (bStopped) return 0;
    m_carving.SearchFileNodeEach(wszKey, [&](const __SEARCH_FILE_INFO__& hit) {
        if (std::binary_search(vecStarts.begin(), vecStarts.end(), hit.u64RecordSector)) return 0;
        return pass(hit);
    });
    return 0;
}
