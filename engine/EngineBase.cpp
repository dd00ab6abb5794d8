#include "engine/EngineBase.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/LogFileManager.h"
#include "engine/SaveTarget.h"

std::string FormatStoreName(const char* szPrefix, long long llFirstSector, const SYSTEMTIME& st) {
    char szName[128];
    std::snprintf(szName, sizeof szName, "%s%lld_%d%d%d%d%2d", szPrefix ? szPrefix : "",
                  llFirstSector, st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute);
    return szName;
}

std::string NextFreeStoreName(const std::string& strDir, const std::string& strName) {
    auto taken = [&strDir](const std::string& strCandidate) {
        struct stat st;
        for (const char* szSuffix : {"", "_Relation", "_DirInfo"}) {
            if (lstat((strDir + strCandidate + szSuffix).c_str(), &st) == 0) return true;
        }
        return false;
    };
    std::string strFree = strName;
    for (int i = 1; taken(strFree); ++i) strFree = strName + "_" + std::to_string(i);
    return strFree;
}

unsigned int SourceSectorCount(int fd, uint32_t nSectorBytes, uint64_t& u64Count) {
    const off_t llEnd = lseek(fd, 0, SEEK_END);
    if (llEnd < 0) return static_cast<unsigned int>(errno);
    u64Count = nSectorBytes ? static_cast<uint64_t>(llEnd) / nSectorBytes : 0;
    return 0;
}

void FindClearRun(const std::vector<unsigned char>& vecMap, uint64_t nBits, uint64_t nFrom,
                  uint64_t& nFirst, uint64_t& nEnd) {
    const uint64_t nHave = std::min<uint64_t>(nBits, static_cast<uint64_t>(vecMap.size()) * 8);
    // The first bit from i that differs from bSet, or nHave.
    auto walk = [&](uint64_t i, bool bSet) {
        const unsigned char nWhole = bSet ? 0xFF : 0x00;
        while (i < nHave) {
            if (i % 8 == 0 && vecMap[i / 8] == nWhole) {
                i += 8;
                continue;
            }
            if (((vecMap[i / 8] >> (i % 8)) & 1) != (bSet ? 1 : 0)) break;
            ++i;
        }
        return std::min(i, nHave);
    };
    nFirst = walk(nFrom, true);
    if (nFirst >= nHave) {
        nFirst = nEnd = nBits;
        return;
    }
    nEnd = walk(nFirst, false);
}

void CClaimedClusters::Add(uint32_t nFirst, uint64_t u64Count) {
    if (u64Count == 0) return;
    uint64_t& u64End = m_mapRuns[nFirst];
    u64End = std::max(u64End, nFirst + u64Count);
}

bool CClaimedClusters::IsClaimed(uint64_t c, uint32_t nOwnFirst, uint64_t* pnEnd) const {
    auto it = m_mapRuns.upper_bound(static_cast<uint32_t>(std::min<uint64_t>(c, UINT32_MAX)));
    if (it == m_mapRuns.begin()) return false;
    --it;
    if (c >= it->second || (nOwnFirst >= it->first && nOwnFirst < it->second)) return false;
    if (pnEnd) *pnEnd = it->second;
    return true;
}

unsigned int EngineSource::Open(const std::shared_ptr<CMediumSource>& pSource,
                                long long llFirstSector, long long llSectorCount,
                                wchar_t wcDriveLetter,
                                const std::function<unsigned int()>& fnSetUp) {
    if (bOpen) return 0;
    if (!pSource || llFirstSector < 0 || llSectorCount <= 0) return TW_ERR_BAD_ARGUMENT;
    u64Start = static_cast<uint64_t>(llFirstSector);
    u64Count = static_cast<uint64_t>(llSectorCount);
    nDriveLetter = static_cast<uint32_t>(wcDriveLetter);
    unsigned int nRet = reader.Init(pSource, u64Start + u64Count);
    if (nRet != 0) return nRet;
    bOpen = true;
    return fnSetUp();
}

void FolderPaths::Clear() {
    mapDir.clear();
    vecOnPath.clear();
    setOnPath.clear();
    setWritten.clear();
}

