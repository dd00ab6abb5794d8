// Reads whole sectors of a device or image, never past a sector limit.
#pragma once

#include <cwchar>

class CDiskReader {
public:
    CDiskReader();
    ~CDiskReader();
    CDiskReader(const CDiskReader&) = delete;
    CDiskReader& operator=(const CDiskReader&) = delete;

    // Opens the logical disk node "/dev/disk%d" read-only (platform layer).
    unsigned int Init(int nDiskNo, unsigned long long u64SectorLimit);
    // Opens a device node or image file read-only.
    unsigned int Init(const wchar_t* wszPath, unsigned long long u64SectorLimit);
    unsigned int ReadData(unsigned char* pBuf, int nSectors, long long llFirstSector,
                          int nBytesPerSector, unsigned int* pSectorsRead);

    int GetHandle() const { return m_nFd; }
    unsigned long long GetSectorLimit() const { return m_u64SectorLimit; }

private:
    int m_nFd;
    unsigned long long m_u64SectorLimit;
};
