// Windows icons: a directory whose images follow one another, measured by its
// last entry.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

const CARVE_SIGNATURE kIcoSignatures[] = {
    TW_SIG(0, "\x00\x00\x01\x00"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsIcoType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    if (!AtSignature(kIcoSignatures, pBuf, nLen)) return kNone;
    const int n = Le16(pBuf + 4);
    if (n == 0 || 6 + 16 * n > nLen) return kNone;
    // Each image's data follows the previous one, right after the directory.
    unsigned long long u64Expected = 6 + 16 * n;
    for (int i = 0; i < n; ++i) {
        const unsigned char* pEntry = pBuf + 6 + 16 * i;
        if (pEntry[3] != 0 || Le32(pEntry + 12) != u64Expected) return kNone;
        u64Expected += Le32(pEntry + 8);
    }
    return FILE_TYPE_ICO;
}

unsigned long long CFileTypeJudge::GetICOFileBytesSize(const unsigned char* pBuf, int nLen) {
    const u64 u64Sector = static_cast<u64>(Ctx().m_nBytesPerSector);
    if (!pBuf || nLen < 6) return u64Sector;
    uint32_t n = Le16(pBuf + 4);
    if (n == 0) return u64Sector;
    u64 u64Last = 6 + 16 * static_cast<u64>(n - 1);
    std::vector<unsigned char> vecStore;
    const unsigned char* pDir = DirectoryBuffer(pBuf, nLen, u64Last + 16, vecStore);
    if (!pDir) return u64Sector;
    return static_cast<u64>(Le32(pDir + u64Last + 12)) + Le32(pDir + u64Last + 8);
}

// Registration.
const CARVE_ROW kIcoRows[] = {
    {"ico", FILE_TYPE_ICO, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetICOFileBytesSize},
};

TW_CARVE_FORMAT(Ico, &CFileTypeJudge::IsIcoType, kIcoSignatures, kIcoRows);
