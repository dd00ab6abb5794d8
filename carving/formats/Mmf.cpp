// Mobile music files: "MMMD", measured to the next file.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kMmfSignatures[] = {
    TW_SIG(0, "MMMD"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsMmfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    return AtSignature(kMmfSignatures, pBuf, nLen) ? FILE_TYPE_MMF : kNone;
}

// Registration.
const CARVE_ROW kMmfRows[] = {
    {"mmf", FILE_TYPE_MMF, TW_CATEGORY_OTHER, &CFileTypeJudge::GetDefaultAudioFileBytesSize},
};

TW_CARVE_FORMAT(Mmf, &CFileTypeJudge::IsMmfType, kMmfSignatures, kMmfRows);
