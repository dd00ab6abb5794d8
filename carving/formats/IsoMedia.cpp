// ISO base media files (MP4, 3GP, QuickTime, HEIF and AVIF pictures, CR3 raw
// photos): a file-type box, measured by their top-level boxes.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsMp4Type(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 32)) return kNone;
    if (At(pBuf, nLen, 4, "ftyp") && (At(pBuf, nLen, 8, "iso") || At(pBuf, nLen, 8, "mp42"))) {
        return FILE_TYPE_MP4;
    }
    return kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::Is3pgType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 32)) return kNone;
    return At(pBuf, nLen, 4, "ftyp") && At(pBuf, nLen, 8, "3gp") ? FILE_TYPE_3GP : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMovType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    if (At(pBuf, nLen, 0, "moov")) return FILE_TYPE_MOV;
    return At(pBuf, nLen, 4, "ftyp") && At(pBuf, nLen, 8, "qt  ") ? FILE_TYPE_MOV : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsHeifType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16) || !At(pBuf, nLen, 4, "ftyp")) return kNone;
    const char* const kHeic[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs"};
    for (const char* sz : kHeic)
        if (At(pBuf, nLen, 8, sz)) return FILE_TYPE_HEIC;
    if (At(pBuf, nLen, 8, "avif") || At(pBuf, nLen, 8, "avis")) return FILE_TYPE_AVIF;
    if (At(pBuf, nLen, 8, "crx ")) return FILE_TYPE_CR3;
    if (!At(pBuf, nLen, 8, "mif1") && !At(pBuf, nLen, 8, "msf1")) return kNone;
    // A general image brand: the compatible brands tell AV1 from HEVC pictures.
    uint32_t nBox = Be32(pBuf);
    const int nEnd = nBox < static_cast<uint32_t>(nLen) ? static_cast<int>(nBox) : nLen;
    for (int i = 16; i + 4 <= nEnd; i += 4)
        if (At(pBuf, nLen, i, "avif")) return FILE_TYPE_AVIF;
    return FILE_TYPE_HEIC;
}

namespace {

bool IsTopLevelBox(const unsigned char* t) {
    static const char* const kTypes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid",
                                         "meta", "moof", "mfra", "pdin", "styp", "sidx", "ssix",
                                         "prft", "emsg", "pnot", "udta", "junk"};
    for (const char* sz : kTypes)
        if (std::memcmp(t, sz, 4) == 0) return true;
    return false;
}

}  // namespace

uint64_t GetIsoBoxStructSize(CFileBytes& f, const char* szNeed) {
    uint64_t u64Off = 0;
    bool bNeed = false;
    for (int nBoxes = 0;; ++nBoxes) {
        const unsigned char* p = f.Get(u64Off, 8);
        if (!p) break;  // the area ends here
        // A box of another type, or a second file's first box, is not ours.
        if (!IsTopLevelBox(p + 4) || (nBoxes > 0 && Is(p + 4, "ftyp"))) break;
        if (nBoxes > 100000) return 0;
        if (Is(p + 4, szNeed)) bNeed = true;
        uint64_t u64Size = Be32(p);
        if (u64Size == 1) {
            const unsigned char* q = f.Get(u64Off + 8, 8);
            if (!q) return 0;
            u64Size = Be64(q);
            if (u64Size < 16) return 0;
        } else if (u64Size < 8) {
            return 0;  // 0: up to an end we cannot see
        }
        if (u64Size > f.Reach() - u64Off) return 0;
        u64Off += u64Size;
    }
    return bNeed ? u64Off : 0;
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

unsigned long long CFileTypeJudge::GetISOMediaFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(
        4 * kGiB, [](CFileBytes& f) { return GetIsoBoxStructSize(f, "moov"); },
        [&] { return GetDefaultVedioFileBytesSize(pBuf, nLen); });
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

// Registration.
const CARVE_SIGNATURE kMp4Signatures[] = {
    TW_SIG(4, "ftyp"),
};
const CARVE_ROW kMp4Rows[] = {
    {"mp4", FILE_TYPE_MP4, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetMP4FileBytesSize},
};
const CARVE_SIGNATURE kThreeGpSignatures[] = {
    TW_SIG(4, "ftyp"),
};
const CARVE_ROW kThreeGpRows[] = {
    {"3gp", FILE_TYPE_3GP, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetISOMediaFileBytesSize},
};
const CARVE_SIGNATURE kMovSignatures[] = {
    TW_SIG(0, "moov"),
    TW_SIG(4, "ftyp"),
};
const CARVE_ROW kMovRows[] = {
    {"mov", FILE_TYPE_MOV, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetISOMediaFileBytesSize},
};
const CARVE_SIGNATURE kHeifSignatures[] = {
    TW_SIG(4, "ftyp"),
};
const CARVE_ROW kHeifRows[] = {
    {"heic", FILE_TYPE_HEIC, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetHEIFFileBytesSize},
    {"heif", FILE_TYPE_HEIC, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetHEIFFileBytesSize},
    {"avif", FILE_TYPE_AVIF, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetHEIFFileBytesSize},
    {"cr3", FILE_TYPE_CR3, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetCR3FileBytesSize},
};

TW_CARVE_FORMAT(Mp4, &CFileTypeJudge::IsMp4Type, kMp4Signatures, kMp4Rows);
TW_CARVE_FORMAT(ThreeGp, &CFileTypeJudge::Is3pgType, kThreeGpSignatures, kThreeGpRows);
TW_CARVE_FORMAT(Mov, &CFileTypeJudge::IsMovType, kMovSignatures, kMovRows);
TW_CARVE_FORMAT(Heif, &CFileTypeJudge::IsHeifType, kHeifSignatures, kHeifRows);
