#include "engine/NodeInfo.h"

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
