#include "ntfs/NtfsFileData.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr size_t kPiece = 65536;
constexpr uint32_t kMaxClusterBytes = 104857600;  // 100 MiB

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
    if (CheckRunsInVolume(data.vecRuns, source.VolumeClusters(node), node.nClusterBytes) != 0)
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

unsigned int StreamNtfsNode(
    CNtfsDataSource& source, const _FILE_NODE_& node, uint64_t u64MaxBytes,
    const std::function<unsigned int(const unsigned char*, size_t)>& fnSink) {
    // The reader's own codes go on as they are (-1 not a file record, -100 no
    // data attribute or a list that cannot be followed).
    NTFS_FILE_DATA data;
    unsigned int nRet = source.ReadNodeData(node, data);
    if (nRet != 0) return nRet;
    return StreamNtfsData(source, node, data, u64MaxBytes, fnSink);
}
