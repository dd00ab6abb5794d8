// The fast FAT engine: walks the directory tree of a FAT12/16/32 volume whose
// boot sector is intact, records every deleted file and every file of a
// deleted directory (with the directories on their paths), and reads their
// data back for saving and preview. It also maps the clusters in use so that a
// deep scan can read only the free space.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>
#include "common/DiskReader.h"
#include "engine/EngineBase.h"
#include "fat/FatRecord.h"

class CFastFatRecovery : public CEngineBase {
public:
    CFastFatRecovery();
    ~CFastFatRecovery() override;
    CFastFatRecovery(const CFastFatRecovery&) = delete;
    CFastFatRecovery& operator=(const CFastFatRecovery&) = delete;

    // Binds the area of the medium, reads the boot sector and fills the
    // allocation-table cache. An engine already set up returns 0 unchanged.
    using IFileRecoveryParse::Init;
    unsigned int Init(const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector,
                      long long llSectorCount, wchar_t wcDriveLetter) override;
    // Before Init: the boot sector is read from this sector of the area (a
    // copy, when the first sector is damaged) instead of its first sector.
    void SetBootSectorCopy(unsigned long long u64Sector) { m_u64BootCopy = u64Sector; }
    unsigned int ScanDevice(const wchar_t* wszResultName) override;
    // Positions and counts in 512-byte sectors relative to the area's start,
    // whatever the volume's sector size.
    unsigned int GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                      unsigned long long& u64Count) override;
    // Stores the search callback (handed to the store when there is one); 0.
    unsigned int InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch, void* pContext) override;
    unsigned int BuildBitMapInfo() override;

    // ---- Volume facts and cluster chains (also used by tests) ----------
    // 12, 16 or 32 once set up; 0 before.
    unsigned int GetFatBits() const { return m_nFatBits; }
    // 1 for FAT32, 0 for FAT12/16 (the argument is not used).
    unsigned int GetDeviceFileSystemType(char* szUnused) const;
    uint32_t GetRootDirId() const { return m_nFatBits == 32 ? m_nRootCluster : 0; }
    uint32_t GetClusterCount() const { return m_nClusterCount; }
    uint32_t GetSectorsPerCluster() const { return m_nSectorsPerCluster; }
    uint32_t GetFirstDataSector() const { return m_nFirstDataSector; }
    // The allocation-table entry of a cluster (FAT12 entries decoded as 12
    // bits). 87 for a cluster outside the table, 30 when its sector cannot be
    // read.
    unsigned int GetNextClusterNO(uint32_t nCluster, uint32_t& nNext);
    // Where a file's data continues after a cluster: the chain's next cluster;
    // 0 at its end; for a free entry (a deleted file) the next cluster after
    // this one that the table marks free and no other deleted file holds
    // (one whose run holds nOwnFirst, the file's own first cluster, does not
    // count), 0 when there is none.
    unsigned int FindNextClusterNO(uint32_t nCluster, uint32_t& nNext, uint32_t nOwnFirst = 0);
    // Level of a directory (0 for the top) by following ".." entries on disk.
    unsigned int _GetRootParentDirIndex(uint32_t nDir, unsigned int& nLevel);
    // A FAT32 deletion may clear the high word of the first cluster: the high
    // word (0 ... 256) under which the low word's first sector fits the name's
    // extension, or a directory's "." and "..". High stays as it was when none fits.
    unsigned int GetFileRealHighClusterNO(uint16_t nLow, uint16_t& nHigh, const char* szName);
    unsigned int GetDirRealHighClusterNO(uint16_t nLow, uint16_t& nHigh);
    // 1 when the first sector of the file's data fits its extension (or the
    // name has none, or the sector cannot be read), else 0.
    uint32_t IsFileDataHealth(const _FILE_NODE_* pNode, uint32_t nSectorsPerCluster);

protected:
    // Calls the sink with each piece of the file's data, at most u64Wanted
    // bytes in all. 0, the sink's first non-zero value, a read's code, 29 for
    // clusters above 100 MiB, or 30 when the data cannot be followed.
    unsigned int StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                const DataSink& sink) override;
    uint32_t RootDirId() const override { return GetRootDirId(); }

