// Ghost disk images: recognised, not carved.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kGhostSignatures[] = {
    TW_SIG(0, "\xFE\xEF\x00\x00"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsGhoType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    return AtSignature(kGhostSignatures, pBuf, nLen) ? FILE_TYPE_GHO : kNone;
}

// Registration.
const CARVE_ROW kGhostRows[] = {
    {"gho", FILE_TYPE_GHO, TW_CATEGORY_OTHER, nullptr},
};

TW_CARVE_FORMAT(Ghost, &CFileTypeJudge::IsGhoType, kGhostSignatures, kGhostRows);
