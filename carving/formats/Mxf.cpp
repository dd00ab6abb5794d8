// Material Exchange Format: the header partition key, measured to the next file.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kMxfSignatures[] = {
    TW_SIG(0, "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsMxfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return AtSignature(kMxfSignatures, pBuf, nLen) ? FILE_TYPE_MXF : kNone;
}

// Registration.
const CARVE_ROW kMxfRows[] = {
    {"mxf", FILE_TYPE_MXF, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
};

TW_CARVE_FORMAT(Mxf, &CFileTypeJudge::IsMxfType, kMxfSignatures, kMxfRows);
