// How many bytes a recognised file spans: a length field of its header, an end
// marker in the sectors that follow, or a walk over the following sectors that
// stops where another file or a file-system structure begins. Every offset and
// length taken from the medium is checked against the buffer that holds it.
#include "carving/FileTypeJudge.h"

#include "common/ByteOrder.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>
#include "carving/FileTypeStructure.h"
#include "common/Helpers.h"
#include "common/DiskReader.h"
#include "common/FatEntry.h"

unsigned char* CFileTypeJudge::m_pReadBuf = nullptr;
unsigned long long CFileTypeJudge::m_u64ScanSectorCount = 0;
unsigned long long CFileTypeJudge::m_u64SectorTotalCount = 0;
int CFileTypeJudge::m_nRemaidSecond = -1;
unsigned long long CFileTypeJudge::m_u64FileCount = 0;
PFN_SCAN_CALLBACK CFileTypeJudge::m_progressFunc = nullptr;
PFN_RECOVERY_CALLBACK CFileTypeJudge::m_pRecoveryFunc = nullptr;
void* CFileTypeJudge::m_pParam = nullptr;
int CFileTypeJudge::m_nPercent = 100;
int CFileTypeJudge::m_ErrorCode = 0;

namespace {

typedef unsigned long long u64;

constexpr int kReadBufBytes = 65536;
constexpr u64 kMiB = 1ULL << 20;
constexpr u64 kGiB = 1ULL << 30;
constexpr int kCancelled = -9527;
constexpr int kTsPacket = 188;

// Judges alive: the shared work buffer lives while at least one does.
int g_nJudgeCount = 0;

u64 Min(u64 a, u64 b) {
    return a < b ? a : b;
}

bool IsZeroSector(const unsigned char* p, int nLen) {
    return nLen > 0 && p[0] == 0 && std::memcmp(p, p + 1, static_cast<size_t>(nLen - 1)) == 0;
}

// Position of the first occurrence of the pattern at or after nFrom, or -1.
long FindBytes(const unsigned char* pBuf, long nLen, long nFrom, const void* pPat, long nPatLen) {
    if (!pBuf || nPatLen <= 0 || nFrom < 0) return -1;
    const unsigned char* pat = static_cast<const unsigned char*>(pPat);
    for (long i = nFrom; i + nPatLen <= nLen; ++i) {
        const void* hit =
            std::memchr(pBuf + i, pat[0], static_cast<size_t>(nLen - nPatLen - i + 1));
        if (!hit) return -1;
        i = static_cast<const unsigned char*>(hit) - pBuf;
        if (std::memcmp(pBuf + i, pat, static_cast<size_t>(nPatLen)) == 0) return i;
    }
    return -1;
}

// Position of the last occurrence of the pattern, or -1.
long FindLastBytes(const unsigned char* pBuf, long nLen, const void* pPat, long nPatLen) {
    long nLast = -1;
    for (long i = FindBytes(pBuf, nLen, 0, pPat, nPatLen); i >= 0;
         i = FindBytes(pBuf, nLen, i + 1, pPat, nPatLen))
        nLast = i;
    return nLast;
}

// An end marker ending at nEnd (bytes from a sector boundary) is accepted when
// it ends on a sector boundary, or the rest of its sector is zero.
bool IsZeroFilledEnd(const unsigned char* pBuf, long nLen, long nEnd, int nBytesPerSector) {
    if (nEnd % nBytesPerSector == 0) return true;
    long nSectorEnd = (nEnd / nBytesPerSector + 1) * nBytesPerSector;
    if (nSectorEnd > nLen) nSectorEnd = nLen;
    for (long i = nEnd; i < nSectorEnd; ++i)
        if (pBuf[i] != 0) return false;
    return true;
}

// The end of the first accepted marker (zero-fill rule) in the buffer. With
// bFirstOnly, only the first occurrence is looked at.
bool FindZeroFilledMarker(const unsigned char* pBuf, long nLen, const void* pMarker,
                          long nMarkerLen, bool bFirstOnly, int nBytesPerSector, u64& u64End) {
    for (long i = FindBytes(pBuf, nLen, 0, pMarker, nMarkerLen); i >= 0;
         i = FindBytes(pBuf, nLen, i + 1, pMarker, nMarkerLen)) {
        if (IsZeroFilledEnd(pBuf, nLen, i + nMarkerLen, nBytesPerSector)) {
            u64End = static_cast<u64>(i + nMarkerLen);
            return true;
        }
        if (bFirstOnly) break;
    }
    return false;
}

// Bytes to the end of the last ZIP end-of-central-directory record in the
// buffer (its comment included when the buffer holds it), or -1.
long ZipEndInChunk(const unsigned char* pBuf, long nLen) {
    static const unsigned char kEocd[] = {0x50, 0x4B, 0x05, 0x06};
    long nPos = FindLastBytes(pBuf, nLen, kEocd, sizeof(kEocd));
    if (nPos < 0) return -1;
    long nEnd = nPos + 22;
    if (nEnd <= nLen) {
        long nComment = Le16(pBuf + nPos + 20);
        if (nEnd + nComment <= nLen) nEnd += nComment;
    }
    return nEnd;
}

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
u64 WalkSectors(u64 u64MaxBytes, EEndTest eTest, IChunkSearch* pSearch) {
    const int nBps = CFileTypeJudge::m_nBytesPerSector;
    u64 u64Size = static_cast<u64>(nBps);
    CDiskReader* pReader = CFileTypeJudge::m_pDiskReader;
    unsigned char* pBuf = CFileTypeJudge::m_pReadBuf;
    if (!pReader || !pBuf || nBps <= 0 || nBps > kReadBufBytes) return u64Size;
    u64 u64Budget = u64MaxBytes / static_cast<u64>(nBps);
    u64 u64Next = CFileTypeJudge::m_u64StartSector + 1;
    const u64 u64Limit = pReader->GetSectorLimit();
    const u64 u64PerRead = static_cast<u64>(kReadBufBytes / nBps);
    u64 u64ReadInWalk = 0;
    // The end tests step the shared current sector along the chunk.
    CFileTypeJudge::m_u64CurrentSector = CFileTypeJudge::m_u64StartSector;
    while (u64Budget > 0 && u64Next < u64Limit) {
        u64 n = Min(Min(u64Budget, u64PerRead), u64Limit - u64Next);
        unsigned int nRead = 0;
        unsigned int nRet = pReader->ReadData(pBuf, static_cast<int>(n),
                                              static_cast<long long>(u64Next), nBps, &nRead);
        if (nRet != 0 || nRead == 0) break;
        if (nRead < n) n = nRead;
        u64ReadInWalk += n;
        if (CFileTypeJudge::m_progressFunc) {
            u64 u64Cur = CFileTypeJudge::m_u64ScanSectorCount + u64ReadInWalk;
            u64 u64All = CFileTypeJudge::m_u64SectorTotalCount;
            int nPercent = (u64All ? static_cast<int>(u64Cur * 100 / u64All) : 0) + 10;
            CFileTypeJudge::m_ErrorCode = CFileTypeJudge::m_progressFunc(
                CFileTypeJudge::m_pParam, nPercent, CFileTypeJudge::m_nPercent,
                CFileTypeJudge::m_nRemaidSecond, u64Cur, u64All, CFileTypeJudge::m_u64FileCount,
                nullptr);
            if (CFileTypeJudge::m_ErrorCode != 0) break;
        }
        const int nLen = static_cast<int>(n) * nBps;
        const u64 u64Before = u64Size;
        int nFired = 0;
        if (eTest == END_OF_MPG)
            nFired = CFileTypeJudge::IsEndOfMPGFile(pBuf, nLen, u64Size);
        else if (eTest == END_OF_VEDIO)
            nFired = CFileTypeJudge::IsEndOfVedioFile(pBuf, nLen, u64Size);
        else
            nFired = CFileTypeJudge::IsEndOfFile(pBuf, nLen, u64Size);
        // Sectors from the one where the end test fired on belong to another
        // file: a marker there is not this file's end.
        const int nOwnLen = nFired ? static_cast<int>(u64Size - u64Before) : nLen;
        if (pSearch && pSearch->Search(pBuf, nOwnLen, u64Before, nFired != 0, u64Size)) break;
        if (nFired) break;
        u64Size += static_cast<u64>(nLen);
        u64Budget -= n;
        u64Next += n;
    }
    return u64Size;
}

// The shared end test: fires at the first sector of the chunk that a table
// test recognises (MPEG packs ignored for an MPEG file) or that belongs to a
// file system.
int EndTest(const unsigned char* pChunk, int nLen, u64& u64Size, bool bIgnoreMpeg) {
    const int nBps = CFileTypeJudge::m_nBytesPerSector;
    if (!pChunk || nBps <= 0) return 0;
    for (int i = 0; (i + 1) * nBps <= nLen; ++i) {
        const unsigned char* pSector = pChunk + static_cast<long>(i) * nBps;
        ++CFileTypeJudge::m_u64CurrentSector;
        if (IsZeroSector(pSector, nBps)) continue;  // free space: no type, no file system
        EXTEND_NAME_TYPE nType = CFileTypeJudge::GetDataBufType(pSector, nBps);
        bool bForeign = nType != FILE_TYPE_NONE && !(bIgnoreMpeg && nType == FILE_TYPE_MPEG);
        // A script's first line ("#!/bin/sh") opens another file, a text one.
        bForeign = bForeign || std::memcmp(pSector, "#!/", 3) == 0;
        if (bForeign || CFileTypeJudge::IsFileSystemSector(pSector, nBps)) {
            u64Size += static_cast<u64>(i) * static_cast<u64>(nBps);
            return 1;
        }
    }
    return 0;
}

// Walk searches of the size routines.

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
    bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool, u64& u64Size) override {
        if (bZeroFill) {
            u64 u64End = 0;
            if (!FindZeroFilledMarker(pChunk, nLen, pMarker, nMarkerLen, bFirstOnly,
                                      CFileTypeJudge::m_nBytesPerSector, u64End))
                return false;
            u64Size = u64Before + u64End;
            return true;
        }
        long nPos = FindBytes(pChunk, nLen, 0, pMarker, nMarkerLen);
        if (nPos < 0) return false;
        u64Size = u64Before + static_cast<u64>(nPos + nExtra);
        return true;
    }
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
    CFileBytes bytes(CFileTypeJudge::m_pDiskReader, CFileTypeJudge::m_nBytesPerSector,
                     CFileTypeJudge::m_u64StartSector, u64MaxBytes);
    u64 u64Size = walk(bytes);
    return CFileTypeJudge::m_ErrorCode != 0 || bytes.Spent() ? 0 : u64Size;
}

