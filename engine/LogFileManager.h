// The scan-log folder: one numbered sub-folder per deep scan holding that
// scan's result stores, and the index file "config" that remembers, per
// scanned disk area, its folder and how far its scan got. All paths come from
// tw::ScanLogDir(). One instance for the program; one thread at a time.
//
// Several programs may share the folder at once. Each changes the index under
// a lock ("config.lock"), reading it again first, so that no change of another
// is lost; each scan takes its own folder (made, never shared) and holds the
// folder's lock ("Lock" inside it) while it lives; a folder another program
// holds is never deleted nor taken. Records whose folder is gone are dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/StoreFiles.h"

// One scanned area: 592 bytes in the index file.
struct _LOG_FILE_INFO_ {
    int32_t nDiskNo;
    uint32_t nReserved;          // zero
    uint64_t u64FirstSector;     // of the scanned area
    uint64_t u64SectorCount;     // of the scanned area
    uint64_t u64RegionStart;     // region being scanned, sectors from the first
    uint64_t u64RegionLeft;      // sectors of the region still to scan
    uint64_t u64RegionDone;      // sectors of the region already scanned
    uint64_t u64ScannedSectors;  // sectors scanned in all
    uint64_t u64FileCount;       // files found so far
    uint64_t u64FreeBytes;       // free bytes when written: the fingerprint (0 for an image)
    uint64_t u64ImageSize;       // written as 0
    char szImagePath[256];       // empty for a disk
    char szLogDir[256];          // the scan folder, ending with "/"
};
static_assert(sizeof(_LOG_FILE_INFO_) == 592, "_LOG_FILE_INFO_ is 592 bytes");
static_assert(offsetof(_LOG_FILE_INFO_, u64FirstSector) == 8, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, u64SectorCount) == 16, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, u64RegionStart) == 24, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, u64RegionLeft) == 32, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, u64RegionDone) == 40, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, u64ScannedSectors) == 48, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, u64FileCount) == 56, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, u64FreeBytes) == 64, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, u64ImageSize) == 72, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, szImagePath) == 80, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, szLogDir) == 336, "layout");

// Prefixes of the store names inside a scan folder.
inline constexpr char kLogPrefixFast[] = "Fast_";           // fast FAT and NTFS engines
inline constexpr char kLogPrefixFileType[] = "File_Type_";  // carving
inline constexpr char kLogPrefixProFat[] = "Pro_Fat_";      // deep FAT
inline constexpr char kLogPrefixProNtfs[] = "Pro_Ntfs_";    // deep NTFS
// The file a live scan holds locked in its folder.
inline constexpr char kLogHoldName[] = "Lock";

class CLogFileManager {
public:
    // The single instance, made (and Init run) on first call.
    static CLogFileManager& GetInstance();

    // (Re)reads the index from tw::ScanLogDir(): the records and the folder
    // number are replaced, the loaded-folder flag cleared. An interrupted save
    // ("config.tmp" without "config") is repaired first. 0; 87 when the file is
    // empty or cannot be opened; 30 on a short read; errno when its size
    // cannot be read.
    unsigned int Init();

    // The loaded earlier folder when one is loaded, else base + number + "/".
    std::string GetLogFileDirPath() const;
    // The same into a buffer of nOutSize bytes; 87 when it does not fit.
    int GetLogFileDirPath(char* szOut, int nOutSize) const;
    // The next number that no folder another program holds has: its folder is
    // made (a leftover of a scan that is over is emptied first) and held, the
    // one held before let go; clears the loaded flag.
    void AddDirIndex();
    // Number - 1: the folder just taken is let go and removed.
    void ReduceDirIndex();
    // Whether another program holds that scan folder (a scan of it is live).
    bool IsHeldByAnother(const char* szDir) const;
    // The medium a scan folder belongs to (SourceIdentity::Key), "" when unknown.
    static std::string ReadSourceKey(const std::string& strDir);
    static void WriteSourceKey(const std::string& strDir, const std::string& strKey);
    // Forgets the loaded earlier folder (and lets it go).
    void Unload();
    uint64_t GetDirIndex() const { return m_u64DirIndex; }
    const std::string& GetBaseDir() const { return m_strBaseDir; }

    // First entry of the folder whose name contains the prefix, copied to
    // szOut (cut to nOutSize bytes); szOut is left empty when none. Returns 0.
    int GetLogFileNameByFileType(const char* szDir, const char* szPrefix, char* szOut,
                                 int nOutSize);

