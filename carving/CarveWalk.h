// The measuring walks the formats share: a sector walk from the sector after a
// file's head that stops where another file or a file-system structure
// begins, with a search of each chunk for the format's end; structure walks
// through CFileBytes with a fallback; byte searches and end markers followed
// by zero fill. All of them read the current carving context.
#pragma once

#include <cstdint>
#include <vector>

#include "carving/CarveFormat.h"
#include "carving/FileTypeStructure.h"

namespace carve {

constexpr int kReadBufBytes = 65536;
constexpr u64 kMiB = 1ULL << 20;
constexpr u64 kGiB = 1ULL << 30;
constexpr int kCancelled = -9527;

constexpr u64 kNotFound = ~0ULL;  // CFileBytes::Find4 without a hit

inline u64 Min(u64 a, u64 b) {
    return a < b ? a : b;
}
// Whether the bytes at p begin with the text (p holds at least its length).
inline bool Is(const unsigned char* p, const char* sz) {
    return std::memcmp(p, sz, std::strlen(sz)) == 0;
}
// Whether the nLen bytes are all zero (nLen > 0).
bool IsZeroSector(const unsigned char* p, int nLen);
// Position of the first occurrence of the pattern at or after nFrom, or -1.
long FindBytes(const unsigned char* pBuf, long nLen, long nFrom, const void* pPat, long nPatLen);
// Position of the last occurrence of the pattern, or -1.
long FindLastBytes(const unsigned char* pBuf, long nLen, const void* pPat, long nPatLen);
// The end of the first marker in the buffer that ends on a sector boundary or
// is followed by zeros to its sector's end. With bFirstOnly, only the first
// occurrence is looked at.
bool FindZeroFilledMarker(const unsigned char* pBuf, long nLen, const void* pMarker,
                          long nMarkerLen, bool bFirstOnly, int nBytesPerSector, u64& u64End);

enum EEndTest { END_OF_FILE, END_OF_VEDIO, END_OF_MPG };

// Looks at a walk chunk after its end test: nLen covers the chunk up to the
// sector where the end test fired (the whole chunk when it did not). Returns
// true when the walk must end; it may then set the size. u64Before is the
// size before the chunk.
struct IChunkSearch {
    virtual ~IChunkSearch() = default;
    virtual bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool bEndFired,
                        u64& u64Size) = 0;
};

// One sector walk: from the sector after the head, in 64 KiB reads, until the
// end test fires, the search ends it, the budget is spent, a read fails, the
// area ends or the progress callback says stop. Returns the size reached.
u64 WalkSectors(u64 u64MaxBytes, EEndTest eTest, IChunkSearch* pSearch);

// Ends the walk at the first accepted marker (zero-fill rule), or any.
struct CMarkerSearch : IChunkSearch {
    const unsigned char* pMarker;
    long nMarkerLen;
    long nExtra;      // bytes counted after the marker's position
    bool bZeroFill;   // accepted only by the zero-fill rule
    bool bFirstOnly;  // only the first occurrence of a chunk counts
    CMarkerSearch(const void* p, long nLen, long nAfter, bool bZero, bool bFirst)
        : pMarker(static_cast<const unsigned char*>(p)),
          nMarkerLen(nLen),
          nExtra(nAfter),
          bZeroFill(bZero),
          bFirstOnly(bFirst) {}
    bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool, u64& u64Size) override;
};

// Keeps walking; remembers the latest candidate end and returns the smaller of
// it and the walked size afterwards.
struct CCandidateSearch : IChunkSearch {
    bool bHave = false;
    u64 u64Candidate = 0;
    u64 Result(u64 u64Walked) const {
        return bHave && u64Candidate < u64Walked ? u64Candidate : u64Walked;
    }
};

// The size the file's structure gives (see FileTypeStructure.h), read within
// the budget from the file's start sector; 0 when it does not parse cleanly,
// spent its steps or was cancelled.
template <typename Walk>
u64 StructureSize(u64 u64MaxBytes, Walk&& walk) {
    CCarveContext& ctx = Ctx();
    CFileBytes bytes(ctx.m_pDiskReader, ctx.m_nBytesPerSector, ctx.m_u64StartSector, u64MaxBytes);
    u64 u64Size = walk(bytes);
    return ctx.m_ErrorCode != 0 || bytes.Spent() ? 0 : u64Size;
}

// Whether a structure walk's result stands: its size, or after a cancel the
// head sector (set in u64Size). False when a fallback has to measure the file.
bool StructureSettled(u64& u64Size);

// A structure size when there is one; after a cancel the head sector; else the fallback.
template <typename Walk, typename Fallback>
u64 StructureOr(u64 u64MaxBytes, Walk&& walk, Fallback&& fallback) {
    u64 u64Size = StructureSize(u64MaxBytes, walk);
    return StructureSettled(u64Size) ? u64Size : fallback();
}

// Pictures whose end marker may already lie in the head sector: the marker
// there, else a walk in which each chunk's accepted marker ends the file.
typedef int (*PFN_TAIL)(const unsigned char*, int, unsigned long long&);
u64 TailMeasuredSize(const unsigned char* pBuf, int nLen, PFN_TAIL pfnTail);

// A header directory that ends u64DirEnd bytes into the file may run past the
// head buffer: it is then read again, 64 KiB from the file's start. Null when
// it does not fit there either or the read fails.
const unsigned char* DirectoryBuffer(const unsigned char* pBuf, int nLen, u64 u64DirEnd,
                                     std::vector<unsigned char>& vecStore);

// A ZIP archive, or a document built on one, within the budget: its structure,
// else a walk to the last end-of-central-directory record of a chunk.
u64 MeasureZipArchive(u64 u64Budget);

}  // namespace carve