// Whether a structure walk's result stands: its size, or after a cancel the
// head sector (set in u64Size). False when a fallback has to measure the file.
bool StructureSettled(u64& u64Size) {
    if (u64Size) return true;
    if (CFileTypeJudge::m_ErrorCode == 0) return false;
    u64Size = static_cast<u64>(CFileTypeJudge::m_nBytesPerSector);
    return true;
}

// A structure size when there is one; after a cancel the head sector; else the fallback.
template <typename Walk, typename Fallback>
u64 StructureOr(u64 u64MaxBytes, Walk&& walk, Fallback&& fallback) {
    u64 u64Size = StructureSize(u64MaxBytes, walk);
    return StructureSettled(u64Size) ? u64Size : fallback();
}

}  // namespace

CFileTypeJudge::CFileTypeJudge() {
    ++g_nJudgeCount;
    if (!m_pReadBuf) m_pReadBuf = new (std::nothrow) unsigned char[kReadBufBytes];
}

CFileTypeJudge::~CFileTypeJudge() {
    if (--g_nJudgeCount == 0) {
        delete[] m_pReadBuf;
        m_pReadBuf = nullptr;
    }
}

int CFileTypeJudge::InitCallBack(PFN_SCAN_CALLBACK pfnProgress, PFN_RECOVERY_CALLBACK pfnRecovery,
                                 void* pParam, int nPercent) {
    m_progressFunc = pfnProgress;
    m_pRecoveryFunc = pfnRecovery;
    m_pParam = pParam;
    m_nPercent = nPercent;
    return 0;
}

