// PNG pictures, measured by their chunks or to the IEND chunk.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

const CARVE_SIGNATURE kPngSignatures[] = {
    TW_SIG(0, "\x89\x50\x4E\x47\x0D\x0A\x1A\x0A"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsPngType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 8)) return kNone;
    return AtSignature(kPngSignatures, pBuf, nLen) ? FILE_TYPE_PNG : kNone;
}

uint64_t GetPngStructSize(CFileBytes& f) {
    uint64_t u64Off = 8;
    for (;;) {
        const unsigned char* p = f.Get(u64Off, 8);
        if (!p) return 0;
        const uint32_t nLen = Be32(p);
        if (nLen > 0x7FFFFFFFu) return 0;
        for (int i = 4; i < 8; ++i) {
            const unsigned char c = static_cast<unsigned char>(p[i] | 0x20);
            if (c < 'a' || c > 'z') return 0;
        }
        const uint64_t u64End = u64Off + 12 + nLen;
        if (Is(p + 4, "IEND")) return nLen == 0 && f.Get(u64End - 1, 1) ? u64End : 0;
        u64Off = u64End;
    }
}

int CFileTypeJudge::GetPNGFileTailOffset(const unsigned char* pBuf, int nLen,
                                         unsigned long long& u64Off) {
    static const unsigned char kIend[] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    if (!pBuf || nLen <= 0 || Ctx().m_nBytesPerSector <= 0) return 0;
    return FindZeroFilledMarker(pBuf, nLen, kIend, 8, false, Ctx().m_nBytesPerSector, u64Off) ? 1
                                                                                              : 0;
}

unsigned long long CFileTypeJudge::GetPNGFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(128 * kMiB, GetPngStructSize,
                       [&] { return TailMeasuredSize(pBuf, nLen, GetPNGFileTailOffset); });
}

// Registration.
const CARVE_ROW kPngRows[] = {
    {"png", FILE_TYPE_PNG, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetPNGFileBytesSize},
};

TW_CARVE_FORMAT(Png, &CFileTypeJudge::IsPngType, kPngSignatures, kPngRows);
