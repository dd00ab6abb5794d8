// The fast exFAT engine: sets a volume up from its boot region (the backup when
// the main one is damaged), walks the directory tree breadth first through its
// entry sets, records every deleted file and every file of a deleted folder
// (with the folders on their paths), and reads their data back: contiguous from
// the first cluster for NoFatChain files, else along the FAT while the chain
// holds and on through the free clusters after it. The allocation bitmap maps
// the clusters in use, so that a deep scan reads only the free ones.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>
#include "common/DiskReader.h"
#include "engine/EngineBase.h"
#include "exfat/ExFatEntry.h"

class CFastExFatRecovery : public CEngineBase {
public:
    CFastExFatRecovery();
    ~CFastExFatRecovery() override;

    // Binds the area of the medium, reads the boot region and the allocation
    // bitmap. An engine already set up returns 0 unchanged.
    using IFileRecoveryParse::Init;
    unsigned int Init(const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector,
                      long long llSectorCount, wchar_t wcDriveLetter) override;
    unsigned int ScanDevice(const wchar_t* wszResultName) override;
    // The free-space map is the volume's allocation bitmap, read at set-up.
    unsigned int BuildBitMapInfo() override;
    // Positions and counts in 512-byte sectors relative to the area's start,
    // whatever the volume's sector size (as for FAT and NTFS).
    unsigned int GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                      unsigned long long& u64Count) override;

    // ---- Volume facts (also used by tests) ----------------------------------
    bool IsReady() const { return m_bReady; }
    bool UsedBackupBootRegion() const { return m_bBackupBoot; }
    uint32_t GetBytesPerSector() const { return m_nBytesPerSector; }
    uint32_t GetClusterBytes() const { return m_nClusterBytes; }
    uint32_t GetClusterCount() const { return m_nClusterCount; }
    uint32_t GetRootCluster() const { return m_nRootCluster; }
    // Entry sets skipped by the last scan for a wrong checksum or form.
    unsigned int GetDamagedSetCount() const { return m_nDamagedSets; }

protected:
    unsigned int StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                const DataSink& sink) override;
    uint32_t RootDirId() const override { return m_nRootCluster; }

private:
    // The next free run from a position, both in the volume's own sectors.
    unsigned int FreeRun(unsigned long long& u64StartSector, unsigned long long& u64Count);
    using DirInfo = FolderPaths::Folder;
    struct PendingDir {
        uint32_t nCluster;
        uint8_t nFlags;      // Stream Extension flags (root: FAT chain)
        uint64_t u64Length;  // bytes (root: 0, the chain decides)
        unsigned int nLevel;
        bool bDeleted;   // the folder or one above it is deleted
        bool bHasEntry;  // false for the top directory
        DirInfo info;
    };
    // How a run of data goes on after each cluster.
    struct ClusterWalk {
        uint32_t nCluster;
        bool bNoFatChain;
        std::unordered_set<uint32_t> setSeen;  // clusters met through the FAT
        uint64_t u64FreeFrom;                  // below it every cluster is in use or met already
        uint32_t nFirst;                       // the run's first cluster
    };

    unsigned int SetUpVolume();
    unsigned int ReadBitmap(const std::vector<unsigned char>& root);
    bool IsDataCluster(uint64_t nCluster) const {
        return nCluster >= 2 && nCluster - 2 < m_nClusterCount;
    }
    bool IsClusterInUse(uint32_t nCluster) const;
    // In use by the bitmap, when the bitmap could be read.
    bool IsReused(uint32_t nCluster) const { return m_bBitmapKnown && IsClusterInUse(nCluster); }
    uint64_t ClusterSector(uint32_t nCluster) const;  // absolute
    unsigned int ReadVolume(unsigned char* pBuf, uint64_t u64Sector, uint32_t nSectors);
    unsigned int GetFatEntry(uint32_t nCluster, uint32_t& nEntry);
    // The next cluster of a run; 0 when it cannot go on. Deleted data keeps to
    // clusters the bitmap shows free.
    uint32_t NextCluster(ClusterWalk& walk, bool bDeleted);
    // Reads at most nClusters clusters of a run into buf (whole clusters) and
    // the absolute sector of each; false when not even the first could be read.
    bool ReadRun(uint32_t nFirst, uint8_t nFlags, bool bDeleted, uint64_t u64Clusters,
                 std::vector<unsigned char>& buf, std::vector<uint64_t>& vecSectors);

    // Reads a folder's entry sets; false when it was not read.
    bool WalkDir(const PendingDir& dir);
    void OnSet(const PendingDir& dir, const EXFAT_FILE_SET& set, uint64_t u64StreamSector);
    void FillNode(_FILE_NODE_& node, const EXFAT_FILE_SET& set, bool bDeleted);
    unsigned int LevelOf(uint32_t nDirId) const;
    // 1 when the first sector of a file's data fits the type its extension
    // promises (or there is no extension, no data, or no sector to read).
    uint32_t DataHealth(const _FILE_NODE_& node);
    // Flags and valid data length of a record, from its Stream Extension entry.
    unsigned int ReadStreamEntry(const _FILE_NODE_& node, uint8_t& nFlags, uint64_t& u64Valid);

    // Source (the partition, in volume sectors) and volume.
    EngineSource m_src;
    bool m_bReady = false;
    bool m_bBackupBoot = false;
    uint32_t m_nBytesPerSector = 512;
    uint32_t m_nSectorsPerCluster = 0;
    uint32_t m_nClusterBytes = 0;
    uint64_t m_u64FatOffset = 0;   // sectors, relative
    uint64_t m_u64HeapOffset = 0;  // sectors, relative
    uint32_t m_nClusterCount = 0;
    uint32_t m_nRootCluster = 0;
    std::vector<unsigned char> m_vecBitmap;  // bit i: cluster i + 2 in use
    bool m_bBitmapKnown = false;
    std::vector<unsigned char> m_vecFatCache;
    uint64_t m_u64FatCacheFirst = ~0ull;  // first FAT entry in the cache

    // Scan state.
    std::deque<PendingDir> m_dirQueue;
    FolderPaths m_folders;  // folders read, and those on recorded paths
    std::map<uint32_t, unsigned int> m_mapDirLevel;
    std::unordered_set<uint32_t> m_setDirClusters;
    uint64_t m_u64FilesFound = 0;
    unsigned int m_nDamagedSets = 0;
    CClaimedClusters m_claims;  // runs of deleted contiguous entries whose data looks intact
};
