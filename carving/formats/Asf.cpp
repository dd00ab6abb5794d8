// Windows Media (ASF): the header object, measured by its file-properties object.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

const CARVE_SIGNATURE kAsfSignatures[] = {
    TW_SIG(0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsAsfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 24)) return kNone;
    return AtSignature(kAsfSignatures, pBuf, nLen) ? FILE_TYPE_WMV : kNone;
}

unsigned long long CFileTypeJudge::GetASFFileBytesSize(const unsigned char* pBuf, int nLen) {
    static const unsigned char kFileProperties[] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                    0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    const u64 u64Sector = static_cast<u64>(Ctx().m_nBytesPerSector);
    if (!pBuf || nLen < 30) return u64Sector;
    long nPos = FindBytes(pBuf, nLen, 30, kFileProperties, sizeof(kFileProperties));
    // The flags end 92 bytes into the object: all of it must be in the buffer.
    if (nPos < 0 || nPos + 92 > nLen) return u64Sector;
    if (Le32(pBuf + nPos + 88) & 1) return u64Sector;  // broadcast: no size
    return Min(Le64(pBuf + nPos + 40), 268435456ULL);
}

// Registration.
const CARVE_ROW kAsfRows[] = {
    {"wmv", FILE_TYPE_WMV, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetASFFileBytesSize},
    {"asf", FILE_TYPE_WMV, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetASFFileBytesSize},
    {"wma", FILE_TYPE_WMV, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetASFFileBytesSize},
};

TW_CARVE_FORMAT(Asf, &CFileTypeJudge::IsAsfType, kAsfSignatures, kAsfRows);
