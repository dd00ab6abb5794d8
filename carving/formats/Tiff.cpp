// TIFF pictures, either byte order, measured to the next file.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kTiffSignatures[] = {
    TW_SIG(0, "\x49\x49\x2A\x00"),
    TW_SIG(0, "\x4D\x4D\x00\x2A"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsTifType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    return AtSignature(kTiffSignatures, pBuf, nLen) ? FILE_TYPE_TIF : kNone;
}

// Registration.
const CARVE_ROW kTiffRows[] = {
    {"tif", FILE_TYPE_TIF, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetDefaultPictureFileBytesSize},
    {"tiff", FILE_TYPE_TIF, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetDefaultPictureFileBytesSize},
};

TW_CARVE_FORMAT(Tiff, &CFileTypeJudge::IsTifType, kTiffSignatures, kTiffRows);
