#include "engine/ScanResultFileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <strings.h>

#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/LogFileManager.h"

namespace {

constexpr size_t kNameSize = sizeof(_FILE_NODE_::szFileName);
constexpr size_t kMaxKeyBytes = 4096;
// Listing and counting read records 16 at a time: neighbours are usually
// listed together, and a scattered list costs little more than single reads.
constexpr uint32_t kReadPieceSize = 16 * CScanResultFileManager::kRecordSize;
// Room in the parent index for records made after it was built.
constexpr size_t kIndexSlack = 4096;

// Records read from disk may be damaged: their name always ends in the field.
void TerminateName(_FILE_NODE_& node) {
    node.szFileName[kNameSize - 1] = '\0';
}

// The lower-cased extension after the last '.'; empty when there is none.
std::string LowerExtension(const char* szName) {
    char szExt[kNameSize + 1] = {0};
    if (GetExtendName(szName, szExt) != 0) return std::string();
    szExt[kNameSize] = '\0';
    GetCharLowerA(szExt);
    return szExt;
}

int CompareNodes(const _FILE_NODE_& a, const _FILE_NODE_& b) {
    bool bDirA = a.bIsDir != 0, bDirB = b.bIsDir != 0;
    if (bDirA != bDirB) return bDirA ? 1 : -1;
    return strncasecmp(a.szFileName, b.szFileName, kNameSize);
}

}  // namespace

std::string NodeExtension(const _FILE_NODE_& node) {
    char szName[kNameSize + 1];
    std::memcpy(szName, node.szFileName, kNameSize);
    szName[kNameSize] = '\0';
    return LowerExtension(szName);
}

bool IsExtensionInTypeList(const std::string& strExt, const char* szList) {
    if (strExt.empty() || !szList) return false;
    for (const char* p = szList; *p;) {
        const char* pEnd = std::strchr(p, '|');
        size_t nLen = pEnd ? static_cast<size_t>(pEnd - p) : std::strlen(p);
        if (nLen == strExt.size() + 2 && p[0] == '*' && p[1] == '.' &&
            strExt.compare(0, std::string::npos, p + 2, nLen - 2) == 0)
            return true;
        if (!pEnd) break;
        p = pEnd + 1;
    }
    return false;
}

bool VectorCmp(const _FILE_NODE_& a, const _FILE_NODE_& b) {
    return CompareNodes(a, b) < 0;
}

bool SearchVectorCmp(const __SEARCH_FILE_INFO__& a, const __SEARCH_FILE_INFO__& b) {
    return CompareNodes(a, b) < 0;
}

CScanResultFileManager::CScanResultFileManager()
    : m_nBufUsed(0),
      m_nBufCapacity(kBufferCapacity),
      m_nFileIndex(0),
      m_pBuf(nullptr),
      m_nNodeFd(-1),
      m_nRelationFd(-1),
      m_nDirInfoFd(-1),
      m_pfnSearch(nullptr),
      m_pSearchContext(nullptr),
      m_u64RelationLen(0),
      m_u64CacheOffset(0),
      m_nCacheLen(0) {
    m_strAllTypes = std::string(szPictureTypeList) + "|" + szMusicTypeList + "|" +
                    szDocumentTypeList + "|" + szVideoTypeList + "|" + szArchiveTypeList;
}

CScanResultFileManager::~CScanResultFileManager() {
    FlushBufToFile();
    CloseFiles();
    delete[] m_pBuf;
    m_pBuf = nullptr;
}

void CScanResultFileManager::CloseFiles() {
    for (int* pFd : {&m_nNodeFd, &m_nRelationFd, &m_nDirInfoFd}) {
        if (*pFd >= 0) close(*pFd);
        *pFd = -1;
    }
}

