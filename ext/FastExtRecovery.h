// The fast ext2/ext3/ext4 engine. It reads the superblock and group
// descriptors, walks the live directory tree, and finds deleted files with
// their names and folders:
// - names: the live directories' blocks (entries left in the slack of live
//   ones), the blocks of deleted directories still on the medium, and every
//   earlier copy of a directory block the journal holds;
// - data: for each deleted name, the newest copy of its inode that still maps
//   its data (the inode itself, then the journal's copies of its inode-table
//   block, newest first), taken only when it is the same file (generation,
//   type) and its blocks are free now. Extent nodes and indirect blocks that
//   deletion emptied are read from the journal's copies as well.
// Deleted inodes with data but no name go to the folder "LostFiles". The
// block bitmaps map the free space for the deep scan.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>
#include "engine/EngineBase.h"
#include "ext/ExtFormat.h"

class CFastExtRecovery : public CEngineBase {
public:
    CFastExtRecovery();
    ~CFastExtRecovery() override;

    // Binds the area of the medium and reads the superblock, the group
    // descriptors and the block bitmaps. An engine already set up returns 0.
    using IFileRecoveryParse::Init;
    unsigned int Init(const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector,
                      long long llSectorCount, wchar_t wcDriveLetter) override;
    unsigned int ScanDevice(const wchar_t* wszResultName) override;
    unsigned int BuildBitMapInfo() override;
    // Positions and counts in 512-byte sectors relative to the area's start.
    unsigned int GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                      unsigned long long& u64Count) override;

    // ---- Volume facts (also used by tests) ----------------------------------
    bool IsReady() const { return m_bReady; }
    const EXT_SUPER& Super() const { return m_sb; }
    // Copies of file-system blocks the journal holds (after the last scan).
    size_t GetJournalCopyCount() const { return m_nJournalCopies; }
    // ---- Deep scan --------------------------------------------------------
    // Set before the scan: deleted inodes without a name are left to
    // FinishDeepScan, once the free space has given the names it holds.
    void SetDeepScan(bool bDeep) { m_bDeep = bDeep; }
    // Blocks in 512-byte sectors (free blocks start at multiples of it from
    // the area's first sector).
    uint32_t BlockSectors() const { return m_bReady ? m_sb.nBlockBytes / 512 : 0; }
    // A free block the deep scan met, starting at absolute sector u64Sector
    // (p holds nAvail bytes of it; the engine reads the rest): a directory
    // block (its names), or a journal descriptor, commit or superblock
    // (copies of metadata, taken at the end). True with its sectors in u64Sectors when
    // the engine keeps it.
    bool TakeFreeBlock(const unsigned char* p, size_t nAvail, uint64_t u64Sector,
                       uint64_t& u64Sectors);
    // The end of a deep scan: the journal copies met in free space, the names
    // met there (a file under its folder, made up when only its number is
    // known, else in "LostFiles"), then the deleted inodes left without a name.
    unsigned int FinishDeepScan();

    // The area: its first sector, its sectors (512 bytes) and the descriptor.
    long long GetFirstSector() const { return static_cast<long long>(m_src.u64Start); }
    long long GetSectorCount() const { return static_cast<long long>(m_src.u64Count); }
    int GetHandle() const { return m_src.reader.GetHandle(); }

protected:
    unsigned int StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                const DataSink& sink) override;
    uint32_t RootDirId() const override { return kExtRootInode; }