int CFileTypeJudge::ParseFileBuf(const unsigned char* pBuf, int nLen,
                                 unsigned long long u64StartSector,
                                 unsigned long long u64ScanSectorCount,
                                 unsigned long long u64SectorTotalCount, int nRemaidSecond,
                                 unsigned long long u64FileCount, CDiskReader* pDiskReader,
                                 int nBytesPerSector, char szFileName[256], EXTEND_NAME_TYPE* pType,
                                 unsigned long long* pu64FileSize) {
    if (!pBuf || nLen <= 0 || nBytesPerSector <= 0 || nBytesPerSector > kReadBufBytes)
        return TW_ERR_BAD_ARGUMENT;
    m_nBytesPerSector = nBytesPerSector;
    m_u64StartSector = u64StartSector;
    m_u64CurrentSector = u64StartSector;
    m_pDiskReader = pDiskReader;
    m_u64ScanSectorCount = u64ScanSectorCount;
    m_u64SectorTotalCount = u64SectorTotalCount;
    m_nRemaidSecond = nRemaidSecond;
    m_u64FileCount = u64FileCount;

    // Free space (zeroed or erased) holds no file: no table walk for it.
    const bool bZero = IsBlankSector(pBuf, static_cast<size_t>(nLen));
    EXTEND_NAME_TYPE nType = bZero ? FILE_TYPE_NONE : GetDataBufType(pBuf, nLen);
    // Plain text only where no other type matched.
    if (nType == FILE_TYPE_NONE && !bZero) nType = IsTextType(pBuf, nLen);
    // A compound file is typed by its first row ('fla'); a Word, Excel or
    // PowerPoint document inside one is carved as such and measured from its
    // header.
    if (nType == FILE_TYPE_FLA) {
        EXTEND_NAME_TYPE nOffice = IsOffice2003Type(pBuf, nLen);
        if (nOffice == FILE_TYPE_DOC || nOffice == FILE_TYPE_XLS || nOffice == FILE_TYPE_PPT)
            nType = nOffice;
    }
    m_bIsNeedCheckTsFileRange = 1;
    m_bIsMtsFileHead = 0;
    if (nType == FILE_TYPE_NONE) return TW_ERR_BAD_ARGUMENT;
    const _EXTEND_NAME_ITEM_* pRow = nullptr;
    for (const _EXTEND_NAME_ITEM_* p = szExtendNameAndType; p->szExtendName; ++p) {
        if (p->nType == nType) {
            pRow = p;
            break;
        }
    }
    if (!pRow || !pRow->pfnGetSize) return TW_ERR_BAD_ARGUMENT;
    if (nType != FILE_TYPE_TS) m_bIsNeedCheckTsFileRange = 0;
    if (nType == FILE_TYPE_MTS) m_bIsMtsFileHead = 1;
    if (szFileName)
        std::snprintf(
            szFileName, 256, "%lld.%s", static_cast<long long>(u64StartSector),
            nType == FILE_TYPE_ZIP ? GetZipContainerExtension(pBuf, nLen) : pRow->szExtendName);
    if (pType) *pType = nType;
    m_ErrorCode = 0;
    u64 u64Size = pRow->pfnGetSize(pBuf, nLen);
    if (pu64FileSize) *pu64FileSize = u64Size;
    return m_ErrorCode == kCancelled ? kCancelled : 0;
}

// ---- End tests --------------------------------------------------------------

int CFileTypeJudge::IsEndOfFile(const unsigned char* pChunk, int nLen,
                                unsigned long long& u64Size) {
    return EndTest(pChunk, nLen, u64Size, false);
}

int CFileTypeJudge::IsEndOfVedioFile(const unsigned char* pChunk, int nLen,
                                     unsigned long long& u64Size) {
    return EndTest(pChunk, nLen, u64Size, false);
}

int CFileTypeJudge::IsEndOfMPGFile(const unsigned char* pChunk, int nLen,
                                   unsigned long long& u64Size) {
    return EndTest(pChunk, nLen, u64Size, true);
}

int CFileTypeJudge::IsFileSystemSector(const unsigned char* pSector, int nLen) {
    if (!pSector || nLen < 32) return 0;
    if (std::memcmp(pSector, "FILE", 4) == 0 || std::memcmp(pSector, "INDX", 4) == 0) return 1;
    static const unsigned char kNtfsWide[] = {0x4E, 0, 0x54, 0, 0x46, 0, 0x53, 0};
    if (std::memcmp(pSector, "RSTR", 4) == 0 &&
        FindBytes(pSector, nLen, 0, kNtfsWide, sizeof(kNtfsWide)) >= 0)
        return 1;
    static const unsigned char kAttrDef[] = {0x24, 0, 0x53, 0, 0x54, 0, 0x41, 0};
    if (std::memcmp(pSector, kAttrDef, sizeof(kAttrDef)) == 0) return 1;
    if (pSector[0] == 0xEB && pSector[2] == 0x90) {
        static const char* const kOemNames[] = {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "EXFAT   ",
                                                "NTFS    "};
        for (const char* szOem : kOemNames)
            if (std::memcmp(pSector + 3, szOem, 8) == 0) return 1;
    }
    return IsFatFDTRecord(pSector, nLen) ? 1 : 0;
}

// ---- End markers with zero fill ----------------------------------------------

