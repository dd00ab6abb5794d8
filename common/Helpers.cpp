#include "common/Helpers.h"

#include <iconv.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <cwchar>
#include <string>

#include "common/Platform.h"

// ---------------------------------------------------------------------------
// Character-set conversion.

namespace {
char g_szCurrentCharset[64];
iconv_t g_cdToUnicode = reinterpret_cast<iconv_t>(-1);
iconv_t g_cdFromUnicode = reinterpret_cast<iconv_t>(-1);
const iconv_t kNoCd = reinterpret_cast<iconv_t>(-1);
}  // namespace

int inner_initUnicodeMap(const char* szCharset) {
    if (!szCharset) return -1;
    std::snprintf(g_szCurrentCharset, sizeof(g_szCurrentCharset), "%s", szCharset);
    if (g_cdToUnicode != kNoCd) iconv_close(g_cdToUnicode);
    if (g_cdFromUnicode != kNoCd) iconv_close(g_cdFromUnicode);
    g_cdFromUnicode = kNoCd;
    g_cdToUnicode = iconv_open("UNICODELITTLE", szCharset);
    if (g_cdToUnicode == kNoCd) return -1;
    g_cdFromUnicode = iconv_open(szCharset, "UNICODELITTLE");
    if (g_cdFromUnicode == kNoCd) {
        iconv_close(g_cdToUnicode);
        g_cdToUnicode = kNoCd;
        return -1;
    }
    return 0;
}

int inner_uni2str(char* szDst, const wchar_t* wszSrc, long nDstSize, long nSrcLen) {
    if (nDstSize < 1 || nSrcLen < 0) return -1;
    long nLen = tw::WideToNarrowBounded(wszSrc, static_cast<size_t>(nSrcLen), szDst,
                                        static_cast<size_t>(nDstSize));
    return nLen < 0 ? -1 : static_cast<int>(nLen);
}

int inner_str2uni(wchar_t* wszDst, const char* szSrc, long nDstSize, long nSrcLen) {
    if (nDstSize < 1 || nSrcLen < 0) return -1;
    long nLen = tw::NarrowToWideBounded(szSrc, static_cast<size_t>(nSrcLen), wszDst,
                                        static_cast<size_t>(nDstSize));
    return nLen < 0 ? -1 : static_cast<int>(nLen);
}

int Unicode2Ansi(const wchar_t* wszSrc, char* szDst, int nDstSize) {
    if (!wszSrc) return -1;
    return inner_uni2str(szDst, wszSrc, nDstSize, static_cast<long>(std::wcslen(wszSrc)) + 1) == -1
               ? -1
               : 0;
}

int Ansi2Unicode(const char* szSrc, wchar_t* wszDst, int nDstSize) {
    if (!szSrc) return -1;
    return inner_str2uni(wszDst, szSrc, nDstSize, static_cast<long>(std::strlen(szSrc)) + 1) == -1
               ? -1
               : 0;
}

// A GB18030 character may take four bytes, so a fixed scratch buffer of twice
// the wide length could cut a name short; these convert the whole text.
std::string Unicode2Ansi(const wchar_t* wszSrc) {
    return tw::WideToNarrow(wszSrc);
}

std::wstring Ansi2Unicode(const char* szSrc) {
    return tw::NarrowToWide(szSrc);
}

// ---------------------------------------------------------------------------
// Case folding.

char* GetCharLowerA(char* sz) {
    Convert2Lowercase(sz);
    return sz;
}

int Convert2Lowercase(char* sz) {
    if (!sz) return 0;
    int n = 0;
    for (; sz[n]; ++n)
        if (sz[n] >= 'A' && sz[n] <= 'Z') sz[n] = static_cast<char>(sz[n] - 'A' + 'a');
    return n;
}

