// Checks and decodes raw 32-byte FAT directory entries, and decides whether a
// sector of unknown content is a FAT directory table.
#pragma once

#include <cstddef>
#include <cstdint>
#include "common/Types.h"

// Attribute bits of a directory entry.
enum : uint8_t {
    FAT_ATTR_READ_ONLY = 0x01,
    FAT_ATTR_HIDDEN = 0x02,
    FAT_ATTR_SYSTEM = 0x04,
    FAT_ATTR_VOLUME_ID = 0x08,
    FAT_ATTR_DIRECTORY = 0x10,
    FAT_ATTR_ARCHIVE = 0x20,
    FAT_ATTR_LONG_NAME = 0x0F,
};
enum : uint8_t { FAT_ENTRY_DELETED = 0xE5, FAT_LONG_NAME_LAST = 0x40 };

#pragma pack(push, 1)
// The short (8.3) directory entry. Dates: bits 15-9 year - 1980, 8-5 month,
// 4-0 day. Times: bits 15-11 hour, 10-5 minute, 4-0 seconds / 2.
struct FAT32_Entry {
    char szName[8];  // blank-padded; 0xE5 first: deleted; 0x00 first: end of directory
    char szExt[3];   // blank-padded
    uint8_t nAttr;
    uint8_t nReserved;
    uint8_t nCreateTimeTenth;
    uint16_t nCreateTime;
    uint16_t nCreateDate;
    uint16_t nLastAccessDate;
    uint16_t nFirstClusterHigh;
    uint16_t nLastWriteTime;
    uint16_t nLastWriteDate;
    uint16_t nFirstClusterLow;
    uint32_t nFileSize;
};
// A long-name entry (attribute 0x0F): 13 UTF-16 units of the name.
struct FAT32_LongNameEntry {
    uint8_t nSequence;  // 0x40 on the entry with the last part of the name; 0xE5 deleted
    uint16_t wszName1[5];
    uint8_t nAttr;
    uint8_t nType;
    uint8_t nCheckSum;  // checksum of the short name this long name belongs to
    uint16_t wszName2[6];
    uint16_t nFirstClusterLow;
    uint16_t wszName3[2];
};
#pragma pack(pop)
static_assert(sizeof(FAT32_Entry) == 32, "FAT directory entry is 32 bytes");
static_assert(offsetof(FAT32_Entry, nAttr) == 0x0B, "layout");
static_assert(offsetof(FAT32_Entry, nCreateTime) == 0x0E, "layout");
static_assert(offsetof(FAT32_Entry, nCreateDate) == 0x10, "layout");
static_assert(offsetof(FAT32_Entry, nLastAccessDate) == 0x12, "layout");
static_assert(offsetof(FAT32_Entry, nFirstClusterHigh) == 0x14, "layout");
static_assert(offsetof(FAT32_Entry, nLastWriteTime) == 0x16, "layout");
static_assert(offsetof(FAT32_Entry, nLastWriteDate) == 0x18, "layout");
static_assert(offsetof(FAT32_Entry, nFirstClusterLow) == 0x1A, "layout");
static_assert(offsetof(FAT32_Entry, nFileSize) == 0x1C, "layout");
static_assert(sizeof(FAT32_LongNameEntry) == 32, "long-name entry is 32 bytes");
static_assert(offsetof(FAT32_LongNameEntry, nAttr) == 11, "layout");
static_assert(offsetof(FAT32_LongNameEntry, nCheckSum) == 13, "layout");
static_assert(offsetof(FAT32_LongNameEntry, wszName2) == 14, "layout");
static_assert(offsetof(FAT32_LongNameEntry, nFirstClusterLow) == 26, "layout");
static_assert(offsetof(FAT32_LongNameEntry, wszName3) == 28, "layout");

// Time values accepted as plausible entry dates (about May 1991 to January 2080).
constexpr long long kFatTimeMin = 673231085LL;
constexpr long long kFatTimeMax = 3473231085LL;

// Seconds since 1970 (local time, as mktime gives them) of 00:00 on a FAT date.
long long FatDateToTime(uint16_t nDate);
// Seconds since 1970 of a date and time word, read as the local wall-clock
// time of that day (as the kernel's vfat reads FAT times), in steps of 2
// seconds; the creation time's 10 ms count (0-199) adds the odd second. A time
// word out of range counts as 00:00.
long long FatDateTimeToTime(uint16_t nDate, uint16_t nTime, uint8_t n10ms = 0);

// Whether a single entry is plausible. The "." / ".." shortcut looks at the
// entry after this one, so it applies only when nBytesAvailable (the bytes
// readable from pEntry on) is at least 64; nothing past nBytesAvailable is read.
bool IsFatEntyValid(const FAT32_Entry* pEntry, int nBytesAvailable = 32);
// Whether the buffer (at least 64 bytes) starts with the "." and ".." entries of
// a directory's first cluster. Null is false.
bool IsFatFileRecord(const unsigned char* pBuf);
// Whether the buffer of nLength bytes holds FAT directory entries only.
bool IsFatFDTRecord(const unsigned char* pBuf, int nLength);

// Dates of an entry as seconds since 1970 (low half, high half).
void Fat32GetFileCreateTime(const FAT32_Entry* pEntry, _FILETIME* pTime);
void Fat32GetFileLastAccessTime(const FAT32_Entry* pEntry, _FILETIME* pTime);
void Fat32GetFileLastChangeTime(const FAT32_Entry* pEntry, _FILETIME* pTime);

// The long-name checksum of an 11-byte short name.
unsigned char GetShortNameCheckSum(const char* szName11);
// True when any of the 11 bytes is a control byte, a lower-case letter or one
// of \ : * ? " < > | .
bool IsInvalidShortFileName(const char* szName11);