void FolderPaths::AddPath(uint32_t nDirId, uint32_t nRootId) {
    while (setOnPath.insert(nDirId).second) {
        vecOnPath.push_back(nDirId);
        if (nDirId == nRootId) return;
        auto it = mapDir.find(nDirId);
        if (it == mapDir.end()) return;
        nDirId = it->second.nParentId;
    }
}

void FolderPaths::WriteTo(CScanResultFileManager& store,
                          const std::function<unsigned int(uint32_t)>& fnLevelOf) {
    for (uint32_t nDirId : vecOnPath) {
        auto it = mapDir.find(nDirId);
        if (it == mapDir.end() || !setWritten.insert(nDirId).second) continue;
        _FILE_NODE_* pNode = static_cast<_FILE_NODE_*>(store.CreateFileNode(sizeof(_FILE_NODE_)));
        if (!pNode) break;
        std::memcpy(pNode, &it->second.node, sizeof(_FILE_NODE_));
        pNode->bDataHealth = 1;
        pNode->nFileIndex = store.GetFileIndex();
        const uint32_t nParent = it->second.nParentId;
        store.AddChildren(nParent, fnLevelOf(nParent), pNode->nFileIndex, pNode->nDirId,
                          pNode->szFileName);
    }
}

unsigned int EngineSource::Reopen() {
    return reader.Init(reader.GetSource(), u64Start + u64Count);
}

CEngineBase::~CEngineBase() = default;

std::string CEngineBase::GetStoreName() const {
    if (!m_pStore) return std::string();
    const std::string& strPath = m_pStore->GetNodeFilePath();
    return strPath.substr(strPath.find_last_of('/') + 1);
}

unsigned int CEngineBase::InitCallBack(PFN_SCAN_CALLBACK pfnScan, PFN_RECOVERY_CALLBACK pfnRecovery,
                                       void* pContext, int nScale) {
    m_pfnScan = pfnScan;
    m_pfnRecovery = pfnRecovery;
    m_pContext = pContext;
    m_nScale = nScale;
    return 0;
}

unsigned int CEngineBase::InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch, void* pContext) {
    m_pfnSearch = pfnSearch;
    m_pSearchContext = pContext;
    if (!m_pStore) return TW_ERR_BAD_ARGUMENT;
    return m_pStore->InitSearchCallBack(pfnSearch, pContext);
}

unsigned int CEngineBase::OpenStore(const wchar_t* wszName) {
    m_pStore.reset();
    m_pStore.reset(new (std::nothrow) CScanResultFileManager());
    if (!m_pStore) return TW_ERR_OUT_OF_MEMORY;
    if (m_pfnSearch) m_pStore->InitSearchCallBack(m_pfnSearch, m_pSearchContext);
    return m_pStore->Init(wszName);
}

unsigned int CEngineBase::OpenFreshStore(const char* szPrefix, long long llFirstSector, bool bUtc) {
    SYSTEMTIME st;
    std::memset(&st, 0, sizeof(st));
    if (bUtc) {
        rsb_getSystemTime(&st);
    } else {
        rsb_getLocalTime(&st);
    }
    const std::string strName = FormatStoreName(szPrefix, llFirstSector, st);
    const std::string strDir = CLogFileManager::GetInstance().GetLogFileDirPath();
    std::wstring wstrName = Ansi2Unicode(NextFreeStoreName(strDir, strName).c_str());
    return OpenStore(wstrName.c_str());
}

namespace {
const long kEstimateEveryMs = 5000;
}  // namespace

CProgressClock::CProgressClock() {
    Restart();
}

void CProgressClock::Restart() {
    m_lStart = m_lLastEstimate = rsb_getTickCount();
    m_nSecondsLeft = -1;
    m_u64Rate = 0;
}

int CProgressClock::SecondsLeft(unsigned long long u64Done, unsigned long long u64Total) {
    const long lNow = rsb_getTickCount();
    if (lNow - m_lLastEstimate < kEstimateEveryMs) return m_nSecondsLeft;
    m_lLastEstimate = lNow;
    const unsigned long long u64Seconds =
        std::max<unsigned long long>(1, static_cast<unsigned long long>(lNow - m_lStart) / 1000);
    m_u64Rate = std::max<unsigned long long>(1, u64Done / u64Seconds);
    const unsigned long long u64Left = (u64Total > u64Done ? u64Total - u64Done : 0) / m_u64Rate;
    m_nSecondsLeft = static_cast<int>(std::min<unsigned long long>(u64Left, INT_MAX));
    return m_nSecondsLeft;
}