wchar_t* GetCharLowerW(wchar_t* wsz) {
    if (!wsz) return wsz;
    for (wchar_t* p = wsz; *p; ++p)
        if (*p >= L'A' && *p <= L'Z') *p = static_cast<wchar_t>(*p - L'A' + L'a');
    return wsz;
}

void EraseStringTailBlankChar(char* sz, int nLength) {
    if (!sz) return;
    for (int i = nLength - 1; i >= 0 && sz[i] == ' '; --i) sz[i] = '\0';
}

// ---------------------------------------------------------------------------
// Paths and names.

bool IsBlankSector(const unsigned char* p, size_t nLen) {
    return p && nLen > 0 && (p[0] == 0 || p[0] == 0xFF) && std::memcmp(p, p + 1, nLen - 1) == 0;
}

int GetExtendName(const char* szName, char* szExt) {
    if (!szName || !szExt) return TW_ERR_BAD_ARGUMENT;
    const char* pDot = std::strrchr(szName, '.');
    if (!pDot) return TW_ERR_BAD_ARGUMENT;
    std::strcpy(szExt, pDot + 1);
    return 0;
}

void _splitpath(const char* szPath, char* szDrive, char* szDir, char* szFname, char* szExt) {
    auto put = [](char* szOut, const char* pFrom, size_t nLen) {
        if (!szOut) return;
        if (nLen) std::memcpy(szOut, pFrom, nLen);
        szOut[nLen] = '\0';
    };
    put(szDrive, "", 0);
    if (!szPath) {
        put(szDir, "", 0);
        put(szFname, "", 0);
        put(szExt, "", 0);
        return;
    }
    const char* pSlash = std::strrchr(szPath, '/');
    const char* pName = pSlash ? pSlash + 1 : szPath;
    put(szDir, szPath, static_cast<size_t>(pName - szPath));
    const char* pDot = std::strrchr(pName, '.');
    if (pDot) {
        put(szFname, pName, static_cast<size_t>(pDot - pName));
        put(szExt, pDot, std::strlen(pDot));
    } else {
        put(szFname, pName, std::strlen(pName));
        put(szExt, "", 0);
    }
}

namespace {
// Anything under this name, a dangling link included, would be in the way.
bool NameExists(const std::string& strNarrowPath) {
    struct stat st;
    return lstat(tw::NarrowToUtf8(strNarrowPath.c_str()).c_str(), &st) == 0;
}

int PutWide(const std::string& strNarrow, wchar_t* wszResult, int nResultSize) {
    bool bComplete = false;
    long n = tw::NarrowToWideBounded(strNarrow.c_str(), strNarrow.size() + 1, wszResult,
                                     static_cast<size_t>(nResultSize), &bComplete);
    if (n < 0 || !bComplete) {
        wszResult[0] = L'\0';  // a cut name would be another file's name
        return TW_ERR_BAD_ARGUMENT;
    }
    return 0;
}
}  // namespace

int GetRealFileName(const char* szWantedPath, wchar_t* wszResult, int nResultSize) {
    if (!szWantedPath || !wszResult || nResultSize < 1) return TW_ERR_BAD_ARGUMENT;
    std::string strWanted = szWantedPath;
    if (!NameExists(strWanted)) return PutWide(strWanted, wszResult, nResultSize);

    std::string strDrive(strWanted.size() + 1, '\0'), strDir = strDrive, strFname = strDrive,
                                                      strExt = strDrive;
    _splitpath(szWantedPath, &strDrive[0], &strDir[0], &strFname[0], &strExt[0]);
    for (auto* p : {&strDrive, &strDir, &strFname, &strExt}) p->resize(std::strlen(p->c_str()));
    for (int nCounter = 1; nCounter < INT_MAX; ++nCounter) {
        std::string strCandidate =
            strDrive + strDir + strFname + "(" + std::to_string(nCounter) + ")" + strExt;
        if (!NameExists(strCandidate)) return PutWide(strCandidate, wszResult, nResultSize);
    }
    wszResult[0] = L'\0';
    return EEXIST;
}

