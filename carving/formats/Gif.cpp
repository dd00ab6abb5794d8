// GIF pictures, measured by their blocks or to the trailer.
#include "carving/CarveWalk.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsGifType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 8)) return kNone;
    return At(pBuf, nLen, 0, "GIF") && pBuf[3] >= '0' && pBuf[3] <= '9' && pBuf[4] >= '0' &&
                   pBuf[4] <= '9' && pBuf[5] >= 'a' && pBuf[5] <= 'z'
               ? FILE_TYPE_GIF
               : kNone;
}

namespace {

// Past a run of GIF data sub-blocks (length byte, data) ended by an empty one.
uint64_t SkipSubBlocks(CFileBytes& f, uint64_t u64Off) {
    for (;;) {
        const unsigned char* p = f.Get(u64Off, 1);
        if (!p) return 0;
        if (p[0] == 0) return u64Off + 1;
        u64Off += 1 + static_cast<uint64_t>(p[0]);
    }
}

}  // namespace

uint64_t GetGifStructSize(CFileBytes& f) {
    const unsigned char* p = f.Get(0, 13);
    if (!p) return 0;
    uint64_t u64Off = 13;
    if (p[10] & 0x80) u64Off += 3ULL << ((p[10] & 7) + 1);  // global colour table
    for (;;) {
        p = f.Get(u64Off, 1);
        if (!p) return 0;
        if (p[0] == 0x3B) return u64Off + 1;
        if (p[0] == 0x21) {
            u64Off = SkipSubBlocks(f, u64Off + 2);
        } else if (p[0] == 0x2C) {
            p = f.Get(u64Off, 10);
            if (!p) return 0;
            uint64_t u64Data = u64Off + 10;
            if (p[9] & 0x80) u64Data += 3ULL << ((p[9] & 7) + 1);  // local colour table
            u64Off = SkipSubBlocks(f, u64Data + 1);                // after the code size
        } else {
            return 0;
        }
        if (u64Off == 0) return 0;
    }
}

int CFileTypeJudge::GetGIFFileTailOffset(const unsigned char* pBuf, int nLen,
                                         unsigned long long& u64Off) {
    static const unsigned char kTrailer[] = {0x00, 0x3B};
    if (!pBuf || nLen <= 0 || Ctx().m_nBytesPerSector <= 0) return 0;
    return FindZeroFilledMarker(pBuf, nLen, kTrailer, 2, false, Ctx().m_nBytesPerSector, u64Off)
               ? 1
               : 0;
}

unsigned long long CFileTypeJudge::GetGIFFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(128 * kMiB, GetGifStructSize,
                       [&] { return TailMeasuredSize(pBuf, nLen, GetGIFFileTailOffset); });
}

// Registration.
const CARVE_SIGNATURE kGifSignatures[] = {
    TW_SIG(0, "GIF"),
};
const CARVE_ROW kGifRows[] = {
    {"gif", FILE_TYPE_GIF, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetGIFFileBytesSize},
};

TW_CARVE_FORMAT(Gif, &CFileTypeJudge::IsGifType, kGifSignatures, kGifRows);
