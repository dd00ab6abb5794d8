// RAR archives, measured to their end block.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kRarSignatures[] = {
    TW_SIG(0, "\x52\x61\x72\x21\x1A\x07\x00"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsRarType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 7)) return kNone;
    return AtSignature(kRarSignatures, pBuf, nLen) ? FILE_TYPE_RAR : kNone;
}

unsigned long long CFileTypeJudge::GetRARFileBytesSize(const unsigned char*, int) {
    static const unsigned char kEndBlock[] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
    CMarkerSearch search(kEndBlock, sizeof(kEndBlock), 0, true, false);
    return WalkSectors(4 * kGiB, END_OF_FILE, &search);
}

// Registration.
const CARVE_ROW kRarRows[] = {
    {"rar", FILE_TYPE_RAR, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetRARFileBytesSize},
};

TW_CARVE_FORMAT(Rar, &CFileTypeJudge::IsRarType, kRarSignatures, kRarRows);
