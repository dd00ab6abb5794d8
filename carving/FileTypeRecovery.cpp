#include "carving/FileTypeRecovery.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include "common/DebugLog.h"
#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "common/StoreFiles.h"
#include "engine/SaveTarget.h"

namespace {

constexpr int kPieceBytes = 65536;

// Second line of defence while carving untrusted sectors.
CFaultGuard g_carveGuard("CFileTypeRecovery recvSignal");

// Types measured from a header field: the caller offers their inner sectors
// again, since the header may describe more or less than was written.
bool IsHeaderSizedType(EXTEND_NAME_TYPE nType) {
    switch (nType) {
        case FILE_TYPE_DOC:
        case FILE_TYPE_OLE:
        case FILE_TYPE_XLS:
        case FILE_TYPE_PPT:
        case FILE_TYPE_WAV:
        case FILE_TYPE_AVI:
        case FILE_TYPE_WMV:
        case FILE_TYPE_SWF:
        case FILE_TYPE_BMP:
        case FILE_TYPE_CAB:
        case FILE_TYPE_TTF:
        case FILE_TYPE_ICO:
            return true;
        default:
            return false;
    }
}

}  // namespace

CFileTypeRecovery::CFileTypeRecovery()
    : m_wcDriveLetter(L'C'),
      m_u64StartSector(0),
      m_u64SectorCount(0),
      m_nBytesPerSector(512),
      m_u64AreaEnd(0) {}

CFileTypeRecovery::~CFileTypeRecovery() = default;

unsigned int CFileTypeRecovery::Init(const std::shared_ptr<CMediumSource>& pSource,
                                     long long llFirstSector, long long llSectorCount,
                                     wchar_t wcDriveLetter) {
    if (!pSource || llFirstSector < 0 || llSectorCount < 0) return TW_ERR_BAD_ARGUMENT;
    m_wcDriveLetter = wcDriveLetter;
    m_u64StartSector = static_cast<unsigned long long>(llFirstSector);
    m_u64SectorCount = static_cast<unsigned long long>(llSectorCount);
    m_u64AreaEnd = m_u64StartSector + m_u64SectorCount;
    unsigned int nStore = OpenFreshStore("File_Type_", llFirstSector, false);
    unsigned int nRet = m_diskReader.Init(pSource, m_u64AreaEnd);
    // A store that cannot record would lose every find: report it.
    return nRet != 0 ? nRet : nStore;
}

unsigned int CFileTypeRecovery::InitLogFile(const wchar_t* wszStoreName, wchar_t wcDriveLetter,
                                            const wchar_t* wszPath, int nBytesPerSector,
                                            unsigned long long u64EndSector) {
    if (!wszStoreName || !wszPath) return TW_ERR_BAD_ARGUMENT;
    unsigned int nErr = 0;
    std::shared_ptr<CMediumSource> pSource =
        CMediumSource::Open(tw::WideToUtf8(wszPath).c_str(), nErr);
    if (!pSource) return nErr;
    return InitLogFile(wszStoreName, wcDriveLetter, pSource, nBytesPerSector, u64EndSector);
}

unsigned int CFileTypeRecovery::InitLogFile(const wchar_t* wszStoreName, wchar_t wcDriveLetter,
                                            const std::shared_ptr<CMediumSource>& pSource,
                                            int nBytesPerSector, unsigned long long u64EndSector) {
    if (!wszStoreName || !pSource || nBytesPerSector <= 0) return TW_ERR_BAD_ARGUMENT;
    m_wcDriveLetter = wcDriveLetter;
    m_nBytesPerSector = nBytesPerSector;
    m_u64AreaEnd = u64EndSector;
    unsigned int nStore = OpenStore(wszStoreName);
    unsigned int nRet = m_diskReader.Init(pSource, u64EndSector);
    return nRet != 0 ? nRet : nStore;
}

