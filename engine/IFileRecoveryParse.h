// The one interface through which the application and the command line use
// every recovery engine.
#pragma once

#include <functional>
#include <memory>
#include <vector>
#include "common/MediumSource.h"
#include "engine/FileNode.h"

// Takes one search hit; a non-zero result ends the search.
using SearchHitSink = std::function<int(const __SEARCH_FILE_INFO__&)>;

class IFileRecoveryParse {
public:
    virtual ~IFileRecoveryParse() = default;

    // Opens "/dev/disk%d" and binds the engine to [first, first + count): the
    // source form on a medium of its own. errno when the disk cannot be opened.
    virtual unsigned int Init(int nDiskNo, long long llFirstSector, long long llSectorCount,
                              wchar_t wcDriveLetter);
    // Binds the engine to a whole device node or image file: the source form
    // over all of it. 87 for a null or empty path, errno when it cannot be opened.
    virtual unsigned int Init(const wchar_t* wszPath, wchar_t wcDriveLetter);
    // Binds the engine to [first, first + count) of an open medium, in 512-byte
    // sectors; every read of the engine goes through it. An area that is the
    // whole medium is read as the image form reads a file.
    virtual unsigned int Init(const std::shared_ptr<CMediumSource>& pSource,
                              long long llFirstSector, long long llSectorCount,
                              wchar_t wcDriveLetter) = 0;
    virtual unsigned int InitCallBack(PFN_SCAN_CALLBACK pfnScan, PFN_RECOVERY_CALLBACK pfnRecovery,
                                      void* pContext, int nScale) = 0;
    // Null: scan and record every find in a new store. A name: reopen the
    // result files of that name in the current scan folder instead.
    virtual unsigned int ScanDevice(const wchar_t* wszResultName) = 0;
    virtual unsigned int GetChildrenFileNode(const _FILE_NODE_* pDir, unsigned int nLevel,
                                             std::vector<_FILE_NODE_>& vecChildren) = 0;
    virtual unsigned int GetChildrenFileCount(const _FILE_NODE_* pDir, unsigned int nLevel,
                                              unsigned int& nCount) = 0;
    virtual unsigned int GetLostFileCount() = 0;
    virtual unsigned int GetFileNodeParentDirPath(const _FILE_NODE_* pNode, wchar_t* wszBuf,
                                                  int nBufLen) = 0;
    virtual unsigned int SaveFileData(const _FILE_NODE_* pNode, const wchar_t* wszTargetPath,
                                      int nLevelOffset) = 0;
    virtual unsigned int GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                              unsigned long long& u64Count) = 0;
    virtual unsigned int InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch, void* pContext) = 0;
    virtual unsigned int SearchFileNode(const wchar_t* wszKey,
                                        std::vector<__SEARCH_FILE_INFO__>& vecHits) = 0;
    // The hits of SearchFileNode handed to onHit one at a time, in no set
    // order, so that the caller need not hold them all. This default gathers
    // them with SearchFileNode first; engines whose finds live in a store
    // stream them from it. Returns what SearchFileNode returns.
    virtual unsigned int SearchFileNodeEach(const wchar_t* wszKey, const SearchHitSink& onHit);
    virtual unsigned int BuildBitMapInfo() = 0;
    virtual unsigned int PreView(const _FILE_NODE_* pNode, wchar_t* wszPreviewPath,
                                 unsigned char* pBuf, int& nLength, PFN_PREVIEW_CALLBACK pfnPreview,
                                 void* pContext) = 0;
};
