// 7-Zip archives, measured to their header's coder record.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kSevenZipSignatures[] = {
    TW_SIG(0, "\x37\x7A\xBC\xAF\x27"),
};

EXTEND_NAME_TYPE CFileTypeJudge::Is7zType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 5)) return kNone;
    return AtSignature(kSevenZipSignatures, pBuf, nLen) ? FILE_TYPE_7Z : kNone;
}

unsigned long long CFileTypeJudge::Get7ZFileBytesSize(const unsigned char*, int) {
    struct C7zEndSearch : IChunkSearch {
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            static const unsigned char kHeaderCoder[] = {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01,
                                                         0x23, 0x03, 0x01, 0x01, 0x05, 0x5D};
            long nPos = FindLastBytes(pChunk, nLen, kHeaderCoder, sizeof(kHeaderCoder));
            if (nPos < 0) return false;
            u64Size = u64Before + static_cast<u64>(nPos) + 27;
            return true;
        }
    } search;
    return WalkSectors(4 * kGiB, END_OF_FILE, &search);
}

// Registration.
const CARVE_ROW kSevenZipRows[] = {
    {"7z", FILE_TYPE_7Z, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::Get7ZFileBytesSize},
};

TW_CARVE_FORMAT(SevenZip, &CFileTypeJudge::Is7zType, kSevenZipSignatures, kSevenZipRows);
