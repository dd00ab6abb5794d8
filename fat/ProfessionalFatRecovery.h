// The deep FAT parser: rebuilds FAT directory trees from directory sectors
// found anywhere on a device, also when the boot sector and the allocation
// tables are gone or the card was formatted again. The deep-scan driver feeds
// it every sector that begins a directory (ParseFatFileRecord) and every other
// directory-table sector (ParseFDTFileRecord) in device order, then calls
// DealProfessionalRecordVec.
//
// The mapping from cluster numbers to sectors (a virtual boot record) is
// learned from the directories themselves: a directory's first sector names
// its own cluster in its "." entry, and two such observations that agree on a
// whole cluster size give the mapping. What no mapping places yet is kept
// aside (pending files, undealt sectors) and placed once one is known, or at
// the end under the best one.
//
// Directory ids in the store: 0 is the top of every volume; any other
// directory is its first cluster, with the index of its volume's record
// (up to 15) in the top four bits, so two volumes' folders never share a key.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "common/DiskReader.h"
#include "engine/EngineBase.h"

#pragma pack(push, 1)
// A learned (or read) mapping of clusters to sectors.
struct __VIRTUAL_DBR_INFO__ {
    uint32_t nSectorsPerCluster;
    uint32_t nDataStart;         // sector of cluster 2, relative to the partition
    uint64_t u64PartitionStart;  // absolute
};
// A file found where no virtual boot record places it yet.
struct __NO_DBR_FILE_NODE__ {
    uint32_t bDealt;
    _FILE_NODE_ node;  // nFileIndex: the parent cluster; u64RecordSector: the directory sector
};
#pragma pack(pop)
static_assert(sizeof(__VIRTUAL_DBR_INFO__) == 16, "16 bytes");
static_assert(sizeof(__NO_DBR_FILE_NODE__) == 348, "348 bytes");

// A directory's first cluster seen at a sector.
struct __FAT_SECTOR_OFFSET__ {
    uint32_t nCluster;
    uint64_t u64Sector;
};

// A directory-table sector that no record placed yet. Its bytes live in memory
// or, past the memory budget, in the "<store>_UnDeal" file.
struct __UNDEAL_FILE__ {
    uint64_t u64Sector;
    uint64_t u64Where;  // offset in memory, or in the file with the top bit set
    uint32_t bDealt;
};

// A long name cut off by the end of a parsed buffer.
struct __LONG_FILE_INFO__ {
    uint8_t nCheckSum = 0;                // 0: empty
    int nDbr = -1;                        // the record in use, -1 none
    uint32_t nCluster = 0;                // the cluster of the parsed buffer
    uint64_t u64Sector = 0;               // the sector the saved bytes came from
    std::vector<unsigned char> vecBytes;  // from the run's first slot to the buffer end
};

// A directory entry met in a parent.
struct __PRO_DIR_INFO__ {
    _FILE_NODE_ node;
    uint32_t nParentCluster;
    uint64_t u64EntrySector;
    int nDbr;  // -1 none
};

class CProfessionalFatRecovery : public CEngineBase {
public:
    CProfessionalFatRecovery();
    ~CProfessionalFatRecovery() override;
    CProfessionalFatRecovery(const CProfessionalFatRecovery&) = delete;
    CProfessionalFatRecovery& operator=(const CProfessionalFatRecovery&) = delete;

    // Binds the area of the medium; an open parser returns 0 unchanged.
    using IFileRecoveryParse::Init;
    unsigned int Init(const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector,
                      long long llSectorCount, wchar_t wcDriveLetter) override;

    // Reads the area's first sector: a FAT boot sector there is the first record.
    unsigned int InitVirtualDbrInfo();
    // Empties everything and starts a new store (a name reopens that one).
    unsigned int ClearProfessionalVec(const wchar_t* wszName);
    // A sector that begins a directory ("." and ".."), at an absolute sector.
    unsigned int ParseFatFileRecord(const unsigned char* pBuf, uint64_t u64Sector);
    // Any other directory-table sector.
    unsigned int ParseFDTFileRecord(const unsigned char* pBuf, uint64_t u64Sector);
    // End of the pass: places what waits and writes the folders.
    unsigned int DealProfessionalRecordVec();

    unsigned int ScanDevice(const wchar_t*) override { return 0; }
    unsigned int BuildBitMapInfo() override { return 0; }
    unsigned int GetUnUsedSectorCount(unsigned long long&, unsigned long long&) override {
        return 0;
    }