int CFileTypeJudge::GetJPGFileTailOffset(const unsigned char* pBuf, int nLen,
                                         unsigned long long& u64Off) {
    static const unsigned char kEoi[] = {0xFF, 0xD9};
    if (!pBuf || nLen <= 0 || m_nBytesPerSector <= 0) return 0;
    return FindZeroFilledMarker(pBuf, nLen, kEoi, 2, true, m_nBytesPerSector, u64Off) ? 1 : 0;
}

int CFileTypeJudge::GetPNGFileTailOffset(const unsigned char* pBuf, int nLen,
                                         unsigned long long& u64Off) {
    static const unsigned char kIend[] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    if (!pBuf || nLen <= 0 || m_nBytesPerSector <= 0) return 0;
    return FindZeroFilledMarker(pBuf, nLen, kIend, 8, false, m_nBytesPerSector, u64Off) ? 1 : 0;
}

int CFileTypeJudge::GetGIFFileTailOffset(const unsigned char* pBuf, int nLen,
                                         unsigned long long& u64Off) {
    static const unsigned char kTrailer[] = {0x00, 0x3B};
    if (!pBuf || nLen <= 0 || m_nBytesPerSector <= 0) return 0;
    return FindZeroFilledMarker(pBuf, nLen, kTrailer, 2, false, m_nBytesPerSector, u64Off) ? 1 : 0;
}

// ---- Size routines -------------------------------------------------------------

namespace {

// Pictures whose end marker may already lie in the head sector: the marker
// there, else a walk in which each chunk's accepted marker ends the file.
typedef int (*PFN_TAIL)(const unsigned char*, int, unsigned long long&);

struct CTailSearch : IChunkSearch {
    PFN_TAIL pfnTail;
    explicit CTailSearch(PFN_TAIL pfn) : pfnTail(pfn) {}
    bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool, u64& u64Size) override {
        u64 u64End = 0;
        if (!pfnTail(pChunk, nLen, u64End)) return false;
        u64Size = u64Before + u64End;
        return true;
    }
};

u64 TailMeasuredSize(const unsigned char* pBuf, int nLen, PFN_TAIL pfnTail) {
    u64 u64End = 0;
    if (pfnTail(pBuf, nLen, u64End)) return u64End;
    CTailSearch search(pfnTail);
    return WalkSectors(128 * kMiB, END_OF_FILE, &search);
}

}  // namespace

unsigned long long CFileTypeJudge::GetMPGFileBytesSize(const unsigned char* pBuf, int nLen) {
    static const unsigned char kSeqEnd[] = {0x00, 0x00, 0x01, 0xB7};
    static const unsigned char kProgramEnd[] = {0x00, 0x00, 0x01, 0xB9};
    static const unsigned char kSeqHead[] = {0x00, 0x00, 0x01, 0xB3};
    bool bVideoOnly = pBuf && nLen >= 4 && std::memcmp(pBuf, kSeqHead, 4) == 0;
    return StructureOr(4 * kGiB, GetMpegPsStructSize, [&] {
        CMarkerSearch search(bVideoOnly ? kSeqEnd : kProgramEnd, 4, 0, true, false);
        return WalkSectors(4 * kGiB, END_OF_MPG, &search);
    });
}

unsigned long long CFileTypeJudge::GetMP4FileBytesSize(const unsigned char*, int) {
    u64 u64Boxes =
        StructureSize(4 * kGiB, [](CFileBytes& f) { return GetIsoBoxStructSize(f, "moov"); });
    if (StructureSettled(u64Boxes)) return u64Boxes;
    struct CMp4Search : IChunkSearch {
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            static const char kTag[] = "freeIsoMedia File Produced";
            long nPos = FindBytes(pChunk, nLen, 0, kTag, 26);
            if (nPos < 0) return false;
            long nEnd = nPos + 26;
            while (nEnd < nLen && pChunk[nEnd] != 0) ++nEnd;
            u64Size = u64Before + static_cast<u64>(nEnd);
            return true;
        }
    } search;
    return WalkSectors(4 * kGiB, END_OF_VEDIO, &search);
}

unsigned long long CFileTypeJudge::GetRMVBFileBytesSize(const unsigned char*, int) {
    static const unsigned char kLastIndex[] = {'I', 'N', 'D', 'X', 0, 0, 0, 0x14, 0, 0,
                                               0,   0,   0,   0,   0, 2, 0, 0,    0, 0};
    CMarkerSearch search(kLastIndex, sizeof(kLastIndex), sizeof(kLastIndex), false, true);
    return WalkSectors(4 * kGiB, END_OF_VEDIO, &search);
}

unsigned long long CFileTypeJudge::GetASFFileBytesSize(const unsigned char* pBuf, int nLen) {
    static const unsigned char kFileProperties[] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                    0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    const u64 u64Sector = static_cast<u64>(m_nBytesPerSector);
    if (!pBuf || nLen < 30) return u64Sector;
    long nPos = FindBytes(pBuf, nLen, 30, kFileProperties, sizeof(kFileProperties));
    // The flags end 92 bytes into the object: all of it must be in the buffer.
    if (nPos < 0 || nPos + 92 > nLen) return u64Sector;
    if (Le32(pBuf + nPos + 88) & 1) return u64Sector;  // broadcast: no size
    return Min(Le64(pBuf + nPos + 40), 268435456ULL);
}

unsigned long long CFileTypeJudge::GetSWFFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (pBuf && nLen >= 8 && std::memcmp(pBuf, "FWS", 3) == 0)
        return Min(Le32(pBuf + 4), 268435456ULL);
    return static_cast<u64>(m_nBytesPerSector);
}

unsigned long long CFileTypeJudge::GetAVIFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen < 8) return static_cast<u64>(m_nBytesPerSector);
    return static_cast<u64>(Le32(pBuf + 4)) + 8;
}

unsigned long long CFileTypeJudge::GetDefaultVedioFileBytesSize(const unsigned char*, int) {
    return WalkSectors(4 * kGiB, END_OF_VEDIO, nullptr);
}

