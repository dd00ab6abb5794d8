// Photoshop documents: "8BPS", measured to the next file.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kPsdSignatures[] = {
    TW_SIG(0, "8BPS"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsPsdType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 40)) return kNone;
    return AtSignature(kPsdSignatures, pBuf, nLen) ? FILE_TYPE_PSD : kNone;
}

// Registration.
const CARVE_ROW kPsdRows[] = {
    {"psd", FILE_TYPE_PSD, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetDefaultPictureFileBytesSize},
};

TW_CARVE_FORMAT(Psd, &CFileTypeJudge::IsPsdType, kPsdSignatures, kPsdRows);
