#include "engine/LogFileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "common/DebugLog.h"
#include "common/Helpers.h"
#include "common/Platform.h"

namespace {

constexpr char kConfigName[] = "config";
constexpr char kConfigTmpName[] = "config.tmp";
constexpr char kConfigLockName[] = "config.lock";
constexpr char kSourceName[] = "Source";  // SourceIdentity::Key of the medium

bool FolderIsGone(const char* szDir) {
    struct stat st;
    return szDir[0] != '\0' && lstat(szDir, &st) != 0 && errno == ENOENT;
}

void CopyField(char (&szField)[256], const char* szValue) {
    memset(szField, 0, sizeof(szField));
    if (szValue) strncpy(szField, szValue, sizeof(szField) - 1);
}

// Free bytes of the volume holding the path; 0 when unknown.
uint64_t FreeBytesOf(const char* szPath) {
    char szBuf[4096] = {0};
    if (szPath) strncpy(szBuf, szPath, sizeof(szBuf) - 1);
    unsigned int nHigh = 0, nLow = 0;
    if (rsb_getFreeSpace(szBuf, static_cast<int>(sizeof(szBuf)), &nHigh, &nLow) != 0) return 0;
    return (static_cast<uint64_t>(nHigh) << 32) | nLow;
}

bool SameArea(const _LOG_FILE_INFO_& info, int nDiskNo, uint64_t u64First, uint64_t u64Count) {
    return info.nDiskNo == nDiskNo && info.u64FirstSector == u64First &&
           info.u64SectorCount == u64Count;
}

// True when szDir names a folder strictly inside szBase with no ".." part.
bool IsInside(const std::string& strBase, const char* szDir) {
    if (!szDir || strBase.empty()) return false;
    size_t nBase = strBase.size();
    if (strncmp(szDir, strBase.c_str(), nBase) != 0) return false;
    const char* szRest = szDir + nBase;
    if (*szRest == '\0') return false;
    for (const char* p = szRest; *p;) {
        const char* q = strchr(p, '/');
        size_t nLen = q ? static_cast<size_t>(q - p) : strlen(p);
        if (nLen == 2 && p[0] == '.' && p[1] == '.') return false;
        if (!q) break;
        p = q + 1;
    }
    return true;
}

}  // namespace

