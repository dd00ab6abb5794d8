// RIFF files (AVI video, WAVE sound, WebP pictures): "RIFF", the length of
// what follows, and the form; each carved at the length its header gives.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

namespace {

// A RIFF file of the form, whose first chunk (at 12) has the given id.
bool IsRiffForm(const unsigned char* pBuf, int nLen, const char* szForm, const char* szChunk) {
    return !TooShort(pBuf, nLen, 16) && At(pBuf, nLen, 0, "RIFF") && At(pBuf, nLen, 8, szForm) &&
           At(pBuf, nLen, 12, szChunk);
}

// The RIFF header's length and the 8 bytes before it, at most u64Max; one
// sector for a head too short to hold it.
u64 RiffSize(const unsigned char* pBuf, int nLen, u64 u64Max) {
    if (!pBuf || nLen < 8) return static_cast<u64>(Ctx().m_nBytesPerSector);
    return Min(static_cast<u64>(Le32(pBuf + 4)) + 8, u64Max);
}

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsAviType(const unsigned char* pBuf, int nLen) {
    return IsRiffForm(pBuf, nLen, "AVI ", "LIST") ? FILE_TYPE_AVI : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsWavType(const unsigned char* pBuf, int nLen) {
    return IsRiffForm(pBuf, nLen, "WAVE", "fmt ") ? FILE_TYPE_WAV : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsWebpType(const unsigned char* pBuf, int nLen) {
    return IsRiffForm(pBuf, nLen, "WEBP", "VP8") ? FILE_TYPE_WEBP : kNone;
}

unsigned long long CFileTypeJudge::GetAVIFileBytesSize(const unsigned char* pBuf, int nLen) {
    return RiffSize(pBuf, nLen, ~0ULL);
}

unsigned long long CFileTypeJudge::GetWAVFileBytesSize(const unsigned char* pBuf, int nLen) {
    return RiffSize(pBuf, nLen, ~0ULL);
}

unsigned long long CFileTypeJudge::GetWEBPFileBytesSize(const unsigned char* pBuf, int nLen) {
    return RiffSize(pBuf, nLen, kGiB);
}

// Registration: three formats, each in its own place of FormatList.h.
const CARVE_SIGNATURE kRiffSignatures[] = {
    TW_SIG(0, "RIFF"),
};
const CARVE_ROW kAviRows[] = {
    {"avi", FILE_TYPE_AVI, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetAVIFileBytesSize},
};
const CARVE_ROW kWavRows[] = {
    {"wav", FILE_TYPE_WAV, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetWAVFileBytesSize},
};
const CARVE_ROW kWebpRows[] = {
    {"webp", FILE_TYPE_WEBP, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetWEBPFileBytesSize},
};

TW_CARVE_FORMAT(Avi, &CFileTypeJudge::IsAviType, kRiffSignatures, kAviRows);
TW_CARVE_FORMAT(Wav, &CFileTypeJudge::IsWavType, kRiffSignatures, kWavRows);
TW_CARVE_FORMAT(Webp, &CFileTypeJudge::IsWebpType, kRiffSignatures, kWebpRows);
