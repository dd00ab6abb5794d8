// The plumbing every recovery engine shares: the callbacks and their scale,
// the search callback, the result store (its set-up and naming), browsing and
// counting through the store, saving through CSaveTarget and the preview to a
// file or a buffer. An engine keeps only what is its own: reading the medium,
// the scan, and the stream of one record's data.
//
// Writing an engine on it:
//   class CMyEngine : public CEngineBase {
//       // Init, ScanDevice, BuildBitMapInfo, GetUnUsedSectorCount: its own.
//       unsigned int StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
//                                   const DataSink& sink) override;  // the data reader
//       uint32_t RootDirId() const override;  // the id a null directory lists
//   };
// - ScanDevice(name): with a name, `return OpenStore(name);` (reopens earlier
//   results); without one, `OpenFreshStore("Pro_Fat_", first, false)` and scan
//   into m_pStore. A fresh store never takes the name of
//   another scan's results: NextFreeStoreName appends _1, _2, ... when taken.
// - ReportScan(percent, seconds left, files found) calls the scan callback
//   with the engine's scale; a non-zero value means stop. A CProgressClock
//   gives the seconds left of a pass whose total is known.
// - Init: the source form (the other two open a medium and call it); an
//   EngineSource binds the engine to its area of the medium and runs the
//   engine's set-up; a walk of a directory tree keeps its folders in a
//   FolderPaths and ends with EndFolderWalk; FindClearRun finds free space.
// - SaveFileData and PreView need nothing more: both read through
//   StreamNodeData. Override SaveOneFile when a record is not plain data
//   (NTFS makes a folder for a directory record).
// - An engine that answers a request its own way (the carving engine's flat
//   list, FAT's search callback without a store) overrides that request and
//   calls the base for the rest.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>
#include "common/DiskReader.h"
#include "engine/IFileRecoveryParse.h"
#include "engine/ScanResultFileManager.h"

// "<prefix><first sector>_<year><month><day><hour><minute, width 2>": the store
// name of a scan of the area starting at llFirstSector at that time.
std::string FormatStoreName(const char* szPrefix, long long llFirstSector, const SYSTEMTIME& st);
// strName when no result file of that name is in strDir (a folder path ending
// in '/'), else the first free strName + "_1", "_2", ...
std::string NextFreeStoreName(const std::string& strDir, const std::string& strName);

// The size of an open image file or device node in nSectorBytes sectors,
// found by seeking to its end (a device node's stat size is 0). 0, or errno.
unsigned int SourceSectorCount(int fd, uint32_t nSectorBytes, uint64_t& u64Count);

// The first run of clear bits at or after bit nFrom of a map of nBits bits
// (bit i: byte i / 8, bit i % 8; bits past the map count as set), passing
// whole bytes of 0xFF and 0x00 at once: its first bit in nFirst and its end in
// nEnd; both nBits when there is none.
void FindClearRun(const std::vector<unsigned char>& vecMap, uint64_t nBits, uint64_t nFrom,
                  uint64_t& nFirst, uint64_t& nEnd);

// The cluster runs that deleted files of known, contiguous extent claim. A
// deleted file whose chain is gone goes on in the free clusters after its
// first one: the clusters another deleted file still holds are not its.
class CClaimedClusters {
public:
    void Clear() { m_mapRuns.clear(); }
    // A run of nCount clusters from nFirst (the longest one per first cluster).
    void Add(uint32_t nFirst, uint64_t u64Count);
    // Whether cluster c lies in a claimed run that does not hold nOwnFirst (a
    // run that holds the walked file's own first cluster is no other file's:
    // one of the two overwrote the other). *pnEnd gets the run's end.
    bool IsClaimed(uint64_t c, uint32_t nOwnFirst, uint64_t* pnEnd) const;

private:
    std::map<uint32_t, uint64_t> m_mapRuns;  // first cluster -> end (exclusive)
};

// The source of an engine that reads through a CDiskReader: an area of a
// shared medium.
struct EngineSource {
    CDiskReader reader;
    uint64_t u64Start = 0;  // absolute first sector of the area
    uint64_t u64Count = 0;  // sectors of the area
    uint32_t nDriveLetter = 0;
    bool bOpen = false;

    // Binds the reader to the medium, limited to the area's end, and then runs
    // the engine's set-up, whose value it returns. A source already open
    // returns 0 and runs nothing. 87 for a null medium or a bad area.
    unsigned int Open(const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector,
                      long long llSectorCount, wchar_t wcDriveLetter,
                      const std::function<unsigned int()>& fnSetUp);
    // Limits the reader to the area's end in the units u64Start and u64Count
    // now have (a volume's own sector size).
    unsigned int Reopen();
};

// The folders a walk of a directory tree read, and those on the paths of the
// files it recorded, which go to the store once the walk is done.
struct FolderPaths {
    struct Folder {
        _FILE_NODE_ node;    // the folder's record as met in its parent
        uint32_t nParentId;  // the folder that holds its entry
    };
    std::map<uint32_t, Folder> mapDir;  // folders read, by id
    std::vector<uint32_t> vecOnPath;    // folders on recorded paths, in the order met
    std::unordered_set<uint32_t> setOnPath;
    std::unordered_set<uint32_t> setWritten;  // folders the store holds already

    void Clear();
    // Notes nDirId and the folders above it, up to nRootId or one not read.
    void AddPath(uint32_t nDirId, uint32_t nRootId);
    // Adds each noted folder that was read and is not in the store yet,
    // intact, under its parent at the parent's level; stops when the store
    // has no room.
    void WriteTo(CScanResultFileManager& store,
                 const std::function<unsigned int(uint32_t)>& fnLevelOf);
};