// The index of the scan-log folder held by this program while one change is
// made (nested changes take it once).
class CIndexLock {
public:
    // bRefresh: the index is read again first (a change builds on what is on
    // disk, never on what this program read long ago).
    explicit CIndexLock(CLogFileManager& log, bool bRefresh = true) : m_log(log) {
        if (m_log.m_nIndexLockDepth++ > 0) return;
        const std::string strPath = m_log.m_strBaseDir + kConfigLockName;
        m_log.m_nIndexLockFd =
            open(strPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (m_log.m_nIndexLockFd >= 0) {
            while (flock(m_log.m_nIndexLockFd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
        if (bRefresh) m_log.Refresh();
    }
    ~CIndexLock() {
        if (--m_log.m_nIndexLockDepth > 0) return;
        if (m_log.m_nIndexLockFd >= 0) close(m_log.m_nIndexLockFd);
        m_log.m_nIndexLockFd = -1;
    }
    CIndexLock(const CIndexLock&) = delete;
    CIndexLock& operator=(const CIndexLock&) = delete;

private:
    CLogFileManager& m_log;
};

unsigned int ParseLogConfigData(const unsigned char* pData, size_t nSize, uint64_t& u64DirIndex,
                                std::vector<_LOG_FILE_INFO_>& vecOut) {
    u64DirIndex = 0;
    if (!pData || nSize == 0) return TW_ERR_BAD_ARGUMENT;
    unsigned char index[8] = {0};
    memcpy(index, pData, nSize < sizeof(index) ? nSize : sizeof(index));
    memcpy(&u64DirIndex, index, sizeof(u64DirIndex));
    for (size_t nOffset = sizeof(index); nOffset < nSize; nOffset += sizeof(_LOG_FILE_INFO_)) {
        _LOG_FILE_INFO_ info;
        memset(&info, 0, sizeof(info));
        size_t nTake = nSize - nOffset;
        if (nTake > sizeof(info)) nTake = sizeof(info);
        memcpy(&info, pData + nOffset, nTake);
        info.szImagePath[sizeof(info.szImagePath) - 1] = '\0';
        info.szLogDir[sizeof(info.szLogDir) - 1] = '\0';
        vecOut.push_back(info);
    }
    return TW_OK;
}

CLogFileManager& CLogFileManager::GetInstance() {
    static CLogFileManager s_instance;
    return s_instance;
}

CLogFileManager::CLogFileManager() : m_u64DirIndex(0), m_bLoaded(false) {
    Init();
}

unsigned int CLogFileManager::Init() {
    Release();
    m_vecLogInfo.clear();
    m_u64DirIndex = 0;
    m_u64FileIndex = 0;
    m_bLoaded = false;
    m_strLoadedDir.clear();
    m_strBaseDir = tw::ScanLogDir();

    std::string strConfig = m_strBaseDir + kConfigName;
    std::string strTmp = m_strBaseDir + kConfigTmpName;
    // An interrupted save left only the temporary twin.
    if (access(strConfig.c_str(), F_OK) != 0 && access(strTmp.c_str(), F_OK) == 0)
        rename(strTmp.c_str(), strConfig.c_str());

    int fd = open(strConfig.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return TW_ERR_BAD_ARGUMENT;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int nErr = errno;
        close(fd);
        return nErr;
    }
    if (st.st_size <= 0) {
        close(fd);
        return TW_ERR_BAD_ARGUMENT;
    }
    std::vector<unsigned char> vecData;
    try {
        vecData.resize(static_cast<size_t>(st.st_size));
    } catch (...) {
        close(fd);
        return TW_ERR_OUT_OF_MEMORY;
    }
    ssize_t nRead = ReadFullAt(fd, vecData.data(), vecData.size(), 0);
    size_t nGot = nRead > 0 ? static_cast<size_t>(nRead) : 0;
    close(fd);
    ParseLogConfigData(vecData.data(), nGot, m_u64DirIndex, m_vecLogInfo);
    m_u64FileIndex = m_u64DirIndex;
    // A record whose folder is gone can only mislead a resume.
    m_vecLogInfo.erase(
        std::remove_if(m_vecLogInfo.begin(), m_vecLogInfo.end(),
                       [](const _LOG_FILE_INFO_& info) { return FolderIsGone(info.szLogDir); }),
        m_vecLogInfo.end());
    return nGot == vecData.size() ? TW_OK : TW_ERR_SHORT_READ;
}

void CLogFileManager::Refresh() {
    std::vector<unsigned char> vecData;
    const std::string strConfig = m_strBaseDir + kConfigName;
    int fd = open(strConfig.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size < (1 << 28)) {
        vecData.resize(static_cast<size_t>(st.st_size));
        ssize_t nRead = ReadFullAt(fd, vecData.data(), vecData.size(), 0);
        vecData.resize(nRead > 0 ? static_cast<size_t>(nRead) : 0);
    }
    if (fd >= 0) close(fd);
    if (vecData.empty()) return;  // nothing written yet: what is in memory stands
    std::vector<_LOG_FILE_INFO_> vecInfo;
    ParseLogConfigData(vecData.data(), vecData.size(), m_u64FileIndex, vecInfo);
    vecInfo.erase(
        std::remove_if(vecInfo.begin(), vecInfo.end(),
                       [](const _LOG_FILE_INFO_& info) { return FolderIsGone(info.szLogDir); }),
        vecInfo.end());
    m_vecLogInfo.swap(vecInfo);
}

bool CLogFileManager::IsHeldByAnother(const char* szDir) const {
    if (!szDir || !*szDir) return false;
    std::string strDir = szDir;
    if (strDir.back() != '/') strDir += '/';
    if (strDir == m_strHeldDir) return false;
    const int fd = open((strDir + kLogHoldName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const bool bHeld = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // a lock taken here goes with the descriptor
    return bHeld;
}

bool CLogFileManager::Hold(const std::string& strDir) {
    std::string strPath = strDir;
    if (strPath.empty()) return false;
    if (strPath.back() != '/') strPath += '/';
    if (strPath == m_strHeldDir) return true;
    const int fd =
        open((strPath + kLogHoldName).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    Release();
    m_nHeldFd = fd;
    m_strHeldDir = strPath;
    return true;
}

void CLogFileManager::Release() {
    if (m_nHeldFd >= 0) close(m_nHeldFd);
    m_nHeldFd = -1;
    m_strHeldDir.clear();
}

std::string CLogFileManager::ReadSourceKey(const std::string& strDir) {
    const int fd = open((strDir + kSourceName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::string();
    char szKey[4096];
    const ssize_t n = ReadFullAt(fd, szKey, sizeof(szKey), 0);
    close(fd);
    return n > 0 ? std::string(szKey, static_cast<size_t>(n)) : std::string();
}

void CLogFileManager::WriteSourceKey(const std::string& strDir, const std::string& strKey) {
    const std::string strPath = strDir + kSourceName;
    const int fd = tw::OpenPlainFileForWriting(strPath.c_str(), 0);
    if (fd < 0) return;
    if (ftruncate(fd, 0) == 0) WriteAllAt(fd, strKey.data(), strKey.size(), 0);
    close(fd);
}

void CLogFileManager::Unload() {
    if (m_bLoaded && m_strHeldDir == m_strLoadedDir) Release();
    m_bLoaded = false;
    m_strLoadedDir.clear();
}

std::string CLogFileManager::GetLogFileDirPath() const {
    if (m_bLoaded) return m_strLoadedDir;
    return m_strBaseDir + std::to_string(m_u64DirIndex) + "/";
}

int CLogFileManager::GetLogFileDirPath(char* szOut, int nOutSize) const {
    std::string strPath = GetLogFileDirPath();
    if (!szOut || nOutSize <= 0 || strPath.size() >= static_cast<size_t>(nOutSize))
        return TW_ERR_BAD_ARGUMENT;
    memcpy(szOut, strPath.c_str(), strPath.size() + 1);
    return TW_OK;
}

void CLogFileManager::AddDirIndex() {
    CIndexLock lock(*this);
    m_bLoaded = false;
    m_strLoadedDir.clear();
    Release();
    uint64_t u64Next = std::max(m_u64DirIndex, m_u64FileIndex);
    for (;;) {
        m_u64DirIndex = ++u64Next;
        const std::string strDir = GetLogFileDirPath();
        if (mkdir(strDir.c_str(), 0755) == 0 || errno != EEXIST) break;
        // Another scan's folder, live: the next number.
        if (IsHeldByAnother(strDir.c_str())) continue;
        // A leftover of a scan that is over: emptied and taken.
        DeleteLogFileDir(strDir.c_str());
        mkdir(strDir.c_str(), 0755);
        break;
    }
    Hold(GetLogFileDirPath());
    SaveLogConfigFile();
}

void CLogFileManager::ReduceDirIndex() {
    const std::string strDir = GetLogFileDirPath();
    if (!m_bLoaded && strDir == m_strHeldDir) {
        Release();
        if (IsInside(m_strBaseDir, strDir.c_str())) RemoveDirTree(strDir.c_str());
    }
    --m_u64DirIndex;
}

int CLogFileManager::GetLogFileNameByFileType(const char* szDir, const char* szPrefix, char* szOut,
                                              int nOutSize) {
    if (szOut && nOutSize > 0) szOut[0] = '\0';
    if (!szDir || !szPrefix || !szOut || nOutSize <= 0) return TW_OK;
    DIR* pDir = opendir(szDir);
    if (!pDir) {
        TwDebug("open dir failed\n");
        return TW_OK;
    }
    while (struct dirent* pEntry = readdir(pDir)) {
        const char* szName = pEntry->d_name;
        if (strcmp(szName, ".") == 0 || strcmp(szName, "..") == 0) continue;
        if (strstr(szName, szPrefix)) {
            snprintf(szOut, static_cast<size_t>(nOutSize), "%s", szName);
            break;
        }
    }
    closedir(pDir);
    return TW_OK;
}

std::string CLogFileManager::FindStoreName(const std::string& strDir, const char* szPrefix) {
    std::string strFound;
    DIR* pDir = opendir(strDir.c_str());
    if (!pDir || !szPrefix) {
        if (pDir) closedir(pDir);
        return strFound;
    }
    const size_t nPrefix = strlen(szPrefix);
    struct stat st;
    while (struct dirent* pEntry = readdir(pDir)) {
        const std::string strName = pEntry->d_name;
        if (strName.compare(0, nPrefix, szPrefix) != 0) continue;
        if (lstat((strDir + strName + "_Relation").c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            strFound = strName;
            break;
        }
    }
    closedir(pDir);
    return strFound;
}

_LOG_FILE_INFO_* CLogFileManager::FindFresh(
    const std::function<bool(const _LOG_FILE_INFO_&)>& match, uint64_t _LOG_FILE_INFO_::*pField,
    uint64_t u64Value) {
    for (_LOG_FILE_INFO_& info : m_vecLogInfo) {
        if (!match(info)) continue;
        if (info.*pField == u64Value) return &info;
        // The volume changed since: that scan is stale.
        std::string strStale = info.szLogDir;
        DeleteLogFileDir(strStale.c_str());
        return nullptr;
    }
    return nullptr;
}

int CLogFileManager::SaveLogFileInfo(const char* szDevicePath, int nDiskNo, uint64_t u64FirstSector,
                                     uint64_t u64SectorCount, uint64_t u64RegionStart,
                                     uint64_t u64RegionLeft, uint64_t u64RegionDone,
                                     uint64_t u64Scanned, uint64_t u64Files, const char* szLogDir,
                                     const char* szImagePath) {
    CIndexLock lock(*this);
    bool bImage = szImagePath && *szImagePath;
    uint64_t u64Free = bImage ? 0 : FreeBytesOf(szDevicePath);
    _LOG_FILE_INFO_* pInfo = nullptr;
    // This scan's own record first; the record of another live scan of the
    // same area is not taken over.
    for (_LOG_FILE_INFO_& info : m_vecLogInfo)
        if (szLogDir && strcmp(info.szLogDir, szLogDir) == 0 &&
            SameArea(info, nDiskNo, u64FirstSector, u64SectorCount))
            pInfo = &info;
    if (pInfo) {
    } else if (bImage) {
        pInfo = FindImageRecord(szImagePath, u64FirstSector, u64SectorCount);
        if (pInfo && IsHeldByAnother(pInfo->szLogDir)) pInfo = nullptr;
    } else
        pInfo = FindFresh(
            [&](const _LOG_FILE_INFO_& info) {
                return SameArea(info, nDiskNo, u64FirstSector, u64SectorCount);
            },
            &_LOG_FILE_INFO_::u64FreeBytes, u64Free);
    if (!pInfo) {
        _LOG_FILE_INFO_ info;
        memset(&info, 0, sizeof(info));
        info.nDiskNo = nDiskNo;
        info.u64FirstSector = u64FirstSector;
        info.u64SectorCount = u64SectorCount;
        info.u64FreeBytes = u64Free;
        CopyField(info.szLogDir, szLogDir);
        CopyField(info.szImagePath, szImagePath);
        m_vecLogInfo.push_back(info);
        pInfo = &m_vecLogInfo.back();
    }
    if (bImage) CopyField(pInfo->szLogDir, szLogDir);
    pInfo->u64RegionStart = u64RegionStart;
    pInfo->u64RegionLeft = u64RegionLeft;
    pInfo->u64RegionDone = u64RegionDone;
    pInfo->u64ScannedSectors = u64Scanned;
    pInfo->u64FileCount = u64Files;
    return static_cast<int>(SaveLogConfigFile());
}

int CLogFileManager::LoadRecoveryLogInfo(const char* szDevicePath, int nDiskNo,
                                         uint64_t u64FirstSector, uint64_t u64SectorCount,
                                         _LOG_FILE_INFO_* pOut) {
    uint64_t u64Free = FreeBytesOf(szDevicePath);
    _LOG_FILE_INFO_* pInfo = nullptr;
    GetFileInfo(nDiskNo, u64FirstSector, u64SectorCount, u64Free, &pInfo);
    return LoadRecord(pInfo, pOut);
}

int CLogFileManager::LoadRecord(const _LOG_FILE_INFO_* pInfo, _LOG_FILE_INFO_* pOut) {
    // The folder of a live scan is not another's to continue.
    if (pInfo && !Hold(pInfo->szLogDir)) pInfo = nullptr;
    m_bLoaded = pInfo != nullptr;
    m_strLoadedDir = pInfo ? pInfo->szLogDir : "";
    if (pInfo && pOut) *pOut = *pInfo;
    return pInfo ? 1 : 0;
}

_LOG_FILE_INFO_* CLogFileManager::FindImageRecord(const char* szImagePath, uint64_t u64FirstSector,
                                                  uint64_t u64SectorCount) {
    for (_LOG_FILE_INFO_& info : m_vecLogInfo) {
        if (strcmp(info.szImagePath, szImagePath) == 0 && info.u64FirstSector == u64FirstSector &&
            info.u64SectorCount == u64SectorCount)
            return &info;
    }
    return nullptr;
}

int CLogFileManager::LoadImageLogInfo(const char* szImagePath, uint64_t u64FirstSector,
                                      uint64_t u64SectorCount, _LOG_FILE_INFO_* pOut) {
    if (!szImagePath || !*szImagePath) return LoadRecord(nullptr, pOut);
    return LoadRecord(FindImageRecord(szImagePath, u64FirstSector, u64SectorCount), pOut);
}

int CLogFileManager::GetFileInfo(const char* szImagePath, uint64_t u64Size,
                                 _LOG_FILE_INFO_** ppOut) {
    if (!szImagePath) return 0;
    _LOG_FILE_INFO_* pInfo = FindFresh(
        [szImagePath](const _LOG_FILE_INFO_& info) {
            return strcmp(info.szImagePath, szImagePath) == 0;
        },
        &_LOG_FILE_INFO_::u64ImageSize, u64Size);
    if (pInfo && ppOut) *ppOut = pInfo;
    return pInfo ? 1 : 0;
}

int CLogFileManager::GetFileInfo(int nDiskNo, uint64_t u64FirstSector, uint64_t u64SectorCount,
                                 uint64_t u64FreeBytes, _LOG_FILE_INFO_** ppOut) {
    _LOG_FILE_INFO_* pInfo = FindFresh(
        [&](const _LOG_FILE_INFO_& info) {
            return SameArea(info, nDiskNo, u64FirstSector, u64SectorCount);
        },
        &_LOG_FILE_INFO_::u64FreeBytes, u64FreeBytes);
    if (pInfo && ppOut) *ppOut = pInfo;
    return pInfo ? 1 : 0;
}

int CLogFileManager::DeleteLogFileDir(const char* szDir) {
    if (!szDir) return TW_OK;
    if (IsHeldByAnother(szDir)) {
        TwDebug("scan folder %s is in use by another scan: kept\n", szDir);
        return TW_OK;
    }
    CIndexLock lock(*this);
    std::string strDir = szDir;
    if (!strDir.empty() && strDir.back() != '/') strDir += '/';
    if (strDir == m_strHeldDir) Release();
    if (m_bLoaded && strDir == m_strLoadedDir) {
        m_bLoaded = false;
        m_strLoadedDir.clear();
    }
    for (auto it = m_vecLogInfo.begin(); it != m_vecLogInfo.end(); ++it) {
        if (strcasecmp(it->szLogDir, szDir) == 0) {
            m_vecLogInfo.erase(it);
            break;
        }
    }
    // A folder named by a damaged index may lie anywhere: only folders inside
    // the scan-log folder are ever deleted.
    if (IsInside(m_strBaseDir, szDir)) RemoveDirTree(szDir);
    SaveLogConfigFile();
    return TW_OK;
}

unsigned int CLogFileManager::SaveLogConfigFile() {
    CIndexLock lock(*this, false);
    std::string strConfig = m_strBaseDir + kConfigName;
    std::string strTmp = m_strBaseDir + kConfigTmpName;
    int fd = open(strTmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    // The highest number any program took, so that none is handed out twice.
    const uint64_t u64Index = std::max(m_u64DirIndex, m_u64FileIndex);
    int nErr = WriteAllAt(fd, &u64Index, sizeof(u64Index), 0);
    if (!nErr && !m_vecLogInfo.empty())
        nErr = WriteAllAt(fd, m_vecLogInfo.data(), m_vecLogInfo.size() * sizeof(_LOG_FILE_INFO_),
                          sizeof(m_u64DirIndex));
    if (!nErr && fsync(fd) != 0) nErr = errno;
    if (close(fd) != 0 && !nErr) nErr = errno;
    if (nErr) return static_cast<unsigned int>(nErr);
    // rename replaces "config" in one step: there is never a moment without it.
    if (rename(strTmp.c_str(), strConfig.c_str()) != 0) return errno;
    m_u64FileIndex = u64Index;
    return TW_OK;
}
