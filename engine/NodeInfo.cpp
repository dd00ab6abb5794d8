#include "engine/NodeInfo.h"

#include <sys/stat.h>

namespace {

const long long kFirstSecond = 315532800LL;              // 1980-01-01 00:00 UTC
const long long kLastSecond = 4354819199LL;              // 2107-12-31 23:59:59 UTC
const uint64_t kFileTimeAt1970 = 116444736000000000ULL;  // 100 ns units from 1601

}  // namespace

bool GetFileNodeTime(const _FILE_NODE_& node, NODE_TIME nWhich, struct timespec& ts) {
    const _FILETIME& ft = nWhich == NODE_TIME_CREATE   ? node.ftCreateTime
                          : nWhich == NODE_TIME_ACCESS ? node.ftLastAccessTime
                                                       : node.ftLastWriteTime;
    const uint64_t u64 = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    long long llSeconds = 0;
    long lNanos = 0;
    switch (node.nEngineType) {
        case ENGINE_FAST_FAT:
        case ENGINE_DEEP_FAT:
            llSeconds = static_cast<long long>(u64);
            break;
        case ENGINE_FAST_NTFS:
        case ENGINE_DEEP_NTFS:
        case ENGINE_FAST_EXFAT:
        case ENGINE_FAST_EXT:
            if (u64 < kFileTimeAt1970) return false;
            llSeconds = static_cast<long long>((u64 - kFileTimeAt1970) / 10000000ULL);
            lNanos = static_cast<long>((u64 - kFileTimeAt1970) % 10000000ULL) * 100;
            break;
        default:
            return false;
    }
    if (llSeconds < kFirstSecond || llSeconds > kLastSecond) return false;
    ts.tv_sec = static_cast<time_t>(llSeconds);
    ts.tv_nsec = lNanos;
    return true;
}

bool FitsInVolume(uint64_t u64Size, uint64_t u64Units, uint64_t u64UnitBytes) {
    uint64_t u64Bytes;
    return __builtin_mul_overflow(u64Units, u64UnitBytes, &u64Bytes) || u64Size <= u64Bytes;
}

bool GetFileNodeTimes(const _FILE_NODE_& node, struct timespec times[2]) {
    const bool bAccess = GetFileNodeTime(node, NODE_TIME_ACCESS, times[0]);
    const bool bWrite = GetFileNodeTime(node, NODE_TIME_WRITE, times[1]);
    if (!bAccess) times[0].tv_nsec = UTIME_OMIT;
    if (!bWrite) times[1].tv_nsec = UTIME_OMIT;
    return bAccess || bWrite;
}

NODE_STATE GetFileNodeState(const _FILE_NODE_& node) {
    switch (node.nEngineType) {
        case ENGINE_CARVING:
            return NODE_STATE_CARVED;
        case ENGINE_DEEP_FAT:
        case ENGINE_DEEP_NTFS:
            return node.bIsDeleted ? NODE_STATE_DELETED : NODE_STATE_LOST;
        default:
            return NODE_STATE_DELETED;
    }
}

bool GetFileNodeFirstSector(const _FILE_NODE_& node, unsigned int nBytesPerSector,
                            uint64_t& u64Sector) {
    switch (node.nEngineType) {
        case ENGINE_FAST_FAT:
        case ENGINE_DEEP_FAT:
        case ENGINE_FAST_EXFAT: {
            const unsigned int nBps = nBytesPerSector;
            if (nBps != 512 && nBps != 1024 && nBps != 2048 && nBps != 4096) return false;
            if (node.nDirId < 2 || node.nClusterBytes == 0xFFFFFFFFu || node.nClusterBytes == 0 ||
                node.nClusterBytes % nBps != 0)
                return false;
            const uint64_t u64VolumeSector =
                node.u64DataStartSector +
                static_cast<uint64_t>(node.nDirId - 2) * (node.nClusterBytes / nBps);
            u64Sector = node.u64PartitionStartSector + u64VolumeSector * (nBps / 512);
            return true;
        }
        case ENGINE_CARVING:
            u64Sector = node.u64RecordSector;
            return true;
        case ENGINE_FAST_EXT:
            // The first data block's sector (512 bytes) from the volume start.
            if (node.u64DataStartSector == 0) return false;
            u64Sector = node.u64PartitionStartSector + node.u64DataStartSector;
            return true;
        default:
            return false;
    }
}
