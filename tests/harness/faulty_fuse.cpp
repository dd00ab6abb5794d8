// A failing medium for tests: serves an image as MOUNT/disk.img through FUSE,
// read-only and uncached (every read reaches this program at its own offset
// and size), and fails on purpose.
//
//   tw_faultyfs IMAGE MOUNT [--bad FIRST[-LAST][,...]] [--die-after BYTES]
//               [--stall-at SECTOR] [--log FILE]
//
// --bad: a read that touches any of these 512-byte sectors fails with EIO, as
// a disk's read of a bad sector does. --die-after: the read that would take the
// bytes served past BYTES ends this program on the spot, so the mount's reads fail with
// ENOTCONN from then on (a card pulled out, a network disk gone). --stall-at:
// the first read that covers that sector waits 3 s (a reader caught at a
// known place, to be interrupted there). Runs in the
// foreground until unmounted or killed. --log: one line "OFFSET SIZE" per
// read asked for, failed or not.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

const char kName[] = "/disk.img";

int g_fd = -1;
off_t g_llBytes = 0;
std::vector<std::pair<uint64_t, uint64_t>> g_vecBad;  // [first, last] sectors
uint64_t g_u64DieAfter = UINT64_MAX;                  // bytes
uint64_t g_u64Served = 0;
uint64_t g_u64StallAt = UINT64_MAX;
FILE* g_pLog = nullptr;

int FsGetAttr(const char* szPath, struct stat* st, struct fuse_file_info*) {
    std::memset(st, 0, sizeof(*st));
    if (std::strcmp(szPath, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(szPath, kName) != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = g_llBytes;
    return 0;
}

int FsReadDir(const char* szPath, void* pBuf, fuse_fill_dir_t pfnFill, off_t,
              struct fuse_file_info*, enum fuse_readdir_flags) {
    if (std::strcmp(szPath, "/") != 0) return -ENOENT;
    pfnFill(pBuf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    pfnFill(pBuf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    pfnFill(pBuf, kName + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int FsOpen(const char* szPath, struct fuse_file_info* pInfo) {
    if (std::strcmp(szPath, kName) != 0) return -ENOENT;
    if ((pInfo->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    pInfo->direct_io = 1;  // no page cache: each read arrives as asked
    return 0;
}

int FsRead(const char* szPath, char* pBuf, size_t nSize, off_t llOffset, struct fuse_file_info*) {
    if (std::strcmp(szPath, kName) != 0) return -ENOENT;
    if (g_pLog) {
        std::fprintf(g_pLog, "%lld %zu\n", static_cast<long long>(llOffset), nSize);
        std::fflush(g_pLog);
    }
    if (llOffset >= g_llBytes || nSize == 0) return 0;
    if (static_cast<off_t>(nSize) > g_llBytes - llOffset)
        nSize = static_cast<size_t>(g_llBytes - llOffset);
    const uint64_t u64First = static_cast<uint64_t>(llOffset) / 512;
    const uint64_t u64Last = (static_cast<uint64_t>(llOffset) + nSize - 1) / 512;
    if (g_u64Served + nSize > g_u64DieAfter) _exit(0);
    g_u64Served += nSize;
    if (u64First <= g_u64StallAt && g_u64StallAt <= u64Last) {
        g_u64StallAt = UINT64_MAX;
        sleep(3);
    }
    for (const auto& bad : g_vecBad)
        if (bad.first <= u64Last && u64First <= bad.second) return -EIO;
    const ssize_t nGot = pread(g_fd, pBuf, nSize, llOffset);
    return nGot < 0 ? -errno : static_cast<int>(nGot);
}

bool ParseBad(const char* szList) {
    std::string strList = szList;
    size_t nPos = 0;
    while (nPos < strList.size()) {
        size_t nEnd = strList.find(',', nPos);
        if (nEnd == std::string::npos) nEnd = strList.size();
        const std::string strItem = strList.substr(nPos, nEnd - nPos);
        char* pEnd = nullptr;
        const unsigned long long u64First = std::strtoull(strItem.c_str(), &pEnd, 10);
        unsigned long long u64Last = u64First;
        if (*pEnd == '-') u64Last = std::strtoull(pEnd + 1, &pEnd, 10);
        if (*pEnd != '\0' || u64Last < u64First) return false;
        g_vecBad.emplace_back(u64First, u64Last);
        nPos = nEnd + 1;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(
            stderr, "usage: %s IMAGE MOUNT [--bad LIST] [--die-after B] [--stall-at N] [--log F]\n",
            argv[0]);
        return 2;
    }
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bad") == 0 && i + 1 < argc) {
            if (!ParseBad(argv[++i])) {
                std::fprintf(stderr, "bad --bad list: %s\n", argv[i]);
                return 2;
            }
        } else if (std::strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            g_pLog = std::fopen(argv[++i], "a");
        } else if (std::strcmp(argv[i], "--stall-at") == 0 && i + 1 < argc) {
            g_u64StallAt = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--die-after") == 0 && i + 1 < argc) {
            g_u64DieAfter = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    g_fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (g_fd < 0 || fstat(g_fd, &st) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    g_llBytes = st.st_size;
    struct fuse_operations ops;
    std::memset(&ops, 0, sizeof(ops));
    ops.getattr = FsGetAttr;
    ops.readdir = FsReadDir;
    ops.open = FsOpen;
    ops.read = FsRead;
    // Foreground, one thread (reads are served in the order they come), read-only.
    char szFg[] = "-f", szSingle[] = "-s", szOpt[] = "-o", szRo[] = "ro";
    char* fuseArgv[] = {argv[0], argv[2], szFg, szSingle, szOpt, szRo, nullptr};
    return fuse_main(6, fuseArgv, &ops, nullptr);
}
