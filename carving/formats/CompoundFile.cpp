// Compound files (Word, Excel, PowerPoint, WPS and other OLE documents): typed
// by their first sector or directory, measured from the header's FAT.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"
#include "common/DiskReader.h"
#include <cctype>
#include <unordered_set>

using namespace carve;

namespace {

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

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsOffice2003Type(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 8)) return kNone;
    return At(pBuf, nLen, 0, kCfbSig, 8) ? GetOffice2003Type(pBuf, nLen) : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::GetOffice2003Type(const unsigned char* pHeader, int nLen) {
    CCarveContext& ctx = Ctx();
    const int nBps = ctx.m_nBytesPerSector;
    std::vector<unsigned char> buf;
    // The first sector of the compound file: a spreadsheet's BOF record or a
    // word-processing file information block.
    if (!ctx.ReadSectors(buf, 1, ctx.m_u64CurrentSector + 1) || nBps < 6) return FILE_TYPE_OLE;
    if (Le16(&buf[0]) == 0x0809 && Le16(&buf[2]) == 0x0010 && Le16(&buf[4]) == 0x0600) {
        return FILE_TYPE_XLS;
    }
    if (Le16(&buf[0]) == 0xA5EC) return FILE_TYPE_DOC;

    // The first directory sector: the root entry's class, then the stream names.
    if (!pHeader || nLen < 52) return FILE_TYPE_OLE;
    const unsigned long long u64Dir = ctx.m_u64CurrentSector + Le32(pHeader + 48) + 1;
    if (!ctx.ReadSectors(buf, 1, u64Dir) || nBps < 128) return FILE_TYPE_OLE;
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

unsigned long long CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(const unsigned char* pBuf,
                                                                        int nLen) {
    CCarveContext& ctx = Ctx();
    constexpr u64 kLimit = 134217727;
    if (!pBuf || nLen < 512 || !ctx.m_pDiskReader || ctx.m_nBytesPerSector <= 0) return 0;
    const uint32_t nShift = Le16(pBuf + 30);
    if (nShift != 9 && nShift != 12) return 0;
    const uint32_t m = (0xFFFFFFFAu >> (nShift - 2)) + 1;
    const uint32_t f = Le32(pBuf + 44);
    const uint32_t d = Le32(pBuf + 72);
    if (f > m || Le32(pBuf + 64) > m || d > m / ((1u << (nShift - 2)) - 1) + 1) return 0;
    const u64 u64Sector = static_cast<u64>(ctx.m_nBytesPerSector);
    const u64 c = static_cast<u64>(f) * 128 + 1;
    const u64 u64Covered = Min(c * u64Sector, kLimit);
    const u64 u64File = ctx.m_u64CurrentSector;
    std::vector<unsigned char> vecSector(
        static_cast<size_t>(ctx.m_nBytesPerSector < 512 ? 512 : ctx.m_nBytesPerSector));
    auto ReadFileSector = [&](uint32_t nId) {
        unsigned int nRead = 0;
        return ctx.m_pDiskReader->ReadData(vecSector.data(), 1,
                                           static_cast<long long>(u64File + nId + 1),
                                           ctx.m_nBytesPerSector, &nRead) == 0 &&
               nRead == 1;
    };
    uint32_t nLastFat = 0;
    if (d == 0) {
        // The header holds the first 109 FAT sector numbers.
        if (f == 0 || f > 109) return 0;
        nLastFat = Le32(pBuf + 76 + 4 * (f - 1));
    } else {
        if (f < 109) return 0;
        // The DIFAT chain: 127 FAT sector numbers per sector, then the next
        // sector's number. It ends after d sectors, at a failed read, or at a
        // sector already read (a loop).
        uint32_t nId = Le32(pBuf + 68);
        std::unordered_set<uint32_t> setSeen;
        for (uint32_t i = 0; i < d; ++i) {
            if (!setSeen.insert(nId).second || !ReadFileSector(nId)) return u64Covered;
            if (i + 1 < d) nId = Le32(vecSector.data() + 508);
        }
        uint32_t nRem = (f - 109) % 127;
        uint32_t nEntry = nRem == 0 ? 126 : nRem - 1;
        nLastFat = Le32(vecSector.data() + 4 * nEntry);
    }
    if (!ReadFileSector(nLastFat)) return u64Covered;
    u64 u = 0;
    for (int i = 127; i >= 0 && Le32(vecSector.data() + 4 * i) == 0xFFFFFFFFu; --i) ++u;
    return Min((c - u) * u64Sector, kLimit);
}

unsigned long long CFileTypeJudge::GetOFFICE2003FileBytesSize(const unsigned char* pBuf, int nLen) {
    u64 u64Size = GetOFFICE2003FileBytesSizeByFileHead(pBuf, nLen);
    if (u64Size != 0) return u64Size;
    struct CWordTagSearch : IChunkSearch {
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            static const unsigned char kProps[] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
            static const unsigned char kApp[] = {'M', 'i', 'c', 'r', 'o',  's',  'o',  'f', 't',
                                                 ' ', 'O', 'f', 'f', 'i',  'c',  'e',  ' ', 'W',
                                                 'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};
            long nProps = FindBytes(pChunk, nLen, 0, kProps, sizeof(kProps));
            if (nProps < 0) return false;
            long nApp = FindBytes(pChunk, nLen, nProps + 1, kApp, sizeof(kApp));
            if (nApp < 0) return false;
            const u64 u64Sector = static_cast<u64>(Ctx().m_nBytesPerSector);
            u64 u64End = u64Before + static_cast<u64>(nApp) + sizeof(kApp);
            u64Size = (u64End + u64Sector - 1) / u64Sector * u64Sector;
            return true;
        }
    } search;
    return WalkSectors(134217727, END_OF_FILE, &search);
}

// Registration.
const CARVE_SIGNATURE kCompoundFileSignatures[] = {
    TW_SIG(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"),
};
const CARVE_ROW kCompoundFileRows[] = {
    {"doc", FILE_TYPE_DOC, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"dot", FILE_TYPE_DOC, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"wps", FILE_TYPE_DOC, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"wpt", FILE_TYPE_DOC, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"xls", FILE_TYPE_XLS, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"xlt", FILE_TYPE_XLS, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"xla", FILE_TYPE_XLS, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"et", FILE_TYPE_XLS, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"ett", FILE_TYPE_XLS, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"ppt", FILE_TYPE_PPT, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"pot", FILE_TYPE_PPT, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"pps", FILE_TYPE_PPT, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"dps", FILE_TYPE_PPT, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"dpt", FILE_TYPE_PPT, TW_CATEGORY_OTHER, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"ole", FILE_TYPE_OLE, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
};

TW_CARVE_FORMAT(CompoundFile, &CFileTypeJudge::IsOffice2003Type, kCompoundFileSignatures,
                kCompoundFileRows);