unsigned int CFileTypeRecovery::InitCallBack(PFN_SCAN_CALLBACK pfnScan,
                                             PFN_RECOVERY_CALLBACK pfnRecovery, void* pContext,
                                             int nScale) {
    CCarveContextScope scope(m_judge.Context());
    CFileTypeJudge::InitCallBack(pfnScan, pfnRecovery, pContext, nScale);
    return CEngineBase::InitCallBack(pfnScan, pfnRecovery, pContext, nScale);
}

unsigned int CFileTypeRecovery::ParseFileBuf(
    const unsigned char* pBuf, int nLen, unsigned long long u64StartSector,
    unsigned long long u64ScanSectorCount, unsigned long long u64SectorTotalCount,
    int nRemaidSecond, CDiskReader* pDiskReader, int nBytesPerSector,
    unsigned long long& u64SkipSectors, unsigned long long& u64FilesFound) {
    u64SkipSectors = 1;
    if (nBytesPerSector <= 0) return TW_ERR_BAD_ARGUMENT;
    m_nBytesPerSector = nBytesPerSector;
    char szName[256] = {0};
    EXTEND_NAME_TYPE nType = FILE_TYPE_NONE;
    unsigned long long u64Size = 0;
    CCarveContextScope scope(m_judge.Context());
    int nRet = CFileTypeJudge::ParseFileBuf(pBuf, nLen, u64StartSector, u64ScanSectorCount,
                                            u64SectorTotalCount, nRemaidSecond, u64FilesFound,
                                            pDiskReader, nBytesPerSector, szName, &nType, &u64Size);
    if (nRet != 0) return static_cast<unsigned int>(nRet);

    // The area ends at the reader's limit (and this engine's own area end):
    // a size from a header never reaches past it.
    unsigned long long u64End = pDiskReader ? pDiskReader->GetSectorLimit() : 0;
    if (m_u64AreaEnd && (!u64End || m_u64AreaEnd < u64End)) u64End = m_u64AreaEnd;
    unsigned long long u64SectorsLeft = u64End > u64StartSector ? u64End - u64StartSector : 1;
    const unsigned long long u64Bps = static_cast<unsigned long long>(nBytesPerSector);
    if (u64End && u64Size > u64SectorsLeft * u64Bps) u64Size = u64SectorsLeft * u64Bps;

    if (!m_pStore) return TW_ERR_BAD_ARGUMENT;
    _FILE_NODE_* pNode = static_cast<_FILE_NODE_*>(m_pStore->CreateFileNode(sizeof(_FILE_NODE_)));
    if (!pNode) return TW_ERR_OUT_OF_MEMORY;
    std::memset(pNode, 0, sizeof(*pNode));
    pNode->nDriveLetter = static_cast<uint32_t>(m_wcDriveLetter);
    pNode->nEngineType = ENGINE_CARVING;
    pNode->bIsDir = 0;
    pNode->bDataHealth = 1;
    pNode->nFileIndex = m_pStore->GetFileIndex();
    pNode->nDirId = 0;
    pNode->nClusterBytes = 0xFFFFFFFFu;
    pNode->u64FileSize = u64Size;
    pNode->u64DataStartSector = 0;
    pNode->u64RecordSector = u64StartSector;
    std::snprintf(pNode->szFileName, sizeof(pNode->szFileName), "%s", szName);
    m_pStore->AddChildren(0, 0, pNode->nFileIndex, 0, nullptr);

    unsigned long long u64Skip = 1;
    if (!IsHeaderSizedType(nType)) u64Skip = (u64Size + u64Bps - 1) / u64Bps;
    if (u64Skip == 0) u64Skip = 1;
    if (u64Skip > u64SectorsLeft) u64Skip = u64SectorsLeft;
    u64SkipSectors = u64Skip;
    ++u64FilesFound;
    return 0;
}