    // ---- The learned records (also for tests and the benchmark) --------
    const std::vector<__VIRTUAL_DBR_INFO__>& GetVirtualDbrs() const { return m_vecDbr; }
    // Appends {k, d - partition, partition} when clusters c1 > c2 at sectors
    // s1 > s2 give a whole power-of-two cluster size k and a data start d;
    // a record already known is not added again. Index of the record, or -1.
    int CalcVirtualDbr(uint32_t c1, uint64_t s1, uint32_t c2, uint64_t s2);
    // The first record under which cluster c begins exactly at sector s; -1.
    int GetExactVirtualDbr(uint32_t c, uint64_t s) const;
    // The first record under which sector s lies inside cluster c; -1.
    int GetNearestVirtualDbrInfo(uint32_t c, uint64_t s) const;
    // The record for a sector when nothing better is known; -1 without records.
    int GetBestVirtalDbr(uint64_t s) const;
    // Memory for undealt sectors before they go to the "<store>_UnDeal" file.
    void SetUnDealMemoryBudget(uint64_t u64Bytes) { m_u64UnDealBudget = u64Bytes; }
    uint64_t GetUnDealSpilledCount() const { return m_u64UnDealSpilled; }

private:
    struct ParseContext {
        int nDbr = -1;
        uint32_t nCluster = 0;
        uint64_t u64Sector = 0;  // where the cluster begins
        uint32_t nSectors = 0;   // sectors the cluster spans
    };

    // Set-up after the source opened: no record known yet.
    unsigned int Opened();
    uint64_t AreaEnd() const { return m_src.u64Start + m_src.u64Count; }
    uint64_t ClusterSector(int nDbr, uint32_t nCluster) const;
    uint32_t DirIdOf(int nDbr, uint32_t nCluster) const;
    bool IsTopCluster(int nDbr, uint32_t nCluster) const;
    unsigned int ReadClipped(unsigned char* pBuf, uint32_t nSectors, uint64_t u64Sector,
                             uint32_t& nRead);
    // The ".." of a directory's first cluster: true when it starts with "." and "..".
    bool ReadDotDot(int nDbr, uint32_t nCluster, uint32_t& nParent);
    void AddObservation(uint32_t c, uint64_t s);
    int AddDbr(uint32_t nSpc, uint64_t u64DataAbs);