    // The store set in the folder whose name starts with the prefix: the name
    // of its node file (the one beside which "_Relation" lies), "" when none.
    // Unlike GetLogFileNameByFileType, never one of the set's other files.
    static std::string FindStoreName(const std::string& strDir, const char* szPrefix);

    // Records a scan's state and writes the index; 0 or errno of the save.
    int SaveLogFileInfo(const char* szDevicePath, int nDiskNo, uint64_t u64FirstSector,
                        uint64_t u64SectorCount, uint64_t u64RegionStart, uint64_t u64RegionLeft,
                        uint64_t u64RegionDone, uint64_t u64Scanned, uint64_t u64Files,
                        const char* szLogDir, const char* szImagePath);
    // An earlier scan of the same area with the same free bytes: 1, its record
    // copied out and its folder loaded (and held). Otherwise 0 (a stale one is
    // deleted; one that another program holds is left alone).
    int LoadRecoveryLogInfo(const char* szDevicePath, int nDiskNo, uint64_t u64FirstSector,
                            uint64_t u64SectorCount, _LOG_FILE_INFO_* pOut);
    // The earlier scan of that area of an image (or a medium opened by path):
    // 1, its record copied out and its folder loaded; 0 when there is none.
    int LoadImageLogInfo(const char* szImagePath, uint64_t u64FirstSector, uint64_t u64SectorCount,
                         _LOG_FILE_INFO_* pOut);
    // The first record of that image (or disk area): 1 and the record when its
    // size (free bytes) matches; otherwise its folder is deleted and 0.
    int GetFileInfo(const char* szImagePath, uint64_t u64Size, _LOG_FILE_INFO_** ppOut);
    int GetFileInfo(int nDiskNo, uint64_t u64FirstSector, uint64_t u64SectorCount,
                    uint64_t u64FreeBytes, _LOG_FILE_INFO_** ppOut);
    // Drops the first record of that folder (ignoring case), deletes the
    // folder with everything in it and writes the index. Symbolic links are
    // removed, never followed. A folder another program holds is kept, with
    // its record.
    int DeleteLogFileDir(const char* szDir);
    // Writes "config.tmp", then replaces "config" with it. 0 or errno.
    unsigned int SaveLogConfigFile();

    const std::vector<_LOG_FILE_INFO_>& GetRecords() const { return m_vecLogInfo; }
    bool IsLoaded() const { return m_bLoaded; }

private:
    CLogFileManager();
    CLogFileManager(const CLogFileManager&) = delete;
    CLogFileManager& operator=(const CLogFileManager&) = delete;
    // The first record that matches: returned when its field holds the value;
    // otherwise it is stale, its folder and record are deleted, and null.
    _LOG_FILE_INFO_* FindFresh(const std::function<bool(const _LOG_FILE_INFO_&)>& match,
                               uint64_t _LOG_FILE_INFO_::*pField, uint64_t u64Value);

    // Loads the record's folder (1, the record copied out), or for null
    // unloads (0). A folder another program holds is not loaded.
    int LoadRecord(const _LOG_FILE_INFO_* pInfo, _LOG_FILE_INFO_* pOut);
    // Reads the index again (under the index lock): records of folders that
    // are gone are left out.
    void Refresh();
    // Holds a scan folder for this program (lets the one held before go);
    // false when another holds it.
    bool Hold(const std::string& strDir);
    void Release();
    friend class CIndexLock;

    // The record of that image and area (an image has one record per area).
    _LOG_FILE_INFO_* FindImageRecord(const char* szImagePath, uint64_t u64FirstSector,
                                     uint64_t u64SectorCount);

    std::vector<_LOG_FILE_INFO_> m_vecLogInfo;
    std::string m_strBaseDir;
    uint64_t m_u64DirIndex;
    uint64_t m_u64FileIndex = 0;  // the number the index file holds
    bool m_bLoaded;
    std::string m_strLoadedDir;
    int m_nHeldFd = -1;
    std::string m_strHeldDir;
    int m_nIndexLockFd = -1;
    int m_nIndexLockDepth = 0;
};

// Parses the bytes of an index file: the u64 folder number, then 592-byte
// records (a trailing partial record is kept, its missing bytes zero). Paths in
// the records are forced to end within their fields. 0, or 87 when empty.
unsigned int ParseLogConfigData(const unsigned char* pData, size_t nSize, uint64_t& u64DirIndex,
                                std::vector<_LOG_FILE_INFO_>& vecOut);
