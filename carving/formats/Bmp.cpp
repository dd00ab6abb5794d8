// Windows bitmaps: "BM" or "BA", their size in the header.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsBmpType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 40)) return kNone;
    if (!At(pBuf, nLen, 0, "BM") && !At(pBuf, nLen, 0, "BA")) return kNone;
    return Le16(pBuf + 6) == 0 && Le16(pBuf + 8) == 0 && Le32(pBuf + 14) == 40 ? FILE_TYPE_BMP
                                                                               : kNone;
}

unsigned long long CFileTypeJudge::GetBMPFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen < 6) return 0;
    return Min(Le32(pBuf + 2), 134217728ULL);
}

// Registration.
const CARVE_SIGNATURE kBmpSignatures[] = {
    TW_SIG(0, "BM"),
    TW_SIG(0, "BA"),
};
const CARVE_ROW kBmpRows[] = {
    {"bmp", FILE_TYPE_BMP, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetBMPFileBytesSize},
    {"dib", FILE_TYPE_BMP, TW_CATEGORY_OTHER, &CFileTypeJudge::GetBMPFileBytesSize},
};

TW_CARVE_FORMAT(Bmp, &CFileTypeJudge::IsBmpType, kBmpSignatures, kBmpRows);
