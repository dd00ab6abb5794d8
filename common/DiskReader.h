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
    // Opens a device node or image file read-only; 87 for a null or empty path.
    // Either form returns errno when the open fails (the reader is unchanged).
    unsigned int Init(const wchar_t* wszPath, unsigned long long u64SectorLimit);
    // Reads nSectors whole sectors from llFirstSector (absolute) into pBuf.
    // 0: all read. 87: first + count past the limit, a negative count, a sector
    // size of 0 or less, or a byte count above 32 bits; nothing is read. errno of
    // a failed seek ("lseek failed" logged). 30: the data ended or a read failed
    // part-way ("read" logged); *pSectorsRead counts the whole sectors that did
    // arrive. *pSectorsRead is written only with 0 and 30.
    unsigned int ReadData(unsigned char* pBuf, int nSectors, long long llFirstSector,
                          int nBytesPerSector, unsigned int* pSectorsRead);

    int GetHandle() const { return m_nFd; }
    unsigned long long GetSectorLimit() const { return m_u64SectorLimit; }

private:
    unsigned int Adopt(int fd, unsigned long long u64SectorLimit);
    void Close();

    int m_nFd;
    unsigned long long m_u64SectorLimit;
};
