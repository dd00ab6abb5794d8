// The judge: the look-ups by extension, and the recognition and measuring of
// the file that starts at a sector (the table itself: CarveTable.cpp).
#include "carving/FileTypeJudge.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/DiskReader.h"
#include "common/Helpers.h"
#include "engine/ScanResultFileManager.h"

namespace {

constexpr EXTEND_NAME_TYPE kNone = FILE_TYPE_NONE;
constexpr int kReadBufBytes = 65536;
constexpr int kCancelled = -9527;

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
    // Any stop the progress callback asked for ends the walk and the scan.
    return ctx.m_ErrorCode != 0 ? kCancelled : 0;
}

NODE_CONDITION GetFileNodeCondition(const _FILE_NODE_& node) {
    if (!node.bDataHealth) return NODE_CONDITION_DAMAGED;
    if (node.nEngineType == ENGINE_CARVING) return NODE_CONDITION_GOOD;
    const _EXTEND_NAME_ITEM_* pRow = FindRow(NodeExtension(node).c_str());
    return pRow && pRow->pfnIsType ? NODE_CONDITION_GOOD : NODE_CONDITION_UNKNOWN;
}