    void ParseFatFDTRecord(const unsigned char* pBuf, int nLength, uint64_t u64Sector,
                           uint32_t nCluster, int nDbr, uint64_t u64LeadSector = 0,
                           int nLeadBytes = 0);
    // Parses one buffer of entries; a long name cut off by its end is left in remain.
    void DealProfessionalFatFileEntry(const unsigned char* pBuf, int nLength, uint64_t u64Sector,
                                      uint32_t nCluster, int nDbr, __LONG_FILE_INFO__& remain,
                                      uint64_t u64LeadSector, int nLeadBytes);
    uint32_t FindBufferDir(const unsigned char* pBuf, int nLength, uint32_t nCluster, int nDbr);
    void RecordFile(const unsigned char* pSlot, const std::string& strName, uint64_t u64Entry,
                    uint64_t u64DirSector, uint32_t nDir, int nDbr);
    void RecordDirEntry(const unsigned char* pSlot, const std::string& strName, uint64_t u64Entry,
                        uint32_t nDir, int nDbr);
    void PlaceFile(_FILE_NODE_ node, uint32_t nDir, int nDbr);
    void NoteNeedAdd(int nDbr, uint32_t nDir);
    bool Continues(const __LONG_FILE_INFO__& remain, const unsigned char* pSlot,
                   uint64_t u64Sector) const;
    bool TakeKeptRemainder(const unsigned char* pBuf, uint64_t u64Sector);
    void ParseJoined(const __LONG_FILE_INFO__& remain, const unsigned char* pBuf,
                     uint64_t u64Sector);
    void DoParseFileOrAddUndelFileMap(const unsigned char* pBuf, uint64_t u64Sector);
    int DbrBeginningCluster(const unsigned char* pBuf, uint64_t u64Sector,
                            uint32_t& nCluster) const;
    // Where a cluster (0: the FAT12/16 top area) begins and how many sectors it spans.
    void ClusterRange(int nDbr, uint32_t nCluster, uint64_t& u64Start, uint32_t& nSectors) const;
    void SetContext(int nDbr, uint32_t nCluster);
    bool InContext(uint64_t u64Sector) const;
    void AddUnDeal(const unsigned char* pBuf, uint64_t u64Sector);
    bool LoadUnDeal(const __UNDEAL_FILE__& item, unsigned char* pBuf);
    int FindUnDealContinuation(const __LONG_FILE_INFO__& remain);
    void ParseUnDealFileMap();
    void ClearUnDeal();
    void UpdateNoDbrFileVec();
    // The ".." of a directory's first sector (0 for the top), or a negative
    // value: not a directory's start, a volume label, unreadable.
    int64_t DotDotOf(int nDbr, uint32_t nCluster);
    bool EntryFits(const __PRO_DIR_INFO__& e, int nDbr) const;
    uint32_t ParentOf(int nDbr, uint32_t nCluster, const __PRO_DIR_INFO__** ppEntry);
    unsigned int GetParentClusterNO(int nDbr, uint32_t nCluster, uint32_t& nParent);
    unsigned int GetRootParentDirIndex(int nDbr, uint32_t nCluster, unsigned int& nLevel,
                                       std::set<uint32_t>& setVisited);
    unsigned int LevelOf(int nDbr, uint32_t nCluster);
    unsigned int WalkToTop(int nDbr, uint32_t nCluster, std::set<uint32_t>& setVisited,
                           std::vector<uint32_t>& vecPath);
    unsigned int GetFileRealHighClusterNO(uint16_t nLow, uint16_t& nHigh, const char* szName,
                                          int nDbr);
    uint16_t GetDirRealHighClusterNO(uint16_t nLow, int nDbr);
    uint32_t IsFileDataHealth(const _FILE_NODE_* pNode, uint32_t nSectorsPerCluster);
    // Data lies in consecutive clusters from the first (no allocation table to
    // follow): never past the area's end and never more than wanted; data that
    // runs off the area gives what there is and 30.
    unsigned int StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                const DataSink& sink) override;

    // Source.
    EngineSource m_src;
    uint32_t m_nBytesPerSector;

    // Records and what waits for them.
    std::vector<__VIRTUAL_DBR_INFO__> m_vecDbr;
    std::map<std::pair<uint32_t, uint64_t>, int> m_mapDbrByGeometry;  // (spc, abs data start)
    std::map<uint64_t, int> m_mapDbrByStart;  // abs data start of learned records
    uint32_t m_nSpcMask;                      // the cluster sizes among the records
    bool m_bFindDbr;                          // record 0 came from a boot sector
    uint32_t m_nRootCluster;                  // the boot sector's root cluster (FAT32)
    uint32_t m_nBootRootSectors;              // the boot sector's FAT12/16 root area
    size_t m_nDbrPlaced;                      // records pending files were tried against
    std::vector<__FAT_SECTOR_OFFSET__> m_vecObservation;
    // (spc, data start) each observation implies -> the first observations (up
    // to two, of different clusters) that imply it.
    std::map<std::pair<uint32_t, uint64_t>, std::vector<uint32_t>> m_mapObservation;
    std::vector<__NO_DBR_FILE_NODE__> m_vecNoDbrFile;
    std::vector<__LONG_FILE_INFO__> m_vecLongFile;
    std::vector<__UNDEAL_FILE__> m_vecUnDeal;     // in the order fed (device order)
    std::vector<uint32_t> m_vecUnDealByKey[512];  // by ContinuationKey of the first slot
    std::vector<unsigned char> m_vecUnDealMem;
    uint64_t m_u64UnDealBudget;
    int m_nUnDealFd;
    uint64_t m_u64UnDealFileSize;
    uint64_t m_u64UnDealSpilled;
    uint64_t m_u64HighSearchReads = 0;  // sectors read by GetFileRealHighClusterNO
    std::string m_strUnDealPath;
    std::map<uint32_t, std::vector<__PRO_DIR_INFO__>> m_mapDir;
    std::map<std::pair<int, uint32_t>, uint64_t> m_mapNeedAdd;  // -> the directory's sector
    std::map<std::pair<int, uint32_t>, unsigned int> m_mapLevel;
    struct PlacedFile {
        int nDbr;
        uint32_t nDir, nIndex, nFirst;  // folder cluster, record number, first cluster
    };
    std::vector<PlacedFile> m_vecPlaced;
    std::map<std::pair<int, uint32_t>, int64_t> m_mapDotDot;
    ParseContext m_ctx;
};