unsigned int CFileTypeRecovery::CarveArea(unsigned long long u64FirstSector,
                                          unsigned long long u64SectorCount) {
    const int nBps = m_nBytesPerSector;
    if (nBps <= 0 || nBps > kPieceBytes) return TW_ERR_BAD_ARGUMENT;
    std::vector<unsigned char> vecBuf(kPieceBytes);
    const unsigned long long u64PerRead = static_cast<unsigned long long>(kPieceBytes / nBps);
    const unsigned long long u64End = u64FirstSector + u64SectorCount;
    unsigned long long u64Pos = u64FirstSector;
    unsigned long long u64Scanned = 0;
    unsigned long long u64Files = GetLostFileCount();
    unsigned int nResult = 0;
    while (u64Pos < u64End) {
        unsigned long long n = u64End - u64Pos < u64PerRead ? u64End - u64Pos : u64PerRead;
        // Every sector that can be read is offered; those that cannot are
        // stepped over, and a medium that went away ends the carving.
        MediumRead got;
        const unsigned int nReadRet = m_diskReader.ReadAround(
            vecBuf.data(), static_cast<int>(n), static_cast<long long>(u64Pos), nBps, got);
        const std::shared_ptr<CMediumSource>& pSource = m_diskReader.GetSource();
        if (pSource && pSource->IsGone()) {
            nResult = pSource->GoneError();
            break;
        }
        const unsigned long long nRead = nReadRet == 0 || nReadRet == TW_ERR_SHORT_READ
                                             ? std::min<unsigned long long>(n, got.nEnd / nBps)
                                             : 0;
        const std::vector<char> vecUnreadable =
            UnreadableSectorMask(got, u64Pos, nBps, static_cast<size_t>(n));
        // A carved file's sectors are stepped over, into the next reads if need be.
        volatile unsigned long long i = 0;
        volatile unsigned int nStop = 0;
        TW_FAULT_TRY(g_carveGuard) {
            while (i < nRead && nStop == 0) {
                if (i < vecUnreadable.size() && vecUnreadable[i]) {
                    i = i + 1;
                    continue;
                }
                unsigned long long u64Skip = 1;
                unsigned int nRet =
                    ParseFileBuf(vecBuf.data() + i * nBps, nBps, u64Pos + i, u64Scanned,
                                 u64SectorCount, -1, &m_diskReader, nBps, u64Skip, u64Files);
                if (nRet == TW_ERR_CANCELLED) nStop = nRet;
                i = i + (u64Skip ? u64Skip : 1);
            }
        }
        TW_FAULT_CATCH(g_carveGuard) {
            i = nRead;  // the rest of this read is abandoned
            u64Files = GetLostFileCount();
        }
        TW_FAULT_END(g_carveGuard);
        if (nStop != 0) {
            nResult = nStop;
            break;
        }
        if (pSource && pSource->IsGone()) {
            nResult = pSource->GoneError();
            break;
        }
        // Sectors that could not be read count as scanned all the same.
        unsigned long long u64Step = i > n ? static_cast<unsigned long long>(i) : n;
        u64Pos += u64Step;
        u64Scanned += u64Step;
        if (u64Scanned > u64SectorCount) u64Scanned = u64SectorCount;
        if (m_pfnScan) {
            int nPercent =
                u64SectorCount ? static_cast<int>(u64Scanned * 100 / u64SectorCount) : 100;
            int nRet = m_pfnScan(m_pContext, nPercent, m_nScale, -1, u64Scanned, u64SectorCount,
                                 u64Files, nullptr);
            if (nRet != 0) {
                nResult = static_cast<unsigned int>(nRet);
                break;
            }
        }
    }
    if (m_pStore) m_pStore->FlushBufToFile();
    if (nResult == 0 && m_pfnScan) m_pfnScan(m_pContext, 100, m_nScale, 0, 0, 0, 0, nullptr);
    return nResult;
}

