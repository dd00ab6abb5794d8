// Material Exchange Format: the header partition key, measured to the next file.
#include "carving/CarveWalk.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsMxfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                           0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
    return At(pBuf, nLen, 0, kKey, 16) ? FILE_TYPE_MXF : kNone;
}

// ---- Registration ------------------------------------------------------------

namespace {

const CARVE_SIGNATURE kMxfSignatures[] = {
    TW_SIG(0, "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00"),
};
const CARVE_ROW kMxfRows[] = {
    {"mxf", FILE_TYPE_MXF, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
};

}  // namespace

TW_CARVE_FORMAT(Mxf, &CFileTypeJudge::IsMxfType, kMxfSignatures, kMxfRows);
