// Portable bitmaps (P4, P5, P6): header plus raster.
#include "carving/CarveWalk.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsPnmType(const unsigned char* pBuf, int nLen) {
    uint64_t u64Header = 0, u64Raster = 0;
    switch (ParsePnmHeader(pBuf, nLen, u64Header, u64Raster)) {
        case 'p':
            return FILE_TYPE_PPM;
        case 'g':
            return FILE_TYPE_PGM;
        case 'b':
            return FILE_TYPE_PBM;
        default:
            return kNone;
    }
}

char ParsePnmHeader(const unsigned char* pBuf, int nLen, uint64_t& u64Header, uint64_t& u64Raster) {
    if (!pBuf || nLen < 8 || pBuf[0] != 'P' || pBuf[1] < '4' || pBuf[1] > '6') return 0;
    const char cKind = pBuf[1] == '4' ? 'b' : pBuf[1] == '5' ? 'g' : 'p';
    uint64_t v[3] = {0, 0, 0};
    const int nFields = cKind == 'b' ? 2 : 3;
    if (cKind == 'b') v[2] = 1;
    int i = 2;
    for (int k = 0; k < nFields; ++k) {
        // White space and comments, then a decimal number.
        bool bSpace = false;
        while (i < nLen) {
            if (pBuf[i] == '#') {
                while (i < nLen && pBuf[i] != '\n' && pBuf[i] != '\r') ++i;
            } else if (pBuf[i] == ' ' || pBuf[i] == '\t' || pBuf[i] == '\n' || pBuf[i] == '\r') {
                ++i;
            } else {
                break;
            }
            bSpace = true;
        }
        if (!bSpace || i >= nLen || pBuf[i] < '0' || pBuf[i] > '9') return 0;
        while (i < nLen && pBuf[i] >= '0' && pBuf[i] <= '9') {
            v[k] = v[k] * 10 + static_cast<uint64_t>(pBuf[i] - '0');
            if (v[k] > 1000000) return 0;
            ++i;
        }
    }
    // One white-space byte, then the raster.
    if (i >= nLen || (pBuf[i] != ' ' && pBuf[i] != '\t' && pBuf[i] != '\n' && pBuf[i] != '\r'))
        return 0;
    if (v[0] == 0 || v[1] == 0 || v[2] == 0 || v[2] > 65535) return 0;
    const uint64_t u64Sample = v[2] > 255 ? 2 : 1;
    u64Header = static_cast<uint64_t>(i) + 1;
    u64Raster = cKind == 'b'   ? (v[0] + 7) / 8 * v[1]
                : cKind == 'g' ? v[0] * v[1] * u64Sample
                               : v[0] * v[1] * 3 * u64Sample;
    return cKind;
}

unsigned long long CFileTypeJudge::GetPNMFileBytesSize(const unsigned char* pBuf, int nLen) {
    uint64_t u64Header = 0, u64Raster = 0;
    if (!ParsePnmHeader(pBuf, nLen, u64Header, u64Raster))
        return static_cast<u64>(Ctx().m_nBytesPerSector);
    return Min(u64Header + u64Raster, kGiB);
}

// Registration.
const CARVE_SIGNATURE kPnmSignatures[] = {
    TW_SIG(0, "P4"),
    TW_SIG(0, "P5"),
    TW_SIG(0, "P6"),
};
const CARVE_ROW kPnmRows[] = {
    {"ppm", FILE_TYPE_PPM, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetPNMFileBytesSize},
    {"pgm", FILE_TYPE_PGM, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetPNMFileBytesSize},
    {"pbm", FILE_TYPE_PBM, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetPNMFileBytesSize},
};

TW_CARVE_FORMAT(Pnm, &CFileTypeJudge::IsPnmType, kPnmSignatures, kPnmRows);