unsigned long long CFileTypeJudge::GetMKVFileBytes(const unsigned char*, int) {
    return StructureOr(64 * kGiB, GetMkvStructSize,
                       [] { return WalkSectors(64 * kGiB, END_OF_VEDIO, nullptr); });
}

unsigned long long CFileTypeJudge::GetISOMediaFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(
        4 * kGiB, [](CFileBytes& f) { return GetIsoBoxStructSize(f, "moov"); },
        [&] { return GetDefaultVedioFileBytesSize(pBuf, nLen); });
}

unsigned long long CFileTypeJudge::GetTSFileBytesSize(const unsigned char*, int) {
    // Follows the 188-byte packets: the stream ends with the last packet whose
    // sync byte 47 was seen, i.e. at the first packet start without one.
    struct CPacketSearch : IChunkSearch {
        bool bTracking = true;
        u64 u64NextPacket = 0;  // file offset of the next packet start to check
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool, u64&) override {
            const u64 u64ChunkEnd = u64Before + static_cast<u64>(nLen);
            while (bTracking && u64NextPacket < u64ChunkEnd) {
                if (u64NextPacket < u64Before || pChunk[u64NextPacket - u64Before] != 0x47)
                    bTracking = false;
                else
                    u64NextPacket += kTsPacket;
            }
            return false;
        }
    } search;
    const u64 u64Sector = static_cast<u64>(m_nBytesPerSector);
    // The type test checked the packet starts of the head sector; the next one
    // lies in the first chunk (byte 52 of it with 512-byte sectors).
    search.u64NextPacket = u64Sector + (kTsPacket - u64Sector % kTsPacket) % kTsPacket;
    u64 u64Size = WalkSectors(64 * kGiB, END_OF_FILE, &search);
    if (search.u64NextPacket < u64Size) u64Size = search.u64NextPacket;
    _TS_FILE_RANGE_ range;
    range.u64StartSector = m_u64StartSector;
    range.u64EndSector = m_u64StartSector + u64Size / u64Sector - (u64Size % u64Sector ? 0 : 1);
    m_tsFileRangeVec.push_back(range);
    return u64Size;
}

unsigned long long CFileTypeJudge::GetMP3FileBytesSize(const unsigned char*, int) {
    u64 u64Frames = StructureSize(2 * kGiB, GetMp3StructSize);
    if (StructureSettled(u64Frames)) return u64Frames;
    // The 128-byte ID3v1 tag closes the file: the first "TAG" of a chunk gives
    // a candidate end; the latest one stays.
    struct CTagSearch : CCandidateSearch {
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool, u64&) override {
            long nPos = FindBytes(pChunk, nLen, 0, "TAG", 3);
            if (nPos >= 0) {
                bHave = true;
                u64Candidate = u64Before + static_cast<u64>(nPos) + 128;
            }
            return false;
        }
    } search;
    return search.Result(WalkSectors(2 * kGiB, END_OF_FILE, &search));
}

namespace {

// Follows the MIDI track chunks from the header on: each is "MTrk", a
// big-endian length and that many bytes. The file ends after the last of the
// header's tracks.
struct CMidiTracks : IChunkSearch {
    uint32_t nTracksWanted = 0;
    uint32_t nTracksSeen = 0;
    bool bBroken = false;
    u64 u64NextTrack = 14;  // file offset of the next track header
    unsigned char szHeader[8];
    int nHeaderHave = 0;

    // Takes the bytes of [u64Start, u64Start + nLen) of the file.
    void Feed(const unsigned char* pData, long nLen, u64 u64Start) {
        while (!bBroken && nTracksSeen < nTracksWanted) {
            u64 u64Want = u64NextTrack + static_cast<u64>(nHeaderHave);
            if (u64Want < u64Start || u64Want >= u64Start + static_cast<u64>(nLen)) return;
            szHeader[nHeaderHave++] = pData[u64Want - u64Start];
            if (nHeaderHave < 8) continue;
            nHeaderHave = 0;
            if (std::memcmp(szHeader, "MTrk", 4) != 0) {
                bBroken = true;
                return;
            }
            u64NextTrack += 8 + static_cast<u64>(Be32(szHeader + 4));
            ++nTracksSeen;
        }
    }
    bool Done() const { return !bBroken && nTracksSeen == nTracksWanted; }
    bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool bEndFired,
                u64& u64Size) override {
        Feed(pChunk, nLen, u64Before);
        if (!Done()) return false;
        u64 u64Reach = bEndFired ? u64Size : u64Before + static_cast<u64>(nLen);
        if (u64NextTrack <= u64Reach || bEndFired) {
            u64Size = Min(u64NextTrack, u64Reach);
            return true;
        }
        return false;
    }
};

}  // namespace

unsigned long long CFileTypeJudge::GetMIDFileBytesSize(const unsigned char* pBuf, int nLen) {
    CMidiTracks tracks;
    const u64 u64Sector = static_cast<u64>(m_nBytesPerSector);
    if (pBuf && nLen >= 14) {
        tracks.nTracksWanted = Be16(pBuf + 10);
        long nHead = nLen < m_nBytesPerSector ? nLen : m_nBytesPerSector;
        tracks.Feed(pBuf, nHead, 0);
        if (tracks.Done() && tracks.u64NextTrack <= u64Sector) return tracks.u64NextTrack;
    } else {
        tracks.bBroken = true;
    }
    return WalkSectors(8 * kMiB, END_OF_FILE, &tracks);
}

unsigned long long CFileTypeJudge::GetAPEFileBytesSize(const unsigned char*, int) {
    struct CApeTagSearch : IChunkSearch {
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            static const unsigned char kTag[] = {'A', 'P', 'E', 'T',  'A',
                                                 'G', 'E', 'X', 0xD0, 0x07};
            long nFirst = FindBytes(pChunk, nLen, 0, kTag, sizeof(kTag));
            if (nFirst < 0) return false;
            long nSecond = FindBytes(pChunk, nLen, nFirst + 1, kTag, sizeof(kTag));
            u64Size = u64Before + static_cast<u64>(nSecond >= 0 ? nSecond + 32 : nLen);
            return true;
        }
    } search;
    return WalkSectors(2 * kGiB, END_OF_FILE, &search);
}