int GetPathDirIndex(const wchar_t* wszPath, int& nCount) {
    nCount = 0;
    if (!wszPath) return 0;
    size_t nLen = std::wcslen(wszPath);
    for (size_t i = 0; i + 1 < nLen; ++i)
        if (wszPath[i] == L'/' || wszPath[i] == L'\\') ++nCount;
    return 0;
}

// ---------------------------------------------------------------------------
// Sizes and durations for display.

namespace {
std::string Format(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* szFormat, ...) {
    char szBuf[128];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(szBuf, sizeof(szBuf), szFormat, args);
    va_end(args);
    return szBuf;
}
}  // namespace

std::string GetFileSizeString(long long nBytes) {
    const double dBytes = static_cast<double>(nBytes);
    if (nBytes >= (1LL << 40)) return Format("%.2f TB", dBytes / static_cast<double>(1LL << 40));
    if (nBytes >= (1LL << 30)) return Format("%.2f GB", dBytes / static_cast<double>(1LL << 30));
    if (nBytes >= (1LL << 20)) return Format("%.2f MB", dBytes / static_cast<double>(1LL << 20));
    if (nBytes < 1024) return Format("%d Bytes", static_cast<int>(nBytes));
    return Format("%.2f KB", dBytes / 1024.0);
}

std::string FormatSize(unsigned long long u64Bytes) {
    if (u64Bytes < 1024) return std::to_string(u64Bytes) + (u64Bytes == 1 ? " byte" : " bytes");
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double dValue = static_cast<double>(u64Bytes) / 1024.0;
    size_t nUnit = 0;
    while (dValue >= 1024.0 && nUnit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
        dValue /= 1024.0;
        ++nUnit;
    }
    char szBuf[32];
    std::snprintf(szBuf, sizeof(szBuf), "%.1f %s", dValue, kUnits[nUnit]);
    return szBuf;
}

bool NaturalLess(std::string_view strA, std::string_view strB, bool bIgnoreCase) {
    size_t i = 0, j = 0;
    auto IsDigit = [](char c) { return c >= '0' && c <= '9'; };
    auto Fold = [bIgnoreCase](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return bIgnoreCase && u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + 32) : u;
    };
    while (i < strA.size() && j < strB.size()) {
        if (IsDigit(strA[i]) && IsDigit(strB[j])) {
            size_t nEndA = i, nEndB = j;
            while (nEndA < strA.size() && IsDigit(strA[nEndA])) ++nEndA;
            while (nEndB < strB.size() && IsDigit(strB[nEndB])) ++nEndB;
            size_t nA = i, nB = j;  // first significant digits
            while (nA + 1 < nEndA && strA[nA] == '0') ++nA;
            while (nB + 1 < nEndB && strB[nB] == '0') ++nB;
            if (nEndA - nA != nEndB - nB) return nEndA - nA < nEndB - nB;
            int nCmp = strA.substr(nA, nEndA - nA).compare(strB.substr(nB, nEndB - nB));
            if (nCmp != 0) return nCmp < 0;
            i = nEndA;
            j = nEndB;
            continue;
        }
        if (Fold(strA[i]) != Fold(strB[j])) return Fold(strA[i]) < Fold(strB[j]);
        ++i;
        ++j;
    }
    if ((strA.size() - i) != (strB.size() - j)) return strA.size() - i < strB.size() - j;
    return strA < strB;  // "01" and "1", "A" and "a": still one fixed order
}

std::string GetTimeString(long long nSeconds) {
    if (nSeconds >= 3600) {
        long long nHours = nSeconds / 3600;
        return Format("%lld Hour %lld Min", nHours, (nSeconds - nHours * 3600) / 60);
    }
    if (nSeconds < 60) return Format("%lld Sec", nSeconds);
    return Format("%lld Min %lld Sec", nSeconds / 60, nSeconds % 60);
}

