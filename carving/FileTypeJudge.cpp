// File-type signatures: the extension table and the tests. Every test checks
// the length it is given before it reads, and answers 49 on anything short.
#include "carving/FileTypeJudge.h"

#include "common/ByteOrder.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "carving/FileTypeStructure.h"
#include "common/DiskReader.h"
#include "engine/ScanResultFileManager.h"

namespace {

constexpr EXTEND_NAME_TYPE kNone = FILE_TYPE_NONE;

// Whether the n bytes of sig lie at nOff in a buffer of nLen bytes.
inline bool At(const unsigned char* pBuf, int nLen, int nOff, const void* sig, int n) {
    return nOff >= 0 && nLen >= nOff + n && std::memcmp(pBuf + nOff, sig, n) == 0;
}
inline bool At(const unsigned char* pBuf, int nLen, int nOff, const char* sz) {
    return At(pBuf, nLen, nOff, sz, static_cast<int>(std::strlen(sz)));
}

inline bool TooShort(const unsigned char* pBuf, int nLen, int nMin) {
    return !pBuf || nLen < nMin;
}

// Finds sig in [nFrom, nTo) of the buffer (the match may not pass nTo); -1 if absent.
int Find(const unsigned char* pBuf, int nFrom, int nTo, const unsigned char* sig, int n) {
    for (int i = nFrom; i + n <= nTo; ++i) {
        if (pBuf[i] == sig[0] && std::memcmp(pBuf + i, sig, n) == 0) return i;
    }
    return -1;
}

// Reads nSectors sectors at u64Sector through the shared reader into buf.
bool ReadSectors(std::vector<unsigned char>& buf, int nSectors, unsigned long long u64Sector) {
    const int nBps = CFileTypeJudge::m_nBytesPerSector;
    CDiskReader* pReader = CFileTypeJudge::m_pDiskReader;
    if (!pReader || nBps <= 0 || nSectors <= 0 || nSectors > (1 << 24) / nBps) return false;
    buf.assign(static_cast<size_t>(nSectors) * nBps, 0);
    unsigned int nRead = 0;
    unsigned int nRet =
        pReader->ReadData(buf.data(), nSectors, static_cast<long long>(u64Sector), nBps, &nRead);
    return nRet == 0 && nRead == static_cast<unsigned int>(nSectors);
}

// Whether a UTF-16LE name of nUnits units begins with the ASCII text, case ignored.
bool Utf16StartsWith(const unsigned char* pName, int nUnits, const char* szAscii) {
    int n = static_cast<int>(std::strlen(szAscii));
    if (n > nUnits) return false;
    for (int i = 0; i < n; ++i) {
        uint16_t c = Le16(pName + 2 * i);
        if (c > 0x7F) return false;
        if (std::tolower(c) != std::tolower(static_cast<unsigned char>(szAscii[i]))) return false;
    }
    return true;
}

const unsigned char kCfbSig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
const unsigned char kZipLocal[4] = {0x50, 0x4B, 0x03, 0x04};
const unsigned char kZipCentral[4] = {0x50, 0x4B, 0x01, 0x02};
const unsigned char kZipEnd[4] = {0x50, 0x4B, 0x05, 0x06};

}  // namespace

// ---- Shared context --------------------------------------------------------

int CFileTypeJudge::m_nBytesPerSector = 512;
CDiskReader* CFileTypeJudge::m_pDiskReader = nullptr;
unsigned long long CFileTypeJudge::m_u64StartSector = 0;
unsigned long long CFileTypeJudge::m_u64CurrentSector = 0;
int CFileTypeJudge::m_bIsNeedCheckTsFileRange = 1;
std::vector<_TS_FILE_RANGE_> CFileTypeJudge::m_tsFileRangeVec;
int CFileTypeJudge::m_bIsMtsFileHead = 0;
uint8_t CFileTypeJudge::m_uMtsPreIndex = 0;

// ---- The extension table ---------------------------------------------------
// Rows are tried in this order. The size column is filled with the measuring
// routines; a row without one is recognised but never carved.

#define TW_ROW(ext, type, test, size) \
    { ext, type, &CFileTypeJudge::test, &CFileTypeJudge::size }
#define TW_ROW_UNSIZED(ext, type, test) \
    { ext, type, &CFileTypeJudge::test, nullptr }

