#include "fat/FatRecord.h"

#include <cstring>
#include <vector>
#include "carving/FileTypeJudge.h"
#include "common/ByteOrder.h"
#include "common/FatEntry.h"
#include "common/Helpers.h"
#include "common/Platform.h"

std::string FatLowerExtension(const char* szName) {
    const char* pDot = std::strrchr(szName, '.');
    if (!pDot || !pDot[1]) return std::string();
    std::string strExt = pDot + 1;
    for (char& c : strExt) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return strExt;
}

std::string FatShortName(const unsigned char* pSlot, bool bWithExt) {
    char szName[13];
    int n = 0;
    int nBase = 8;
    while (nBase > 0 && pSlot[nBase - 1] == ' ') --nBase;
    for (int i = 0; i < nBase; ++i) szName[n++] = static_cast<char>(pSlot[i]);
    if (bWithExt && pSlot[8] != ' ') {
        int nExt = 3;
        while (nExt > 0 && pSlot[8 + nExt - 1] == ' ') --nExt;
        szName[n++] = '.';
        for (int i = 0; i < nExt; ++i) szName[n++] = static_cast<char>(pSlot[8 + i]);
    }
    szName[n] = 0;
    Convert2Lowercase(szName);
    return std::string(szName, n);
}

std::string FatUtf16ToNarrow(const uint16_t* pUnits, int nUnits, size_t nCapacity) {
    std::wstring wstr;
    for (int i = 0; i < nUnits; ++i) {
        uint32_t u = pUnits[i];
        if (u == 0 || u == 0xFFFF) break;
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < nUnits && pUnits[i + 1] >= 0xDC00 &&
            pUnits[i + 1] < 0xE000) {
            u = 0x10000 + ((u - 0xD800) << 10) + (pUnits[i + 1] - 0xDC00);
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            u = '?';  // a lone surrogate is no character
        }
        wstr.push_back(static_cast<wchar_t>(u));
    }
    std::vector<char> buf(nCapacity, 0);
    long n = tw::WideToNarrowBounded(wstr.c_str(), wstr.size(), buf.data(), nCapacity, nullptr);
    if (n < 0) return std::string();
    return std::string(buf.data(), static_cast<size_t>(n));
}

void FatCopyName(_FILE_NODE_& node, const std::string& strName) {
    std::memset(node.szFileName, 0, sizeof(node.szFileName));
    std::strncpy(node.szFileName, strName.c_str(), sizeof(node.szFileName) - 1);
}

namespace {

void SetSeconds(_FILETIME& ft, long long llSeconds) {
    const uint64_t u64 = static_cast<uint64_t>(llSeconds);
    ft.dwLowDateTime = static_cast<uint32_t>(u64);
    ft.dwHighDateTime = static_cast<uint32_t>(u64 >> 32);
}

}  // namespace

void FatSetTimes(_FILE_NODE_& node, const unsigned char* pSlot) {
    // FAT keeps no time of day for the last access.
    SetSeconds(node.ftCreateTime,
               FatDateTimeToTime(Le16(pSlot + 0x10), Le16(pSlot + 0x0E), pSlot[0x0D]));
    SetSeconds(node.ftLastAccessTime, FatDateTimeToTime(Le16(pSlot + 0x12), 0));
    SetSeconds(node.ftLastWriteTime, FatDateTimeToTime(Le16(pSlot + 0x18), Le16(pSlot + 0x16)));
}

bool FatStartsWithDotEntries(const unsigned char* pBuf, uint32_t nLength) {
    return nLength >= 64 && pBuf[0] == '.' && pBuf[1] == ' ' && (pBuf[11] & FAT_ATTR_DIRECTORY) &&
           pBuf[32] == '.' && pBuf[33] == '.';
}

uint32_t FatSlotCluster(const unsigned char* pSlot, bool bFat32) {
    uint32_t nCluster = Le16(pSlot + 0x1A);
    if (bFat32) nCluster |= static_cast<uint32_t>(Le16(pSlot + 0x14)) << 16;
    return nCluster;
}

void FatLongName::AddPart(const unsigned char* pSlot) {
    if (bPending && pSlot[13] != nCheckSum) nPos = 256;  // another name starts
    nPos -= 13;
    if (nPos < 0) {
        Reset();
        return;
    }
    static const int kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < 13; ++i) wszUnits[nPos + i] = Le16(pSlot + kUnitOffsets[i]);
    if (!bPending) wszUnits[256] = 0;
    bPending = true;
    nCheckSum = pSlot[13];
}

std::string FatLongName::TakeName(const unsigned char* pShortSlot, size_t nCapacity) {
    std::string strName;
    if (bPending && (pShortSlot[0] == FAT_ENTRY_DELETED ||
                     GetShortNameCheckSum(reinterpret_cast<const char*>(pShortSlot)) == nCheckSum))
        strName = FatUtf16ToNarrow(wszUnits + nPos, 256 - nPos, nCapacity);
    Reset();
    return strName;
}

std::string FatSlotName(FatLongName& lfn, const unsigned char* pShortSlot, bool bDir) {
    std::string strName = lfn.TakeName(pShortSlot, sizeof(_FILE_NODE_::szFileName));
    if (strName.empty()) {
        strName = FatShortName(pShortSlot, !bDir);
        if (!strName.empty() && static_cast<unsigned char>(strName[0]) == FAT_ENTRY_DELETED)
            strName[0] = '!';
    }
    return strName;
}

bool FatIsSectorOfType(CDiskReader& reader, const unsigned char* pSector, uint32_t nBytesPerSector,
                       const char* szExt, uint64_t u64Sector) {
    // A picture is intact when it starts like a JPEG, whatever marker follows
    // the start of image: a stricter test would hide good pictures.
    static const char* const kJpegExts[] = {"jpg", "jpeg", "jpe", "jfif"};
    for (const char* szJpeg : kJpegExts) {
        if (std::strcmp(szExt, szJpeg) == 0)
            return pSector[0] == 0xFF && pSector[1] == 0xD8 && pSector[2] == 0xFF;
    }
    return CFileTypeJudge::IsFileTypeMatching(pSector, static_cast<int>(nBytesPerSector), szExt,
                                              &reader, static_cast<int>(nBytesPerSector),
                                              u64Sector) != 0;
}
