// TrueType fonts, measured by their table directory.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

const CARVE_SIGNATURE kTtfSignatures[] = {
    TW_SIG(0, "\x00\x01\x00\x00"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsTtfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    if (!AtSignature(kTtfSignatures, pBuf, nLen)) return kNone;
    const int n = Be16(pBuf + 4);
    if (n == 0 || Le16(pBuf + 6) == 0 || Le16(pBuf + 8) == 0 || Le16(pBuf + 10) == 0) return kNone;
    if (16 * n + 16 > nLen) return kNone;
    // The first table after the directory is the font header, version 1.0.
    const CARVE_SIGNATURE& version = kTtfSignatures[0];
    return At(pBuf, nLen, 16 * n + 12, version.pBytes, version.nBytes) ? FILE_TYPE_TTF : kNone;
}

unsigned long long CFileTypeJudge::GetTTFFileBytesSize(const unsigned char* pBuf, int nLen) {
    const u64 u64Sector = static_cast<u64>(Ctx().m_nBytesPerSector);
    if (!pBuf || nLen < 6) return u64Sector;
    uint32_t n = Be16(pBuf + 4);
    if (n == 0) return 0;
    std::vector<unsigned char> vecStore;
    const unsigned char* pDir =
        DirectoryBuffer(pBuf, nLen, 12 + 16 * static_cast<u64>(n), vecStore);
    if (!pDir) return u64Sector;
    u64 u64Max = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const unsigned char* pEntry = pDir + 12 + 16 * static_cast<u64>(i);
        u64 u64End = static_cast<u64>(Be32(pEntry + 8)) + Be32(pEntry + 12);
        if (i == 0 || u64End > u64Max) u64Max = u64End;
    }
    return u64Max;
}

// Registration.
const CARVE_ROW kTtfRows[] = {
    {"ttf", FILE_TYPE_TTF, TW_CATEGORY_OTHER, &CFileTypeJudge::GetTTFFileBytesSize},
};

TW_CARVE_FORMAT(Ttf, &CFileTypeJudge::IsTtfType, kTtfSignatures, kTtfRows);