const _EXTEND_NAME_ITEM_ CFileTypeJudge::szExtendNameAndType[kExtendNameRows + 1] = {
    TW_ROW("mpeg", 15, IsMpgType, GetMPGFileBytesSize),
    TW_ROW("mpg", 15, IsMpgType, GetMPGFileBytesSize),
    TW_ROW("vob", 15, IsMpgType, GetMPGFileBytesSize),
    TW_ROW("mp4", 18, IsMp4Type, GetMP4FileBytesSize),
    TW_ROW("rmvb", 23, IsRmvbType, GetRMVBFileBytesSize),
    TW_ROW("rm", 23, IsRmvbType, GetRMVBFileBytesSize),
    TW_ROW("wmv", 24, IsAsfType, GetASFFileBytesSize),
    TW_ROW("asf", 24, IsAsfType, GetASFFileBytesSize),
    TW_ROW("wma", 24, IsAsfType, GetASFFileBytesSize),
    TW_ROW("swf", 26, IsSwfType, GetSWFFileBytesSize),
    TW_ROW("avi", 22, IsAviType, GetAVIFileBytesSize),
    TW_ROW("flv", 27, IsFlvType, GetDefaultVedioFileBytesSize),
    TW_ROW("3gp", 16, Is3pgType, GetISOMediaFileBytesSize),
    TW_ROW("mkv", 19, IsMkvType, GetMKVFileBytes),
    TW_ROW("ts", 20, IsTsType, GetTSFileBytesSize),
    TW_ROW("mts", 47, IsMtsType, GetDefaultVedioFileBytesSize),
    TW_ROW("mxf", 48, IsMxfType, GetDefaultVedioFileBytesSize),
    TW_ROW("mp3", 12, IsMp3Type, GetMP3FileBytesSize),
    TW_ROW("mid", 13, IsMidType, GetMIDFileBytesSize),
    TW_ROW("ape", 25, IsApeType, GetAPEFileBytesSize),
    TW_ROW("wav", 21, IsWavType, GetWAVFileBytesSize),
    TW_ROW("mov", 17, IsMovType, GetISOMediaFileBytesSize),
    TW_ROW("mp2", 11, IsMp2Type, GetDefaultAudioFileBytesSize),
    TW_ROW("mmf", 14, IsMmfType, GetDefaultAudioFileBytesSize),
    TW_ROW("fla", 44, IsFlaType, GetFLAFileBytesSize),
    TW_ROW("gif", 31, IsGifType, GetGIFFileBytesSize),
    TW_ROW("bmp", 29, IsBmpType, GetBMPFileBytesSize),
    TW_ROW("dib", 29, IsBmpType, GetBMPFileBytesSize),
    TW_ROW("jpg", 10, IsJpgType, GetJPGFileBytesSize),
    TW_ROW("jpeg", 10, IsJpgType, GetJPGFileBytesSize),
    TW_ROW("jpe", 10, IsJpgType, GetJPGFileBytesSize),
    TW_ROW("jfif", 10, IsJpgType, GetJPGFileBytesSize),
    TW_ROW("png", 30, IsPngType, GetPNGFileBytesSize),
    TW_ROW("psd", 28, IsPsdType, GetDefaultPictureFileBytesSize),
    TW_ROW("tif", 32, IsTifType, GetDefaultPictureFileBytesSize),
    TW_ROW("tiff", 32, IsTifType, GetDefaultPictureFileBytesSize),
    TW_ROW("ico", 46, IsIcoType, GetICOFileBytesSize),
    TW_ROW("doc", 0, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("dot", 0, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("wps", 0, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("wpt", 0, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("xls", 3, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("xlt", 3, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("xla", 3, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("et", 3, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("ett", 3, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("ppt", 5, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("pot", 5, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("pps", 5, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("dps", 5, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("dpt", 5, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("ole", 2, IsOffice2003Type, GetOFFICE2003FileBytesSize),
    TW_ROW("docx", 1, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("docm", 1, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("dotm", 1, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("dotx", 1, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("xlsx", 4, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("xlsb", 4, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("xlsm", 4, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("xlsx", 4, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("xlam", 4, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("xltx", 4, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("xltm", 4, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("pptx", 6, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("pptm", 6, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("potx", 6, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("potm", 6, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("ppsx", 6, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("ppsm", 6, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("mso07", 7, IsOffice2007Type, GetOFFICE2007FileBytesSize),
    TW_ROW("pdf", 8, IsPdfType, GetPDFFileBytesSize),
    TW_ROW("gz", 36, IsGzipType, GetDefaultVedioFileBytesSize),
    TW_ROW("gzip", 36, IsGzipType, GetDefaultVedioFileBytesSize),
    TW_ROW("7z", 34, Is7zType, Get7ZFileBytesSize),
    TW_ROW("zip", 35, IsZipType, GetZIPFileBytesSize),
    TW_ROW("rar", 37, IsRarType, GetRARFileBytesSize),
    TW_ROW("cab", 33, IsCabType, GetCABFileBytesSize),
    TW_ROW_UNSIZED("exe", 41, IsPeType),
    TW_ROW_UNSIZED("dll", 42, IsPeType),
    TW_ROW_UNSIZED("sys", 43, IsPeType),
    TW_ROW_UNSIZED("gho", 9, IsGhoType),
    TW_ROW("db", 39, IsSqlType, GetDBFileBytesSize),
    TW_ROW("dbx", 40, IsDbxEmailType, GetMailFileBytesSize),
    TW_ROW("pst", 38, IsPstEmailType, GetMailFileBytesSize),
    TW_ROW("fla", 44, IsFlaType, GetFLAFileBytesSize),
    TW_ROW("ttf", 45, IsTtfType, GetTTFFileBytesSize),
    TW_ROW("ico", 46, IsIcoType, GetICOFileBytesSize),
    TW_ROW("ogg", 50, IsOggType, GetOGGFileBytesSize),
    TW_ROW("oga", 50, IsOggType, GetOGGFileBytesSize),
    TW_ROW("ogv", 51, IsOggType, GetOGGFileBytesSize),
    TW_ROW("opus", 52, IsOggType, GetOGGFileBytesSize),
    TW_ROW("flac", 53, IsFlacType, GetFLACFileBytesSize),
    TW_ROW("ppm", 54, IsPnmType, GetPNMFileBytesSize),
    TW_ROW("pgm", 55, IsPnmType, GetPNMFileBytesSize),
    TW_ROW("pbm", 56, IsPnmType, GetPNMFileBytesSize),
    TW_ROW("xcf", 57, IsXcfType, GetXCFFileBytesSize),
    TW_ROW("webp", 58, IsWebpType, GetWEBPFileBytesSize),
    TW_ROW("heic", 59, IsHeifType, GetHEIFFileBytesSize),
    TW_ROW("heif", 59, IsHeifType, GetHEIFFileBytesSize),
    TW_ROW("avif", 60, IsHeifType, GetHEIFFileBytesSize),
    TW_ROW("cr3", 61, IsHeifType, GetCR3FileBytesSize),
    TW_ROW("text", 62, IsTextType, GetTEXTFileBytesSize),
    {nullptr, FILE_TYPE_NONE, nullptr, nullptr},
};

#undef TW_ROW

// ---- Table look-ups ----------------------------------------------------------

namespace {

// The first bytes a test can match: a test whose signature starts at offset 0
// answers 49 for a buffer starting with any other byte, before it reads the
// device or the shared context. Tests not listed (their signature lies
// further in) are tried whatever the first byte.
struct LeadBytes {
    PFN_FILE_TYPE_TEST pfnIsType;
    const char* szBytes;
    int nBytes;
};
#define TW_LEAD(test, bytes) \
    { &CFileTypeJudge::test, bytes, sizeof(bytes) - 1 }
const LeadBytes kLeadBytes[] = {
    TW_LEAD(IsMpgType, "\x00"),   TW_LEAD(IsRmvbType, "."),
    TW_LEAD(IsAsfType, "\x30"),   TW_LEAD(IsSwfType, "CF"),
    TW_LEAD(IsAviType, "R"),      TW_LEAD(IsFlvType, "F"),
    TW_LEAD(IsMkvType, "\x1A"),   TW_LEAD(IsTsType, "\x47"),
    TW_LEAD(IsMxfType, "\x06"),   TW_LEAD(IsMp3Type, "I"),
    TW_LEAD(IsMidType, "M"),      TW_LEAD(IsApeType, "M"),
    TW_LEAD(IsWavType, "R"),      TW_LEAD(IsMp2Type, "\xFF"),
    TW_LEAD(IsMmfType, "M"),      TW_LEAD(IsFlaType, "\xD0"),
    TW_LEAD(IsGifType, "G"),      TW_LEAD(IsBmpType, "B"),
    TW_LEAD(IsJpgType, "\xFF"),   TW_LEAD(IsPngType, "\x89"),
    TW_LEAD(IsPsdType, "8"),      TW_LEAD(IsTifType, "IM"),
    TW_LEAD(IsIcoType, "\x00"),   TW_LEAD(IsOffice2003Type, "\xD0"),
    TW_LEAD(IsPdfType, "%"),      TW_LEAD(IsGzipType, "\x1F"),
    TW_LEAD(Is7zType, "7"),       TW_LEAD(IsZipType, "P"),
    TW_LEAD(IsRarType, "R"),      TW_LEAD(IsCabType, "M"),
    TW_LEAD(IsPeType, "M"),       TW_LEAD(IsGhoType, "\xFE"),
    TW_LEAD(IsSqlType, "S"),      TW_LEAD(IsDbxEmailType, "\xCF"),
    TW_LEAD(IsPstEmailType, "!"), TW_LEAD(IsTtfType, "\x00"),
    TW_LEAD(IsOggType, "O"),      TW_LEAD(IsFlacType, "f"),
    TW_LEAD(IsPnmType, "P"),      TW_LEAD(IsXcfType, "g"),
    TW_LEAD(IsWebpType, "R"),
};
#undef TW_LEAD

// Per first byte, the tests that can match, each once, in table order: the
// table walk of GetDataBufType without the tests that cannot answer.
struct FirstByteDispatch {
    std::vector<PFN_FILE_TYPE_TEST> vecTests[256];

    FirstByteDispatch() {
        for (int b = 0; b < 256; ++b) {
            for (const _EXTEND_NAME_ITEM_* pRow = CFileTypeJudge::szExtendNameAndType;
                 pRow->szExtendName; ++pRow) {
                PFN_FILE_TYPE_TEST pfn = pRow->pfnIsType;
                // Text is what no other type matched: never a reason to end a walk.
                if (!pfn || pfn == &CFileTypeJudge::IsTextType) continue;
                std::vector<PFN_FILE_TYPE_TEST>& vec = vecTests[b];
                if (std::find(vec.begin(), vec.end(), pfn) != vec.end()) continue;
                if (CanLead(pfn, static_cast<unsigned char>(b))) vec.push_back(pfn);
            }
        }
    }
    static bool CanLead(PFN_FILE_TYPE_TEST pfn, unsigned char c) {
        for (const LeadBytes& lead : kLeadBytes)
            if (lead.pfnIsType == pfn) return std::memchr(lead.szBytes, c, lead.nBytes) != nullptr;
        return true;
    }
};

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::GetDataBufType(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen <= 0) return kNone;
    static const FirstByteDispatch dispatch;
    for (PFN_FILE_TYPE_TEST pfn : dispatch.vecTests[pBuf[0]]) {
        EXTEND_NAME_TYPE nType = pfn(pBuf, nLen);
        if (nType != kNone) return nType;
    }
    return kNone;
}

static const _EXTEND_NAME_ITEM_* FindRow(const char* szExtendName) {
    if (!szExtendName) return nullptr;
    for (const _EXTEND_NAME_ITEM_* pRow = CFileTypeJudge::szExtendNameAndType; pRow->szExtendName;
         ++pRow) {
        if (strcasecmp(pRow->szExtendName, szExtendName) == 0) return pRow;
    }
    return nullptr;
}

EXTEND_NAME_TYPE CFileTypeJudge::GetExtendNameType(const char* szExtendName) {
    const _EXTEND_NAME_ITEM_* pRow = FindRow(szExtendName);
    return pRow ? pRow->nType : kNone;
}

bool CFileTypeJudge::HasTypeTest(const char* szFileName) {
    const char* pDot = szFileName ? std::strrchr(szFileName, '.') : nullptr;
    if (!pDot || !pDot[1]) return false;
    const _EXTEND_NAME_ITEM_* pRow = FindRow(pDot + 1);
    return pRow && pRow->pfnIsType;
}

int CFileTypeJudge::IsFileTypeMatching(const unsigned char* pBuf, int nLen,
                                       const char* szExtendName, CDiskReader* pDiskReader,
                                       int nBytesPerSector, unsigned long long u64StartSector) {
    const _EXTEND_NAME_ITEM_* pRow = FindRow(szExtendName);
    if (!pRow) return 1;  // an unknown extension counts as matching
    m_nBytesPerSector = nBytesPerSector;
    m_u64StartSector = u64StartSector;
    m_u64CurrentSector = u64StartSector;
    m_pDiskReader = pDiskReader;
    m_bIsNeedCheckTsFileRange = 0;
    if (!pRow->pfnIsType) return 0;
    return pRow->pfnIsType(pBuf, nLen) == pRow->nType ? 1 : 0;
}

EXTEND_NAME_TYPE CFileTypeJudge::ReturnFileType(const char* szName, int nLen) {
    if (!szName) return kNone;
    if (nLen >= 5 && strncasecmp(szName, "word", 4) == 0) return FILE_TYPE_DOCX;
    if (nLen >= 4 && strncasecmp(szName, "ppt", 3) == 0) return FILE_TYPE_PPTX;
    if (nLen >= 3 && strncasecmp(szName, "xl", 2) == 0) return FILE_TYPE_XLSX;
    return kNone;
}

// ---- Video ---------------------------------------------------------------------

EXTEND_NAME_TYPE CFileTypeJudge::IsMpgType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kSeq[4] = {0, 0, 1, 0xB3}, kSeqExt[4] = {0, 0, 1, 0xB8};
    static const unsigned char kPack[4] = {0, 0, 1, 0xBA}, kSys[4] = {0, 0, 1, 0xBB};
    const int nTo = nLen < 32 ? nLen : 32;
    if (At(pBuf, nLen, 0, kSeq, 4) && Find(pBuf, 0, nTo, kSeqExt, 4) >= 0) return FILE_TYPE_MPEG;
    if (At(pBuf, nLen, 0, kPack, 4) && Find(pBuf, 0, nTo, kSys, 4) >= 0) return FILE_TYPE_MPEG;
    return kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMp4Type(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 32)) return kNone;
    if (At(pBuf, nLen, 4, "ftyp") && (At(pBuf, nLen, 8, "iso") || At(pBuf, nLen, 8, "mp42"))) {
        return FILE_TYPE_MP4;
    }
    return kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsRmvbType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    return At(pBuf, nLen, 0, ".RMF") ? FILE_TYPE_RMVB : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsAsfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 24)) return kNone;
    static const unsigned char kHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                              0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    return At(pBuf, nLen, 0, kHeader, 16) ? FILE_TYPE_WMV : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsSwfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 8)) return kNone;
    if (At(pBuf, nLen, 0, "CWS") && pBuf[3] >= 6 && pBuf[3] <= 15) return FILE_TYPE_SWF;
    if (At(pBuf, nLen, 0, "FWS") && pBuf[3] < 6) return FILE_TYPE_SWF;
    return kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsAviType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return At(pBuf, nLen, 0, "RIFF") && At(pBuf, nLen, 8, "AVI ") && At(pBuf, nLen, 12, "LIST")
               ? FILE_TYPE_AVI
               : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsFlvType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kHeaderSize[4] = {0, 0, 0, 9};
    return At(pBuf, nLen, 0, "FLV") && pBuf[3] == 1 && At(pBuf, nLen, 5, kHeaderSize, 4)
               ? FILE_TYPE_FLV
               : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::Is3pgType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 32)) return kNone;
    return At(pBuf, nLen, 4, "ftyp") && At(pBuf, nLen, 8, "3gp") ? FILE_TYPE_3GP : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMkvType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kEbml[4] = {0x1A, 0x45, 0xDF, 0xA3};
    return At(pBuf, nLen, 0, kEbml, 4) ? FILE_TYPE_MKV : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsTsType(const unsigned char* pBuf, int nLen) {
    constexpr int kPacket = 188;
    if (TooShort(pBuf, nLen, kPacket)) return kNone;
    if (pBuf[0] != 0x47 || (pBuf[1] == 0 && pBuf[2] == 0 && pBuf[3] == 0)) return kNone;
    for (int i = 0; i < nLen; i += kPacket) {
        if (pBuf[i] != 0x47) return kNone;
    }
    // 22 packets must follow from here on the device.
    const int nBps = m_nBytesPerSector;
    if (nBps <= 0) return kNone;
    const int nSectors = (4096 + nBps - 1) / nBps;
    std::vector<unsigned char> buf;
    if (!ReadSectors(buf, nSectors, m_u64CurrentSector)) return kNone;
    for (int k = 0; k < 22; ++k) {
        if (buf[static_cast<size_t>(k) * kPacket] != 0x47) return kNone;
    }
    if (m_bIsNeedCheckTsFileRange) {
        // A stream that runs on from the sector before was found there already.
        // Sector 0 has nothing before it.
        if (m_u64CurrentSector > 0) {
            if (!ReadSectors(buf, 1, m_u64CurrentSector - 1)) return kNone;
            for (int k = 1; k <= nBps / kPacket; ++k) {
                if (buf[nBps - kPacket * k] == 0x47) return kNone;
            }
        }
        for (const _TS_FILE_RANGE_& r : m_tsFileRangeVec) {
            if (m_u64StartSector >= r.u64StartSector && m_u64StartSector <= r.u64EndSector) {
                return kNone;
            }
        }
    }
    return FILE_TYPE_TS;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMtsType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kPat[8] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
    if (!At(pBuf, nLen, 8, kPat, 8)) return kNone;
    m_uMtsPreIndex = pBuf[7];
    const bool bTimestamp = pBuf[0] || pBuf[1] || pBuf[2] || pBuf[3];
    return (bTimestamp && m_bIsMtsFileHead) ? kNone : FILE_TYPE_MTS;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMxfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                           0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
    return At(pBuf, nLen, 0, kKey, 16) ? FILE_TYPE_MXF : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMovType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    if (At(pBuf, nLen, 0, "moov")) return FILE_TYPE_MOV;
    return At(pBuf, nLen, 4, "ftyp") && At(pBuf, nLen, 8, "qt  ") ? FILE_TYPE_MOV : kNone;
}

// ---- Audio ---------------------------------------------------------------------

EXTEND_NAME_TYPE CFileTypeJudge::IsMp3Type(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 10)) return kNone;
    if (!At(pBuf, nLen, 0, "ID3") || pBuf[3] == 0xFF || pBuf[4] == 0xFF || (pBuf[5] & 0x1F)) {
        return kNone;
    }
    for (int i = 6; i <= 9; ++i) {
        if (pBuf[i] >= 0x80) return kNone;
    }
    return FILE_TYPE_MP3;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMidType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kSix[4] = {0, 0, 0, 6};
    return At(pBuf, nLen, 0, "MThd") && At(pBuf, nLen, 4, kSix, 4) && At(pBuf, nLen, 14, "MTrk")
               ? FILE_TYPE_MID
               : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsApeType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    return At(pBuf, nLen, 0, "MAC ") ? FILE_TYPE_APE : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsWavType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return At(pBuf, nLen, 0, "RIFF") && At(pBuf, nLen, 8, "WAVE") && At(pBuf, nLen, 12, "fmt ")
               ? FILE_TYPE_WAV
               : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMp2Type(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    static const unsigned char kFrame[4] = {0xFF, 0xFD, 0xE4, 0x00};
    return At(pBuf, nLen, 0, kFrame, 4) ? FILE_TYPE_MP2 : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMmfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    return At(pBuf, nLen, 0, "MMMD") ? FILE_TYPE_MMF : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsFlaType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return At(pBuf, nLen, 0, kCfbSig, 4) ? FILE_TYPE_FLA : kNone;
}

// ---- Pictures ------------------------------------------------------------------

EXTEND_NAME_TYPE CFileTypeJudge::IsGifType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 8)) return kNone;
    return At(pBuf, nLen, 0, "GIF") && pBuf[3] >= '0' && pBuf[3] <= '9' && pBuf[4] >= '0' &&
                   pBuf[4] <= '9' && pBuf[5] >= 'a' && pBuf[5] <= 'z'
               ? FILE_TYPE_GIF
               : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsBmpType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 40)) return kNone;
    if (!At(pBuf, nLen, 0, "BM") && !At(pBuf, nLen, 0, "BA")) return kNone;
    return Le16(pBuf + 6) == 0 && Le16(pBuf + 8) == 0 && Le32(pBuf + 14) == 40 ? FILE_TYPE_BMP
                                                                               : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsJpgType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kApp0[4] = {0xFF, 0xD8, 0xFF, 0xE0},
                               kApp1[4] = {0xFF, 0xD8, 0xFF, 0xE1};
    if (At(pBuf, nLen, 0, kApp0, 4) && At(pBuf, nLen, 6, "JFIF")) return FILE_TYPE_JPG;
    if (At(pBuf, nLen, 0, kApp1, 4) && At(pBuf, nLen, 6, "Exif")) return FILE_TYPE_JPG;
    return kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPngType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 8)) return kNone;
    static const unsigned char kSig[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    return At(pBuf, nLen, 0, kSig, 8) ? FILE_TYPE_PNG : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPsdType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 40)) return kNone;
    return At(pBuf, nLen, 0, "8BPS") ? FILE_TYPE_PSD : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsTifType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    static const unsigned char kLe[4] = {0x49, 0x49, 0x2A, 0x00}, kBe[4] = {0x4D, 0x4D, 0x00, 0x2A};
    return At(pBuf, nLen, 0, kLe, 4) || At(pBuf, nLen, 0, kBe, 4) ? FILE_TYPE_TIF : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsIcoType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kSig[4] = {0x00, 0x00, 0x01, 0x00};
    if (!At(pBuf, nLen, 0, kSig, 4)) return kNone;
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

// ---- Documents -----------------------------------------------------------------

EXTEND_NAME_TYPE CFileTypeJudge::IsOffice2003Type(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 8)) return kNone;
    return At(pBuf, nLen, 0, kCfbSig, 8) ? GetOffice2003Type(pBuf, nLen) : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::GetOffice2003Type(const unsigned char* pHeader, int nLen) {
    const int nBps = m_nBytesPerSector;
    std::vector<unsigned char> buf;
    // The first sector of the compound file: a spreadsheet's BOF record or a
    // word-processing file information block.
    if (!ReadSectors(buf, 1, m_u64CurrentSector + 1) || nBps < 6) return FILE_TYPE_OLE;
    if (Le16(&buf[0]) == 0x0809 && Le16(&buf[2]) == 0x0010 && Le16(&buf[4]) == 0x0600) {
        return FILE_TYPE_XLS;
    }
    if (Le16(&buf[0]) == 0xA5EC) return FILE_TYPE_DOC;

    // The first directory sector: the root entry's class, then the stream names.
    if (!pHeader || nLen < 52) return FILE_TYPE_OLE;
    const unsigned long long u64Dir = m_u64CurrentSector + Le32(pHeader + 48) + 1;
    if (!ReadSectors(buf, 1, u64Dir) || nBps < 128) return FILE_TYPE_OLE;
    const uint32_t d1 = Le32(&buf[80]), d2 = Le32(&buf[84]), d3 = Le32(&buf[88]),
                   d4 = Le32(&buf[92]);
    const bool bOfficeTail = d2 == 0 && d3 == 0x000000C0 && d4 == 0x46000000;
    if (bOfficeTail && (d1 == 0x00020810 || d1 == 0x00020820)) return FILE_TYPE_XLS;
    if (bOfficeTail && d1 == 0x00020906) return FILE_TYPE_DOC;
    if (d1 == 0x64818D10 && d2 == 0x11CF4F9B && d3 == 0xAA00EA86 && d4 == 0xE829B900) {
        return FILE_TYPE_PPT;
    }
    for (int nEntry = 0; nEntry + 128 <= nBps; nEntry += 128) {
        const unsigned char* pName = &buf[nEntry];  // 32 UTF-16LE units
        if (Utf16StartsWith(pName, 32, "WordDocument")) return FILE_TYPE_DOC;
        if (Utf16StartsWith(pName, 32, "Workbook")) return FILE_TYPE_XLS;
        if (Utf16StartsWith(pName, 32, "PowerPoint Document")) return FILE_TYPE_PPT;
    }
    return FILE_TYPE_OLE;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsOffice2007Type(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 31)) return kNone;
    if (At(pBuf, nLen, 0, kZipLocal, 4) || At(pBuf, nLen, 31, "[Content_Types].xml")) {
        return GetOffice2007Type(pBuf, nLen);
    }
    return kNone;
}

// Looks for a part name of a ZIP-based document among the headers with the
// given signature in [0, nLimit) of the window; the name starts nNameOffset
// bytes into the header, which needs nNeed bytes of the window.
static EXTEND_NAME_TYPE FindDocumentPart(const unsigned char* pWin, int nWinLen, int nLimit,
                                         const unsigned char* sig, int nNameOffset, int nNeed) {
    for (int p = Find(pWin, 0, nLimit, sig, 4); p >= 0; p = Find(pWin, p + 1, nLimit, sig, 4)) {
        if (p + nNeed > nWinLen) break;
        const int nName = p + nNameOffset;
        EXTEND_NAME_TYPE nType = CFileTypeJudge::ReturnFileType(
            reinterpret_cast<const char*>(pWin + nName), nWinLen - nName);
        if (nType != kNone) return nType;
    }
    return kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::GetOffice2007Type(const unsigned char* /*pBuf*/, int /*nLen*/) {
    const int nBps = m_nBytesPerSector;
    if (nBps <= 0 || nBps > (1 << 20)) return kNone;
    constexpr int kCarry = 4, kWindowSectors = 4, kWindows = 5;
    const int nWindowBytes = kWindowSectors * nBps;
    std::vector<unsigned char> work(kCarry + nWindowBytes);
    std::vector<unsigned char> chunk;
    int nCarried = 0;
    for (int w = 0; w < kWindows; ++w) {
        if (!ReadSectors(chunk, kWindowSectors, m_u64CurrentSector + kWindowSectors * w)) break;
        // The last bytes of the previous window go in front, so a signature
        // across the border is found.
        std::memcpy(work.data() + kCarry, chunk.data(), nWindowBytes);
        const unsigned char* pWin = work.data() + kCarry - nCarried;
        const int nWinLen = nCarried + nWindowBytes;

        int nLimit = Find(pWin, 0, nWinLen, kZipEnd, 4);
        if (nLimit < 0) nLimit = nWinLen;
        EXTEND_NAME_TYPE nType = FindDocumentPart(pWin, nWinLen, nLimit, kZipLocal, 30, 30);
        if (nType == kNone) nType = FindDocumentPart(pWin, nWinLen, nLimit, kZipCentral, 46, 48);
        if (nType != kNone) return nType;
        // The archive ends in this window: what follows is another file's.
        if (nLimit < nWinLen) break;

        std::memcpy(work.data(), work.data() + kCarry + nWindowBytes - kCarry, kCarry);
        nCarried = kCarry;
    }
    return kNone;
}

const char* CFileTypeJudge::GetZipContainerExtension(const unsigned char* pBuf, int nLen) {
    if (!At(pBuf, nLen, 0, kZipLocal, 4) || nLen < 30) return "zip";
    const int nName = pBuf[26] | (pBuf[27] << 8);
    const int nData = 30 + nName + (pBuf[28] | (pBuf[29] << 8));
    auto named = [&](const char* sz) {
        return nName == static_cast<int>(std::strlen(sz)) && At(pBuf, nLen, 30, sz);
    };
    if (named("mimetype") && pBuf[8] == 0 && pBuf[9] == 0) {  // stored, as it must be
        static const char* const kTypes[][2] = {
            {"application/vnd.oasis.opendocument.text", "odt"},
            {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
            {"application/vnd.oasis.opendocument.presentation", "odp"},
            {"application/vnd.oasis.opendocument.graphics", "odg"},
            {"application/epub+zip", "epub"}};
        for (const auto& t : kTypes)
            if (At(pBuf, nLen, nData, t[0])) return t[1];
        return "zip";
    }
    if (named("AndroidManifest.xml")) return "apk";
    if (nName < 9 || !At(pBuf, nLen, 30, "META-INF/")) return "zip";
    // A Java archive, or an Android package signed as one: what there is of
    // its first 64 KiB (the medium may end sooner).
    const int nBps = m_nBytesPerSector;
    if (!m_pDiskReader || nBps <= 0 || nBps > 65536) return "jar";
    const unsigned long long u64Limit = m_pDiskReader->GetSectorLimit();
    const int nSectors = static_cast<int>(std::min<unsigned long long>(
        65536 / nBps, u64Limit > m_u64CurrentSector ? u64Limit - m_u64CurrentSector : 0));
    std::vector<unsigned char> buf(static_cast<size_t>(nSectors) * nBps);
    unsigned int nRead = 0;
    if (nSectors > 0)
        m_pDiskReader->ReadData(buf.data(), nSectors, static_cast<long long>(m_u64CurrentSector),
                                nBps, &nRead);
    buf.resize(static_cast<size_t>(nRead) * nBps);
    const int nHave = static_cast<int>(buf.size());
    for (int p = Find(buf.data(), 0, nHave, kZipLocal, 4); p >= 0 && p + 30 <= nHave;
         p = Find(buf.data(), p + 4, nHave, kZipLocal, 4)) {
        if (At(buf.data(), nHave, p + 30, "AndroidManifest.xml") ||
            At(buf.data(), nHave, p + 30, "classes.dex"))
            return "apk";
    }
    return "jar";
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPdfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 5)) return kNone;
    return At(pBuf, nLen, 0, "%PDF-") ? FILE_TYPE_PDF : kNone;
}

// ---- Archives and others ---------------------------------------------------------

EXTEND_NAME_TYPE CFileTypeJudge::IsGzipType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kSig[3] = {0x1F, 0x8B, 0x08};
    if (!At(pBuf, nLen, 0, kSig, 3)) return kNone;
    if (pBuf[3] != 0 && pBuf[3] != 8) return kNone;
    // Extra flags: 2 best compression, 4 fastest, 0 for every other level
    // (the default level writes 0).
    if (pBuf[8] != 0 && pBuf[8] != 2 && pBuf[8] != 4) return kNone;
    return pBuf[9] <= 13 || pBuf[9] == 0xFF ? FILE_TYPE_GZ : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::Is7zType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 5)) return kNone;
    static const unsigned char kSig[5] = {0x37, 0x7A, 0xBC, 0xAF, 0x27};
    return At(pBuf, nLen, 0, kSig, 5) ? FILE_TYPE_7Z : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsZipType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 48)) return kNone;
    return At(pBuf, nLen, 0, kZipLocal, 4) ? FILE_TYPE_ZIP : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsRarType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 7)) return kNone;
    static const unsigned char kSig[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
    return At(pBuf, nLen, 0, kSig, 7) ? FILE_TYPE_RAR : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsCabType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 36)) return kNone;
    return At(pBuf, nLen, 0, "MSCF") ? FILE_TYPE_CAB : kNone;
}

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

EXTEND_NAME_TYPE CFileTypeJudge::IsGhoType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 4)) return kNone;
    static const unsigned char kSig[4] = {0xFE, 0xEF, 0x00, 0x00};
    return At(pBuf, nLen, 0, kSig, 4) ? FILE_TYPE_GHO : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsSqlType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return At(pBuf, nLen, 0, "SQLite format 3", 16) ? FILE_TYPE_DB : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsDbxEmailType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kSig[4] = {0xCF, 0xAD, 0x12, 0xFE};
    return At(pBuf, nLen, 0, kSig, 4) ? FILE_TYPE_DBX : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPstEmailType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return At(pBuf, nLen, 0, "!BDN") && At(pBuf, nLen, 8, "SM") ? FILE_TYPE_PST : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsTtfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kVersion[4] = {0x00, 0x01, 0x00, 0x00};
    if (!At(pBuf, nLen, 0, kVersion, 4)) return kNone;
    const int n = Be16(pBuf + 4);
    if (n == 0 || Le16(pBuf + 6) == 0 || Le16(pBuf + 8) == 0 || Le16(pBuf + 10) == 0) return kNone;
    if (16 * n + 16 > nLen) return kNone;
    // The first table after the directory is the font header, version 1.0.
    return At(pBuf, nLen, 16 * n + 12, kVersion, 4) ? FILE_TYPE_TTF : kNone;
}

// ---- Types tried after the first 87 rows -----------------------------------------

EXTEND_NAME_TYPE CFileTypeJudge::IsOggType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 28)) return kNone;
    // The first page of a logical stream, and the codec its first packet names.
    if (!At(pBuf, nLen, 0, "OggS") || pBuf[4] != 0 || !(pBuf[5] & 2)) return kNone;
    const int nPacket = 27 + pBuf[26];
    if (At(pBuf, nLen, nPacket, "OpusHead")) return FILE_TYPE_OPUS;
    if (At(pBuf, nLen, nPacket, "\x80theora")) return FILE_TYPE_OGV;
    return FILE_TYPE_OGG;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsFlacType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 42)) return kNone;
    static const unsigned char kStreamInfo[4] = {0x00, 0x00, 0x00, 0x22};
    if (!At(pBuf, nLen, 0, "fLaC")) return kNone;
    // The stream-information block (34 bytes) comes first; its last-block flag may be set.
    return At(pBuf, nLen, 5, kStreamInfo + 1, 3) && (pBuf[4] & 0x7F) == 0 ? FILE_TYPE_FLAC : kNone;
}

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