int CEngineBase::ReportScan(int nPercent, int nSecondsLeft, unsigned long long u64FilesFound,
                            unsigned long long u64Cur, unsigned long long u64Total) {
    if (!m_pfnScan) return 0;
    return m_pfnScan(m_pContext, nPercent, m_nScale, nSecondsLeft, u64Cur, u64Total, u64FilesFound,
                     nullptr);
}

unsigned int CEngineBase::EndFolderWalk(int nStop, FolderPaths& folders,
                                        const std::function<unsigned int(uint32_t)>& fnLevelOf,
                                        unsigned long long u64FilesFound) {
    if (nStop == 0) folders.WriteTo(*m_pStore, fnLevelOf);
    m_pStore->FlushBufToFile();
    if (nStop != 0) return static_cast<unsigned int>(nStop);
    return static_cast<unsigned int>(ReportScan(100, 0, u64FilesFound));
}

unsigned int CEngineBase::GetChildrenFileNode(const _FILE_NODE_* pDir, unsigned int nLevel,
                                              std::vector<_FILE_NODE_>& vecChildren) {
    if (!pDir && nLevel != 0) return TW_ERR_BAD_ARGUMENT;
    if (!m_pStore) return 0;
    m_pStore->FlushBufToFile();
    uint32_t nId = pDir && pDir->nDirId ? pDir->nDirId : RootDirId();
    return m_pStore->GetChildrenFileNode(MakeDirKey(nLevel, nId), vecChildren);
}

unsigned int CEngineBase::GetChildrenFileCount(const _FILE_NODE_* pDir, unsigned int nLevel,
                                               unsigned int& nCount) {
    nCount = 0;
    if (!pDir && nLevel != 0) return TW_ERR_BAD_ARGUMENT;
    if (!m_pStore) return 0;
    m_pStore->FlushBufToFile();
    uint32_t nId = pDir && pDir->nDirId ? pDir->nDirId : RootDirId();
    uint32_t nFound = 0;
    unsigned int nRet = m_pStore->GetChildrenFileCount(MakeDirKey(nLevel, nId), nFound);
    nCount = nFound;
    return nRet;
}

unsigned int CEngineBase::GetLostFileCount() {
    return m_pStore ? m_pStore->GetFileIndex() : 0;
}

unsigned int CEngineBase::GetFileNodeParentDirPath(const _FILE_NODE_* pNode, wchar_t* wszBuf,
                                                   int nBufLen) {
    if (!m_pStore || !pNode || !wszBuf || nBufLen < 1) return TW_ERR_BAD_ARGUMENT;
    m_pStore->FlushBufToFile();
    return m_pStore->GetParentDirPath(pNode, wszBuf, nBufLen) == 0 ? 0 : TW_ERR_BAD_ARGUMENT;
}

unsigned int CEngineBase::SearchFileNode(const wchar_t* wszKey,
                                         std::vector<__SEARCH_FILE_INFO__>& vecHits) {
    if (!wszKey) return TW_ERR_BAD_ARGUMENT;
    if (!m_pStore) return 0;
    return m_pStore->SearchFileNodeInfo(wszKey, vecHits) == 1 ? 0 : TW_ERR_SHORT_READ;
}

unsigned int CEngineBase::SearchFileNodeEach(const wchar_t* wszKey, const SearchHitSink& onHit) {
    if (!wszKey) return TW_ERR_BAD_ARGUMENT;
    if (!m_pStore) return 0;
    return m_pStore->ForEachSearchHit(wszKey, onHit) == 1
               ? 0u
               : static_cast<unsigned int>(TW_ERR_SHORT_READ);
}

unsigned int CEngineBase::SaveOneFile(const _FILE_NODE_& node, const wchar_t* wszTarget) {
    CSaveTarget target(m_pfnRecovery, m_pContext);
    SetLastSaveUnreadableBytes(0);
    unsigned int nRet = target.Open(wszTarget, node.u64FileSize);
    if (nRet != 0) return target.Finish(nRet);
    // Sectors the medium cannot give do not cut the file short: it is written
    // whole, zeros in their place, every readable byte kept, and reported as
    // not read whole (30) with the count of those bytes.
    CZeroFillReads fill;
    uint64_t u64Unreadable = 0;
    nRet = StreamNodeData(node, node.u64FileSize, [&](const unsigned char* p, size_t n) {
        u64Unreadable += fill.TakeFilled(p, n);
        return target.Write(p, n);
    });
    if (u64Unreadable > 0) {
        SetLastSaveUnreadableBytes(u64Unreadable);
        if (nRet == 0) nRet = TW_ERR_SHORT_READ;
    }
    return target.Finish(nRet);
}