unsigned int CScanResultFileManager::Init(const wchar_t* wszName) {
    if (!wszName) return TW_ERR_BAD_ARGUMENT;
    FlushBufToFile();
    CloseFiles();
    m_mapRelation.clear();
    m_vecDirInfo.clear();
    m_nBufUsed = 0;
    m_nFileIndex = 0;
    m_u64RelationLen = 0;
    m_u64CacheOffset = 0;
    m_nCacheLen = 0;
    // The first flush writes the files as the map and list have them (a
    // damaged relation text is written back whole); later ones only changes.
    NoteStructureCut();

    CLogFileManager& logs = CLogFileManager::GetInstance();
    std::string strDir = logs.GetLogFileDirPath();
    // Scan folders get 0755: a folder without its search bit cannot be entered.
    MakeDirTree(strDir.c_str(), 0755);

    std::string strName = tw::WideToUtf8(wszName);
    if (strName.size() > kNameSize - 1) strName.resize(kNameSize - 1);
    m_strNodePath = strDir + strName;
    m_strRelationPath = m_strNodePath + "_Relation";
    m_strDirInfoPath = m_strNodePath + "_DirInfo";

    m_nNodeFd = open(m_strNodePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_nNodeFd < 0) return errno;
    m_nRelationFd = open(m_strRelationPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_nRelationFd < 0) {
        int nErr = errno;
        CloseFiles();
        return nErr;
    }
    const off_t llNodeEnd = lseek(m_nNodeFd, 0, SEEK_END);
    if (llNodeEnd < 0) return errno;
    // Records added to a reopened store (a resumed scan) take the numbers after
    // those already there, never those of earlier records.
    m_nFileIndex = static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>(llNodeEnd) / sizeof(_FILE_NODE_), UINT32_MAX));

    struct stat st;
    if (fstat(m_nRelationFd, &st) != 0) return errno;
    if (st.st_size > 0 && st.st_size < 0x7FFFFFFF) {
        std::string strText;
        try {
            strText.resize(static_cast<size_t>(st.st_size));
        } catch (...) {
            strText.clear();
        }
        if (!strText.empty()) {
            unsigned int nRead = 0;
            lseek(m_nRelationFd, 0, SEEK_SET);
            if (ReadData(m_nRelationFd, reinterpret_cast<unsigned char*>(&strText[0]),
                         static_cast<int>(strText.size()), &nRead) == 0 &&
                nRead == strText.size()) {
                GetDirRelationMap(strText.data(), static_cast<int>(strText.size()), m_mapRelation);
                m_u64RelationLen = strText.size();
            }
        }
    }
    lseek(m_nRelationFd, 0, SEEK_SET);

    unsigned int nResult = TW_OK;
    delete[] m_pBuf;
    m_pBuf = new (std::nothrow) unsigned char[m_nBufCapacity];
    if (!m_pBuf) nResult = TW_ERR_OUT_OF_MEMORY;

    m_nDirInfoFd = open(m_strDirInfoPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_nDirInfoFd >= 0 && fstat(m_nDirInfoFd, &st) == 0 && st.st_size > 0) {
        _DIR_FILE_INFO_ info;
        for (off_t nOffset = 0; nOffset + static_cast<off_t>(sizeof(info)) <= st.st_size;
             nOffset += sizeof(info)) {
            if (ReadFullAt(m_nDirInfoFd, &info, sizeof(info), nOffset) !=
                static_cast<ssize_t>(sizeof(info)))
                break;
            info.szDirName[sizeof(info.szDirName) - 1] = '\0';
            m_vecDirInfo.push_back(info);
        }
    }
    return nResult;
}

