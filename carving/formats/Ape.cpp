// Monkey's Audio: "MAC ", measured to its APE tag.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kApeSignatures[] = {
    TW_SIG(0, "MAC "),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsApeType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    return AtSignature(kApeSignatures, pBuf, nLen) ? FILE_TYPE_APE : kNone;
}

unsigned long long CFileTypeJudge::GetAPEFileBytesSize(const unsigned char*, int) {
    struct CApeTagSearch : IChunkSearch {
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            static const unsigned char kTag[] = {'A', 'P', 'E', 'T',  'A',
                                                 'G', 'E', 'X', 0xD0, 0x07};
            long nFirst = FindBytes(pChunk, nLen, 0, kTag, sizeof(kTag));
            if (nFirst < 0) return false;
            long nSecond = FindBytes(pChunk, nLen, nFirst + 1, kTag, sizeof(kTag));
            u64Size = u64Before + static_cast<u64>(nSecond >= 0 ? nSecond + 32 : nLen);
            return true;
        }
    } search;
    return WalkSectors(2 * kGiB, END_OF_FILE, &search);
}

// Registration.
const CARVE_ROW kApeRows[] = {
    {"ape", FILE_TYPE_APE, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetAPEFileBytesSize},
};

TW_CARVE_FORMAT(Ape, &CFileTypeJudge::IsApeType, kApeSignatures, kApeRows);
