#include "common/Platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <iconv.h>
#include <pwd.h>
#include <sys/stat.h>
#ifdef __linux__
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#else
#include <pthread.h>
#endif
#include <unistd.h>

#include <climits>
#include <cstdio>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <vector>

namespace tw {

std::string LogicalDiskName(int nDiskNo) {
    return "/dev/disk" + std::to_string(nDiskNo);
}

namespace {

const char* NonEmptyEnv(const char* szName) {
    const char* sz = std::getenv(szName);
    return (sz && *sz) ? sz : nullptr;
}

#ifndef __APPLE__
bool StartsWith(const std::string& s, const char* szPrefix) {
    return s.compare(0, std::strlen(szPrefix), szPrefix) == 0;
}

// Whole-disk block devices of /sys/block, sorted by name. Memory disks and
// loop devices with nothing bound to them are no media to recover from.
std::vector<std::string> LinuxWholeDisks() {
    std::vector<std::string> vecNames;
    DIR* pDir = opendir("/sys/block");
    if (!pDir) return vecNames;
    while (dirent* pEnt = readdir(pDir)) {
        std::string strName = pEnt->d_name;
        if (strName.empty() || strName[0] == '.') continue;
        if (StartsWith(strName, "ram") || StartsWith(strName, "zram")) continue;
        if (StartsWith(strName, "loop")) {
            std::string strBacking = "/sys/block/" + strName + "/loop/backing_file";
            if (access(strBacking.c_str(), F_OK) != 0) continue;
        }
        vecNames.push_back(strName);
    }
    closedir(pDir);
    std::sort(vecNames.begin(), vecNames.end());
    return vecNames;
}
#endif

}  // namespace

std::string ResolveDiskNode(int nDiskNo) {
    if (nDiskNo < 0) return std::string();
    if (const char* szDir = NonEmptyEnv("TARNWICK_DISK_DIR")) {
        std::string strPath = szDir;
        if (strPath.back() != '/') strPath += '/';
        strPath += "disk" + std::to_string(nDiskNo);
        return access(strPath.c_str(), F_OK) == 0 ? strPath : std::string();
    }
#ifdef __APPLE__
    return LogicalDiskName(nDiskNo);
#else
    std::vector<std::string> vecNames = LinuxWholeDisks();
    if (static_cast<size_t>(nDiskNo) >= vecNames.size()) return std::string();
    // /sys/block writes the '/' of nested device names as '!'.
    std::string strName = vecNames[nDiskNo];
    std::replace(strName.begin(), strName.end(), '!', '/');
    return "/dev/" + strName;
#endif
}

int OpenReadOnly(const char* szUtf8Path) {
    if (!szUtf8Path || !*szUtf8Path) {
        errno = ENOENT;
        return -1;
    }
    int fd;
    do {
        fd = open(szUtf8Path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

unsigned int DeviceReadUnit(int fd) {
    unsigned int nUnit = 512;
#ifdef __linux__
    struct stat st;
    int nBytes = 0;
    if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && ioctl(fd, BLKSSZGET, &nBytes) == 0 &&
        nBytes >= 512 && nBytes <= 65536 && (nBytes & (nBytes - 1)) == 0)
        nUnit = static_cast<unsigned int>(nBytes);
#else
    (void)fd;
#endif
    return nUnit;
}

int OpenPlainFileForWriting(const char* szUtf8Path, int nExtraFlags) {
    if (!szUtf8Path || !*szUtf8Path) {
        errno = ENOENT;
        return -1;
    }
    // Non-blocking, so that a FIFO planted at the name cannot hold the open.
    int fd;
    do {
        fd = open(
            szUtf8Path,
            O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (nExtraFlags & O_APPEND),
            0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int OpenDiskNode(int nDiskNo) {
    std::string strPath = ResolveDiskNode(nDiskNo);
    if (strPath.empty()) {
        errno = ENOENT;
        return -1;
    }
    return OpenReadOnly(strPath.c_str());
}

std::string SupportDir() {
    if (const char* szDir = NonEmptyEnv("TARNWICK_SUPPORT_DIR")) {
        std::string strDir = szDir;
        if (strDir.back() != '/') strDir += '/';
        return strDir;
    }
#ifdef __APPLE__
    return "/Library/Application Support/Tarnwick/";
#else
    if (geteuid() == 0) return "/var/lib/tarnwick/";
    return UserDataDir();
#endif
}

std::string UserDataDir() {
    if (const char* szData = NonEmptyEnv("XDG_DATA_HOME")) {
        std::string strDir = szData;
        if (strDir.back() != '/') strDir += '/';
        return strDir + "tarnwick/";
    }
    if (const char* szHome = NonEmptyEnv("HOME")) {
        std::string strDir = szHome;
        if (strDir.back() != '/') strDir += '/';
        return strDir + ".local/share/tarnwick/";
    }
    return std::string();
}

namespace {

#ifdef __linux__
// The /sys/dev/block folder of a device, resolved; "" when there is none.
std::string SysBlockDir(dev_t nDev) {
    char szLink[64];
    std::snprintf(szLink, sizeof(szLink), "/sys/dev/block/%u:%u", major(nDev), minor(nDev));
    char szReal[PATH_MAX];
    return realpath(szLink, szReal) ? std::string(szReal) : std::string();
}

std::string ReadFirstLine(const std::string& strPath) {
    std::string strLine;
    FILE* pFile = std::fopen(strPath.c_str(), "r");
    if (!pFile) return strLine;
    char szBuf[PATH_MAX + 32];
    if (std::fgets(szBuf, sizeof(szBuf), pFile)) strLine = szBuf;
    std::fclose(pFile);
    while (!strLine.empty() && strLine.back() == '\n') strLine.pop_back();
    return strLine;
}
#endif

// A decimal id from the environment; false when unset or not all digits.
bool EnvId(const char* szName, unsigned long& nOut) {
    const char* sz = NonEmptyEnv(szName);
    if (!sz || std::strlen(sz) > 9) return false;
    nOut = 0;
    for (; *sz; ++sz) {
        if (*sz < '0' || *sz > '9') return false;
        nOut = nOut * 10 + static_cast<unsigned long>(*sz - '0');
    }
    return true;
}

}  // namespace

dev_t WholeDiskOf(dev_t nDev) {
#ifdef __linux__
    std::string strDir = SysBlockDir(nDev);
    struct stat st;
    if (strDir.empty() || stat((strDir + "/partition").c_str(), &st) != 0) return nDev;
    std::string strDevNo = ReadFirstLine(strDir.substr(0, strDir.rfind('/')) + "/dev");
    unsigned int nMajor = 0, nMinor = 0;
    if (std::sscanf(strDevNo.c_str(), "%u:%u", &nMajor, &nMinor) != 2) return nDev;
    return makedev(nMajor, nMinor);
#else
    return nDev;
#endif
}

bool DescribeDiskNode(int nDiskNo, std::string& strModel, bool& bRemovable) {
    const std::string strNode = ResolveDiskNode(nDiskNo);
    if (strNode.empty()) return false;
    strModel.clear();
    bRemovable = false;
    char szReal[PATH_MAX];
    const std::string strReal = realpath(strNode.c_str(), szReal) ? szReal : strNode;
    struct stat st;
    if (stat(strReal.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        // An image file presented as a disk: its name.
        strModel = strReal.substr(strReal.rfind('/') + 1);
        return true;
    }
#ifdef __linux__
    const std::string strDir = SysBlockDir(st.st_rdev);
    const std::string strBacking = ReadFirstLine(strDir + "/loop/backing_file");
    if (!strBacking.empty()) {
        strModel = strBacking.substr(strBacking.rfind('/') + 1);
        return true;
    }
    for (const char* szField : {"/device/vendor", "/device/model", "/device/name"}) {
        std::string strPart = ReadFirstLine(strDir + szField);
        while (!strPart.empty() && strPart.back() == ' ') strPart.pop_back();
        const size_t nFirst = strPart.find_first_not_of(' ');
        if (nFirst == std::string::npos) continue;
        strModel += (strModel.empty() ? "" : " ") + strPart.substr(nFirst);
    }
    // Card readers and USB sticks; an SD slot often says "not removable".
    bRemovable = ReadFirstLine(strDir + "/removable") == "1" ||
                 strDir.find("/usb") != std::string::npos ||
                 strDir.find("/mmc") != std::string::npos;
#endif
    if (strModel.empty()) strModel = strReal.substr(strReal.rfind('/') + 1);
    return true;
}

bool LoopBackingId(dev_t nDev, dev_t& nFileDev, ino_t& nFileIno) {
#ifdef __linux__
    const std::string strDir = SysBlockDir(WholeDiskOf(nDev));
    struct stat st;
    if (strDir.empty() || stat((strDir + "/loop").c_str(), &st) != 0) return false;
    // The device node named in uevent ("DEVNAME=loop3").
    std::string strName;
    if (FILE* pFile = std::fopen((strDir + "/uevent").c_str(), "r")) {
        char szLine[256];
        while (std::fgets(szLine, sizeof(szLine), pFile)) {
            if (std::strncmp(szLine, "DEVNAME=", 8) == 0) strName = szLine + 8;
        }
        std::fclose(pFile);
    }
    while (!strName.empty() && strName.back() == '\n') strName.pop_back();
    int fd = strName.empty() ? -1 : OpenReadOnly(("/dev/" + strName).c_str());
    if (fd >= 0) {
        struct loop_info64 info;
        std::memset(&info, 0, sizeof(info));
        const int nRet = ioctl(fd, LOOP_GET_STATUS64, &info);
        close(fd);
        if (nRet == 0) {
            nFileDev = static_cast<dev_t>(info.lo_device);
            nFileIno = static_cast<ino_t>(info.lo_inode);
            return true;
        }
    }
    // The file's path as the loop driver names it.
    const std::string strFile = ReadFirstLine(strDir + "/loop/backing_file");
    if (strFile.empty() || stat(strFile.c_str(), &st) != 0) return false;
    nFileDev = st.st_dev;
    nFileIno = st.st_ino;
    return true;
#else
    (void)nDev;
    (void)nFileDev;
    (void)nFileIno;
    return false;
#endif
}

bool RequestingUser(uid_t& nUid, gid_t& nGid) {
    if (geteuid() != 0) return false;
    unsigned long nId = 0, nGroup = 0;
    if (EnvId("SUDO_UID", nId)) {
        if (!EnvId("SUDO_GID", nGroup)) {
            struct passwd* pw = getpwuid(static_cast<uid_t>(nId));
            if (!pw) return false;
            nGroup = pw->pw_gid;
        }
    } else if (EnvId("PKEXEC_UID", nId)) {
        struct passwd* pw = getpwuid(static_cast<uid_t>(nId));
        if (!pw) return false;
        nGroup = pw->pw_gid;
    } else {
        return false;
    }
    if (nId == 0) return false;
    nUid = static_cast<uid_t>(nId);
    nGid = static_cast<gid_t>(nGroup);
    return true;
}

FsUser RequestingFsUser() {
    FsUser user;
    if (!RequestingUser(user.nUid, user.nGid)) return user;
    user.bSet = true;
    user.vecGroups.assign(1, user.nGid);
    if (struct passwd* pw = getpwuid(user.nUid)) {
        int nCount = 64;
        for (int nTry = 0; nTry < 4; ++nTry) {
            std::vector<gid_t> vecGroups(static_cast<size_t>(nCount));
            if (getgrouplist(pw->pw_name, user.nGid, vecGroups.data(), &nCount) >= 0) {
                vecGroups.resize(static_cast<size_t>(nCount));
                user.vecGroups = vecGroups;
                break;
            }
        }
    }
    return user;
}

#ifdef __linux__
// The groups of this thread alone: the C library's setgroups changes every
// thread of the process.
namespace {
bool ThreadGroups(std::vector<gid_t>& vecGroups) {
    const long nCount = syscall(SYS_getgroups, 0, nullptr);
    if (nCount < 0) return false;
    vecGroups.resize(static_cast<size_t>(nCount));
    return syscall(SYS_getgroups, nCount, vecGroups.data()) == nCount;
}
bool SetThreadGroups(const std::vector<gid_t>& vecGroups) {
    return syscall(SYS_setgroups, vecGroups.size(), vecGroups.data()) == 0;
}
}  // namespace

CActAsUser::CActAsUser(const FsUser& user) {
    if (!user.bSet || !ThreadGroups(m_vecOldGroups) || !SetThreadGroups(user.vecGroups)) return;
    m_nOldGid = static_cast<gid_t>(setfsgid(user.nGid));
    m_nOldUid = static_cast<uid_t>(setfsuid(user.nUid));
    // setfsuid answers with the previous id whatever happens: ask again.
    m_bActive = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == user.nUid &&
                static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == user.nGid;
    if (!m_bActive) {
        setfsuid(m_nOldUid);
        setfsgid(m_nOldGid);
        SetThreadGroups(m_vecOldGroups);
    }
}

CActAsUser::~CActAsUser() {
    if (!m_bActive) return;
    setfsuid(m_nOldUid);
    setfsgid(m_nOldGid);
    SetThreadGroups(m_vecOldGroups);
}
#else
CActAsUser::CActAsUser(const FsUser& user) {
    m_bActive = user.bSet && pthread_setugid_np(user.nUid, user.nGid) == 0;
}

CActAsUser::~CActAsUser() {
    if (m_bActive) pthread_setugid_np(KAUTH_UID_NONE, KAUTH_GID_NONE);
}
#endif

bool DropRootForGood() {
    if (geteuid() != 0 && getuid() != 0) return true;
    FsUser user = RequestingFsUser();
    if (!user.bSet) {
        struct passwd* pw = getpwnam("nobody");
        user.nUid = pw ? pw->pw_uid : 65534;
        user.nGid = pw ? pw->pw_gid : 65534;
        user.vecGroups.assign(1, user.nGid);
    }
    return BecomeUserForGood(user);
}

bool BecomeUserForGood(const FsUser& user) {
    if (setgroups(user.vecGroups.size(), user.vecGroups.data()) != 0 ||
        setregid(user.nGid, user.nGid) != 0 || setreuid(user.nUid, user.nUid) != 0)
        return false;
#ifdef __linux__
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
#endif
    // No way back.
    return getuid() != 0 && geteuid() != 0 && setuid(0) != 0;
}

std::string ScanLogDir() {
    return SupportDir() + "ScanLog/";
}

// ---------------------------------------------------------------------------
// Text conversion over iconv. Each direction has one descriptor, opened on
// first use; a descriptor carries conversion state, so each use holds its lock.

namespace {

enum Charset { CS_NARROW, CS_UTF8, CS_WIDE, CS_COUNT };

const char* CharsetName(Charset cs) {
    switch (cs) {
        case CS_NARROW:
            return "GB18030";
        case CS_UTF8:
            return "UTF-8";
        default:
            return "WCHAR_T";
    }
}

// The same wide form under another name, for iconv builds without "WCHAR_T".
const char* WideFallbackName() {
    static_assert(sizeof(wchar_t) == 4, "wide text is one 32-bit unit per character");
    const unsigned short nProbe = 1;
    return *reinterpret_cast<const unsigned char*>(&nProbe) == 1 ? "UTF-32LE" : "UTF-32BE";
}

size_t UnitSize(Charset cs) {
    return cs == CS_WIDE ? sizeof(wchar_t) : 1;
}

struct Codec {
    std::once_flag once;
    std::mutex mutex;
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
};

Codec g_codecs[CS_COUNT][CS_COUNT];

iconv_t OpenCodec(Charset from, Charset to) {
    Codec& codec = g_codecs[from][to];
    std::call_once(codec.once, [&] {
        iconv_t cd = iconv_open(CharsetName(to), CharsetName(from));
        if (cd == reinterpret_cast<iconv_t>(-1) && (from == CS_WIDE || to == CS_WIDE)) {
            cd = iconv_open(to == CS_WIDE ? WideFallbackName() : CharsetName(to),
                            from == CS_WIDE ? WideFallbackName() : CharsetName(from));
        }
        codec.cd = cd;
    });
    return codec.cd;
}

// What replaces a unit that cannot be converted, in the target's encoding.
std::string Replacement(Charset to) {
    if (to == CS_WIDE) {
        wchar_t wc = 0xFFFD;
        return std::string(reinterpret_cast<const char*>(&wc), sizeof(wc));
    }
    return "?";
}

// Converts inLen bytes of `in` and appends at most maxOut bytes to `out`.
// iconv only ever writes whole characters, so a cut lands on a character
// boundary. Returns false when the converter cannot be opened, or, with
// bStrict, at the first input that is not a whole valid character.
bool Convert(Charset from, Charset to, const char* in, size_t inLen, size_t maxOut,
             std::string& out, bool* pComplete, bool bStrict = false) {
    if (pComplete) *pComplete = false;
    iconv_t cd = OpenCodec(from, to);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    const std::string strRepl = Replacement(to);
    const size_t nUnit = UnitSize(from);

    std::lock_guard<std::mutex> lock(g_codecs[from][to].mutex);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* pIn = const_cast<char*>(in);
    size_t nInLeft = inLen;
    char szTmp[1024];
    bool bComplete = true;
    while (nInLeft > 0) {
        size_t nRoom = std::min(sizeof(szTmp), maxOut - out.size());
        char* pOut = szTmp;
        size_t nOutLeft = nRoom;
        size_t nRet = iconv(cd, &pIn, &nInLeft, &pOut, &nOutLeft);
        int nErr = errno;
        size_t nMade = nRoom - nOutLeft;
        out.append(szTmp, nMade);
        if (nRet != static_cast<size_t>(-1)) continue;
        if (nErr == E2BIG) {
            if (nMade == 0) {  // the next character does not fit what is left
                bComplete = false;
                break;
            }
            continue;
        }
        // EILSEQ or EINVAL: replace one unit of input and go on after it.
        if (bStrict) return false;
        if (maxOut - out.size() < strRepl.size()) {
            bComplete = false;
            break;
        }
        out += strRepl;
        size_t nSkip = std::min(nUnit, nInLeft);
        pIn += nSkip;
        nInLeft -= nSkip;
    }
    // Flush any shift state (none for these charsets; cheap to be sure).
    char* pOut = szTmp;
    size_t nOutLeft = std::min(sizeof(szTmp), maxOut - out.size());
    size_t nBefore = nOutLeft;
    iconv(cd, nullptr, nullptr, &pOut, &nOutLeft);
    out.append(szTmp, nBefore - nOutLeft);
    if (pComplete) *pComplete = bComplete;
    return true;
}

std::string ConvertAll(Charset from, Charset to, const char* in, size_t inLen) {
    std::string out;
    if (!Convert(from, to, in, inLen, static_cast<size_t>(-1) / 2, out, nullptr)) out.clear();
    return out;
}

// No text is this long; the cap keeps the byte arithmetic far from overflow.
constexpr size_t kMaxBoundedCap = size_t(1) << 40;

std::wstring BytesToWide(const std::string& str) {
    std::wstring wstr(str.size() / sizeof(wchar_t), L'\0');
    if (!wstr.empty()) std::memcpy(&wstr[0], str.data(), wstr.size() * sizeof(wchar_t));
    return wstr;
}

}  // namespace

std::string NarrowToUtf8(const char* szNarrow) {
    if (!szNarrow) return std::string();
    return ConvertAll(CS_NARROW, CS_UTF8, szNarrow, std::strlen(szNarrow));
}

bool NarrowToUtf8Strict(const char* pNarrow, size_t nLength, std::string& strUtf8) {
    strUtf8.clear();
    if (!pNarrow) return nLength == 0;
    if (Convert(CS_NARROW, CS_UTF8, pNarrow, nLength, static_cast<size_t>(-1) / 2, strUtf8, nullptr,
                true))
        return true;
    strUtf8.clear();
    return false;
}

std::string Utf8ToNarrow(const char* szUtf8) {
    if (!szUtf8) return std::string();
    return ConvertAll(CS_UTF8, CS_NARROW, szUtf8, std::strlen(szUtf8));
}

std::string WideToUtf8(const wchar_t* wsz) {
    if (!wsz) return std::string();
    return ConvertAll(CS_WIDE, CS_UTF8, reinterpret_cast<const char*>(wsz),
                      std::wcslen(wsz) * sizeof(wchar_t));
}

std::wstring Utf8ToWide(const char* szUtf8) {
    if (!szUtf8) return std::wstring();
    return BytesToWide(ConvertAll(CS_UTF8, CS_WIDE, szUtf8, std::strlen(szUtf8)));
}

std::string WideToNarrow(const wchar_t* wsz) {
    if (!wsz) return std::string();
    return ConvertAll(CS_WIDE, CS_NARROW, reinterpret_cast<const char*>(wsz),
                      std::wcslen(wsz) * sizeof(wchar_t));
}

std::wstring NarrowToWide(const char* szNarrow) {
    if (!szNarrow) return std::wstring();
    return BytesToWide(ConvertAll(CS_NARROW, CS_WIDE, szNarrow, std::strlen(szNarrow)));
}

long WideToNarrowBounded(const wchar_t* wszSrc, size_t nSrcLen, char* szDst, size_t nDstCap,
                         bool* pComplete) {
    if (pComplete) *pComplete = false;
    if (!wszSrc || !szDst || nDstCap < 1) return -1;
    nDstCap = std::min(nDstCap, kMaxBoundedCap);
    std::string out;
    if (!Convert(CS_WIDE, CS_NARROW, reinterpret_cast<const char*>(wszSrc),
                 wcsnlen(wszSrc, nSrcLen) * sizeof(wchar_t), nDstCap - 1, out, pComplete))
        return -1;
    std::memcpy(szDst, out.data(), out.size());
    szDst[out.size()] = '\0';
    return static_cast<long>(out.size());
}

long NarrowToWideBounded(const char* szSrc, size_t nSrcLen, wchar_t* wszDst, size_t nDstCap,
                         bool* pComplete) {
    if (pComplete) *pComplete = false;
    if (!szSrc || !wszDst || nDstCap < 1) return -1;
    nDstCap = std::min(nDstCap, kMaxBoundedCap);
    std::string out;
    if (!Convert(CS_NARROW, CS_WIDE, szSrc, strnlen(szSrc, nSrcLen),
                 (nDstCap - 1) * sizeof(wchar_t), out, pComplete))
        return -1;
    size_t nChars = out.size() / sizeof(wchar_t);
    std::memcpy(wszDst, out.data(), nChars * sizeof(wchar_t));
    wszDst[nChars] = L'\0';
    return static_cast<long>(nChars);
}

}  // namespace tw
