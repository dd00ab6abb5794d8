// The shared measuring walks (CarveWalk.h), the end tests and the sizes of
// the formats measured by a plain walk to the next file.
#include "carving/CarveWalk.h"

#include <cstring>

#include "common/DiskReader.h"
#include "common/FatEntry.h"

namespace carve {

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
static bool IsZeroFilledEnd(const unsigned char* pBuf, long nLen, long nEnd, int nBytesPerSector) {
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

// test recognises (MPEG packs ignored for an MPEG file) or that belongs to a
// file system.
static int EndTest(const unsigned char* pChunk, int nLen, u64& u64Size, bool bIgnoreMpeg) {
    CCarveContext& ctx = Ctx();
    const int nBps = ctx.m_nBytesPerSector;
    if (!pChunk || nBps <= 0) return 0;
    for (int i = 0; (i + 1) * nBps <= nLen; ++i) {
        const unsigned char* pSector = pChunk + static_cast<long>(i) * nBps;
        ++ctx.m_u64CurrentSector;
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

// One sector walk: from the sector after the head, in 64 KiB reads, until the
// end test fires, the search ends it, the budget is spent, a read fails, the
// area ends or the progress callback says stop. Returns the size reached.
u64 WalkSectors(u64 u64MaxBytes, EEndTest eTest, IChunkSearch* pSearch) {
    CCarveContext& ctx = Ctx();
    const int nBps = ctx.m_nBytesPerSector;
    u64 u64Size = static_cast<u64>(nBps);
    CDiskReader* pReader = ctx.m_pDiskReader;
    unsigned char* pBuf = pReader ? ctx.ReadBuffer() : nullptr;
    if (!pReader || !pBuf || nBps <= 0 || nBps > kReadBufBytes) return u64Size;
    u64 u64Budget = u64MaxBytes / static_cast<u64>(nBps);
    u64 u64Next = ctx.m_u64StartSector + 1;
    const u64 u64Limit = pReader->GetSectorLimit();
    const u64 u64PerRead = static_cast<u64>(kReadBufBytes / nBps);
    u64 u64ReadInWalk = 0;
    // The end tests step the shared current sector along the chunk.
    ctx.m_u64CurrentSector = ctx.m_u64StartSector;
    while (u64Budget > 0 && u64Next < u64Limit) {
        u64 n = Min(Min(u64Budget, u64PerRead), u64Limit - u64Next);
        unsigned int nRead = 0;
        unsigned int nRet = pReader->ReadData(pBuf, static_cast<int>(n),
                                              static_cast<long long>(u64Next), nBps, &nRead);
        if (nRet != 0 || nRead == 0) break;
        if (nRead < n) n = nRead;
        u64ReadInWalk += n;
        if (ctx.ReportProgress(u64ReadInWalk) != 0) break;
        const int nLen = static_cast<int>(n) * nBps;
        const u64 u64Before = u64Size;
        // The video end test is the same as the others'; only MPEG differs.
        const int nFired = EndTest(pBuf, nLen, u64Size, eTest == END_OF_MPG);
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

bool CMarkerSearch::Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                           u64& u64Size) {
    if (bZeroFill) {
        u64 u64End = 0;
        if (!FindZeroFilledMarker(pChunk, nLen, pMarker, nMarkerLen, bFirstOnly,
                                  Ctx().m_nBytesPerSector, u64End))
            return false;
        u64Size = u64Before + u64End;
        return true;
    }
    long nPos = FindBytes(pChunk, nLen, 0, pMarker, nMarkerLen);
    if (nPos < 0) return false;
    u64Size = u64Before + static_cast<u64>(nPos + nExtra);
    return true;
}

bool StructureSettled(u64& u64Size) {
    if (u64Size) return true;
    if (Ctx().m_ErrorCode == 0) return false;
    u64Size = static_cast<u64>(Ctx().m_nBytesPerSector);
    return true;
}

namespace {

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

}  // namespace

u64 TailMeasuredSize(const unsigned char* pBuf, int nLen, PFN_TAIL pfnTail) {
    u64 u64End = 0;
    if (pfnTail(pBuf, nLen, u64End)) return u64End;
    CTailSearch search(pfnTail);
    return WalkSectors(128 * kMiB, END_OF_FILE, &search);
}

// head buffer: it is then read again, 64 KiB from the file's start. Null when
// it does not fit there either or the read fails.
const unsigned char* DirectoryBuffer(const unsigned char* pBuf, int nLen, u64 u64DirEnd,
                                     std::vector<unsigned char>& vecStore) {
    if (u64DirEnd <= static_cast<u64>(nLen)) return pBuf;
    CDiskReader* pReader = Ctx().m_pDiskReader;
    const int nBps = Ctx().m_nBytesPerSector;
    if (!pReader || nBps <= 0 || u64DirEnd > static_cast<u64>(kReadBufBytes)) return nullptr;
    // 64 KiB from the file's start, or what the area holds of them.
    const u64 u64Start = Ctx().m_u64StartSector;
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

}  // namespace carve

using namespace carve;

// ---- End tests --------------------------------------------------------------

int CFileTypeJudge::IsEndOfFile(const unsigned char* pChunk, int nLen,
                                unsigned long long& u64Size) {
    return EndTest(pChunk, nLen, u64Size, false);
}

int CFileTypeJudge::IsEndOfVedioFile(const unsigned char* pChunk, int nLen,
                                     unsigned long long& u64Size) {
    return IsEndOfFile(pChunk, nLen, u64Size);
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

// ---- Sizes by a plain walk to the next file --------------------------------

unsigned long long CFileTypeJudge::GetDefaultVedioFileBytesSize(const unsigned char*, int) {
    return WalkSectors(4 * kGiB, END_OF_VEDIO, nullptr);
}

unsigned long long CFileTypeJudge::GetDefaultAudioFileBytesSize(const unsigned char*, int) {
    return WalkSectors(256 * kMiB, END_OF_FILE, nullptr);
}

unsigned long long CFileTypeJudge::GetDefaultPictureFileBytesSize(const unsigned char*, int) {
    return WalkSectors(128 * kMiB, END_OF_FILE, nullptr);
}