unsigned int CEngineBase::SaveFileData(const _FILE_NODE_* pNode, const wchar_t* wszTargetPath,
                                       int nLevelOffset) {
    if (!pNode || !wszTargetPath || !*wszTargetPath) return TW_ERR_BAD_ARGUMENT;
    if (!pNode->bIsDir) return SaveOneFile(*pNode, wszTargetPath);
    return SaveDirectoryTree(
        *this, *pNode, wszTargetPath, nLevelOffset,
        [this](const _FILE_NODE_& child, const wchar_t* wszChild) {
            return SaveOneFile(child, wszChild);
        },
        m_pfnRecovery, m_pContext);
}

unsigned int CEngineBase::PreView(const _FILE_NODE_* pNode, wchar_t* wszPreviewPath,
                                  unsigned char* pBuf, int& nLength,
                                  PFN_PREVIEW_CALLBACK pfnPreview, void* pContext) {
    auto report = [&](int nPercent, int nError) {
        return pfnPreview ? pfnPreview(pContext, nPercent, nError) : 0;
    };
    const int nCapacity = nLength;
    nLength = 0;
    if (wszPreviewPath) wszPreviewPath[0] = 0;
    if (!pNode) {
        report(100, static_cast<int>(TW_ERR_BAD_ARGUMENT));
        return TW_ERR_BAD_ARGUMENT;
    }
    // Pictures go to a file the viewer opens; the rest into the caller's buffer.
    std::string strFile;
    const std::string strExt = NodeExtension(*pNode);
    if (wszPreviewPath && IsExtensionInTypeList(strExt, szPictureTypeList)) {
        strFile = tw::ScanLogDir() + "tmp." + strExt;
        if (strFile.size() >= 256) strFile.clear();
    }
    const bool bToFile = !strFile.empty();
    if (!bToFile && (!pBuf || nCapacity < 0)) {
        report(100, static_cast<int>(TW_ERR_BAD_ARGUMENT));
        return TW_ERR_BAD_ARGUMENT;
    }
    CSaveTarget file(nullptr, nullptr);
    uint64_t u64Want = pNode->u64FileSize;
    if (bToFile) {
        std::wstring wstrDir = tw::Utf8ToWide(tw::ScanLogDir().c_str());
        CreateTargetDir(wstrDir.c_str());
        std::wstring wstrFile = tw::Utf8ToWide(strFile.c_str());
        unlink(strFile.c_str());
        unsigned int nRet = file.Open(wstrFile.c_str(), u64Want);
        if (nRet != 0) {
            report(100, static_cast<int>(nRet));
            return nRet;
        }
        std::wcsncpy(wszPreviewPath, wstrFile.c_str(), 255);
        wszPreviewPath[255] = 0;
    } else {
        u64Want = std::min<uint64_t>(u64Want, static_cast<uint64_t>(nCapacity));
    }
    uint64_t u64Done = 0;
    unsigned int nResult =
        StreamNodeData(*pNode, u64Want, [&](const unsigned char* p, size_t n) -> unsigned int {
            n = static_cast<size_t>(std::min<uint64_t>(n, u64Want - u64Done));
            unsigned int nRet = 0;
            if (bToFile) {
                nRet = file.Write(p, n);
            } else if (n > 0) {
                std::memcpy(pBuf + u64Done, p, n);
            }
            u64Done += n;
            if (nRet != 0) return nRet;
            int nPercent = u64Want ? static_cast<int>(u64Done * 100 / u64Want) : 100;
            return static_cast<unsigned int>(report(nPercent, 0));
        });
    if (bToFile) {
        file.Finish(0);
        if (nResult != 0) {
            unlink(strFile.c_str());
            wszPreviewPath[0] = 0;
        }
    } else {
        nLength = static_cast<int>(u64Done);
    }
    report(100, static_cast<int>(nResult));
    return nResult;
}
