// RealMedia: ".RMF", measured to its last index chunk.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kRmvbSignatures[] = {
    TW_SIG(0, ".RMF"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsRmvbType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    return AtSignature(kRmvbSignatures, pBuf, nLen) ? FILE_TYPE_RMVB : kNone;
}

unsigned long long CFileTypeJudge::GetRMVBFileBytesSize(const unsigned char*, int) {
    static const unsigned char kLastIndex[] = {'I', 'N', 'D', 'X', 0, 0, 0, 0x14, 0, 0,
                                               0,   0,   0,   0,   0, 2, 0, 0,    0, 0};
    CMarkerSearch search(kLastIndex, sizeof(kLastIndex), sizeof(kLastIndex), false, true);
    return WalkSectors(4 * kGiB, END_OF_VEDIO, &search);
}

// Registration.
const CARVE_ROW kRmvbRows[] = {
    {"rmvb", FILE_TYPE_RMVB, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetRMVBFileBytesSize},
    {"rm", FILE_TYPE_RMVB, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetRMVBFileBytesSize},
};

TW_CARVE_FORMAT(Rmvb, &CFileTypeJudge::IsRmvbType, kRmvbSignatures, kRmvbRows);
