// FAT directory-entry checks. Every test reads only the bytes it is given.
#include "common/FatEntry.h"

#include "common/ByteOrder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>

namespace {

bool IsDateInWindow(uint16_t nDate) {
    // The local-time conversion is slow and this runs on every candidate
    // sector of a deep scan. Away from the window's ends (May 1991, January
    // 2080) neither month or day overflow (at most a few months) nor the time
    // zone can move a date across an end, so only the years at the ends need it.
    const int nYear = (nDate >> 9) + 1980;
    if (nYear >= 1992 && nYear <= 2078) return true;
    if (nYear <= 1990 || nYear >= 2081) return false;
    long long t = FatDateToTime(nDate);
    return t >= kFatTimeMin && t <= kFatTimeMax;
}

void DateToFileTime(uint16_t nDate, _FILETIME* pTime) {
    if (!pTime) return;
    unsigned long long t = static_cast<unsigned long long>(FatDateToTime(nDate));
    pTime->dwLowDateTime = static_cast<uint32_t>(t);
    pTime->dwHighDateTime = static_cast<uint32_t>(t >> 32);
}

// Within [p, p + n): once a blank occurs, only blanks follow.
bool IsBlankPaddedTail(const unsigned char* p, int n) {
    bool bBlank = false;
    for (int i = 0; i < n; ++i) {
        if (p[i] == ' ') {
            bBlank = true;
        } else if (bBlank) {
            return false;
        }
    }
    return true;
}

// The extra tests a short entry must pass inside a directory table.
bool IsPlausibleShortSlot(const unsigned char* p) {
    for (int i = 0; i < 11; ++i) {
        if (p[i] < 0x20 || p[i] == '.') return false;
    }
    if (!IsBlankPaddedTail(p, 8) || !IsBlankPaddedTail(p + 8, 3)) return false;
    // Bytes with the top bit set come in pairs (two-byte characters).
    int i = (p[0] == FAT_ENTRY_DELETED) ? 1 : 0;
    while (i <= 9) {
        if (p[i] & 0x80) {
            if (!(p[i + 1] & 0x80)) return false;
            i += 2;
        } else {
            ++i;
        }
    }
    return true;
}

}  // namespace

namespace {

// mktime looks at the time-zone files again on every call: it was the main
// cost of a walk that converts three dates per entry. What it says of a day
// is kept per thread (the dates of one volume are few), keyed by the date and
// valid while TZ stays as it was.
long long MakeTime(uint16_t nDate, int nDayOffset, int nSeconds, int nIsDst) {
    struct tm t;
    std::memset(&t, 0, sizeof(t));
    t.tm_year = (nDate >> 9) + 80;
    t.tm_mon = ((nDate >> 5) & 0x0F) - 1;
    t.tm_mday = (nDate & 0x1F) + nDayOffset;
    // The time of day in its own fields: mktime guesses summer time from the
    // fields as given, so seconds past midnight would be taken at midnight's.
    t.tm_hour = nSeconds / 3600;
    t.tm_min = nSeconds / 60 % 60;
    t.tm_sec = nSeconds % 60;
    t.tm_isdst = nIsDst;
    return static_cast<long long>(mktime(&t));
}

struct DayTimes {
    long long llStandardMidnight;  // midnight, standard time
    long long llWallMidnight;      // midnight, the wall clock of that day
    bool bEvenDay;                 // 24 hours to the next midnight: no clock change
};

struct DayMemo {
    static constexpr int kSlots = 1024;
    uint16_t anDate[kSlots];
    bool abValid[kSlots];
    DayTimes times[kSlots];
    std::string strTz;
    bool bTzSet = false;
};

const DayTimes& TimesOfDay(uint16_t nDate) {
    using Memo = DayMemo;
    thread_local Memo memo;
    const char* szTz = std::getenv("TZ");
    if (memo.bTzSet != (szTz != nullptr) || (szTz && memo.strTz != szTz)) {
        std::fill(std::begin(memo.abValid), std::end(memo.abValid), false);
        memo.bTzSet = szTz != nullptr;
        memo.strTz = szTz ? szTz : "";
    }
    const int nSlot = nDate % Memo::kSlots;
    if (!memo.abValid[nSlot] || memo.anDate[nSlot] != nDate) {
        DayTimes& day = memo.times[nSlot];
        day.llStandardMidnight = MakeTime(nDate, 0, 0, 0);
        day.llWallMidnight = MakeTime(nDate, 0, 0, -1);
        day.bEvenDay = MakeTime(nDate, 1, 0, -1) - day.llWallMidnight == 86400;
        memo.anDate[nSlot] = nDate;
        memo.abValid[nSlot] = true;
    }
    return memo.times[nSlot];
}

}  // namespace

long long FatDateToTime(uint16_t nDate) {
    return TimesOfDay(nDate).llStandardMidnight;
}

long long FatDateTimeToTime(uint16_t nDate, uint16_t nTime, uint8_t n10ms) {
    const int nHour = nTime >> 11, nMinute = (nTime >> 5) & 0x3F, nSecond = (nTime & 0x1F) * 2;
    int nSeconds = 0;
    if (nHour < 24 && nMinute < 60 && nSecond < 60)
        nSeconds = nHour * 3600 + nMinute * 60 + nSecond + (n10ms < 200 ? n10ms / 100 : 0);
    // The wall clock of that day, summer time or not: on a day without a
    // clock change it runs evenly from midnight.
    const DayTimes& day = TimesOfDay(nDate);
    if (day.bEvenDay) return day.llWallMidnight + nSeconds;
    return MakeTime(nDate, 0, nSeconds, -1);
}