unsigned int CScanResultFileManager::KeepFirstRecords(uint32_t nCount) {
    if (m_nNodeFd < 0) return TW_ERR_BAD_ARGUMENT;
    FlushFileNodeToFile();
    if (nCount >= m_nFileIndex) {
        FlushBufToFile();
        return TW_OK;
    }
    if (ftruncate(m_nNodeFd, static_cast<off_t>(nCount) * sizeof(_FILE_NODE_)) != 0) return errno;
    lseek(m_nNodeFd, 0, SEEK_END);
    m_nFileIndex = nCount;
    m_nCacheLen = 0;
    for (auto& entry : m_mapRelation)
        entry.second.erase(std::remove_if(entry.second.begin(), entry.second.end(),
                                          [nCount](uint32_t n) { return n > nCount; }),
                           entry.second.end());
    m_vecDirInfo.erase(
        std::remove_if(m_vecDirInfo.begin(), m_vecDirInfo.end(),
                       [nCount](const _DIR_FILE_INFO_& info) { return info.nFileIndex > nCount; }),
        m_vecDirInfo.end());
    NoteStructureCut();
    FlushBufToFile();
    return TW_OK;
}

void* CScanResultFileManager::CreateFileNode(int nSize) {
    if (!m_pBuf || nSize <= 0 || static_cast<uint32_t>(nSize) > m_nBufCapacity) return nullptr;
    if (m_nBufUsed + static_cast<uint32_t>(nSize) > m_nBufCapacity) FlushFileNodeToFile();
    void* pNode = m_pBuf + m_nBufUsed;
    memset(pNode, 0, static_cast<size_t>(nSize));
    m_nBufUsed += static_cast<uint32_t>(nSize);
    ++m_nFileIndex;
    return pNode;
}

void CScanResultFileManager::AddChildren(uint32_t nParentDirId, uint32_t nParentDepth,
                                         uint32_t nChildIndex, uint32_t nChildDirId,
                                         const char* szName) {
    const uint64_t u64Key = MakeDirKey(nParentDepth, nParentDirId);
    m_mapRelation[u64Key].push_back(nChildIndex);
    m_bRelationDirty = true;
    if (m_bListKeyValid && nChildIndex < m_vecListKey.size() && u64Key < m_vecListKey[nChildIndex])
        m_vecListKey[nChildIndex] = u64Key;
    if (szName) {
        _DIR_FILE_INFO_ info;
        memset(&info, 0, sizeof(info));
        info.nDirId = nChildDirId;
        info.nFileIndex = nChildIndex;
        strncpy(info.szDirName, szName, sizeof(info.szDirName) - 1);
        m_vecDirInfo.push_back(info);
        m_bDirInfoDirty = true;
        if (m_bDirInfoByIdValid) m_mapDirInfoById.emplace(nChildDirId, m_vecDirInfo.size() - 1);
    }
}

void CScanResultFileManager::NoteStructureCut() {
    m_bRelationDirty = m_bDirInfoDirty = true;
    m_bListKeyValid = m_bDirInfoByIdValid = false;
    std::vector<uint64_t>().swap(m_vecListKey);
    m_mapDirInfoById.clear();
}

bool CScanResultFileManager::ListKeyOf(uint32_t nIndex, uint64_t& u64Key) {
    // Records made after the index was built are entered as they are listed
    // (AddChildren); the index covers numbers up to the record counter.
    if (m_bListKeyValid && m_vecListKey.size() <= m_nFileIndex) m_bListKeyValid = false;
    if (!m_bListKeyValid) {
        m_vecListKey.assign(static_cast<size_t>(m_nFileIndex) + 1 + kIndexSlack, kNoKey);
        for (auto it = m_mapRelation.rbegin(); it != m_mapRelation.rend(); ++it)
            for (uint32_t n : it->second)
                if (n < m_vecListKey.size()) m_vecListKey[n] = it->first;
        m_bListKeyValid = true;
    }
    if (nIndex < m_vecListKey.size()) {
        u64Key = m_vecListKey[nIndex];
        return u64Key != kNoKey;
    }
    // A number no record has (a damaged store): the lists are searched.
    for (const auto& entry : m_mapRelation) {
        if (std::find(entry.second.begin(), entry.second.end(), nIndex) != entry.second.end()) {
            u64Key = entry.first;
            return true;
        }
    }
    return false;
}

