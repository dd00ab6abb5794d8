// What the parts of the deep FAT parser share.
#pragma once

#include <cstdint>

// DotDotOf results that are no cluster.
constexpr int64_t kNotDir = -1, kLabel = -2, kUnreadable = -3;

// Whether k sectors is a cluster size FAT allows (a power of two up to 128).
inline bool IsClusterSize(uint64_t k) {
    return k >= 1 && k <= 128 && (k & (k - 1)) == 0;
}
