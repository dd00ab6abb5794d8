#include "exfat/ExFatEntry.h"

#include "common/ByteOrder.h"
#include "common/Utf16.h"

namespace {

const unsigned kMaxNameUnits = 255;
const unsigned kNameUnitsPerEntry = 15;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

uint16_t ExFatSetChecksum(const unsigned char* pSet, size_t nEntries) {
    uint16_t nSum = 0;
    const size_t nBytes = nEntries * kExFatEntryBytes;
    for (size_t i = 0; i < nBytes; ++i) {
        if (i == 2 || i == 3) continue;
        unsigned char c = pSet[i];
        if (i % kExFatEntryBytes == 0) c |= EXFAT_ENTRY_IN_USE;
        nSum = static_cast<uint16_t>(((nSum & 1) ? 0x8000 : 0) + (nSum >> 1) + c);
    }
    return nSum;
}

ExFatSetResult ParseExFatFileSet(const unsigned char* pBuf, size_t nLength, size_t nOffset,
                                 EXFAT_FILE_SET& set) {
    set = EXFAT_FILE_SET{};
    if (!pBuf || nOffset > nLength || nLength - nOffset < kExFatEntryBytes) return EXFAT_SET_SHORT;
    const unsigned char* p = pBuf + nOffset;
    if ((p[0] | EXFAT_ENTRY_IN_USE) != EXFAT_ENTRY_FILE) return EXFAT_SET_NOT_FILE;
    const uint8_t nInUse = p[0] & EXFAT_ENTRY_IN_USE;
    // A Stream Extension and 1 to 17 File Name entries (255 units), perhaps more
    // secondary entries after them.
    const unsigned nSecondary = p[1];
    if (nSecondary < 2 || nSecondary > 18) return EXFAT_SET_BAD;
    set.nEntries = nSecondary + 1;
    if ((nLength - nOffset) / kExFatEntryBytes < set.nEntries) return EXFAT_SET_SHORT;
    // All entries of a set are in use, or all deleted; each secondary is one.
    for (unsigned i = 1; i < set.nEntries; ++i) {
        const uint8_t nType = p[i * kExFatEntryBytes];
        if ((nType & EXFAT_ENTRY_IN_USE) != nInUse || !(nType & 0x40)) return EXFAT_SET_BAD;
    }
    if (ExFatSetChecksum(p, set.nEntries) != Le16(p + 2)) return EXFAT_SET_BAD;

    const unsigned char* s = p + kExFatEntryBytes;
    const unsigned nNameUnits = s[3];
    const unsigned nNameEntries = (nNameUnits + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry;
    if ((s[0] | EXFAT_ENTRY_IN_USE) != EXFAT_ENTRY_STREAM || nNameUnits == 0 ||
        nNameEntries > nSecondary - 1)
        return EXFAT_SET_BAD;
    unsigned char units[2 * kMaxNameUnits];
    for (unsigned i = 0; i < nNameEntries; ++i) {
        const unsigned char* n = s + (i + 1) * kExFatEntryBytes;
        if ((n[0] | EXFAT_ENTRY_IN_USE) != EXFAT_ENTRY_NAME) return EXFAT_SET_BAD;
        for (unsigned k = 0; k < 2 * kNameUnitsPerEntry; ++k) {
            const unsigned nAt = i * 2 * kNameUnitsPerEntry + k;
            if (nAt < 2 * nNameUnits) units[nAt] = n[2 + k];
        }
    }
    set.u64ValidDataLength = Le64(s + 8);
    set.u64DataLength = Le64(s + 24);
    // Valid data beyond the end of the data is no real file.
    if (set.u64ValidDataLength > set.u64DataLength) return EXFAT_SET_BAD;
    set.bDeleted = nInUse == 0;
    set.nAttributes = Le16(p + 4);
    set.nCreateTime = Le32(p + 8);
    set.nModifyTime = Le32(p + 12);
    set.nAccessTime = Le32(p + 16);
    set.nCreate10ms = p[20];
    set.nModify10ms = p[21];
    set.nCreateUtc = p[22];
    set.nModifyUtc = p[23];
    set.nAccessUtc = p[24];
    set.nFlags = s[1];
    set.nFirstCluster = Le32(s + 20);
    set.wstrName = Utf16LeToWide(units, nNameUnits);
    return EXFAT_SET_OK;
}

bool ExFatTimeToFileTime(uint32_t nStamp, uint8_t n10ms, uint8_t nUtcOffset, _FILETIME& ft) {
    ft = _FILETIME{0, 0};
    const unsigned nSecond = (nStamp & 0x1F) * 2, nMinute = (nStamp >> 5) & 0x3F;
    const unsigned nHour = (nStamp >> 11) & 0x1F, nDay = (nStamp >> 16) & 0x1F;
    const unsigned nMonth = (nStamp >> 21) & 0x0F, nYear = 1980 + (nStamp >> 25);
    static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (nSecond > 58 || nMinute > 59 || nHour > 23 || nMonth < 1 || nMonth > 12 || nDay < 1 ||
        nDay > kDays[nMonth - 1] || n10ms > 199)
        return false;
    if (nMonth == 2 && nDay == 29 && !(nYear % 4 == 0 && (nYear % 100 != 0 || nYear % 400 == 0)))
        return false;
    long long llSeconds =
        DaysFromCivil(nYear, nMonth, nDay) * 86400 + nHour * 3600 + nMinute * 60 + nSecond;
    if (nUtcOffset & 0x80) {
        // Seven-bit two's complement quarter hours east of UTC.
        const int nQuarters = (nUtcOffset & 0x40) ? static_cast<int>(nUtcOffset & 0x7F) - 128
                                                  : static_cast<int>(nUtcOffset & 0x7F);
        llSeconds -= nQuarters * 15 * 60;
    }
    const unsigned long long u64Ticks =
        static_cast<unsigned long long>(llSeconds + 11644473600LL) * 10000000ull +
        n10ms * 100000ull;
    ft.dwLowDateTime = static_cast<uint32_t>(u64Ticks);
    ft.dwHighDateTime = static_cast<uint32_t>(u64Ticks >> 32);
    return true;
}
