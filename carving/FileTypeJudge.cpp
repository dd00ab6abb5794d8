// The judge: the extension table and the first-byte dispatch built from the
// formats' registrations (carving/formats/), the look-ups by extension, and
// the recognition and measuring of the file that starts at a sector.
#include "carving/FileTypeJudge.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "carving/CarveFormat.h"
#include "common/DiskReader.h"
#include "common/Helpers.h"
#include "engine/ScanResultFileManager.h"

#define TW_FORMAT(name) extern const CARVE_FORMAT g_twCarveFormat##name;
#include "carving/formats/FormatList.h"
#undef TW_FORMAT

namespace {

constexpr EXTEND_NAME_TYPE kNone = FILE_TYPE_NONE;
constexpr int kReadBufBytes = 65536;
constexpr int kCancelled = -9527;

// The registrations in the order of the list. Their records are constants, so
// this array is complete before any code runs, whatever the order in which
// the objects are initialised; referring to each keeps it in the link.
const CARVE_FORMAT* const kFormats[] = {
#define TW_FORMAT(name) &g_twCarveFormat##name,
#include "carving/formats/FormatList.h"
#undef TW_FORMAT
};

// Whether a format's test can match a buffer that starts with byte c: when
// all its signatures lie at offset 0, only if one of them starts with c.
bool CanLead(const CARVE_FORMAT& format, unsigned char c) {
    if (!format.pSignatures || format.nSignatures == 0) return true;
    for (int i = 0; i < format.nSignatures; ++i)
        if (format.pSignatures[i].nOffset != 0) return true;
    for (int i = 0; i < format.nSignatures; ++i)
        if (static_cast<unsigned char>(format.pSignatures[i].pBytes[0]) == c) return true;
    return false;
}

// The table and, per first byte, the tests that can match, in table order:
// the table walk without the tests that cannot answer. Made on first use.
struct CJudgeTable {
    std::vector<_EXTEND_NAME_ITEM_> vecRows;  // ends with the null row
    std::vector<PFN_FILE_TYPE_TEST> vecTests[256];

    CJudgeTable() {
        for (const CARVE_FORMAT* pFormat : kFormats) {
            for (int i = 0; i < pFormat->nRows; ++i) {
                const CARVE_ROW& row = pFormat->pRows[i];
                vecRows.push_back({row.szExtendName, row.nType, pFormat->pfnIsType, row.pfnGetSize,
                                   row.nCategory});
            }
            // Text is what no other type matched: never a reason to end a walk.
            if (pFormat->pfnIsType == &CFileTypeJudge::IsTextType) continue;
            for (int b = 0; b < 256; ++b)
                if (CanLead(*pFormat, static_cast<unsigned char>(b)))
                    vecTests[b].push_back(pFormat->pfnIsType);
        }
        vecRows.push_back({nullptr, kNone, nullptr, nullptr, 0});
    }
};

const CJudgeTable& Table() {
    static const CJudgeTable table;
    return table;
}

const _EXTEND_NAME_ITEM_* FindRow(const char* szExtendName) {
    if (!szExtendName) return nullptr;
    for (const _EXTEND_NAME_ITEM_* pRow = CFileTypeJudge::ExtendNameTable(); pRow->szExtendName;
         ++pRow) {
        if (strcasecmp(pRow->szExtendName, szExtendName) == 0) return pRow;
    }
    return nullptr;
}

// A context of its own for a look at one sector of a device.
void SetSector(CCarveContext& ctx, CDiskReader* pDiskReader, int nBytesPerSector,
               unsigned long long u64Sector) {
    ctx.m_nBytesPerSector = nBytesPerSector;
    ctx.m_u64StartSector = u64Sector;
    ctx.m_u64CurrentSector = u64Sector;
    ctx.m_pDiskReader = pDiskReader;
}

}  // namespace

const _EXTEND_NAME_ITEM_* CFileTypeJudge::ExtendNameTable() {
    return Table().vecRows.data();
}

int CFileTypeJudge::ExtendNameRowCount() {
    return static_cast<int>(Table().vecRows.size()) - 1;
}

EXTEND_NAME_TYPE CFileTypeJudge::GetDataBufType(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen <= 0) return kNone;
    for (PFN_FILE_TYPE_TEST pfn : Table().vecTests[pBuf[0]]) {
        EXTEND_NAME_TYPE nType = pfn(pBuf, nLen);
        if (nType != kNone) return nType;
    }
    return kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::GetDataBufTypeAt(const unsigned char* pBuf, int nLen,
                                                  CDiskReader* pDiskReader, int nBytesPerSector,
                                                  unsigned long long u64Sector) {
    CCarveContext ctx;
    SetSector(ctx, pDiskReader, nBytesPerSector, u64Sector);
    CCarveContextScope scope(ctx);
    return GetDataBufType(pBuf, nLen);
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
    if (!pRow->pfnIsType) return 0;
    // A context of its own: the scan's carving state stays as it was, and
    // the transport-stream range check is off.
    CCarveContext ctx;
    SetSector(ctx, pDiskReader, nBytesPerSector, u64StartSector);
    ctx.m_bIsNeedCheckTsFileRange = 0;
    CCarveContextScope scope(ctx);
    return pRow->pfnIsType(pBuf, nLen) == pRow->nType ? 1 : 0;
}

