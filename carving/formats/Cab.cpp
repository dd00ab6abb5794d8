// Cabinet archives: "MSCF", their size in the header.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

const CARVE_SIGNATURE kCabSignatures[] = {
    TW_SIG(0, "MSCF"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsCabType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 36)) return kNone;
    return AtSignature(kCabSignatures, pBuf, nLen) ? FILE_TYPE_CAB : kNone;
}

unsigned long long CFileTypeJudge::GetCABFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen < 36) return static_cast<u64>(Ctx().m_nBytesPerSector);
    return Min(Le32(pBuf + 8), 1073741824ULL);
}

// Registration.
const CARVE_ROW kCabRows[] = {
    {"cab", FILE_TYPE_CAB, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetCABFileBytesSize},
};

TW_CARVE_FORMAT(Cab, &CFileTypeJudge::IsCabType, kCabSignatures, kCabRows);
