// ZIP-based Office documents: typed by the part names of their first
// sectors, measured as ZIP archives.
#include "carving/CarveWalk.h"
#include <strings.h>

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsOffice2007Type(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 31)) return kNone;
    if (At(pBuf, nLen, 0, kZipLocal, 4) || At(pBuf, nLen, 31, "[Content_Types].xml")) {
        return GetOffice2007Type(pBuf, nLen);
    }
    return kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::ReturnFileType(const char* szName, int nLen) {
    if (!szName) return kNone;
    if (nLen >= 5 && strncasecmp(szName, "word", 4) == 0) return FILE_TYPE_DOCX;
    if (nLen >= 4 && strncasecmp(szName, "ppt", 3) == 0) return FILE_TYPE_PPTX;
    if (nLen >= 3 && strncasecmp(szName, "xl", 2) == 0) return FILE_TYPE_XLSX;
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
    CCarveContext& ctx = Ctx();
    const int nBps = ctx.m_nBytesPerSector;
    if (nBps <= 0 || nBps > (1 << 20)) return kNone;
    constexpr int kCarry = 4, kWindowSectors = 4, kWindows = 5;
    const int nWindowBytes = kWindowSectors * nBps;
    std::vector<unsigned char> work(kCarry + nWindowBytes);
    std::vector<unsigned char> chunk;
    int nCarried = 0;
    for (int w = 0; w < kWindows; ++w) {
        if (!ctx.ReadSectors(chunk, kWindowSectors, ctx.m_u64CurrentSector + kWindowSectors * w))
            break;
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

unsigned long long CFileTypeJudge::GetOFFICE2007FileBytesSize(const unsigned char*, int) {
    return MeasureZipArchive(134217727);
}

// Registration.
const CARVE_SIGNATURE kOfficeOpenXmlSignatures[] = {
    TW_SIG(0, "\x50\x4B\x03\x04"),
    TW_SIG(31, "[Content_Types].xml"),
};
const CARVE_ROW kOfficeOpenXmlRows[] = {
    {"docx", FILE_TYPE_DOCX, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"docm", FILE_TYPE_DOCX, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"dotm", FILE_TYPE_DOCX, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"dotx", FILE_TYPE_DOCX, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xlsx", FILE_TYPE_XLSX, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xlsb", FILE_TYPE_XLSX, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xlsm", FILE_TYPE_XLSX, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xlam", FILE_TYPE_XLSX, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xltx", FILE_TYPE_XLSX, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xltm", FILE_TYPE_XLSX, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"pptx", FILE_TYPE_PPTX, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"pptm", FILE_TYPE_PPTX, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"potx", FILE_TYPE_PPTX, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"potm", FILE_TYPE_PPTX, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"ppsx", FILE_TYPE_PPTX, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"ppsm", FILE_TYPE_PPTX, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"mso07", FILE_TYPE_MSO07, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
};

TW_CARVE_FORMAT(OfficeOpenXml, &CFileTypeJudge::IsOffice2007Type, kOfficeOpenXmlSignatures,
                kOfficeOpenXmlRows);
