// Windows programs, libraries and drivers (PE): recognised, not carved.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsPeType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 512)) return kNone;
    if (!At(pBuf, nLen, 0, "MZ")) return kNone;
    const uint32_t h = Le32(pBuf + 60);
    static const unsigned char kPe[4] = {'P', 'E', 0, 0};
    if (h > 488 || !At(pBuf, nLen, static_cast<int>(h), kPe, 4)) return kNone;
    const uint16_t nCharacteristics = Le16(pBuf + h + 22);
    if (!(nCharacteristics & 0x0002)) return kNone;  // not executable
    if (nCharacteristics & 0x1000) return FILE_TYPE_SYS;
    if (nCharacteristics & 0x2000) return FILE_TYPE_DLL;
    return FILE_TYPE_EXE;
}

// Registration.
const CARVE_SIGNATURE kPeSignatures[] = {
    TW_SIG(0, "MZ"),
};
const CARVE_ROW kPeRows[] = {
    {"exe", FILE_TYPE_EXE, TW_CATEGORY_ARCHIVE, nullptr},
    {"dll", FILE_TYPE_DLL, TW_CATEGORY_OTHER, nullptr},
    {"sys", FILE_TYPE_SYS, TW_CATEGORY_OTHER, nullptr},
};

TW_CARVE_FORMAT(Pe, &CFileTypeJudge::IsPeType, kPeSignatures, kPeRows);