EXTEND_NAME_TYPE CFileTypeJudge::IsXcfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 14) || !At(pBuf, nLen, 0, "gimp xcf ")) return kNone;
    if (At(pBuf, nLen, 9, "file", 5)) return FILE_TYPE_XCF;
    const bool bDigits = pBuf[10] >= '0' && pBuf[10] <= '9' && pBuf[11] >= '0' && pBuf[11] <= '9' &&
                         pBuf[12] >= '0' && pBuf[12] <= '9';
    return pBuf[9] == 'v' && bDigits && pBuf[13] == 0 ? FILE_TYPE_XCF : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsWebpType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return At(pBuf, nLen, 0, "RIFF") && At(pBuf, nLen, 8, "WEBPVP8") ? FILE_TYPE_WEBP : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsHeifType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16) || !At(pBuf, nLen, 4, "ftyp")) return kNone;
    const char* const kHeic[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs"};
    for (const char* sz : kHeic)
        if (At(pBuf, nLen, 8, sz)) return FILE_TYPE_HEIC;
    if (At(pBuf, nLen, 8, "avif") || At(pBuf, nLen, 8, "avis")) return FILE_TYPE_AVIF;
    if (At(pBuf, nLen, 8, "crx ")) return FILE_TYPE_CR3;
    if (!At(pBuf, nLen, 8, "mif1") && !At(pBuf, nLen, 8, "msf1")) return kNone;
    // A general image brand: the compatible brands tell AV1 from HEVC pictures.
    uint32_t nBox = Be32(pBuf);
    const int nEnd = nBox < static_cast<uint32_t>(nLen) ? static_cast<int>(nBox) : nLen;
    for (int i = 16; i + 4 <= nEnd; i += 4)
        if (At(pBuf, nLen, i, "avif")) return FILE_TYPE_AVIF;
    return FILE_TYPE_HEIC;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsTextType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    int nPending = 0;
    const int n = MeasureUtf8Text(pBuf, nLen, &nPending);
    if (n == nLen) return FILE_TYPE_TEXT;
    // Text that ends in this sector is followed by zeros.
    if (n < 16 || pBuf[n] != 0) return kNone;
    for (int i = n; i < nLen; ++i)
        if (pBuf[i] != 0) return kNone;
    return FILE_TYPE_TEXT;
}

NODE_CONDITION GetFileNodeCondition(const _FILE_NODE_& node) {
    if (!node.bDataHealth) return NODE_CONDITION_DAMAGED;
    if (node.nEngineType == ENGINE_CARVING) return NODE_CONDITION_GOOD;
    const _EXTEND_NAME_ITEM_* pRow = FindRow(NodeExtension(node).c_str());
    return pRow && pRow->pfnIsType ? NODE_CONDITION_GOOD : NODE_CONDITION_UNKNOWN;
}
