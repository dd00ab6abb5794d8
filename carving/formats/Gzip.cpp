// gzip members (deflate), measured to the next file.
#include "carving/CarveWalk.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsGzipType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kSig[3] = {0x1F, 0x8B, 0x08};
    if (!At(pBuf, nLen, 0, kSig, 3)) return kNone;
    if (pBuf[3] != 0 && pBuf[3] != 8) return kNone;
    // Extra flags: 2 best compression, 4 fastest, 0 for every other level
    // (the default level writes 0).
    if (pBuf[8] != 0 && pBuf[8] != 2 && pBuf[8] != 4) return kNone;
    return pBuf[9] <= 13 || pBuf[9] == 0xFF ? FILE_TYPE_GZ : kNone;
}

// Registration.
const CARVE_SIGNATURE kGzipSignatures[] = {
    TW_SIG(0, "\x1F\x8B\x08"),
};
const CARVE_ROW kGzipRows[] = {
    {"gz", FILE_TYPE_GZ, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"gzip", FILE_TYPE_GZ, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
};

TW_CARVE_FORMAT(Gzip, &CFileTypeJudge::IsGzipType, kGzipSignatures, kGzipRows);
