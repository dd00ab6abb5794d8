// Flash projects: a compound file, tried before the Office documents (a Word,
// Excel or PowerPoint file in one is carved as such; see ParseFileBuf).
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kFlaSignatures[] = {
    TW_SIG(0, "\xD0\xCF\x11\xE0"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsFlaType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return AtSignature(kFlaSignatures, pBuf, nLen) ? FILE_TYPE_FLA : kNone;
}

unsigned long long CFileTypeJudge::GetFLAFileBytesSize(const unsigned char* pBuf, int nLen) {
    return GetDefaultAudioFileBytesSize(pBuf, nLen);
}

// Registration.
const CARVE_ROW kFlaRows[] = {
    {"fla", FILE_TYPE_FLA, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetFLAFileBytesSize},
};

TW_CARVE_FORMAT(Fla, &CFileTypeJudge::IsFlaType, kFlaSignatures, kFlaRows);