unsigned long long CFileTypeJudge::GetWAVFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen < 8) return static_cast<u64>(m_nBytesPerSector);
    return static_cast<u64>(Le32(pBuf + 4)) + 8;
}

unsigned long long CFileTypeJudge::GetDefaultAudioFileBytesSize(const unsigned char*, int) {
    return WalkSectors(256 * kMiB, END_OF_FILE, nullptr);
}

unsigned long long CFileTypeJudge::GetFLAFileBytesSize(const unsigned char* pBuf, int nLen) {
    return GetDefaultAudioFileBytesSize(pBuf, nLen);
}

unsigned long long CFileTypeJudge::GetGIFFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(128 * kMiB, GetGifStructSize,
                       [&] { return TailMeasuredSize(pBuf, nLen, GetGIFFileTailOffset); });
}

unsigned long long CFileTypeJudge::GetBMPFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen < 6) return 0;
    return Min(Le32(pBuf + 2), 134217728ULL);
}

unsigned long long CFileTypeJudge::GetJPGFileBytesSize(const unsigned char* pBuf, int nLen) {
    uint64_t u64Parsed = 0;
    u64 u64End =
        StructureSize(128 * kMiB, [&](CFileBytes& f) { return GetJpegStructSize(f, &u64Parsed); });
    if (StructureSettled(u64End)) return u64End;
    // Past the point where the data stops being JPEG no end marker is looked
    // for: old data after a damaged picture is not carved with it.
    const u64 u64Bps = static_cast<u64>(m_nBytesPerSector);
    const u64 u64Budget = u64Parsed
                              ? Min((u64Parsed + u64Bps - 1) / u64Bps * u64Bps - u64Bps, 128 * kMiB)
                              : 128 * kMiB;
    if (GetJPGFileTailOffset(pBuf, nLen, u64End)) return u64End;
    // Every chunk whose first FF D9 is accepted gives a new candidate.
    struct CEoiSearch : CCandidateSearch {
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool, u64&) override {
            u64 u64Off = 0;
            if (GetJPGFileTailOffset(pChunk, nLen, u64Off)) {
                bHave = true;
                u64Candidate = u64Before + u64Off;
            }
            return false;
        }
    } search;
    return search.Result(WalkSectors(u64Budget, END_OF_FILE, &search));
}

unsigned long long CFileTypeJudge::GetPNGFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(128 * kMiB, GetPngStructSize,
                       [&] { return TailMeasuredSize(pBuf, nLen, GetPNGFileTailOffset); });
}

unsigned long long CFileTypeJudge::GetDefaultPictureFileBytesSize(const unsigned char*, int) {
    return WalkSectors(128 * kMiB, END_OF_FILE, nullptr);
}

namespace {

// A header directory that ends u64DirEnd bytes into the file may run past the
// head buffer: it is then read again, 64 KiB from the file's start. Null when
// it does not fit there either or the read fails.
const unsigned char* DirectoryBuffer(const unsigned char* pBuf, int nLen, u64 u64DirEnd,
                                     std::vector<unsigned char>& vecStore) {
    if (u64DirEnd <= static_cast<u64>(nLen)) return pBuf;
    CDiskReader* pReader = CFileTypeJudge::m_pDiskReader;
    const int nBps = CFileTypeJudge::m_nBytesPerSector;
    if (!pReader || nBps <= 0 || u64DirEnd > static_cast<u64>(kReadBufBytes)) return nullptr;
    // 64 KiB from the file's start, or what the area holds of them.
    const u64 u64Start = CFileTypeJudge::m_u64StartSector;
    const u64 u64Limit = pReader->GetSectorLimit();
    u64 u64Count = static_cast<u64>(kReadBufBytes / nBps);
    if (u64Start >= u64Limit) return nullptr;
    if (u64Count > u64Limit - u64Start) u64Count = u64Limit - u64Start;
    if (u64Count * static_cast<u64>(nBps) < u64DirEnd) return nullptr;
    vecStore.assign(kReadBufBytes, 0);
    unsigned int nRead = 0;
    if (pReader->ReadData(vecStore.data(), static_cast<int>(u64Count),
                          static_cast<long long>(u64Start), nBps, &nRead) != 0)
        return nullptr;
    return vecStore.data();
}

}  // namespace

unsigned long long CFileTypeJudge::GetICOFileBytesSize(const unsigned char* pBuf, int nLen) {
    const u64 u64Sector = static_cast<u64>(m_nBytesPerSector);
    if (!pBuf || nLen < 6) return u64Sector;
    uint32_t n = Le16(pBuf + 4);
    if (n == 0) return u64Sector;
    u64 u64Last = 6 + 16 * static_cast<u64>(n - 1);
    std::vector<unsigned char> vecStore;
    const unsigned char* pDir = DirectoryBuffer(pBuf, nLen, u64Last + 16, vecStore);
    if (!pDir) return u64Sector;
    return static_cast<u64>(Le32(pDir + u64Last + 12)) + Le32(pDir + u64Last + 8);
}

unsigned long long CFileTypeJudge::GetTTFFileBytesSize(const unsigned char* pBuf, int nLen) {
    const u64 u64Sector = static_cast<u64>(m_nBytesPerSector);
    if (!pBuf || nLen < 6) return u64Sector;
    uint32_t n = Be16(pBuf + 4);
    if (n == 0) return 0;
    std::vector<unsigned char> vecStore;
    const unsigned char* pDir =
        DirectoryBuffer(pBuf, nLen, 12 + 16 * static_cast<u64>(n), vecStore);
    if (!pDir) return u64Sector;
    u64 u64Max = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const unsigned char* pEntry = pDir + 12 + 16 * static_cast<u64>(i);
        u64 u64End = static_cast<u64>(Be32(pEntry + 8)) + Be32(pEntry + 12);
        if (i == 0 || u64End > u64Max) u64Max = u64End;
    }
    return u64Max;
}