int CFileTypeJudge::InitCallBack(PFN_SCAN_CALLBACK pfnProgress, PFN_RECOVERY_CALLBACK pfnRecovery,
                                 void* pParam, int nPercent) {
    CCarveContext& ctx = CurrentCarveContext();
    ctx.m_progressFunc = pfnProgress;
    ctx.m_pRecoveryFunc = pfnRecovery;
    ctx.m_pParam = pParam;
    ctx.m_nPercent = nPercent;
    return 0;
}

int CFileTypeJudge::ParseFileBuf(const unsigned char* pBuf, int nLen,
                                 unsigned long long u64StartSector,
                                 unsigned long long u64ScanSectorCount,
                                 unsigned long long u64SectorTotalCount, int nRemaidSecond,
                                 unsigned long long u64FileCount, CDiskReader* pDiskReader,
                                 int nBytesPerSector, char szFileName[256], EXTEND_NAME_TYPE* pType,
                                 unsigned long long* pu64FileSize) {
    if (!pBuf || nLen <= 0 || nBytesPerSector <= 0 || nBytesPerSector > kReadBufBytes)
        return TW_ERR_BAD_ARGUMENT;
    CCarveContext& ctx = CurrentCarveContext();
    ctx.m_nBytesPerSector = nBytesPerSector;
    ctx.m_u64StartSector = u64StartSector;
    ctx.m_u64CurrentSector = u64StartSector;
    ctx.m_pDiskReader = pDiskReader;
    ctx.m_u64ScanSectorCount = u64ScanSectorCount;
    ctx.m_u64SectorTotalCount = u64SectorTotalCount;
    ctx.m_nRemaidSecond = nRemaidSecond;
    ctx.m_u64FileCount = u64FileCount;

    // Free space (zeroed or erased) holds no file: no table walk for it.
    const bool bZero = IsBlankSector(pBuf, static_cast<size_t>(nLen));
    EXTEND_NAME_TYPE nType = bZero ? FILE_TYPE_NONE : GetDataBufType(pBuf, nLen);
    // Plain text only where no other type matched.
    if (nType == FILE_TYPE_NONE && !bZero) nType = IsTextType(pBuf, nLen);
    // A compound file is typed by its first row ('fla'); a Word, Excel or
    // PowerPoint document inside one is carved as such and measured from its
    // header.
    if (nType == FILE_TYPE_FLA) {
        EXTEND_NAME_TYPE nOffice = IsOffice2003Type(pBuf, nLen);
        if (nOffice == FILE_TYPE_DOC || nOffice == FILE_TYPE_XLS || nOffice == FILE_TYPE_PPT)
            nType = nOffice;
    }
    ctx.m_bIsNeedCheckTsFileRange = 1;
    ctx.m_bIsMtsFileHead = 0;
    if (nType == FILE_TYPE_NONE) return TW_ERR_BAD_ARGUMENT;
    const _EXTEND_NAME_ITEM_* pRow = nullptr;
    for (const _EXTEND_NAME_ITEM_* p = ExtendNameTable(); p->szExtendName && !pRow; ++p)
        if (p->nType == nType) pRow = p;
    if (!pRow || !pRow->pfnGetSize) return TW_ERR_BAD_ARGUMENT;
    if (nType != FILE_TYPE_TS) ctx.m_bIsNeedCheckTsFileRange = 0;
    if (nType == FILE_TYPE_MTS) ctx.m_bIsMtsFileHead = 1;
    if (szFileName)
        std::snprintf(
            szFileName, 256, "%lld.%s", static_cast<long long>(u64StartSector),
            nType == FILE_TYPE_ZIP ? GetZipContainerExtension(pBuf, nLen) : pRow->szExtendName);
    if (pType) *pType = nType;
    ctx.m_ErrorCode = 0;
    const unsigned long long u64Size = pRow->pfnGetSize(pBuf, nLen);
    if (pu64FileSize) *pu64FileSize = u64Size;
    return ctx.m_ErrorCode == kCancelled ? kCancelled : 0;
}

NODE_CONDITION GetFileNodeCondition(const _FILE_NODE_& node) {
    if (!node.bDataHealth) return NODE_CONDITION_DAMAGED;
    if (node.nEngineType == ENGINE_CARVING) return NODE_CONDITION_GOOD;
    const _EXTEND_NAME_ITEM_* pRow = FindRow(NodeExtension(node).c_str());
    return pRow && pRow->pfnIsType ? NODE_CONDITION_GOOD : NODE_CONDITION_UNKNOWN;
}
