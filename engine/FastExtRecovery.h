// The engine made for an ext volume when a fast scan is asked for. It binds the
// volume and finds nothing: a scan records no file, browsing lists nothing, and
// every sector of the volume counts as unused (so a deep scan reads them all).
#pragma once

#include "engine/IFileRecoveryParse.h"

class CFastExtRecovery : public IFileRecoveryParse {
public:
    CFastExtRecovery() = default;
    ~CFastExtRecovery() override;
    CFastExtRecovery(const CFastExtRecovery&) = delete;
    CFastExtRecovery& operator=(const CFastExtRecovery&) = delete;

    // Opens the logical disk read-only; the errno of a failed open, else 0.
    unsigned int Init(int nDiskNo, long long llFirstSector, long long llSectorCount,
                      wchar_t wcDriveLetter) override;
    // Opens a device node or image read-only; the volume is the whole file.
    unsigned int Init(const wchar_t* wszPath, wchar_t wcDriveLetter) override;
    unsigned int InitCallBack(PFN_SCAN_CALLBACK pfnScan, PFN_RECOVERY_CALLBACK pfnRecovery,
                              void* pContext, int nScale) override;
    unsigned int ScanDevice(const wchar_t* wszResultName) override;
    unsigned int GetChildrenFileNode(const _FILE_NODE_* pDir, unsigned int nLevel,
                                     std::vector<_FILE_NODE_>& vecChildren) override;
    unsigned int GetChildrenFileCount(const _FILE_NODE_* pDir, unsigned int nLevel,
                                      unsigned int& nCount) override;
    unsigned int GetLostFileCount() override;
    unsigned int GetFileNodeParentDirPath(const _FILE_NODE_* pNode, wchar_t* wszBuf,
                                          int nBufLen) override;
    unsigned int SaveFileData(const _FILE_NODE_* pNode, const wchar_t* wszTargetPath,
                              int nLevelOffset) override;
    unsigned int GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                      unsigned long long& u64Count) override;
    unsigned int InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch, void* pContext) override;
    unsigned int SearchFileNode(const wchar_t* wszKey,
                                std::vector<__SEARCH_FILE_INFO__>& vecHits) override;
    unsigned int BuildBitMapInfo() override;
    unsigned int PreView(const _FILE_NODE_* pNode, wchar_t* wszPreviewPath, unsigned char* pBuf,
                         int& nLength, PFN_PREVIEW_CALLBACK pfnPreview, void* pContext) override;

    int GetHandle() const { return m_nFd; }
    long long GetFirstSector() const { return m_llFirstSector; }
    long long GetSectorCount() const { return m_llSectorCount; }

private:
    void Close();

    int m_nFd = -1;
    long long m_llFirstSector = 0;
    long long m_llSectorCount = 0;
};
