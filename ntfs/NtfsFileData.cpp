#include "ntfs/NtfsFileData.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/SaveTarget.h"
#include "engine/ScanResultFileManager.h"

namespace {

constexpr size_t kPiece = 65536;
constexpr uint32_t kMaxClusterBytes = 104857600;  // 100 MiB

std::string NodeName(const _FILE_NODE_& node) {
    return std::string(node.szFileName, strnlen(node.szFileName, sizeof node.szFileName));
}

// The data reads' own negative codes (not a file record, no data attribute,
// a torn record) become 87, so that the failure is reported like any other.
unsigned int ReadDataFor(CNtfsDataSource& source, const _FILE_NODE_& node, NTFS_FILE_DATA& data) {
    unsigned int nRet = source.ReadNodeData(node, data);
    return static_cast<int>(nRet) < 0 ? TW_ERR_BAD_ARGUMENT : nRet;
}

}  // namespace

unsigned int StreamNtfsData(
    CNtfsDataSource& source, const _FILE_NODE_& node, const NTFS_FILE_DATA& data,
    uint64_t u64MaxBytes, const std::function<unsigned int(const unsigned char*, size_t)>& fnSink) {
    uint64_t u64Left = std::min<uint64_t>(node.u64FileSize, u64MaxBytes);
    if (data.bResident) {
        size_t nTake = static_cast<size_t>(std::min<uint64_t>(u64Left, data.vecResident.size()));
        if (nTake == 0) return 0;
        return fnSink(data.vecResident.data(), nTake);
    }
    if (u64Left == 0) return 0;
    const int nBps = source.DataBytesPerSector();
    if (node.nClusterBytes > kMaxClusterBytes) return TW_ERR_CLUSTER_TOO_LARGE;
    if (nBps <= 0 || node.nClusterBytes == 0 || node.nClusterBytes % nBps != 0)
        return TW_ERR_BAD_ARGUMENT;
    if (CheckRunsInVolume(data.vecRuns, source.VolumeClusters(node)) != 0)
        return TW_ERR_BAD_ARGUMENT;
    // Pieces are whole sectors of at most 64 KiB.
    const size_t nPieceMax = std::max<size_t>(kPiece / nBps, 1) * nBps;
    std::vector<unsigned char> vecBuf(nPieceMax);
    const uint64_t u64SectorsPerCluster = node.nClusterBytes / nBps;
    int64_t i64Cluster = 0;
    for (const __RUNLIST__& run : data.vecRuns) {
        if (u64Left == 0) break;
        uint64_t u64RunBytes = run.u64Length * node.nClusterBytes;
        if (!run.bSparse) i64Cluster += run.i64Offset;
        uint64_t u64Done = 0;
        while (u64Done < u64RunBytes && u64Left > 0) {
            size_t nPiece =
                static_cast<size_t>(std::min<uint64_t>(nPieceMax, u64RunBytes - u64Done));
            size_t nGot = nPiece;
            if (run.bSparse) {
                std::memset(vecBuf.data(), 0, nPiece);
            } else {
                unsigned int nSectorsRead = 0;
                long long llSector = static_cast<long long>(
                    static_cast<uint64_t>(i64Cluster) * u64SectorsPerCluster + u64Done / nBps +
                    node.u64PartitionStartSector);
                unsigned int nRet = source.DataReader().ReadData(
                    vecBuf.data(), static_cast<int>(nPiece / nBps), llSector, nBps, &nSectorsRead);
                if (nRet != 0 && nRet != TW_ERR_SHORT_READ) return nRet;
                if (nRet == TW_ERR_SHORT_READ || nSectorsRead == 0) return TW_ERR_SHORT_READ;
                nGot = static_cast<size_t>(nSectorsRead) * nBps;
            }
            size_t nTake = static_cast<size_t>(std::min<uint64_t>(u64Left, nGot));
            unsigned int nRet = fnSink(vecBuf.data(), nTake);
            u64Left -= nTake;
            u64Done += nGot;
            if (nRet != 0) return nRet;
        }
    }
    // The runs end before the size: the record does not describe the whole file.
    return u64Left == 0 ? 0 : TW_ERR_BAD_ARGUMENT;
}

