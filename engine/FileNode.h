// The shared records of the engines. They are written raw into result files,
// so their layout is a file format: little-endian, sizes and offsets pinned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include "common/Types.h"

// 0 asks for the fast engine of the file system found; any other value for the
// deep-scan driver.
typedef int RECOVERY_TYPE;
enum : int { RECOVERY_TYPE_FAST = 0, RECOVERY_TYPE_DEEP = 1 };

// Which engine made a record (_FILE_NODE_::nEngineType).
enum : uint32_t {
    ENGINE_FAST_NTFS = 0,
    ENGINE_FAST_FAT = 1,
    ENGINE_DEEP_NTFS = 2,
    ENGINE_DEEP_FAT = 3,
    ENGINE_CARVING = 4,
    ENGINE_FAST_EXFAT = 5,  // fast exFAT engine
    ENGINE_FAST_EXT = 6,    // fast ext2/ext3/ext4 engine
};

// One found file or directory: 344 bytes.
struct _FILE_NODE_ {
    uint32_t nDriveLetter;
    uint32_t nEngineType;
    uint32_t bIsDir;
    uint32_t bIsDeleted;
    uint32_t bDataHealth;
    uint32_t nFileIndex;
    uint32_t nDirId;
    uint32_t nClusterBytes;
    _FILETIME ftCreateTime;
    _FILETIME ftLastAccessTime;
    _FILETIME ftLastWriteTime;
    uint64_t u64FileSize;
    uint64_t u64DataStartSector;
    uint64_t u64RecordSector;
    uint64_t u64PartitionStartSector;
    char szFileName[256];
};
static_assert(sizeof(_FILE_NODE_) == 344, "_FILE_NODE_ is 344 bytes");
static_assert(offsetof(_FILE_NODE_, nEngineType) == 4, "layout");
static_assert(offsetof(_FILE_NODE_, bIsDir) == 8, "layout");
static_assert(offsetof(_FILE_NODE_, bIsDeleted) == 12, "layout");
static_assert(offsetof(_FILE_NODE_, bDataHealth) == 16, "layout");
static_assert(offsetof(_FILE_NODE_, nFileIndex) == 20, "layout");
static_assert(offsetof(_FILE_NODE_, nDirId) == 24, "layout");
static_assert(offsetof(_FILE_NODE_, nClusterBytes) == 28, "layout");
static_assert(offsetof(_FILE_NODE_, ftCreateTime) == 32, "layout");
static_assert(offsetof(_FILE_NODE_, ftLastAccessTime) == 40, "layout");
static_assert(offsetof(_FILE_NODE_, ftLastWriteTime) == 48, "layout");
static_assert(offsetof(_FILE_NODE_, u64FileSize) == 56, "layout");
static_assert(offsetof(_FILE_NODE_, u64DataStartSector) == 64, "layout");
static_assert(offsetof(_FILE_NODE_, u64RecordSector) == 72, "layout");
static_assert(offsetof(_FILE_NODE_, u64PartitionStartSector) == 80, "layout");
static_assert(offsetof(_FILE_NODE_, szFileName) == 88, "layout");

// One search hit: a byte copy of the matching record.
struct __SEARCH_FILE_INFO__ : _FILE_NODE_ {};
static_assert(sizeof(__SEARCH_FILE_INFO__) == 344, "same layout as _FILE_NODE_");

// One pending directory of a recursive save.
struct __FILE_DATA_RECOVERY__ {
    _FILE_NODE_ node;
    wchar_t wszTargetPath[512];
};
static_assert(offsetof(__FILE_DATA_RECOVERY__, wszTargetPath) == 344, "layout");
static_assert(sizeof(__FILE_DATA_RECOVERY__) == 2392, "344 + 512 wide characters");

// Directory key: level in the high 32 bits, directory identifier in the low.
inline uint64_t MakeDirKey(uint32_t nLevel, uint32_t nDirId) {
    return (static_cast<uint64_t>(nLevel) << 32) | nDirId;
}

// Callbacks. 0 goes on; any other value stops the operation, which returns it.
typedef int (*PFN_SCAN_CALLBACK)(void* pContext, int nPercent, int nScale, int nSecondsLeft,
                                 unsigned long long u64CurSector,
                                 unsigned long long u64TotalSectors,
                                 unsigned long long u64FilesFound, wchar_t* wszText);
typedef int (*PFN_RECOVERY_CALLBACK)(void* pContext, int nPercent, int nScale, int nError,
                                     wchar_t* wszTargetPath);
typedef int (*PFN_SEARCH_CALLBACK)(void* pContext, int nPercent, wchar_t* wszText);
typedef int (*PFN_PREVIEW_CALLBACK)(void* pContext, int nPercent, int nError);
