#include "common/StoreFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/Types.h"

namespace {

// Deeper trees than this are not ours: deletion stops there with ELOOP.
constexpr int kMaxRemoveDepth = 64;

// Removes every entry of the open folder dirFd (which it closes), depth-first.
int RemoveDirEntries(int dirFd, int nDepth) {
    if (nDepth > kMaxRemoveDepth) {
        close(dirFd);
        return ELOOP;
    }
    DIR* pDir = fdopendir(dirFd);
    if (!pDir) {
        int nErr = errno;
        close(dirFd);
        return nErr;
    }
    int nResult = 0;
    while (struct dirent* pEntry = readdir(pDir)) {
        const char* szName = pEntry->d_name;
        if (strcmp(szName, ".") == 0 || strcmp(szName, "..") == 0) continue;
        struct stat st;
        if (fstatat(dirFd, szName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (!nResult) nResult = errno;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            int subFd = openat(dirFd, szName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (subFd < 0) {
                if (!nResult) nResult = errno;
                continue;
            }
            int nSub = RemoveDirEntries(subFd, nDepth + 1);
            if (nSub && !nResult) nResult = nSub;
            if (unlinkat(dirFd, szName, AT_REMOVEDIR) != 0 && !nResult) nResult = errno;
        } else if (unlinkat(dirFd, szName, 0) != 0 && !nResult) {
            nResult = errno;
        }
    }
    closedir(pDir);
    return nResult;
}

}  // namespace

int WriteAllAt(int fd, const void* pData, size_t nSize, off_t nOffset) {
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    while (nSize > 0) {
        ssize_t n = pwrite(fd, p, nSize, nOffset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno ? errno : EIO;
        }
        if (n == 0) return EIO;
        p += n;
        nSize -= static_cast<size_t>(n);
        nOffset += n;
    }
    return 0;
}

ssize_t ReadFullAt(int fd, void* pData, size_t nSize, off_t nOffset) {
    unsigned char* p = static_cast<unsigned char*>(pData);
    size_t nGot = 0;
    while (nGot < nSize) {
        ssize_t n = pread(fd, p + nGot, nSize - nGot, nOffset + static_cast<off_t>(nGot));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        nGot += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(nGot);
}

int RemoveDirTree(const char* szUtf8Dir) {
    if (!szUtf8Dir || !*szUtf8Dir) return TW_ERR_BAD_ARGUMENT;
    // Without trailing slashes, O_NOFOLLOW sees a link as a link.
    std::string strDir(szUtf8Dir);
    while (strDir.size() > 1 && strDir.back() == '/') strDir.pop_back();
    struct stat st;
    if (lstat(strDir.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISDIR(st.st_mode)) return unlink(strDir.c_str()) == 0 ? 0 : errno;
    int fd = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    int nResult = RemoveDirEntries(fd, 0);
    if (rmdir(strDir.c_str()) != 0 && !nResult) nResult = errno;
    return nResult;
}

int OpenSubDirAt(int fdDir, const char* szName, bool bCreate, unsigned int nMode, bool* pbMade) {
    if (pbMade) *pbMade = false;
    if (!szName || !*szName || std::strchr(szName, '/')) return -EINVAL;
    bool bMade = bCreate && mkdirat(fdDir, szName, static_cast<mode_t>(nMode)) == 0;
    if (bCreate && !bMade && errno != EEXIST) return -errno;
    int fd = openat(fdDir, szName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int nErr = errno;
        struct stat st;
        if (nErr == ENOTDIR && fstatat(fdDir, szName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            nErr = ELOOP;
        return -nErr;
    }
    if (pbMade) *pbMade = bMade;
    return fd;
}

int OpenDirTree(const char* szUtf8Dir, unsigned int nMode, std::vector<std::string>* pMade) {
    if (!szUtf8Dir || !*szUtf8Dir) return -TW_ERR_BAD_ARGUMENT;
    std::string strDir(szUtf8Dir);
    while (strDir.size() > 1 && strDir.back() == '/') strDir.pop_back();
    // The deepest part that exists, opened as named; the missing names after it.
    std::string strBase = strDir;
    std::vector<std::string> vecMissing;
    int fd = -1;
    for (;;) {
        fd = open(strBase.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) break;
        if (errno != ENOENT || strBase == "/" || strBase == ".") return -errno;
        const size_t nSlash = strBase.find_last_of('/');
        const std::string strName =
            nSlash == std::string::npos ? strBase : strBase.substr(nSlash + 1);
        if (!strName.empty()) vecMissing.push_back(strName);
        strBase = nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : strBase.substr(0, nSlash);
    }
    std::string strPath = strBase == "." && strDir[0] != '.' ? "" : strBase;
    for (auto it = vecMissing.rbegin(); it != vecMissing.rend(); ++it) {
        bool bMade = false;
        const int fdSub = OpenSubDirAt(fd, it->c_str(), true, nMode, &bMade);
        close(fd);
        if (fdSub < 0) return fdSub;
        fd = fdSub;
        strPath += (strPath.empty() || strPath.back() == '/' ? "" : "/") + *it;
        if (bMade && pMade) pMade->push_back(strPath);
    }
    return fd;
}

int MakeDirTree(const char* szUtf8Dir, unsigned int nMode, std::vector<std::string>* pMade) {
    const int fd = OpenDirTree(szUtf8Dir, nMode, pMade);
    if (fd < 0) return -fd;
    close(fd);
    return 0;
}
