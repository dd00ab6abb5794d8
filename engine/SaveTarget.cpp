#include "engine/SaveTarget.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>
#include "common/Helpers.h"
#include "common/Platform.h"
#include "common/StoreFiles.h"

namespace {
thread_local SaveFailureOrigin g_nSaveFailureOrigin = SAVE_FAILURE_NONE;
thread_local uint64_t g_u64UnreadableBytes = 0;
// The destination that holds on this thread, the latest opened.
thread_local CSaveDestination* g_pDestination = nullptr;

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
    g_u64UnreadableBytes = 0;
}

uint64_t GetLastSaveUnreadableBytes() {
    return g_u64UnreadableBytes;
}

void SetLastSaveUnreadableBytes(uint64_t u64Bytes) {
    g_u64UnreadableBytes = u64Bytes;
}

CSaveDestination::~CSaveDestination() {
    if (m_nFd < 0) return;
    close(m_nFd);
    g_pDestination = m_pOuter;
}

unsigned int CSaveDestination::Open(const std::string& strUtf8Path, const tw::FsUser& user,
                                    bool bMake, std::vector<std::string>* pMade) {
    if (m_nFd >= 0 || strUtf8Path.empty()) return TW_ERR_BAD_ARGUMENT;
    m_strPath = strUtf8Path;
    while (m_strPath.size() > 1 && m_strPath.back() == '/') m_strPath.pop_back();
    m_user = user;
    tw::CActAsUser as(m_user);
    m_nFd = bMake ? OpenDirTree(m_strPath.c_str(), 0755, pMade)
                  : open(m_strPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_nFd < 0) {
        const int nErr = bMake ? -m_nFd : errno;
        m_nFd = -1;
        return DestinationFailed(static_cast<unsigned int>(nErr));
    }
    m_pOuter = g_pDestination;
    g_pDestination = this;
    return 0;
}

