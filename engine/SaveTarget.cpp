#include "engine/SaveTarget.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>
#include "common/Helpers.h"
#include "common/Platform.h"

namespace {
thread_local SaveFailureOrigin g_nSaveFailureOrigin = SAVE_FAILURE_NONE;

unsigned int DestinationFailed(unsigned int nCode) {
    g_nSaveFailureOrigin = SAVE_FAILURE_DESTINATION;
    return nCode;
}
}  // namespace

SaveFailureOrigin GetLastSaveFailureOrigin() {
    return g_nSaveFailureOrigin;
}

void ResetSaveFailureOrigin() {
    g_nSaveFailureOrigin = SAVE_FAILURE_NONE;
}

unsigned int CreateTargetDir(const wchar_t* wszPath) {
    if (!wszPath || !*wszPath) return DestinationFailed(TW_ERR_BAD_ARGUMENT);
    std::string strPath = tw::WideToUtf8(wszPath);
    if (mkdir(strPath.c_str(), 0755) == 0) return 0;
    int nErr = errno;
    struct stat st;
    if (stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return DestinationFailed(static_cast<unsigned int>(nErr));
}

std::string MakeSafeFileName(const char* szName) {
    std::string strName = szName ? szName : "";
    for (char& c : strName) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7F) c = '_';
    }
    if (strName.empty() || strName == "." || strName == "..") strName = "_";
    return strName;
}

unsigned int GetUniqueChildPath(const std::wstring& wstrParent, const char* szName,
                                std::wstring& wstrOut) {
    std::string strWanted = Unicode2Ansi(wstrParent.c_str());
    if (strWanted.empty() && !wstrParent.empty()) return DestinationFailed(TW_ERR_BAD_ARGUMENT);
    strWanted += "/";
    strWanted += MakeSafeFileName(szName);
    std::vector<wchar_t> buf(1024);
    int nRet = GetRealFileName(strWanted.c_str(), buf.data(), static_cast<int>(buf.size()));
    if (nRet != 0) return DestinationFailed(static_cast<unsigned int>(nRet));
    wstrOut.assign(buf.data());
    return 0;
}

CSaveTarget::CSaveTarget(PFN_RECOVERY_CALLBACK pfnRecovery, void* pContext)
    : m_pfnRecovery(pfnRecovery),
      m_pContext(pContext),
      m_nFd(-1),
      m_bDestinationFailed(false),
      m_u64Size(0),
      m_u64Remaining(0) {}

CSaveTarget::~CSaveTarget() {
    if (m_nFd >= 0) close(m_nFd);
}

unsigned int CSaveTarget::Open(const wchar_t* wszPath, uint64_t u64FileSize) {
    m_wstrPath = wszPath ? wszPath : L"";
    m_u64Size = u64FileSize;
    m_u64Remaining = u64FileSize;
    m_bDestinationFailed = true;
    if (!wszPath || !*wszPath) return TW_ERR_BAD_ARGUMENT;
    std::string strPath = tw::WideToUtf8(wszPath);
    m_nFd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_nFd < 0) return static_cast<unsigned int>(errno);
    m_bDestinationFailed = false;
    return 0;
}

int CSaveTarget::Report(int nPercent, int nError) {
    if (!m_pfnRecovery) return 0;
    return m_pfnRecovery(m_pContext, nPercent, 100, nError, &m_wstrPath[0]);
}

unsigned int CSaveTarget::Write(const unsigned char* pData, uint64_t u64Length) {
    if (m_nFd < 0) {
        m_bDestinationFailed = true;
        return TW_ERR_BAD_ARGUMENT;
    }
    uint64_t u64Todo = u64Length < m_u64Remaining ? u64Length : m_u64Remaining;
    int nError = 0;
    while (u64Todo > 0) {
        ssize_t n = write(m_nFd, pData, static_cast<size_t>(u64Todo));
        if (n < 0) {
            if (errno == EINTR) continue;
            nError = errno;
            break;
        }
        if (n == 0) {
            nError = ENOSPC;
            break;
        }
        pData += n;
        u64Todo -= static_cast<uint64_t>(n);
        m_u64Remaining -= static_cast<uint64_t>(n);
    }
    int nPercent =
        m_u64Size ? static_cast<int>((m_u64Size - m_u64Remaining) * 100 / m_u64Size) : 100;
    int nRet = Report(nPercent, nError);
    if (nError) m_bDestinationFailed = true;
    if (nError) return static_cast<unsigned int>(nError);
    return static_cast<unsigned int>(nRet);
}