unsigned int CFileTypeRecovery::KeepFilesBefore(unsigned long long u64Sector) {
    if (!m_pStore) return TW_ERR_BAD_ARGUMENT;
    m_pStore->FlushBufToFile();
    const int fd = tw::OpenReadOnly(m_pStore->GetNodeFilePath().c_str());
    if (fd < 0) return static_cast<unsigned int>(errno);
    const uint32_t nRecords = m_pStore->GetFileIndex();
    uint32_t nKeep = 0;
    _FILE_NODE_ node;
    while (nKeep < nRecords &&
           ReadFullAt(fd, &node, sizeof(node), static_cast<off_t>(nKeep) * sizeof(node)) ==
               static_cast<ssize_t>(sizeof(node)) &&
           node.u64RecordSector < u64Sector)
        ++nKeep;
    close(fd);
    return m_pStore->KeepFirstRecords(nKeep);
}

unsigned int CFileTypeRecovery::ScanDevice(const wchar_t*) {
    return 0;
}
unsigned int CFileTypeRecovery::GetUnUsedSectorCount(unsigned long long&, unsigned long long&) {
    return 0;
}
unsigned int CFileTypeRecovery::BuildBitMapInfo() {
    return 0;
}
unsigned int CFileTypeRecovery::GetFileNodeParentDirPath(const _FILE_NODE_*, wchar_t*, int) {
    return 0;
}

// The flat list: a null node at level 0 is key 0; anything else has nothing.
unsigned int CFileTypeRecovery::GetChildrenFileNode(const _FILE_NODE_* pDir, unsigned int nLevel,
                                                    std::vector<_FILE_NODE_>& vecChildren) {
    if (pDir || nLevel != 0) return 0;
    return CEngineBase::GetChildrenFileNode(nullptr, 0, vecChildren);
}

unsigned int CFileTypeRecovery::GetChildrenFileCount(const _FILE_NODE_* pDir, unsigned int nLevel,
                                                     unsigned int& nCount) {
    nCount = 0;
    if (pDir || nLevel != 0) return 0;
    return CEngineBase::GetChildrenFileCount(nullptr, 0, nCount);
}

unsigned int CFileTypeRecovery::StreamNodeData(const _FILE_NODE_& node, uint64_t u64Bytes,
                                               const DataSink& sink) {
    const uint64_t u64Bps = static_cast<uint64_t>(m_nBytesPerSector);
    if (u64Bytes == 0) return 0;
    std::vector<unsigned char> vecBuf(kPieceBytes);
    uint64_t u64Sectors = (u64Bytes + u64Bps - 1) / u64Bps;
    const uint64_t u64Limit = m_diskReader.GetSectorLimit();
    uint64_t u64Sector = node.u64RecordSector;
    uint64_t u64Left = u64Bytes;
    const uint64_t u64PerPiece = kPieceBytes / u64Bps;
    while (u64Sectors > 0) {
        // Never past the reader's limit: what lies beyond is not the file's.
        if (u64Sector >= u64Limit) return TW_ERR_BAD_ARGUMENT;
        uint64_t n = u64Sectors < u64PerPiece ? u64Sectors : u64PerPiece;
        if (n > u64Limit - u64Sector) n = u64Limit - u64Sector;
        unsigned int nRead = 0;
        unsigned int nRet =
            m_diskReader.ReadData(vecBuf.data(), static_cast<int>(n),
                                  static_cast<long long>(u64Sector), m_nBytesPerSector, &nRead);
        if (nRet != 0) return nRet == TW_ERR_SHORT_READ && nRead == 0 ? TW_ERR_SHORT_READ : nRet;
        if (nRead == 0) return TW_ERR_SHORT_READ;
        uint64_t u64Got = static_cast<uint64_t>(nRead) * u64Bps;
        uint64_t u64Use = u64Got < u64Left ? u64Got : u64Left;
        unsigned int nSink = sink(vecBuf.data(), static_cast<size_t>(u64Use));
        u64Left -= u64Use;
        if (nSink != 0) return nSink;
        u64Sector += nRead;
        u64Sectors -= nRead < u64Sectors ? nRead : u64Sectors;
    }
    return 0;
}