const _DIR_FILE_INFO_* CScanResultFileManager::DirInfoOf(uint32_t nDirId) {
    if (!m_bDirInfoByIdValid) {
        m_mapDirInfoById.clear();
        for (size_t i = 0; i < m_vecDirInfo.size(); ++i)
            m_mapDirInfoById.emplace(m_vecDirInfo[i].nDirId, i);
        m_bDirInfoByIdValid = true;
    }
    auto it = m_mapDirInfoById.find(nDirId);
    return it == m_mapDirInfoById.end() ? nullptr : &m_vecDirInfo[it->second];
}

unsigned int CScanResultFileManager::FlushFileNodeToFile() {
    if (m_nBufUsed == 0) return TW_OK;
    uint32_t nUsed = m_nBufUsed;
    m_nBufUsed = 0;
    if (m_nNodeFd < 0) return EBADF;
    // Records only ever append: write at the end of what the file holds.
    off_t nEnd = lseek(m_nNodeFd, 0, SEEK_END);
    if (nEnd < 0) return errno;
    int nErr = WriteAllAt(m_nNodeFd, m_pBuf, nUsed, nEnd);
    lseek(m_nNodeFd, 0, SEEK_END);
    return static_cast<unsigned int>(nErr);
}

void CScanResultFileManager::FlushBufToFile() {
    if (m_nBufUsed > 0 && FlushFileNodeToFile() != 0) return;
    // Listing flushes before every request: what did not change since the
    // last flush is not written again.
    if (m_bRelationDirty) FlushRelationToFile();
    if (m_bDirInfoDirty) FlushDirFileInfoVec();
}

std::string CScanResultFileManager::BuildRelationText(const DirRelationMap& map) {
    std::string strText;
    for (const auto& entry : map) {
        strText += " | ";
        strText += std::to_string(entry.first);
        strText += " - [";
        bool bFirst = true;
        for (uint32_t nIndex : entry.second) {
            if (!bFirst) strText += ',';
            strText += std::to_string(nIndex);
            bFirst = false;
        }
        strText += ']';
    }
    return strText;
}

unsigned int CScanResultFileManager::FlushRelationToFile() {
    if (m_nRelationFd < 0) return EBADF;
    std::string strText = BuildRelationText(m_mapRelation);
    int nErr = WriteAllAt(m_nRelationFd, strText.data(), strText.size(), 0);
    // A shorter text than the last one (a reopened store) must not leave a stale tail.
    if (!nErr && strText.size() < m_u64RelationLen &&
        ftruncate(m_nRelationFd, static_cast<off_t>(strText.size())) != 0)
        nErr = errno;
    if (!nErr) {
        m_u64RelationLen = strText.size();
        m_bRelationDirty = false;
    }
    lseek(m_nRelationFd, 0, SEEK_SET);
    return static_cast<unsigned int>(nErr);
}

unsigned int CScanResultFileManager::FlushDirFileInfoVec() {
    if (m_nDirInfoFd < 0) return EBADF;
    int nLastErr = 0;
    off_t nOffset = 0;
    for (const _DIR_FILE_INFO_& info : m_vecDirInfo) {
        int nErr = WriteAllAt(m_nDirInfoFd, &info, sizeof(info), nOffset);
        if (nErr) nLastErr = nErr;
        nOffset += sizeof(info);
    }
    if (!nLastErr && ftruncate(m_nDirInfoFd, nOffset) != 0) nLastErr = errno;
    if (!nLastErr) m_bDirInfoDirty = false;
    lseek(m_nDirInfoFd, 0, SEEK_SET);
    return static_cast<unsigned int>(nLastErr);
}

const std::vector<uint32_t>* CScanResultFileManager::FindList(uint64_t u64Key) const {
    if (m_mapRelation.empty()) return nullptr;
    auto it = u64Key == 0 ? m_mapRelation.begin() : m_mapRelation.find(u64Key);
    return it == m_mapRelation.end() ? nullptr : &it->second;
}