// The clock of a long pass: its rate since the start and the seconds left,
// estimated again at most every 5 seconds so that the figure shown stays
// steady. Every engine that knows its total work reports time left by it.
class CProgressClock {
public:
    CProgressClock();
    // The pass starts (again) now.
    void Restart();
    // Seconds left for u64Total units at u64Done of them: -1 until the first
    // estimate (5 seconds in). Rate() is that estimate's units per second.
    int SecondsLeft(unsigned long long u64Done, unsigned long long u64Total);
    unsigned long long Rate() const { return m_u64Rate; }

private:
    long m_lStart = 0, m_lLastEstimate = 0;
    int m_nSecondsLeft = -1;
    unsigned long long m_u64Rate = 0;
};

class CEngineBase : public IFileRecoveryParse {
public:
    // One piece of a record's data; a non-zero value stops the stream.
    using DataSink = std::function<unsigned int(const unsigned char* pData, size_t nLength)>;

    CEngineBase() = default;
    ~CEngineBase() override;
    CEngineBase(const CEngineBase&) = delete;
    CEngineBase& operator=(const CEngineBase&) = delete;

    // Stores the callbacks, context and scale; 0.
    unsigned int InitCallBack(PFN_SCAN_CALLBACK pfnScan, PFN_RECOVERY_CALLBACK pfnRecovery,
                              void* pContext, int nScale) override;
    // Stores them and hands them to the store; 87 when there is no store yet.
    unsigned int InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch, void* pContext) override;
    // Key (level << 32) | the directory's id (RootDirId for a null record or
    // id 0); 87 for a null record below level 0; no store lists nothing.
    unsigned int GetChildrenFileNode(const _FILE_NODE_* pDir, unsigned int nLevel,
                                     std::vector<_FILE_NODE_>& vecChildren) override;
    unsigned int GetChildrenFileCount(const _FILE_NODE_* pDir, unsigned int nLevel,
                                      unsigned int& nCount) override;
    // The store's record counter, 0 without a store.
    unsigned int GetLostFileCount() override;
    // The name of its result files (to reopen them); empty without a store.
    std::string GetStoreName() const;
    // Writes the records found so far to the store's files.
    void FlushResults() {
        if (m_pStore) m_pStore->FlushBufToFile();
    }
    // The store's parent path; 87 without a store or when it cannot be made.
    unsigned int GetFileNodeParentDirPath(const _FILE_NODE_* pNode, wchar_t* wszBuf,
                                          int nBufLen) override;
    // The store's type search: 0; 30 when the node file cannot be read; 0 and
    // no hits without a store; 87 for a null key.
    unsigned int SearchFileNode(const wchar_t* wszKey,
                                std::vector<__SEARCH_FILE_INFO__>& vecHits) override;
    // The same search streamed from the store in record order.
    unsigned int SearchFileNodeEach(const wchar_t* wszKey, const SearchHitSink& onHit) override;
    // A file record to the target path; a directory record with everything
    // below it (SaveDirectoryTree). 87 for a null record or an empty path.
    unsigned int SaveFileData(const _FILE_NODE_* pNode, const wchar_t* wszTargetPath,
                              int nLevelOffset) override;
    // Pictures (by exact extension) go to "tmp.<ext>" in the scan-log folder,
    // whose path is returned in wszPreviewPath (nLength set to 0); everything
    // else goes into pBuf (capacity nLength in, bytes delivered out). Progress
    // through pfnPreview, then (100, result). A failed preview leaves no file
    // and an empty path.
    unsigned int PreView(const _FILE_NODE_* pNode, wchar_t* wszPreviewPath, unsigned char* pBuf,
                         int& nLength, PFN_PREVIEW_CALLBACK pfnPreview, void* pContext) override;

protected:
    // The record's data, at most u64Wanted bytes, in order, to the sink.
    // 0, the sink's non-zero value, or the engine's code for data it cannot read.
    virtual unsigned int StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                        const DataSink& sink) = 0;
    // The id of the top directory (listed for a null record).
    virtual uint32_t RootDirId() const { return 0; }
    // One record of a save: the file written through CSaveTarget.
    virtual unsigned int SaveOneFile(const _FILE_NODE_& node, const wchar_t* wszTarget);

    // A new store that (re)opens the result files of that name; the search
    // callback passes on to it. 0, or the store's code.
    unsigned int OpenStore(const wchar_t* wszName);
    // A new store under the next free name, in the scan folder, from
    // FormatStoreName(szPrefix, llFirstSector, now), now in UTC or local time.
    unsigned int OpenFreshStore(const char* szPrefix, long long llFirstSector, bool bUtc);
    // The end of a directory walk. Stopped (nStop not 0): the store is written
    // and nStop returned. Else the folders on recorded files' paths go to the
    // store (at the levels fnLevelOf gives), it is written, and the value of
    // the final report (100 percent) is returned.
    unsigned int EndFolderWalk(int nStop, FolderPaths& folders,
                               const std::function<unsigned int(uint32_t)>& fnLevelOf,
                               unsigned long long u64FilesFound);
    // The scan callback with this engine's scale (0 when none is set).
    int ReportScan(int nPercent, int nSecondsLeft, unsigned long long u64FilesFound,
                   unsigned long long u64Cur = 0, unsigned long long u64Total = 0);

    std::unique_ptr<CScanResultFileManager> m_pStore;
    PFN_SCAN_CALLBACK m_pfnScan = nullptr;
    PFN_RECOVERY_CALLBACK m_pfnRecovery = nullptr;
    void* m_pContext = nullptr;
    int m_nScale = 100;
    PFN_SEARCH_CALLBACK m_pfnSearch = nullptr;
    void* m_pSearchContext = nullptr;
};