unsigned int CSaveTarget::Finish(unsigned int nResult) {
    if (m_nFd >= 0) {
        if (close(m_nFd) != 0 && nResult == 0) {
            nResult = static_cast<unsigned int>(errno);
            m_bDestinationFailed = true;
        }
        m_nFd = -1;
    }
    if (static_cast<int>(nResult) > 0)
        g_nSaveFailureOrigin =
            m_bDestinationFailed ? SAVE_FAILURE_DESTINATION : SAVE_FAILURE_SOURCE;
    if (nResult == 0 && m_u64Size == 0) {
        Report(100, 0);
    } else if (static_cast<int>(nResult) > 0) {
        Report(100, static_cast<int>(nResult));
    }
    return nResult;
}

unsigned int SaveDirectoryTree(IFileRecoveryParse& engine, const _FILE_NODE_& dir,
                               const wchar_t* wszTarget, int nLevelOffset,
                               const SaveFileFunc& saveFile, PFN_RECOVERY_CALLBACK pfnRecovery,
                               void* pContext) {
    if (!wszTarget || !*wszTarget) return TW_ERR_BAD_ARGUMENT;
    struct Pending {
        _FILE_NODE_ node;
        std::wstring wstrPath;  // the folder created for it
        unsigned int nLevel;
    };
    unsigned int nResult = CreateTargetDir(wszTarget);
    if (nResult != 0) {
        if (pfnRecovery) {
            std::wstring wstrPath = wszTarget;
            pfnRecovery(pContext, 100, 100, static_cast<int>(nResult), &wstrPath[0]);
        }
        return nResult;
    }
    int nSeparators = 0;
    GetPathDirIndex(wszTarget, nSeparators);
    int nLevel = nSeparators - nLevelOffset;
    std::deque<Pending> queue;
    queue.push_back({dir, wszTarget, static_cast<unsigned int>(nLevel < 0 ? 0 : nLevel)});
    while (!queue.empty()) {
        Pending item = queue.front();
        queue.pop_front();
        std::vector<_FILE_NODE_> vecChildren;
        unsigned int nList = engine.GetChildrenFileNode(&item.node, item.nLevel, vecChildren);
        if (nList != 0) nResult = nList;
        for (const _FILE_NODE_& child : vecChildren) {
            char szName[sizeof(child.szFileName) + 1];
            std::memcpy(szName, child.szFileName, sizeof(child.szFileName));
            szName[sizeof(child.szFileName)] = 0;
            std::wstring wstrChild;
            unsigned int nRet = GetUniqueChildPath(item.wstrPath, szName, wstrChild);
            if (nRet == 0 && child.bIsDir) {
                nRet = CreateTargetDir(wstrChild.c_str());
                if (nRet == 0) {
                    queue.push_back({child, wstrChild, item.nLevel + 1});
                } else if (pfnRecovery) {
                    pfnRecovery(pContext, 100, 100, static_cast<int>(nRet), &wstrChild[0]);
                }
            } else if (nRet == 0) {
                nRet = saveFile(child, wstrChild.c_str());
            } else if (pfnRecovery) {
                std::wstring wstrParent = item.wstrPath;
                pfnRecovery(pContext, 100, 100, static_cast<int>(nRet), &wstrParent[0]);
            }
            if (nRet == TW_ERR_CANCELLED) return nRet;
            if (nRet != 0) nResult = nRet;
        }
    }
    return nResult;
}

bool IsTargetOnSourceDevice(const char* szSourceUtf8, const char* szTargetUtf8) {
    if (!szSourceUtf8 || !szTargetUtf8) return false;
    struct stat src;
    if (stat(szSourceUtf8, &src) != 0) return false;
    if (!S_ISBLK(src.st_mode) && !S_ISREG(src.st_mode)) return false;
    // The nearest part of the target that exists tells its file system.
    std::string strTarget = szTargetUtf8;
    struct stat dst;
    while (stat(strTarget.c_str(), &dst) != 0) {
        size_t nSlash = strTarget.find_last_of('/');
        if (nSlash == std::string::npos) {
            strTarget = ".";
        } else {
            strTarget = nSlash == 0 ? "/" : strTarget.substr(0, nSlash);
        }
        if (strTarget == "." || strTarget == "/") {
            if (stat(strTarget.c_str(), &dst) != 0) return false;
            break;
        }
    }
    // The target's file system may live on a loop device, whose file lies on
    // another file system, and so on: any link of that chain on the source
    // (the device, another partition of its disk, or the image itself) counts.
    const bool bBlock = S_ISBLK(src.st_mode);
    const dev_t nSourceDisk = bBlock ? tw::WholeDiskOf(src.st_rdev) : 0;
    dev_t nDev = dst.st_dev;
    for (int nDepth = 0; nDepth < 8; ++nDepth) {
        if (bBlock && (nDev == src.st_rdev || tw::WholeDiskOf(nDev) == nSourceDisk)) return true;
        dev_t nFileDev = 0;
        ino_t nFileIno = 0;
        if (!tw::LoopBackingId(nDev, nFileDev, nFileIno)) return false;
        if (!bBlock && nFileDev == src.st_dev && nFileIno == src.st_ino) return true;
        nDev = nFileDev;
    }
    return false;
}