// Reads record nIndex from the node file. 0; EINVAL when the number lies
// outside the file (a damaged relation text); errno of a failed read.
unsigned int CScanResultFileManager::ReadRecord(uint32_t nIndex, _FILE_NODE_* pNode) {
    if (nIndex == 0) return EINVAL;
    uint64_t u64Offset = static_cast<uint64_t>(nIndex - 1) * kRecordSize;
    // Records in the file never change: a piece read once serves its neighbours.
    if (u64Offset < m_u64CacheOffset || u64Offset + kRecordSize > m_u64CacheOffset + m_nCacheLen) {
        if (m_vecReadCache.size() != kReadPieceSize) m_vecReadCache.resize(kReadPieceSize);
        m_nCacheLen = 0;
        m_u64CacheOffset = u64Offset - u64Offset % kReadPieceSize;
        ssize_t n = ReadFullAt(m_nNodeFd, m_vecReadCache.data(), m_vecReadCache.size(),
                               static_cast<off_t>(m_u64CacheOffset));
        if (n < 0) return errno ? errno : EIO;
        m_nCacheLen = static_cast<uint32_t>(n);
        if (u64Offset + kRecordSize > m_u64CacheOffset + m_nCacheLen) return EINVAL;
    }
    memcpy(pNode, m_vecReadCache.data() + (u64Offset - m_u64CacheOffset), sizeof(*pNode));
    TerminateName(*pNode);
    return TW_OK;
}

bool CScanResultFileManager::IsHiddenDamagedPicture(const _FILE_NODE_& node) const {
    if (node.bIsDir || node.bDataHealth) return false;
    return IsExtensionInTypeList(NodeExtension(node), szPictureTypeList);
}

unsigned int CScanResultFileManager::GetChildrenFileNode(uint64_t u64Key,
                                                         std::vector<_FILE_NODE_>& vecChildren) {
    const std::vector<uint32_t>* pList = FindList(u64Key);
    if (!pList) return TW_OK;
    unsigned int nResult = TW_OK;
    _FILE_NODE_ node;
    for (uint32_t nIndex : *pList) {
        unsigned int nErr = ReadRecord(nIndex, &node);
        if (nErr == EINVAL) continue;  // no such record: skip it
        if (nErr) {
            nResult = nErr;
            break;
        }
        if (IsHiddenDamagedPicture(node)) continue;
        vecChildren.push_back(node);
    }
    std::sort(vecChildren.begin(), vecChildren.end(), VectorCmp);
    return nResult;
}

unsigned int CScanResultFileManager::GetChildrenFileCount(uint64_t u64Key, uint32_t& nCount) {
    nCount = 0;
    unsigned int nResult = TW_OK;
    std::deque<uint64_t> queKeys{u64Key};
    // Each key is walked once, whatever number of records lead to it.
    std::set<uint64_t> setSeen{u64Key};
    _FILE_NODE_ node;
    while (!queKeys.empty()) {
        uint64_t u64Cur = queKeys.front();
        queKeys.pop_front();
        const std::vector<uint32_t>* pList = FindList(u64Cur);
        if (!pList) continue;
        if (u64Cur == 0) u64Cur = m_mapRelation.begin()->first;
        for (uint32_t nIndex : *pList) {
            unsigned int nErr = ReadRecord(nIndex, &node);
            if (nErr == EINVAL) continue;
            if (nErr) {
                nResult = nErr;
                break;
            }
            if (node.bIsDir) {
                uint64_t u64Child =
                    MakeDirKey(static_cast<uint32_t>(u64Cur >> 32) + 1, node.nDirId);
                if (setSeen.insert(u64Child).second) queKeys.push_back(u64Child);
            } else {
                ++nCount;
            }
        }
    }
    return nResult;
}

