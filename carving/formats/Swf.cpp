// Flash movies: "FWS" (its length in the header) or "CWS".
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsSwfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 8)) return kNone;
    if (At(pBuf, nLen, 0, "CWS") && pBuf[3] >= 6 && pBuf[3] <= 15) return FILE_TYPE_SWF;
    if (At(pBuf, nLen, 0, "FWS") && pBuf[3] < 6) return FILE_TYPE_SWF;
    return kNone;
}

unsigned long long CFileTypeJudge::GetSWFFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (pBuf && nLen >= 8 && std::memcmp(pBuf, "FWS", 3) == 0)
        return Min(Le32(pBuf + 4), 268435456ULL);
    return static_cast<u64>(Ctx().m_nBytesPerSector);
}

// Registration.
const CARVE_SIGNATURE kSwfSignatures[] = {
    TW_SIG(0, "CWS"),
    TW_SIG(0, "FWS"),
};
const CARVE_ROW kSwfRows[] = {
    {"swf", FILE_TYPE_SWF, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetSWFFileBytesSize},
};

TW_CARVE_FORMAT(Swf, &CFileTypeJudge::IsSwfType, kSwfSignatures, kSwfRows);