unsigned char GetShortNameCheckSum(const char* szName11) {
    unsigned char nSum = 0;
    for (int i = 0; i < 11; ++i) {
        nSum = static_cast<unsigned char>(((nSum & 1) << 7) + (nSum >> 1) +
                                          static_cast<unsigned char>(szName11[i]));
    }
    return nSum;
}

bool IsInvalidShortFileName(const char* szName11) {
    static const char kBad[] = "\\:*?\"<>|.";
    for (int i = 0; i < 11; ++i) {
        unsigned char c = static_cast<unsigned char>(szName11[i]);
        if (c < 0x20 || (c >= 'a' && c <= 'z') || std::memchr(kBad, c, sizeof(kBad) - 1)) {
            return true;
        }
    }
    return false;
}

bool IsFatFileRecord(const unsigned char* pBuf) {
    if (!pBuf) return false;
    const unsigned char* p1 = pBuf + 32;
    return pBuf[0] == '.' && (pBuf[11] & FAT_ATTR_DIRECTORY) && Le32(pBuf + 28) == 0 &&
           p1[0] == '.' && p1[1] == '.' && (p1[11] & FAT_ATTR_DIRECTORY) && Le32(p1 + 28) == 0;
}

bool IsFatEntyValid(const FAT32_Entry* pEntry, int nBytesAvailable) {
    if (!pEntry || nBytesAvailable < 32) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pEntry);
    if (nBytesAvailable >= 64 && IsFatFileRecord(p)) return true;

    const uint8_t nAttr = p[11];
    const uint32_t nSize = Le32(p + 28);
    const uint16_t nHigh = Le16(p + 20);
    const uint16_t nLow = Le16(p + 26);
    const bool bDeleted = p[0] == FAT_ENTRY_DELETED;
    const bool bDir = (nAttr & FAT_ATTR_DIRECTORY) != 0;
    const bool bLongName = nAttr == FAT_ATTR_LONG_NAME;

    if (!bDir && nSize == 0 && (nHigh != 0 || nLow != 0)) return false;
    if (!bLongName) {
        if (nAttr == FAT_ATTR_VOLUME_ID) {
            if (nSize != 0 || nHigh != 0 || nLow != 0) return false;
        } else if (nAttr & FAT_ATTR_VOLUME_ID) {
            return false;
        }
    }
    if ((nAttr & (FAT_ATTR_DIRECTORY | FAT_ATTR_READ_ONLY)) ==
        (FAT_ATTR_DIRECTORY | FAT_ATTR_READ_ONLY)) {
        return false;
    }
    if (nAttr & 0xC0) return false;
    if (bLongName) {
        // A deleted long-name entry keeps no sequence number to check.
        if (!bDeleted && (p[0] & ~FAT_LONG_NAME_LAST) > 18) return false;
    } else {
        if (nAttr != FAT_ATTR_VOLUME_ID && IsInvalidShortFileName(pEntry->szName)) return false;
        if (!bDeleted && !bDir) {
            if (!IsDateInWindow(pEntry->nCreateDate) || !IsDateInWindow(pEntry->nLastAccessDate) ||
                !IsDateInWindow(pEntry->nLastWriteDate)) {
                return false;
            }
        }
    }
    if (bDir && !bDeleted && nSize != 0) return false;
    if (bLongName && nLow != 0) return false;
    if (nAttr == FAT_ATTR_VOLUME_ID || bLongName || bDir) return true;
    return (nAttr & FAT_ATTR_ARCHIVE) != 0;
}

bool IsFatFDTRecord(const unsigned char* pBuf, int nLength) {
    if (!pBuf || nLength < 32) return false;
    const int nSlots = nLength / 32;
    int nEnd = nSlots;  // slot holding the end-of-directory mark, if any
    for (int i = 0; i < nSlots; ++i) {
        const unsigned char* p = pBuf + 32 * i;
        if (p[0] == 0) {
            nEnd = i;
            break;
        }
        const int nLeft = nLength - 32 * i;
        if (!IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(p), nLeft)) return false;
        // Two repeating halves are filler, not an entry.
        if (std::memcmp(p + 1, p + 17, 14) == 0) return false;
        if (p[11] != FAT_ATTR_LONG_NAME) {
            if (!IsPlausibleShortSlot(p)) return false;
            continue;
        }
        const unsigned char nCheckSum = p[13];
        for (int k = 1; k <= 18 && i + k < nSlots; ++k) {
            const unsigned char* q = p + 32 * k;
            if (!IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(q), nLeft - 32 * k)) {
                return false;
            }
            if (q[11] == FAT_ATTR_LONG_NAME) {
                if (q[13] != nCheckSum) return false;
                continue;
            }
            if (q[0] != FAT_ENTRY_DELETED &&
                GetShortNameCheckSum(reinterpret_cast<const char*>(q)) != nCheckSum) {
                return false;
            }
            break;
        }
    }
    if (nEnd == nSlots) return true;
    if (nEnd == 0) return false;
    for (int i = 32 * nEnd; i < nLength; ++i) {
        if (pBuf[i] != 0) return false;
    }
    return true;
}

void Fat32GetFileCreateTime(const FAT32_Entry* pEntry, _FILETIME* pTime) {
    if (pEntry) DateToFileTime(pEntry->nCreateDate, pTime);
}

void Fat32GetFileLastAccessTime(const FAT32_Entry* pEntry, _FILETIME* pTime) {
    if (pEntry) DateToFileTime(pEntry->nLastAccessDate, pTime);
}

void Fat32GetFileLastChangeTime(const FAT32_Entry* pEntry, _FILETIME* pTime) {
    if (pEntry) DateToFileTime(pEntry->nLastWriteDate, pTime);
}