unsigned int CScanResultFileManager::GetFileNodeByClusterNO(uint32_t nDirId, _FILE_NODE_* pNode) {
    if (!pNode) return TW_ERR_BAD_ARGUMENT;
    std::vector<unsigned char> vecPiece(kBufferCapacity);
    off_t nOffset = 0;
    for (;;) {
        ssize_t n = ReadFullAt(m_nNodeFd, vecPiece.data(), vecPiece.size(), nOffset);
        if (n < 0) return errno ? errno : EIO;
        size_t nRecords = static_cast<size_t>(n) / kRecordSize;
        for (size_t i = 0; i < nRecords; ++i) {
            _FILE_NODE_ node;
            memcpy(&node, vecPiece.data() + i * kRecordSize, sizeof(node));
            if (node.bIsDir && node.nDirId == nDirId) {
                TerminateName(node);
                *pNode = node;
                return TW_OK;
            }
        }
        if (static_cast<size_t>(n) < vecPiece.size()) return TW_ERR_BAD_ARGUMENT;
        nOffset += n;
    }
}

unsigned int CScanResultFileManager::GetParentFileNode(const _FILE_NODE_* pNode,
                                                       std::vector<_FILE_NODE_>& vecParents) {
    if (!pNode) return TW_ERR_BAD_ARGUMENT;
    _FILE_NODE_ cur = *pNode;
    // Record numbers already in the chain: a loop in a damaged store ends the walk.
    std::set<uint32_t> setSeen{pNode->nFileIndex};
    for (;;) {
        uint64_t u64Key = 0;
        if (m_mapRelation.empty() || !ListKeyOf(cur.nFileIndex, u64Key) ||
            u64Key == m_mapRelation.begin()->first)
            return TW_OK;
        uint32_t nId = static_cast<uint32_t>(u64Key & 0xFFFFFFFFu);

        _FILE_NODE_ parent;
        const _DIR_FILE_INFO_* itDir = DirInfoOf(nId);
        if (itDir) {
            memset(&parent, 0, sizeof(parent));
            parent.bIsDir = 1;
            parent.nDirId = itDir->nDirId;
            parent.nFileIndex = itDir->nFileIndex;
            memcpy(parent.szFileName, itDir->szDirName, sizeof(parent.szFileName));
            TerminateName(parent);
        } else {
            unsigned int nErr = GetFileNodeByClusterNO(nId, &parent);
            if (nErr) return nErr;
        }
        if (!setSeen.insert(parent.nFileIndex).second) return TW_OK;
        vecParents.push_back(parent);
        cur = parent;
    }
}

int CScanResultFileManager::GetParentDirPath(const _FILE_NODE_* pNode, wchar_t* wszBuf,
                                             int nBufLen) {
    if (!pNode || !wszBuf || nBufLen <= 0) return -1;
    std::vector<_FILE_NODE_> vecParents;
    GetParentFileNode(pNode, vecParents);
    std::string strPath;
    for (auto it = vecParents.rbegin(); it != vecParents.rend(); ++it) {
        strPath += it->szFileName;
        strPath += '/';
    }
    return Ansi2Unicode(strPath.c_str(), wszBuf, nBufLen);
}

bool CScanResultFileManager::IsDirFileNodeExist(long long llDirId, uint32_t nDepth) const {
    uint64_t u64Key = MakeDirKey(nDepth, static_cast<uint32_t>(llDirId));
    return m_mapRelation.find(u64Key) != m_mapRelation.end();
}

unsigned int CScanResultFileManager::InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch,
                                                        void* pContext) {
    m_pfnSearch = pfnSearch;
    m_pSearchContext = pContext;
    return TW_OK;
}

int CScanResultFileManager::SearchFileNodeInfo(const wchar_t* wszKey,
                                               std::vector<__SEARCH_FILE_INFO__>& vecHits) {
    const int nRet = ForEachSearchHit(wszKey, [&vecHits](const __SEARCH_FILE_INFO__& hit) {
        vecHits.push_back(hit);
        return 0;
    });
    std::sort(vecHits.begin(), vecHits.end(), SearchVectorCmp);
    return nRet;
}

