// Shared plain types and result codes of the engines.
#pragma once

#include <cstdint>
#include <cwchar>

// Result codes shared by every engine operation.
enum : unsigned int {
    TW_OK = 0,
    TW_ERR_OUT_OF_MEMORY = 8,
    TW_ERR_CLUSTER_TOO_LARGE = 29,
    TW_ERR_SHORT_READ = 30,
    TW_ERR_TIME = 34,
    TW_ERR_BAD_ARGUMENT = 87,
    TW_ERR_CANCELLED = 0xFFFFDAC9u,  // -9527: the user cancelled
};

// Wall-clock time, field order as the engines read it (day of month third).
struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDay;
    uint16_t wDayOfWeek;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME is eight 16-bit fields");

// A 64-bit time stored as low then high 32 bits.
struct _FILETIME {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
};
static_assert(sizeof(_FILETIME) == 8, "_FILETIME is two 32-bit halves");

// Attributes of an open file (rsb_statH).
#pragma pack(push, 4)
struct STRUCT_RSB_FILE_ATTR {
    uint32_t nReserved0;
    uint32_t nMode;
    uint32_t nUid;
    uint32_t nGid;
    uint32_t nSizeHigh;
    uint32_t nSizeLow;
    uint64_t u64AccessTime;
    uint64_t u64ModifyTime;
    uint64_t u64ChangeTime;
    uint32_t nReserved1;
    uint32_t nDevice;
    uint64_t u64Inode;
    uint32_t nLinks;
};
#pragma pack(pop)
