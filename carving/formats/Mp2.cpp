// MPEG audio layer II frames, measured to the next file.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kMp2Signatures[] = {
    TW_SIG(0, "\xFF\xFD\xE4\x00"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsMp2Type(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    return AtSignature(kMp2Signatures, pBuf, nLen) ? FILE_TYPE_MP2 : kNone;
}

// Registration.
const CARVE_ROW kMp2Rows[] = {
    {"mp2", FILE_TYPE_MP2, TW_CATEGORY_OTHER, &CFileTypeJudge::GetDefaultAudioFileBytesSize},
};

TW_CARVE_FORMAT(Mp2, &CFileTypeJudge::IsMp2Type, kMp2Signatures, kMp2Rows);