int CScanResultFileManager::ForEachSearchHit(
    const wchar_t* wszKey, const std::function<int(const __SEARCH_FILE_INFO__&)>& onHit) {
    std::string strKey = wszKey ? Unicode2Ansi(wszKey) : std::string();
    if (strKey.size() > kMaxKeyBytes) strKey.resize(kMaxKeyBytes);
    FlushBufToFile();
    bool bOther = strKey.find(".other") != std::string::npos;

    int fd = m_strNodePath.empty() ? -1 : open(m_strNodePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st;
    uint64_t u64Size = fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (u64Size > kOtherTypesMaxFileSize) bOther = false;
    std::vector<unsigned char> vecPiece(kBufferCapacity);
    uint64_t u64Read = 0;
    bool bStopped = false;
    while (u64Read < u64Size && !bStopped) {
        ssize_t n = ReadFullAt(fd, vecPiece.data(), vecPiece.size(), static_cast<off_t>(u64Read));
        if (n <= 0) break;
        u64Read += static_cast<uint64_t>(n);
        size_t nRecords = static_cast<size_t>(n) / kRecordSize;
        for (size_t i = 0; i < nRecords && !bStopped; ++i) {
            __SEARCH_FILE_INFO__ hit;
            memcpy(&hit, vecPiece.data() + i * kRecordSize, sizeof(hit));
            TerminateName(hit);
            if (hit.bIsDir || IsHiddenDamagedPicture(hit)) continue;
            std::string strExt = LowerExtension(hit.szFileName);
            bool bMatch;
            if (!strExt.empty()) {
                std::string strDotExt = "." + strExt;
                bMatch = strKey.find(strDotExt) != std::string::npos ||
                         (bOther && m_strAllTypes.find(strDotExt) == std::string::npos);
            } else {
                bMatch = bOther;
            }
            if (bMatch && onHit(hit) != 0) bStopped = true;
        }
        if (!bStopped && m_pfnSearch &&
            m_pfnSearch(m_pSearchContext, static_cast<int>(u64Read * 100 / u64Size), nullptr))
            break;
    }
    close(fd);
    return 1;
}

int CScanResultFileManager::GetDirRelationMap(const char* szText, int nLength,
                                              DirRelationMap& mapOut) {
    if (!szText || nLength <= 0) return 0;
    const char* const pEnd = szText + nLength;
    // Searches within [p, pEnd) only: the text need not be NUL-terminated.
    auto find = [pEnd](const char* p, const char* szNeedle) -> const char* {
        size_t nNeedle = strlen(szNeedle);
        for (; p + nNeedle <= pEnd; ++p)
            if (memcmp(p, szNeedle, nNeedle) == 0) return p;
        return nullptr;
    };
    // Decimal number at p, read no further than pEnd; 0 when there is none.
    auto number = [pEnd](const char* p) -> unsigned long long {
        while (p < pEnd && (*p == ' ' || *p == '+')) ++p;
        bool bNegative = p < pEnd && *p == '-';
        if (bNegative) ++p;
        unsigned long long u = 0;
        for (; p < pEnd && *p >= '0' && *p <= '9'; ++p)
            u = u * 10 + static_cast<unsigned>(*p - '0');
        return bNegative ? 0 - u : u;
    };
    const char* p = find(szText, " | ");
    while (p) {
        unsigned long long u64Key = number(p + 3);
        const char* pOpen = find(p + 3, "- [");
        if (!pOpen) break;
        std::vector<uint32_t> vecList;
        const char* pItem = pOpen + 3;
        const char* q = pItem;
        for (; q < pEnd; ++q) {
            if (*q == ',') {
                vecList.push_back(static_cast<uint32_t>(number(pItem)));
                pItem = q + 1;
            } else if (*q == ']') {
                vecList.push_back(static_cast<uint32_t>(number(pItem)));
                break;
            }
        }
        mapOut[u64Key] = std::move(vecList);
        if (q >= pEnd) break;  // the text ended inside the list
        p = find(q, " | ");
    }
    return 0;
}
