// Ghost disk images: recognised, not carved.
#include "carving/CarveWalk.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsGhoType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    static const unsigned char kSig[4] = {0xFE, 0xEF, 0x00, 0x00};
    return At(pBuf, nLen, 0, kSig, 4) ? FILE_TYPE_GHO : kNone;
}

// ---- Registration ------------------------------------------------------------

namespace {

const CARVE_SIGNATURE kGhostSignatures[] = {
    TW_SIG(0, "\xFE\xEF\x00\x00"),
};
const CARVE_ROW kGhostRows[] = {
    {"gho", FILE_TYPE_GHO, TW_CATEGORY_OTHER, nullptr},
};

}  // namespace

TW_CARVE_FORMAT(Ghost, &CFileTypeJudge::IsGhoType, kGhostSignatures, kGhostRows);
