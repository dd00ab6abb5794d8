// Matroska: the EBML header, measured by its top-level elements.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kMkvSignatures[] = {
    TW_SIG(0, "\x1A\x45\xDF\xA3"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsMkvType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return AtSignature(kMkvSignatures, pBuf, nLen) ? FILE_TYPE_MKV : kNone;
}

namespace {

// An EBML variable-length number at p (nAvail bytes): its length, and its
// value without the length marker (all ones: unknown, given as ~0).
int EbmlNumber(const unsigned char* p, uint32_t nAvail, bool bKeepMarker, uint64_t& u64Value) {
    if (nAvail == 0 || p[0] == 0) return 0;
    int nLen = 1;
    while (!(p[0] & (0x80 >> (nLen - 1)))) ++nLen;
    if (static_cast<uint32_t>(nLen) > nAvail) return 0;
    uint64_t v = bKeepMarker ? p[0] : (p[0] & (0xFF >> nLen));
    bool bAllOnes = (p[0] & (0xFF >> nLen)) == (0xFF >> nLen);
    for (int i = 1; i < nLen; ++i) {
        v = (v << 8) | p[i];
        bAllOnes = bAllOnes && p[i] == 0xFF;
    }
    u64Value = (!bKeepMarker && bAllOnes) ? ~0ULL : v;
    return nLen;
}

}  // namespace

uint64_t GetMkvStructSize(CFileBytes& f) {
    // The EBML header element, then the segment with its size.
    uint64_t u64Off = 0;
    for (int nElement = 0; nElement < 2; ++nElement) {
        const unsigned char* p = f.Get(u64Off, 12);
        if (!p) return 0;
        uint64_t u64Id = 0, u64Size = 0;
        const int nId = EbmlNumber(p, 12, true, u64Id);
        const int nSize = nId ? EbmlNumber(p + nId, 12 - nId, false, u64Size) : 0;
        if (!nSize || u64Size == ~0ULL) return 0;
        if (u64Id != (nElement == 0 ? 0x1A45DFA3u : 0x18538067u)) return 0;
        if (u64Size > f.Reach()) return 0;
        u64Off += nId + nSize + u64Size;
    }
    return f.Get(u64Off - 1, 1) ? u64Off : 0;
}

unsigned long long CFileTypeJudge::GetMKVFileBytes(const unsigned char*, int) {
    return StructureOr(64 * kGiB, GetMkvStructSize,
                       [] { return WalkSectors(64 * kGiB, END_OF_VEDIO, nullptr); });
}

// Registration.
const CARVE_ROW kMkvRows[] = {
    {"mkv", FILE_TYPE_MKV, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetMKVFileBytes},
};

TW_CARVE_FORMAT(Mkv, &CFileTypeJudge::IsMkvType, kMkvSignatures, kMkvRows);
