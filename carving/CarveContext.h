// What the signature tests and measuring walks of one scan share: the sector
// being judged and the device it lies on, the transport streams carved so far,
// the scan's progress callback and the walks' read buffer. Each judge owns
// one; its carving engine makes it the thread's current context around its
// calls. Outside such a call a thread uses a context of its own that holds no
// device, so two scans never share state and nothing is left pointing at a
// reader that is gone.
#pragma once

#include <cstdint>
#include <vector>
#include "engine/FileNode.h"

class CDiskReader;

// Sectors [first, last] of a transport stream already carved.
struct _TS_FILE_RANGE_ {
    uint64_t u64StartSector;
    uint64_t u64EndSector;
};

struct CCarveContext {
    // The sector being judged and its device.
    int m_nBytesPerSector = 512;
    CDiskReader* m_pDiskReader = nullptr;
    unsigned long long m_u64StartSector = 0;
    unsigned long long m_u64CurrentSector = 0;  // stepped along by the end tests
    int m_bIsNeedCheckTsFileRange = 1;
    std::vector<_TS_FILE_RANGE_> m_tsFileRangeVec;
    int m_bIsMtsFileHead = 0;
    uint8_t m_uMtsPreIndex = 0;

    // The scan's progress, reported by the measuring walks.
    unsigned long long m_u64ScanSectorCount = 0;
    unsigned long long m_u64SectorTotalCount = 0;
    int m_nRemaidSecond = -1;
    unsigned long long m_u64FileCount = 0;
    PFN_SCAN_CALLBACK m_progressFunc = nullptr;
    PFN_RECOVERY_CALLBACK m_pRecoveryFunc = nullptr;
    void* m_pParam = nullptr;
    int m_nPercent = 100;
    int m_ErrorCode = 0;  // last progress result of a walk; -9527 cancelled

    // Calls the progress callback for the scan's position plus the sectors a
    // walk has read; keeps its answer in m_ErrorCode and returns it (0 without
    // a callback).
    int ReportProgress(unsigned long long u64SectorsWalked);
    // Reads nSectors sectors at u64Sector into buf (at most 16 MiB); false on a
    // failed or short read or without a device.
    bool ReadSectors(std::vector<unsigned char>& buf, int nSectors,
                     unsigned long long u64Sector) const;
    // The walks' 64 KiB buffer, allocated on first use; null when that fails.
    unsigned char* ReadBuffer();

private:
    std::vector<unsigned char> m_vecReadBuf;
};

// The thread's current context.
CCarveContext& CurrentCarveContext();

// Makes a context the thread's current one for its lifetime.
class CCarveContextScope {
public:
    explicit CCarveContextScope(CCarveContext& ctx);
    ~CCarveContextScope();
    CCarveContextScope(const CCarveContextScope&) = delete;
    CCarveContextScope& operator=(const CCarveContextScope&) = delete;

private:
    CCarveContext* m_pPrevious;
};