// The folder that holds a target's last name, opened: below the destination
// name by name from its descriptor, else as named. Acts as the destination's
// user while it lives.
class CTargetParent {
public:
    CTargetParent(const std::string& strUtf8Path, bool bMake, std::vector<std::string>* pMade)
        : m_as(g_pDestination ? g_pDestination->m_user : tw::FsUser()) {
        std::string strPath = strUtf8Path;
        while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
        const size_t nSlash = strPath.find_last_of('/');
        m_strLeaf = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
        if (m_strLeaf.empty() || m_strLeaf == "." || m_strLeaf == "..") {
            m_nError = EINVAL;
            return;
        }
        const CSaveDestination* pDest = g_pDestination;
        if (!Below(strPath)) {
            const std::string strParent = nSlash == std::string::npos ? "."
                                          : nSlash == 0               ? "/"
                                                                      : strPath.substr(0, nSlash);
            m_nFd = bMake ? OpenDirTree(strParent.c_str(), 0755, pMade)
                          : open(strParent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (m_nFd < 0) m_nError = bMake ? -m_nFd : errno;
            return;
        }
        // Name by name from the destination; "." and ".." never climb out.
        const std::string strBase = pDest->m_strPath;
        const std::string strPrefix = Prefix(strBase);
        m_nFd = dup(pDest->m_nFd);
        std::string strDone = strBase;
        size_t nStart = strPrefix.size();
        while (m_nFd >= 0 && nStart < nSlash + 1 && nSlash != std::string::npos) {
            size_t nEnd = strPath.find('/', nStart);
            const std::string strName = strPath.substr(nStart, nEnd - nStart);
            nStart = nEnd + 1;
            if (strName.empty()) continue;
            if (strName == "." || strName == "..") {
                m_nError = EINVAL;
                break;
            }
            bool bMade = false;
            const int fd = OpenSubDirAt(m_nFd, strName.c_str(), bMake, 0755, &bMade);
            strDone += (strDone.back() == '/' ? "" : "/") + strName;
            if (bMade && pMade) pMade->push_back(strDone);
            close(m_nFd);
            m_nFd = fd;
            if (fd < 0) m_nError = -fd;
        }
        if (m_nFd < 0 && !m_nError) m_nError = errno;
    }
    ~CTargetParent() {
        if (m_nFd >= 0) close(m_nFd);
    }
    // Whether the path lies below this thread's destination.
    static bool Below(const std::string& strPath) {
        if (!g_pDestination) return false;
        const std::string strPrefix = Prefix(g_pDestination->m_strPath);
        return strPath.size() > strPrefix.size() &&
               strPath.compare(0, strPrefix.size(), strPrefix) == 0;
    }
    CTargetParent(const CTargetParent&) = delete;
    CTargetParent& operator=(const CTargetParent&) = delete;
    // The folder's descriptor, or -1 with Error() telling why.
    int Fd() const { return m_nError ? -1 : m_nFd; }
    int Error() const { return m_nError; }
    const char* Leaf() const { return m_strLeaf.c_str(); }

private:
    static std::string Prefix(const std::string& strBase) {
        return strBase == "/" ? strBase : strBase + "/";
    }
    tw::CActAsUser m_as;
    int m_nFd = -1;
    int m_nError = 0;
    std::string m_strLeaf;
};

namespace {

unsigned int MakeTargetDir(const std::string& strUtf8, bool bParents,
                           std::vector<std::string>* pMade) {
    CTargetParent parent(strUtf8, bParents, pMade);
    if (parent.Fd() < 0) return DestinationFailed(static_cast<unsigned int>(parent.Error()));
    bool bMade = false;
    const int fd = OpenSubDirAt(parent.Fd(), parent.Leaf(), true, 0755, &bMade);
    if (fd < 0) return DestinationFailed(static_cast<unsigned int>(-fd));
    close(fd);
    if (bMade && pMade) pMade->push_back(strUtf8);
    return 0;
}

}  // namespace

unsigned int CreateTargetDir(const wchar_t* wszPath) {
    if (!wszPath || !*wszPath) return DestinationFailed(TW_ERR_BAD_ARGUMENT);
    return MakeTargetDir(tw::WideToUtf8(wszPath), false, nullptr);
}

unsigned int MakeTargetDirs(const std::string& strUtf8Path, std::vector<std::string>* pMade) {
    if (strUtf8Path.empty()) return DestinationFailed(TW_ERR_BAD_ARGUMENT);
    return MakeTargetDir(strUtf8Path, true, pMade);
}

int OpenTarget(const std::string& strUtf8Path, int nFlags) {
    CTargetParent parent(strUtf8Path, false, nullptr);
    if (parent.Fd() < 0) {
        errno = parent.Error();
        return -1;
    }
    return openat(parent.Fd(), parent.Leaf(), nFlags | O_NOFOLLOW | O_CLOEXEC);
}

unsigned int RemoveTarget(const std::string& strUtf8Path) {
    CTargetParent parent(strUtf8Path, false, nullptr);
    if (parent.Fd() < 0) return static_cast<unsigned int>(parent.Error());
    return unlinkat(parent.Fd(), parent.Leaf(), 0) == 0 ? 0 : static_cast<unsigned int>(errno);
}

std::string MakeSafeFileName(const char* szName) {
    std::string strName = ReplaceDeceptiveNarrowChars(szName ? szName : "", '_');
    for (char& c : strName) {
        if (c == '/') c = '_';
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
    CTargetParent parent(tw::WideToUtf8(wszPath), false, nullptr);
    if (parent.Fd() < 0) return static_cast<unsigned int>(parent.Error());
    // Never an existing name: nothing is truncated, no link is followed.
    m_nFd = openat(parent.Fd(), parent.Leaf(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0644);
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
    // Every failure but the user's cancel is reported, the engines' own
    // negative codes (an NTFS record without its data) as well.
    const bool bFailed = nResult != 0 && nResult != TW_ERR_CANCELLED;
    if (bFailed)
        g_nSaveFailureOrigin =
            m_bDestinationFailed ? SAVE_FAILURE_DESTINATION : SAVE_FAILURE_SOURCE;
    if (nResult == 0 && m_u64Size == 0) {
        Report(100, 0);
    } else if (bFailed) {
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
    // Without a destination, the folder that receives the tree is one.
    std::unique_ptr<CSaveDestination> pOwn;
    const std::string strTarget = tw::WideToUtf8(wszTarget);
    const size_t nSlash = strTarget.find_last_of('/');
    if (!CTargetParent::Below(strTarget) && nSlash != std::string::npos) {
        pOwn.reset(new CSaveDestination);
        pOwn->Open(nSlash == 0 ? "/" : strTarget.substr(0, nSlash), tw::FsUser(), false);
    }
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
