// The carving engine: turns recognised and measured signatures into found
// files. It does not scan on its own; the caller reads the area once and offers
// every unclaimed sector to ParseFileBuf. Carved files form one flat list under
// key 0 of the engine's result store; saving and preview copy a carved file's
// sectors, never past the reader's limit and never more than its size.
#pragma once

#include <cstdint>
#include <vector>
#include "carving/FileTypeJudge.h"
#include "common/DiskReader.h"
#include "engine/EngineBase.h"

class CFileTypeRecovery : public CEngineBase {
public:
    CFileTypeRecovery();
    ~CFileTypeRecovery() override;
    CFileTypeRecovery(const CFileTypeRecovery&) = delete;
    CFileTypeRecovery& operator=(const CFileTypeRecovery&) = delete;

    // An area of the medium: the reader ends at the area's end, and a new
    // store is named after the first sector and the local time.
    using IFileRecoveryParse::Init;
    unsigned int Init(const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector,
                      long long llSectorCount, wchar_t wcDriveLetter) override;
    // As Init, but the store takes the caller's name (an existing store is
    // reloaded) and the reader ends at u64EndSector.
    unsigned int InitLogFile(const wchar_t* wszStoreName, wchar_t wcDriveLetter,
                             const wchar_t* wszPath, int nBytesPerSector,
                             unsigned long long u64EndSector);
    unsigned int InitLogFile(const wchar_t* wszStoreName, wchar_t wcDriveLetter,
                             const std::shared_ptr<CMediumSource>& pSource, int nBytesPerSector,
                             unsigned long long u64EndSector);

    unsigned int InitCallBack(PFN_SCAN_CALLBACK pfnScan, PFN_RECOVERY_CALLBACK pfnRecovery,
                              void* pContext, int nScale) override;

    // Carves at most one file starting at the sector in pBuf. 0 with the file
    // recorded, u64SkipSectors set (the sectors the caller moves on by) and
    // u64FilesFound counted; 87 when nothing carvable starts here (skip 1);
    // 0xFFFFDAC9 when the user cancelled during the measuring walk (nothing
    // recorded for this sector). A size that runs past the area's end is
    // clipped there, and so is the skip.
    unsigned int ParseFileBuf(const unsigned char* pBuf, int nLen,
                              unsigned long long u64StartSector,
                              unsigned long long u64ScanSectorCount,
                              unsigned long long u64SectorTotalCount, int nRemaidSecond,
                              CDiskReader* pDiskReader, int nBytesPerSector,
                              unsigned long long& u64SkipSectors,
                              unsigned long long& u64FilesFound);

    // Offers every sector of [first, first + count) of the engine's own reader
    // in turn, as the deep scan offers the sectors no file system claims: 64 KiB
    // reads, a carved file's sectors skipped as ParseFileBuf says. The scan
    // callback hears about each read. 0 at the end (after a final call with
    // 100), the callback's non-zero value, or 0xFFFFDAC9 when a measuring walk
    // was cancelled; what was carved before a stop stays recorded.
    unsigned int CarveArea(unsigned long long u64FirstSector, unsigned long long u64SectorCount);

    // Nothing to scan, map or walk: the caller offers the sectors.
    unsigned int ScanDevice(const wchar_t* wszResultName) override;
    unsigned int GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                      unsigned long long& u64Count) override;
    unsigned int BuildBitMapInfo() override;
    unsigned int GetFileNodeParentDirPath(const _FILE_NODE_* pNode, wchar_t* wszBuf,
                                          int nBufLen) override;

    // The flat list: a null node at level 0 lists (counts) key 0; anything
    // else yields nothing.
    unsigned int GetChildrenFileNode(const _FILE_NODE_* pDir, unsigned int nLevel,
                                     std::vector<_FILE_NODE_>& vecChildren) override;
    unsigned int GetChildrenFileCount(const _FILE_NODE_* pDir, unsigned int nLevel,
                                      unsigned int& nCount) override;

    // Drops the carved files that start at or after that sector (records are
    // made in the order of their sectors): a resumed scan finds them again.
    unsigned int KeepFilesBefore(unsigned long long u64Sector);

    // Forgets the transport streams carved so far (a new scan of the area).
    void ClearTsFileRanges() { m_judge.Context().m_tsFileRangeVec.clear(); }

    // Sectors carved files must not pass: the area's end (absolute sector).
    unsigned long long GetAreaEndSector() const { return m_u64AreaEnd; }

protected:
    // The carved file's sectors from its first one, in pieces of at most
    // 64 KiB, never past the reader's limit (87 when the data would run past it).
    unsigned int StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                const DataSink& sink) override;

private:
    wchar_t m_wcDriveLetter;
    unsigned long long m_u64StartSector;
    unsigned long long m_u64SectorCount;
    int m_nBytesPerSector;
    CDiskReader m_diskReader;
    CFileTypeJudge m_judge;
    // The area's end sector (exclusive), 0 when not known.
    unsigned long long m_u64AreaEnd;
};