unsigned long long CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(const unsigned char* pBuf,
                                                                        int nLen) {
    constexpr u64 kLimit = 134217727;
    if (!pBuf || nLen < 512 || !m_pDiskReader || m_nBytesPerSector <= 0) return 0;
    const uint32_t nShift = Le16(pBuf + 30);
    if (nShift != 9 && nShift != 12) return 0;
    const uint32_t m = (0xFFFFFFFAu >> (nShift - 2)) + 1;
    const uint32_t f = Le32(pBuf + 44);
    const uint32_t d = Le32(pBuf + 72);
    if (f > m || Le32(pBuf + 64) > m || d > m / ((1u << (nShift - 2)) - 1) + 1) return 0;
    const u64 u64Sector = static_cast<u64>(m_nBytesPerSector);
    const u64 c = static_cast<u64>(f) * 128 + 1;
    const u64 u64Covered = Min(c * u64Sector, kLimit);
    const u64 u64File = m_u64CurrentSector;
    std::vector<unsigned char> vecSector(
        static_cast<size_t>(m_nBytesPerSector < 512 ? 512 : m_nBytesPerSector));
    auto ReadFileSector = [&](uint32_t nId) {
        unsigned int nRead = 0;
        return m_pDiskReader->ReadData(vecSector.data(), 1,
                                       static_cast<long long>(u64File + nId + 1), m_nBytesPerSector,
                                       &nRead) == 0 &&
               nRead == 1;
    };
    uint32_t nLastFat = 0;
    if (d == 0) {
        // The header holds the first 109 FAT sector numbers.
        if (f == 0 || f > 109) return 0;
        nLastFat = Le32(pBuf + 76 + 4 * (f - 1));
    } else {
        if (f < 109) return 0;
        // The DIFAT chain: 127 FAT sector numbers per sector, then the next
        // sector's number. It ends after d sectors, at a failed read, or at a
        // sector already read (a loop).
        uint32_t nId = Le32(pBuf + 68);
        std::unordered_set<uint32_t> setSeen;
        for (uint32_t i = 0; i < d; ++i) {
            if (!setSeen.insert(nId).second || !ReadFileSector(nId)) return u64Covered;
            if (i + 1 < d) nId = Le32(vecSector.data() + 508);
        }
        uint32_t nRem = (f - 109) % 127;
        uint32_t nEntry = nRem == 0 ? 126 : nRem - 1;
        nLastFat = Le32(vecSector.data() + 4 * nEntry);
    }
    if (!ReadFileSector(nLastFat)) return u64Covered;
    u64 u = 0;
    for (int i = 127; i >= 0 && Le32(vecSector.data() + 4 * i) == 0xFFFFFFFFu; --i) ++u;
    return Min((c - u) * u64Sector, kLimit);
}

unsigned long long CFileTypeJudge::GetOFFICE2003FileBytesSize(const unsigned char* pBuf, int nLen) {
    u64 u64Size = GetOFFICE2003FileBytesSizeByFileHead(pBuf, nLen);
    if (u64Size != 0) return u64Size;
    struct CWordTagSearch : IChunkSearch {
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            static const unsigned char kProps[] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
            static const unsigned char kApp[] = {'M', 'i', 'c', 'r', 'o',  's',  'o',  'f', 't',
                                                 ' ', 'O', 'f', 'f', 'i',  'c',  'e',  ' ', 'W',
                                                 'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};
            long nProps = FindBytes(pChunk, nLen, 0, kProps, sizeof(kProps));
            if (nProps < 0) return false;
            long nApp = FindBytes(pChunk, nLen, nProps + 1, kApp, sizeof(kApp));
            if (nApp < 0) return false;
            const u64 u64Sector = static_cast<u64>(CFileTypeJudge::m_nBytesPerSector);
            u64 u64End = u64Before + static_cast<u64>(nApp) + sizeof(kApp);
            u64Size = (u64End + u64Sector - 1) / u64Sector * u64Sector;
            return true;
        }
    } search;
    return WalkSectors(134217727, END_OF_FILE, &search);
}

namespace {

struct CZipEndSearch : IChunkSearch {
    bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool, u64& u64Size) override {
        long nEnd = ZipEndInChunk(pChunk, nLen);
        if (nEnd < 0) return false;
        u64Size = u64Before + static_cast<u64>(nEnd);
        return true;
    }
};

}  // namespace

unsigned long long CFileTypeJudge::GetOFFICE2007FileBytesSize(const unsigned char*, int) {
    return StructureOr(134217727, GetZipStructSize, [] {
        CZipEndSearch search;
        return WalkSectors(134217727, END_OF_FILE, &search);
    });
}

unsigned long long CFileTypeJudge::GetZIPFileBytesSize(const unsigned char*, int) {
    return StructureOr(4 * kGiB, GetZipStructSize, [] {
        CZipEndSearch search;
        return WalkSectors(4 * kGiB, END_OF_FILE, &search);
    });
}

unsigned long long CFileTypeJudge::GetPDFFileBytesSize(const unsigned char*, int) {
    // The last "%%EOF" before the next file's start (an updated file has one
    // per revision); a file without one ends at its last "trailer". The walk
    // ends early at a zeroed sector after a marker: free space.
    struct CPdfEndSearch : CCandidateSearch {
        bool bEof = false;
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            long nPos = FindLastBytes(pChunk, nLen, "%%EOF", 5);
            long nEnd = -1;
            if (nPos >= 0) {
                nEnd = nPos + 5;
                // The end-of-line after the last marker belongs to the file.
                if (nEnd < nLen && pChunk[nEnd] == '\r') ++nEnd;
                if (nEnd < nLen && pChunk[nEnd] == '\n') ++nEnd;
                bEof = true;
            } else if (!bEof) {
                nPos = FindLastBytes(pChunk, nLen, "trailer", 7);
                if (nPos >= 0) nEnd = nPos + 7;
            }
            if (nEnd >= 0) {
                bHave = true;
                u64Candidate = u64Before + static_cast<u64>(nEnd);
            }
            if (!bHave) return false;
            const int nBps = CFileTypeJudge::m_nBytesPerSector;
            const long nFrom = nEnd >= 0 ? (nEnd + nBps - 1) / nBps * nBps : 0;
            for (long i = nFrom; i + nBps <= nLen; i += nBps) {
                if (IsZeroSector(pChunk + i, nBps)) {
                    u64Size = u64Candidate;
                    return true;
                }
            }
            return false;
        }
    } search;
    return search.Result(WalkSectors(kGiB, END_OF_FILE, &search));
}

