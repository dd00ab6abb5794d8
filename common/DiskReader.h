// Reads whole sectors of a medium, never past a sector limit. A reader is a
// view of a CMediumSource: engines of one scan share the source (opened once)
// and each keeps its own reader with its own limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <utility>
#include <vector>

#include "common/MediumSource.h"

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
    // Reads an open source; 87 for a null one (the reader is unchanged).
    unsigned int Init(std::shared_ptr<CMediumSource> pSource, unsigned long long u64SectorLimit);
    // Reads nSectors whole sectors from llFirstSector (absolute) into pBuf.
    // 0: all read. 87: first + count past the limit, a negative count, a sector
    // size of 0 or less, or a byte count above 32 bits; nothing is read. EBADF
    // without a source ("lseek failed" logged). 30: a sector could not be read
    // or the data ended part-way ("read" logged); *pSectorsRead counts the
    // whole sectors before it, and the buffer holds every sector that could be
    // read (zeros for the others). The source's gone code once the medium is
    // gone. *pSectorsRead is written only with 0 and 30. Under a
    // CZeroFillReads of this thread, sectors that cannot be read do not fail
    // the read: they are zeros, and the fill notes them.
    unsigned int ReadData(unsigned char* pBuf, int nSectors, long long llFirstSector,
                          int nBytesPerSector, unsigned int* pSectorsRead);
    // The same read that does not stop at what fails: 0 when every sector
    // arrived; 30 when some could not be read or the medium ended first (out
    // tells which, in 512-byte sectors; zeros in their place); 87 and the gone
    // code as ReadData.
    unsigned int ReadAround(unsigned char* pBuf, int nSectors, long long llFirstSector,
                            int nBytesPerSector, MediumRead& out);

    int GetHandle() const { return m_pSource ? m_pSource->Handle() : -1; }
    unsigned long long GetSectorLimit() const { return m_u64SectorLimit; }
    const std::shared_ptr<CMediumSource>& GetSource() const { return m_pSource; }

private:
    unsigned int Adopt(std::shared_ptr<CMediumSource> pSource, unsigned int nErr,
                       unsigned long long u64SectorLimit);
    // The request as bytes; 87 when it does not fit the limit or 32 bits.
    unsigned int Check(const unsigned char* pBuf, int nSectors, long long llFirstSector,
                       int nBytesPerSector, uint64_t& u64Offset, size_t& nBytes) const;

    std::shared_ptr<CMediumSource> m_pSource;
    unsigned long long m_u64SectorLimit;
};

// Per sector of a read of nSectors sectors of nBytesPerSector from
// u64FirstSector: 1 where it holds bytes that could not be read. Empty when
// every sector was read.
std::vector<char> UnreadableSectorMask(const MediumRead& got, uint64_t u64FirstSector,
                                       int nBytesPerSector, size_t nSectors);

// While one lives on a thread, the readers of that thread deliver sectors they
// cannot read as zeros instead of failing, and the fill remembers where in
// memory those zeros went: a save writes a file whole around its unreadable
// sectors and tells how many of its bytes they were. Fills nest.
class CZeroFillReads {
public:
    CZeroFillReads();
    ~CZeroFillReads();
    CZeroFillReads(const CZeroFillReads&) = delete;
    CZeroFillReads& operator=(const CZeroFillReads&) = delete;

    // The bytes of [p, p + n) that stand for unreadable sectors; they are
    // forgotten, so each is counted once.
    uint64_t TakeFilled(const unsigned char* p, size_t n);

    // The fill of this thread, or null.
    static CZeroFillReads* Current();
    // A read put nBytes at pBuf: what was noted there before is overwritten,
    // and the ranges vecFills (offsets into pBuf) are zeros now.
    void NoteRead(const unsigned char* pBuf, size_t nBytes,
                  const std::vector<std::pair<size_t, size_t>>& vecFills);

private:
    std::vector<std::pair<uintptr_t, uintptr_t>> m_vecFilled;  // [start, end) addresses
    CZeroFillReads* m_pOuter;
};
