// WebP pictures: a RIFF file of form "WEBP", its length in the RIFF header.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsWebpType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return At(pBuf, nLen, 0, "RIFF") && At(pBuf, nLen, 8, "WEBPVP8") ? FILE_TYPE_WEBP : kNone;
}

unsigned long long CFileTypeJudge::GetWEBPFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen < 8) return static_cast<u64>(Ctx().m_nBytesPerSector);
    return Min(static_cast<u64>(Le32(pBuf + 4)) + 8, kGiB);
}

// Registration.
const CARVE_SIGNATURE kWebpSignatures[] = {
    TW_SIG(0, "RIFF"),
};
const CARVE_ROW kWebpRows[] = {
    {"webp", FILE_TYPE_WEBP, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetWEBPFileBytesSize},
};

TW_CARVE_FORMAT(Webp, &CFileTypeJudge::IsWebpType, kWebpSignatures, kWebpRows);
