// WAVE: a RIFF file of form "WAVE", its length in the RIFF header.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsWavType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return At(pBuf, nLen, 0, "RIFF") && At(pBuf, nLen, 8, "WAVE") && At(pBuf, nLen, 12, "fmt ")
               ? FILE_TYPE_WAV
               : kNone;
}

unsigned long long CFileTypeJudge::GetWAVFileBytesSize(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen < 8) return static_cast<u64>(Ctx().m_nBytesPerSector);
    return static_cast<u64>(Le32(pBuf + 4)) + 8;
}

// Registration.
const CARVE_SIGNATURE kWavSignatures[] = {
    TW_SIG(0, "RIFF"),
};
const CARVE_ROW kWavRows[] = {
    {"wav", FILE_TYPE_WAV, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetWAVFileBytesSize},
};

TW_CARVE_FORMAT(Wav, &CFileTypeJudge::IsWavType, kWavSignatures, kWavRows);
