// AVI: a RIFF file of form "AVI ", its length in the RIFF header.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsAviType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return At(pBuf, nLen, 0, "RIFF") && At(pBuf, nLen, 8, "AVI ") && At(pBuf, nLen, 12, "LIST")
               ? FILE_TYPE_AVI
               : kNone;
}

unsigned long long CFileTypeJudge::GetAVIFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen < 8) return static_cast<u64>(Ctx().m_nBytesPerSector);
    return static_cast<u64>(Le32(pBuf + 4)) + 8;
}

// Registration.
const CARVE_SIGNATURE kAviSignatures[] = {
    TW_SIG(0, "RIFF"),
};
const CARVE_ROW kAviRows[] = {
    {"avi", FILE_TYPE_AVI, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetAVIFileBytesSize},
};

TW_CARVE_FORMAT(Avi, &CFileTypeJudge::IsAviType, kAviSignatures, kAviRows);
