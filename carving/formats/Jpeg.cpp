// JPEG pictures (JFIF or Exif), measured by their segments and scans or to
// the end-of-image marker.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsJpgType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kApp0[4] = {0xFF, 0xD8, 0xFF, 0xE0},
                               kApp1[4] = {0xFF, 0xD8, 0xFF, 0xE1};
    if (At(pBuf, nLen, 0, kApp0, 4) && At(pBuf, nLen, 6, "JFIF")) return FILE_TYPE_JPG;
    if (At(pBuf, nLen, 0, kApp1, 4) && At(pBuf, nLen, 6, "Exif")) return FILE_TYPE_JPG;
    return kNone;
}

namespace {

// From the first byte of entropy-coded data to the marker that ends it: FF
// followed by neither 00 (a stuffed byte) nor a restart marker.
uint64_t SkipEntropyData(CFileBytes& f, uint64_t u64Off) {
    for (;;) {
        uint32_t nAvail = 0;
        const unsigned char* p = f.Span(u64Off, nAvail);
        if (!p) return 0;
        const void* pHit = std::memchr(p, 0xFF, nAvail);
        if (!pHit) {
            u64Off += nAvail;
            continue;
        }
        const uint64_t u64At =
            u64Off + static_cast<uint64_t>(static_cast<const unsigned char*>(pHit) - p);
        const unsigned char* q = f.Get(u64At + 1, 1);
        if (!q) return 0;
        if (q[0] == 0x00 || (q[0] >= 0xD0 && q[0] <= 0xD7))
            u64Off = u64At + 2;
        else if (q[0] == 0xFF)
            u64Off = u64At + 1;  // fill byte: the marker follows
        else
            return u64At;
    }
}

}  // namespace

uint64_t GetJpegStructSize(CFileBytes& f, uint64_t* pu64Parsed) {
    uint64_t u64Parsed = 0;
    if (!pu64Parsed) pu64Parsed = &u64Parsed;
    *pu64Parsed = 0;
    const unsigned char* p = f.Get(0, 2);
    if (!p || p[0] != 0xFF || p[1] != 0xD8) return 0;
    uint64_t u64Off = 2;
    bool bScan = false;
    for (int nSteps = 0; nSteps < 1000000; ++nSteps) {
        // What lies before u64Off parsed as JPEG, its header and a scan at least.
        if (bScan) *pu64Parsed = u64Off < f.Reach() ? u64Off : f.Reach();
        p = f.Get(u64Off, 4);
        if (!p) p = f.Get(u64Off, 2);  // an end marker in the last two bytes
        if (!p || p[0] != 0xFF) return 0;
        const unsigned char m = p[1];
        if (m == 0xFF) {
            ++u64Off;  // fill byte
            continue;
        }
        if (m == 0xD9) return u64Off + 2;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            u64Off += 2;
            continue;
        }
        if (m == 0x00 || m == 0xD8) return 0;
        p = f.Get(u64Off + 2, 2);
        if (!p) return 0;
        const uint32_t nLen = Be16(p);
        if (nLen < 2) return 0;
        // Segments, an embedded thumbnail's included, are stepped over whole.
        u64Off += 2 + nLen;
        if (m == 0xDA) {
            bScan = true;
            u64Off = SkipEntropyData(f, u64Off);
            if (u64Off == 0) {
                *pu64Parsed = f.Reach();  // entropy-coded data up to the reach
                return 0;
            }
        }
    }
    return 0;
}

int CFileTypeJudge::GetJPGFileTailOffset(const unsigned char* pBuf, int nLen,
                                         unsigned long long& u64Off) {
    static const unsigned char kEoi[] = {0xFF, 0xD9};
    if (!pBuf || nLen <= 0 || Ctx().m_nBytesPerSector <= 0) return 0;
    return FindZeroFilledMarker(pBuf, nLen, kEoi, 2, true, Ctx().m_nBytesPerSector, u64Off) ? 1 : 0;
}

unsigned long long CFileTypeJudge::GetJPGFileBytesSize(const unsigned char* pBuf, int nLen) {
    uint64_t u64Parsed = 0;
    u64 u64End =
        StructureSize(128 * kMiB, [&](CFileBytes& f) { return GetJpegStructSize(f, &u64Parsed); });
    if (StructureSettled(u64End)) return u64End;
    // Past the point where the data stops being JPEG no end marker is looked
    // for: old data after a damaged picture is not carved with it.
    const u64 u64Bps = static_cast<u64>(Ctx().m_nBytesPerSector);
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

// Registration.
const CARVE_SIGNATURE kJpegSignatures[] = {
    TW_SIG(0, "\xFF\xD8\xFF\xE0"),
    TW_SIG(0, "\xFF\xD8\xFF\xE1"),
};
const CARVE_ROW kJpegRows[] = {
    {"jpg", FILE_TYPE_JPG, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetJPGFileBytesSize},
    {"jpeg", FILE_TYPE_JPG, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetJPGFileBytesSize},
    {"jpe", FILE_TYPE_JPG, TW_CATEGORY_OTHER, &CFileTypeJudge::GetJPGFileBytesSize},
    {"jfif", FILE_TYPE_JPG, TW_CATEGORY_OTHER, &CFileTypeJudge::GetJPGFileBytesSize},
};

TW_CARVE_FORMAT(Jpeg, &CFileTypeJudge::IsJpgType, kJpegSignatures, kJpegRows);