private:
    // The next free run from a position, both in the volume's own sectors.
    unsigned int FreeRun(unsigned long long& u64StartSector, unsigned long long& u64Count);
    static constexpr int kBootBytes = 4096;  // read at the volume start
    unsigned long long m_u64BootCopy = 0;

    using DirInfo = FolderPaths::Folder;
    struct DirWalk {
        uint32_t nCurrentId;
        unsigned int nLevel;
        bool bParentDeleted;
        bool bEnded;
        const DirInfo* pInfo;  // the entry that led here; null for the top
        FatLongName lfn;
    };

    unsigned int SetUpVolume();
    unsigned int FillFatCache(uint64_t u64ByteOffset);
    uint64_t ClusterToSector(uint32_t nCluster) const;
    bool IsDataCluster(uint32_t nCluster) const;
    bool IsEndOfChain(uint32_t nEntry) const;
    bool IsSectorOfType(const unsigned char* pSector, const char* szExt, uint64_t u64Sector);
    unsigned int ReadSectors(unsigned char* pBuf, uint32_t nSectors, uint64_t u64Sector,
                             uint32_t& nRead);

    // The next cluster of a deleted directory: the first free cluster after
    // nCluster that holds directory entries and no directory's start.
    uint32_t FindNextDirCluster(uint32_t nCluster, std::vector<unsigned char>& buf);
    void ParseDirSlot(DirWalk& walk, const unsigned char* pBuf, int nLength, int nOffset,
                      uint64_t u64SlotSector);
    void RecordFile(DirWalk& walk, const unsigned char* pSlot, const std::string& strName,
                    uint64_t u64SlotSector);
    void RecordDir(DirWalk& walk, const unsigned char* pSlot, const std::string& strName);
    unsigned int LevelOf(uint32_t nDirId);

    // Source: the partition, in volume sectors.
    EngineSource m_src;
    bool m_bReady;  // boot sector read and understood

    // Boot sector.
    unsigned char m_szBootSector[kBootBytes];
    uint32_t m_nBytesPerSector;
    uint32_t m_nSectorsPerCluster;
    uint32_t m_nReservedSectors;
    uint32_t m_nNumFats;
    uint32_t m_nFatSectors;
    uint32_t m_nRootDirSectors;   // FAT12/16 root area
    uint32_t m_nFirstDataSector;  // relative to the partition start
    uint32_t m_nRootCluster;
    uint32_t m_nFat32;
    uint32_t m_nFatBits;
    uint64_t m_u64VolumeSectors;  // total sectors of the volume (boot sector)
    uint32_t m_nClusterCount;     // data clusters, numbered 2 ... count + 1
    uint32_t m_nEngineType;

    // Allocation-table cache: a window of the first table.
    uint64_t m_u64FirstFatSector;  // absolute
    std::vector<unsigned char> m_vecFatCache;
    uint64_t m_u64CacheStart;  // byte offset within the table
    uint32_t m_nCacheValid;    // bytes of the window actually read

    // Scan state.
    // Directories waiting to be read, each with the entry that led to it.
    struct PendingDir {
        uint32_t nCluster;
        unsigned int nLevel;
        bool bHasEntry;  // false for the top directory
        DirInfo info;
    };
    std::deque<PendingDir> m_dirQueue;
    FolderPaths m_folders;  // directories read, and those on recorded paths
    // Reads one directory; false when its first cluster now belongs to another.
    bool InitDirInfo(const PendingDir& dir, unsigned int& nResult);
    std::map<uint32_t, unsigned int> m_mapDirLevel;
    std::unordered_set<uint32_t> m_setDirClusters;  // clusters read as directories
    uint64_t m_u64FilesFound;                       // file records made by this scan
    CClaimedClusters m_claims;                      // runs of deleted files whose data looks intact

    // Free-space map: bit i stands for cluster i + 2.
    std::vector<unsigned char> m_vecBitmap;
};