// ---------------------------------------------------------------------------
// Time.

namespace {
int FillTime(SYSTEMTIME* pTime, bool bLocal) {
    if (!pTime) return TW_ERR_BAD_ARGUMENT;
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 34;
    struct tm tmNow;
    time_t tNow = tv.tv_sec;
    if (!(bLocal ? localtime_r(&tNow, &tmNow) : gmtime_r(&tNow, &tmNow))) return 34;
    pTime->wYear = static_cast<uint16_t>(tmNow.tm_year + 1900);
    pTime->wMonth = static_cast<uint16_t>(tmNow.tm_mon + 1);
    pTime->wDay = static_cast<uint16_t>(tmNow.tm_mday);
    pTime->wDayOfWeek = static_cast<uint16_t>(tmNow.tm_wday);
    pTime->wHour = static_cast<uint16_t>(tmNow.tm_hour);
    pTime->wMinute = static_cast<uint16_t>(tmNow.tm_min);
    pTime->wSecond = static_cast<uint16_t>(tmNow.tm_sec);
    pTime->wMilliseconds = static_cast<uint16_t>(tv.tv_usec / 1000);
    return 0;
}
}  // namespace

int rsb_getLocalTime(SYSTEMTIME* pTime) {
    return FillTime(pTime, true);
}

int rsb_getSystemTime(SYSTEMTIME* pTime) {
    return FillTime(pTime, false);
}

long rsb_getTickCount() {
    // Milliseconds of a monotonic clock; only differences are used.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + static_cast<long>(ts.tv_nsec / 1000000);
}

int rsb_msleep(int nMilliseconds) {
    struct timespec ts;
    ts.tv_sec = nMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(nMilliseconds % 1000) * 1000000L;
    return nanosleep(&ts, nullptr);
}

// ---------------------------------------------------------------------------
// Files and volumes.

int rsb_statH(int fd, STRUCT_RSB_FILE_ATTR* pAttr) {
    if (fd == -1) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (!pAttr) return 0;
    std::memset(pAttr, 0, sizeof(*pAttr));
    const uint64_t u64Size = static_cast<uint64_t>(st.st_size);
    pAttr->nMode = st.st_mode;
    pAttr->nUid = st.st_uid;
    pAttr->nGid = st.st_gid;
    pAttr->nSizeHigh = static_cast<uint32_t>(u64Size >> 32);
    pAttr->nSizeLow = static_cast<uint32_t>(u64Size);
    pAttr->u64AccessTime = static_cast<uint32_t>(st.st_atime);
    pAttr->u64ModifyTime = static_cast<uint32_t>(st.st_mtime);
    pAttr->u64ChangeTime = static_cast<uint32_t>(st.st_ctime);
    pAttr->nDevice = static_cast<uint32_t>(st.st_dev);
    pAttr->u64Inode = st.st_ino;
    pAttr->nLinks = static_cast<uint32_t>(st.st_nlink);
    return 0;
}

int rsb_getFileSizeH(int fd, int* pLow, int* pHigh) {
    struct stat st;
    if (fd == -1 || !pLow || fstat(fd, &st) != 0) return -1;
    const uint64_t u64Size = static_cast<uint64_t>(st.st_size);
    *pLow = static_cast<int>(static_cast<uint32_t>(u64Size));
    if (pHigh) *pHigh = static_cast<int>(static_cast<uint32_t>(u64Size >> 32));
    return 0;
}