private:
    // A run of a file's blocks; u64Physical 0 for a hole (reads as zeros).
    struct Run {
        uint64_t u64Logical, u64Physical, u64Count;
    };
    // An earlier copy of a block, in the journal.
    struct Copy {
        uint64_t u64Sector;  // absolute sector of the copy
        uint32_t nSeq;
        bool bEscaped;  // its first four bytes were the journal's magic
        bool bFree;     // of a journal met in free space, older than the volume's
    };
    static bool NewerCopy(const Copy& a, const Copy& b) {
        return a.bFree != b.bFree ? b.bFree : a.nSeq > b.nSeq;
    }
    // One version of an inode: the inode table's (nSeq kOnDisk) or a copy.
    struct InodeVersion {
        EXT_INODE inode;
        uint64_t u64Sector;  // absolute sector of the block holding it
        uint64_t nSeq;
    };
    static const uint64_t kOnDisk = ~0ull;
    struct Entry {
        uint32_t nParent;
        std::string strName;
        uint8_t nType;
        uint64_t nSeq;
    };

    unsigned int SetUpVolume();
    unsigned int ReadBitmaps();
    bool IsBlockInUse(uint64_t u64Block) const;
    bool AnyBlockInUse(uint64_t u64First, uint64_t u64Count) const;
    uint64_t BlockSector(uint64_t u64Block) const;  // absolute
    unsigned int ReadBlocks(unsigned char* p, uint64_t u64Block, uint32_t nBlocks);
    // n bytes (up to 7.5 KiB) at a byte offset from the area's start.
    bool ReadBytes(uint64_t u64Offset, unsigned char* p, size_t n);
    // One block through a small cache (by absolute sector).
    const std::vector<unsigned char>* CachedBlockAt(uint64_t u64Sector);

    // Inodes.
    bool InodeBlock(uint32_t nIno, uint64_t& u64Block, uint32_t& nOffset) const;
    bool IsInodeLive(const EXT_INODE& cur, uint32_t nIno) const;
    void InodeVersions(uint32_t nIno, std::vector<InodeVersion>& vecOut);
    // The newest version of the inode whose data can be read back, and its
    // runs; bHealthy false when every such version maps blocks in use now.
    bool ChooseVersion(uint32_t nIno, bool bDir, InodeVersion& chosen, std::vector<Run>& runs,
                       bool& bHealthy);

    // Block maps.
    unsigned int MapInode(const EXT_INODE& inode, uint64_t nSeq, bool bDeleted,
                          std::vector<Run>& runs);
    unsigned int WalkExtents(const unsigned char* p, size_t n, int nDepth, uint64_t nSeq,
                             bool bDeleted, unsigned int& nBudget, std::vector<Run>& runs);
    unsigned int WalkIndirect(uint64_t u64Block, int nLevel, uint64_t u64Logical,
                              uint64_t u64Blocks, uint64_t nSeq, bool bDeleted,
                              unsigned int& nBudget, std::vector<Run>& runs);
    // An interior block of a map: the medium's version when it passes the
    // test (and, for deleted data, is free), else the newest journal copy
    // that passes it, preferring copies no newer than nSeq.
    bool ReadMetaBlock(uint64_t u64Block, uint64_t nSeq, bool bDeleted,
                       const std::function<bool(const unsigned char*)>& fnValid,
                       std::vector<unsigned char>& out);
    void ReadCopy(const Copy& copy, std::vector<unsigned char>& out);

    // Journal.
    unsigned int ReadJournal();
    // The journal inode's blocks (journal block -> file-system block, 0 for a
    // hole) and its superblock into m_js; nMax bounds the log's blocks.
    unsigned int MapJournal(std::vector<uint64_t>& vecMap, uint32_t& nMax);

    // Scan: the pass over the volume (the store is open).
    unsigned int Analyse();
    // Deleted inodes with data and no name: of the tables and their copies.
    void CollectLost();
    void NoteLost(const unsigned char* p, uint32_t nFirstIno, uint32_t nCount, bool bDisk);
    void RecordLost();
    // The first inode of an inode-table block; false for another block.
    bool TableBlockInodes(uint64_t u64Block, uint32_t& nFirstIno);
    // Deep scan.
    void NoteFreeNames(const std::vector<EXT_DIR_ENTRY>& vecEntries);
    void TakeFreeJournals();
    // The folder a file met in free space goes to (kLostDir when it cannot be placed).
    uint32_t PlaceFolder(uint32_t nDir);

    // Scan.
    void OpenDir(uint32_t nDir, bool bRoot, std::vector<uint32_t>& queue);
    void AddEntries(uint32_t nDir, const std::vector<EXT_DIR_ENTRY>& vecEntries, uint64_t nSeq,
                    bool bLiveBlock, std::vector<uint32_t>& queue);
    void SettleFolders();
    bool AddDeletedFolder(uint32_t nDir, const std::string& strName, uint32_t nParent);
    // Parents that loop or are unknown go to the root; every folder's level.
    void SettleLevels();
    void RecordFile(uint32_t nIno, uint32_t nParent, const std::string& strName);
    void FillNode(_FILE_NODE_& node, const EXT_INODE& inode, uint32_t nIno,
                  const std::string& strName);
    uint32_t DataHealth(const _FILE_NODE_& node);
    std::string GuessExtension(uint64_t u64Block);
    unsigned int LevelOf(uint32_t nDir) const;

    EngineSource m_src;
    bool m_bReady = false;
    EXT_SUPER m_sb;
    std::vector<EXT_GROUP> m_groups;
    std::vector<unsigned char> m_vecBitmap;  // bit i: block nFirstDataBlock + i in use
    bool m_bBitmapKnown = false;
    std::map<uint64_t, std::vector<unsigned char>> m_cache;

    JBD_SUPER m_js;
    bool m_bJournalRead = false;
    bool m_bScanning = false;  // the journal is read by a scan (it reports progress)
    std::unordered_map<uint64_t, std::vector<Copy>> m_copies;  // by block, newest first
    size_t m_nJournalCopies = 0;
    std::vector<std::pair<uint32_t, uint32_t>> m_vecDotDirs;  // (dir, parent) from "." blocks

    // Scan state.
    std::set<uint32_t> m_setOpened;
    std::set<std::pair<uint32_t, uint32_t>> m_setLiveEntries;  // (dir, inode)
    std::set<uint32_t> m_setLiveDirs;
    std::unordered_map<uint32_t, Entry> m_mapNewest;  // inode -> its newest deleted entry
    std::map<uint32_t, uint32_t> m_mapDirParent;
    std::map<uint32_t, unsigned int> m_mapDirLevel;
    std::set<uint32_t> m_setRecorded;
    FolderPaths m_folders;
    uint64_t m_u64FilesFound = 0;
    unsigned int m_nNamesWithoutData = 0;
    std::set<uint32_t> m_setLost;  // deleted inodes with data, to go to "LostFiles"
    std::vector<std::pair<uint64_t, uint32_t>> m_vecTables;  // (inode table, group), sorted

    // Deep scan.
    bool m_bDeep = false;
    struct NoData {
        uint32_t nIno, nParent;
        std::string strName;
    };
    std::vector<NoData> m_vecNoData;  // names whose data no copy mapped
    struct FreeName {
        uint32_t nDir;  // its folder, 0 when the block did not say
        std::string strName;
    };
    std::unordered_map<uint32_t, FreeName> m_mapFreeNames;    // inode -> name met in free space
    std::unordered_map<uint32_t, uint32_t> m_mapFreeParents;  // folder -> its parent
    // Journal blocks met there (blocks from the area's start): descriptors,
    // the transactions whose commit was met, superblocks.
    std::vector<uint64_t> m_vecFreeJournal;
    std::set<uint32_t> m_setFreeCommits;
    std::vector<std::pair<uint64_t, JBD_SUPER>> m_vecFreeJournalSupers;
};
