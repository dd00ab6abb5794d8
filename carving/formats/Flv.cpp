// Flash video: "FLV" version 1, measured to the next file.
#include "carving/CarveWalk.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsFlvType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kHeaderSize[4] = {0, 0, 0, 9};
    return At(pBuf, nLen, 0, "FLV") && pBuf[3] == 1 && At(pBuf, nLen, 5, kHeaderSize, 4)
               ? FILE_TYPE_FLV
               : kNone;
}

// Registration.
const CARVE_SIGNATURE kFlvSignatures[] = {
    TW_SIG(0, "FLV"),
};
const CARVE_ROW kFlvRows[] = {
    {"flv", FILE_TYPE_FLV, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
};

TW_CARVE_FORMAT(Flv, &CFileTypeJudge::IsFlvType, kFlvSignatures, kFlvRows);