unsigned long long CFileTypeJudge::Get7ZFileBytesSize(const unsigned char*, int) {
    struct C7zEndSearch : IChunkSearch {
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            static const unsigned char kHeaderCoder[] = {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01,
                                                         0x23, 0x03, 0x01, 0x01, 0x05, 0x5D};
            long nPos = FindLastBytes(pChunk, nLen, kHeaderCoder, sizeof(kHeaderCoder));
            if (nPos < 0) return false;
            u64Size = u64Before + static_cast<u64>(nPos) + 27;
            return true;
        }
    } search;
    return WalkSectors(4 * kGiB, END_OF_FILE, &search);
}

unsigned long long CFileTypeJudge::GetRARFileBytesSize(const unsigned char*, int) {
    static const unsigned char kEndBlock[] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
    CMarkerSearch search(kEndBlock, sizeof(kEndBlock), 0, true, false);
    return WalkSectors(4 * kGiB, END_OF_FILE, &search);
}

unsigned long long CFileTypeJudge::GetCABFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen < 36) return static_cast<u64>(m_nBytesPerSector);
    return Min(Le32(pBuf + 8), 1073741824ULL);
}

unsigned long long CFileTypeJudge::GetDBFileBytesSize(const unsigned char* pBuf, int nLen) {
    // A database file is its page size times its page count, when the count is
    // current (the change counter at 24 equals the one the count was written with, at 92).
    if (pBuf && nLen >= 100 && Be32(pBuf + 24) == Be32(pBuf + 92) && Be32(pBuf + 28) != 0) {
        const uint32_t nPage = Be16(pBuf + 16) == 1 ? 65536 : Be16(pBuf + 16);
        if (nPage >= 512 && (nPage & (nPage - 1)) == 0)
            return Min(static_cast<u64>(nPage) * Be32(pBuf + 28), 6 * kGiB);
    }
    return WalkSectors(6 * kGiB, END_OF_FILE, nullptr);
}

unsigned long long CFileTypeJudge::GetMailFileBytesSize(const unsigned char*, int) {
    return WalkSectors(2 * kGiB, END_OF_FILE, nullptr);
}

// ---- Types tried after the first 87 rows -------------------------------------

unsigned long long CFileTypeJudge::GetOGGFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(4 * kGiB, GetOggStructSize,
                       [&] { return GetDefaultAudioFileBytesSize(pBuf, nLen); });
}

unsigned long long CFileTypeJudge::GetFLACFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(2 * kGiB, GetFlacStructSize,
                       [&] { return GetDefaultAudioFileBytesSize(pBuf, nLen); });
}

unsigned long long CFileTypeJudge::GetPNMFileBytesSize(const unsigned char* pBuf, int nLen) {
    uint64_t u64Header = 0, u64Raster = 0;
    if (!ParsePnmHeader(pBuf, nLen, u64Header, u64Raster))
        return static_cast<u64>(m_nBytesPerSector);
    return Min(u64Header + u64Raster, kGiB);
}

unsigned long long CFileTypeJudge::GetXCFFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(kGiB, GetXcfStructSize,
                       [&] { return GetDefaultPictureFileBytesSize(pBuf, nLen); });
}

unsigned long long CFileTypeJudge::GetWEBPFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen < 8) return static_cast<u64>(m_nBytesPerSector);
    return Min(static_cast<u64>(Le32(pBuf + 4)) + 8, kGiB);
}

unsigned long long CFileTypeJudge::GetHEIFFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(
        kGiB, [](CFileBytes& f) { return GetIsoBoxStructSize(f, "meta"); },
        [&] { return GetDefaultPictureFileBytesSize(pBuf, nLen); });
}

unsigned long long CFileTypeJudge::GetCR3FileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(
        kGiB, [](CFileBytes& f) { return GetIsoBoxStructSize(f, "moov"); },
        [&] { return GetDefaultPictureFileBytesSize(pBuf, nLen); });
}

unsigned long long CFileTypeJudge::GetTEXTFileBytesSize(const unsigned char* pBuf, int nLen) {
    // Printable UTF-8 up to the first byte that is not, or to the next file.
    // Stopped by old data (not a NUL), the text ends after its last line break
    // when one of the last few bytes is one: printable bytes of the old data
    // that happen to follow are not the file's.
    struct CTextSearch : IChunkSearch {
        int nPending = 0;
        static int End(const unsigned char* p, int nLen, int n) {
            if (n >= nLen || p[n] == 0) return n;
            for (int i = n - 1; i >= 0 && i >= n - 4; --i)
                if (p[i] == '\n') return i + 1;
            return n;
        }
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            const int n = MeasureUtf8Text(pChunk, nLen, &nPending);
            if (n == nLen) return false;
            u64Size = u64Before + static_cast<u64>(End(pChunk, nLen, n));
            return true;
        }
    } search;
    if (!pBuf || nLen <= 0) return 0;
    const int nHead = MeasureUtf8Text(pBuf, nLen, &search.nPending);
    if (nHead < nLen || nLen < m_nBytesPerSector)
        return static_cast<u64>(CTextSearch::End(pBuf, nLen, nHead));
    return WalkSectors(64 * kMiB, END_OF_FILE, &search);
}