unsigned int SaveNtfsFile(CNtfsDataSource& source, const _FILE_NODE_& node,
                          const wchar_t* wszTarget, PFN_RECOVERY_CALLBACK pfnRecovery,
                          void* pContext) {
    CSaveTarget target(pfnRecovery, pContext);
    unsigned int nResult = target.Open(wszTarget, node.u64FileSize);
    if (nResult != 0) return target.Finish(nResult);
    NTFS_FILE_DATA data;
    nResult = ReadDataFor(source, node, data);
    if (nResult == 0) {
        nResult =
            StreamNtfsData(source, node, data, node.u64FileSize,
                           [&](const unsigned char* p, size_t n) { return target.Write(p, n); });
    }
    return target.Finish(nResult);
}

unsigned int PreviewNtfsFile(CNtfsDataSource& source, const _FILE_NODE_* pNode,
                             wchar_t* wszPreviewPath, unsigned char* pBuf, int& nLength,
                             PFN_PREVIEW_CALLBACK pfnPreview, void* pContext) {
    auto report = [&](int nPercent, int nError) {
        return pfnPreview ? pfnPreview(pContext, nPercent, nError) : 0;
    };
    const int nCapacity = nLength;
    nLength = 0;
    if (!pNode) {
        report(100, TW_ERR_BAD_ARGUMENT);
        return TW_ERR_BAD_ARGUMENT;
    }
    const _FILE_NODE_& node = *pNode;
    // Pictures go to a file, the rest into the caller's buffer.
    std::string strName = NodeName(node);
    char szExt[sizeof node.szFileName + 1] = {0};
    bool bToFile = false;
    std::string strFile;
    if (GetExtendName(strName.c_str(), szExt) == 0 && szExt[0]) {
        GetCharLowerA(szExt);
        if (std::strstr(szPictureTypeList, szExt)) {
            strFile = tw::ScanLogDir() + "tmp." + szExt;
            bToFile = strFile.size() < 256 && wszPreviewPath;
        }
    }
    CSaveTarget file(nullptr, nullptr);
    uint64_t u64Want = node.u64FileSize;
    if (bToFile) {
        std::wstring wstrDir = tw::Utf8ToWide(tw::ScanLogDir().c_str());
        CreateTargetDir(wstrDir.c_str());
        std::wstring wstrFile = tw::Utf8ToWide(strFile.c_str());
        std::wcsncpy(wszPreviewPath, wstrFile.c_str(), 255);
        wszPreviewPath[255] = 0;
        unlink(strFile.c_str());
        unsigned int nRet = file.Open(wstrFile.c_str(), node.u64FileSize);
        if (nRet != 0) {
            report(100, static_cast<int>(nRet));
            return nRet;
        }
    } else {
        if (!pBuf || nCapacity <= 0) u64Want = 0;
        u64Want = std::min<uint64_t>(u64Want, nCapacity > 0 ? nCapacity : 0);
    }
    NTFS_FILE_DATA data;
    unsigned int nResult = ReadDataFor(source, node, data);
    uint64_t u64Done = 0;
    if (nResult == 0 && u64Want > 0) {
        nResult = StreamNtfsData(source, node, data, u64Want,
                                 [&](const unsigned char* p, size_t n) -> unsigned int {
                                     unsigned int nRet = 0;
                                     if (bToFile) {
                                         nRet = file.Write(p, n);
                                     } else {
                                         std::memcpy(pBuf + u64Done, p, n);
                                     }
                                     u64Done += n;
                                     if (nRet != 0) return nRet;
                                     return static_cast<unsigned int>(
                                         report(static_cast<int>(u64Done * 100 / u64Want), 0));
                                 });
    }
    if (bToFile) {
        file.Finish(0);
        if (nResult != 0) unlink(strFile.c_str());
    } else {
        nLength = static_cast<int>(u64Done);
    }
    report(100, static_cast<int>(nResult));
    return nResult;
}