int rsb_getFreeSpace(char* szPath, int nPathLen, unsigned int* pHigh, unsigned int* pLow) {
    if (pHigh) *pHigh = 0;
    if (pLow) *pLow = 0;
    if (!szPath || nPathLen < 1) return -1;
    // Work on a terminated copy; the caller's buffer is only ever shortened,
    // by a terminator written inside its first nPathLen bytes.
    std::string strPath(szPath, strnlen(szPath, static_cast<size_t>(nPathLen)));
    if (strPath.empty() || strPath[0] != '/') return 0;
    struct statvfs vfs;
    while (statvfs(strPath.c_str(), &vfs) != 0) {
        if (strPath.size() <= 1) return -1;
        size_t nCut = strPath.rfind('/');
        if (nCut == 0) nCut = 1;  // keep the root
        strPath.resize(nCut);
        szPath[nCut] = '\0';
    }
    const unsigned long long u64Free = static_cast<unsigned long long>(vfs.f_bavail) *
                                       static_cast<unsigned long long>(vfs.f_frsize);
    if (pHigh) *pHigh = static_cast<unsigned int>(u64Free >> 32);
    if (pLow) *pLow = static_cast<unsigned int>(u64Free);
    return 0;
}

int ReadData(int fd, unsigned char* pBuf, int nLength, unsigned int* pBytesRead) {
    unsigned int nDone = 0;
    int nResult = 0;
    while (static_cast<long long>(nDone) < nLength) {
        size_t nPiece = static_cast<size_t>(nLength) - nDone;
        if (nPiece > 0x10000) nPiece = 0x10000;
        ssize_t nGot = read(fd, pBuf + nDone, nPiece);
        if (nGot < 0 && errno == EINTR) continue;
        if (nGot <= 0) {
            nResult = 30;
            break;
        }
        nDone += static_cast<unsigned int>(nGot);
    }
    if (pBytesRead) *pBytesRead = nDone;
    return nResult;
}

unsigned long long AddSizes(unsigned long long u64A, unsigned long long u64B) {
    unsigned long long u64Sum;
    return __builtin_add_overflow(u64A, u64B, &u64Sum) ? ~0ull : u64Sum;
}

bool IsDeceptiveNameChar(uint32_t nChar) {
    return nChar < 0x20 || (nChar >= 0x7F && nChar <= 0x9F) ||
           (nChar >= 0x202A && nChar <= 0x202E) || (nChar >= 0x2066 && nChar <= 0x2069);
}

std::string ReplaceDeceptiveChars(const std::string& strUtf8, char cReplace) {
    std::string strOut;
    strOut.reserve(strUtf8.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strUtf8.data());
    const size_t nSize = strUtf8.size();
    for (size_t i = 0; i < nSize;) {
        // Only one- to three-byte forms can hold such a character.
        uint32_t nChar = p[i];
        size_t nLen = 1;
        if ((p[i] & 0xE0) == 0xC0 && i + 1 < nSize && (p[i + 1] & 0xC0) == 0x80) {
            nChar = ((p[i] & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
            nLen = 2;
        } else if ((p[i] & 0xF0) == 0xE0 && i + 2 < nSize && (p[i + 1] & 0xC0) == 0x80 &&
                   (p[i + 2] & 0xC0) == 0x80) {
            nChar = ((p[i] & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
            nLen = 3;
        } else if (p[i] >= 0x80) {
            nChar = 0xFFFD;  // not decoded here; kept as it stands
        }
        if (IsDeceptiveNameChar(nChar)) {
            strOut += cReplace;
        } else {
            strOut.append(strUtf8, i, nLen);
        }
        i += nLen;
    }
    return strOut;
}

std::string ReplaceDeceptiveNarrowChars(const std::string& strNarrow, char cReplace) {
    std::string strOut = strNarrow;
    bool bWide = false;
    // Control bytes stand alone in the narrow codec; other characters need decoding.
    for (char& c : strOut) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = cReplace;
        bWide |= u >= 0x80;
    }
    if (!bWide) return strOut;
    const std::string strUtf8 = tw::NarrowToUtf8(strOut.c_str());
    const std::string strSafe = ReplaceDeceptiveChars(strUtf8, cReplace);
    return strSafe == strUtf8 ? strOut : tw::Utf8ToNarrow(strSafe.c_str());
}
