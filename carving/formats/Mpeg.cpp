// MPEG program and video streams: a pack or sequence header, measured by its
// packs or, failing that, to its end code.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsMpgType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kSeq[4] = {0, 0, 1, 0xB3}, kSeqExt[4] = {0, 0, 1, 0xB8};
    static const unsigned char kPack[4] = {0, 0, 1, 0xBA}, kSys[4] = {0, 0, 1, 0xBB};
    const int nTo = nLen < 32 ? nLen : 32;
    if (At(pBuf, nLen, 0, kSeq, 4) && Find(pBuf, 0, nTo, kSeqExt, 4) >= 0) return FILE_TYPE_MPEG;
    if (At(pBuf, nLen, 0, kPack, 4) && Find(pBuf, 0, nTo, kSys, 4) >= 0) return FILE_TYPE_MPEG;
    return kNone;
}

uint64_t GetMpegPsStructSize(CFileBytes& f) {
    uint64_t u64Off = 0;
    uint64_t u64Packs = 0;
    for (;;) {
        const unsigned char* p = f.Get(u64Off, 6);
        if (!p) p = f.Get(u64Off, 4);
        if (!p || p[0] != 0 || p[1] != 0 || p[2] != 1) break;
        const unsigned char nCode = p[3];
        if (nCode == 0xB9) return u64Off + 4;  // program end code
        uint64_t u64Len = 0;
        if (nCode == 0xBA) {
            p = f.Get(u64Off, 14);
            if (!p) break;
            if ((p[4] & 0xC0) == 0x40)
                u64Len = 14 + (p[13] & 7);  // MPEG-2 pack header and stuffing
            else if ((p[4] & 0xF0) == 0x20)
                u64Len = 12;  // MPEG-1
            else
                break;
            ++u64Packs;
        } else if (nCode >= 0xBB && f.Get(u64Off, 6)) {
            u64Len = 6 + static_cast<uint64_t>(Be16(p + 4));
        } else {
            break;
        }
        if (u64Packs == 0 || !f.Get(u64Off + u64Len - 1, 1)) return 0;
        u64Off += u64Len;
    }
    // Without an end code the stream ends after its last whole packet.
    return u64Packs > 1 ? u64Off : 0;
}

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

// Registration.
const CARVE_SIGNATURE kMpegSignatures[] = {
    TW_SIG(0, "\x00\x00\x01\xB3"),
    TW_SIG(0, "\x00\x00\x01\xBA"),
};
const CARVE_ROW kMpegRows[] = {
    {"mpeg", FILE_TYPE_MPEG, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetMPGFileBytesSize},
    {"mpg", FILE_TYPE_MPEG, TW_CATEGORY_OTHER, &CFileTypeJudge::GetMPGFileBytesSize},
    {"vob", FILE_TYPE_MPEG, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetMPGFileBytesSize},
};

TW_CARVE_FORMAT(Mpeg, &CFileTypeJudge::IsMpgType, kMpegSignatures, kMpegRows);
