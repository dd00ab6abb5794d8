// Limits the parts of the ext engine share.
#pragma once

#include <cstddef>
#include <cstdint>

// File data and the journal are read up to 1 MiB at a time.
constexpr uint32_t kExtReadBytes = 1u << 20;
// Progress is reported at most this often (milliseconds).
constexpr long kExtReportMs = 200;
// Names a deep scan keeps from the free space.
constexpr size_t kExtMaxFreeNames = 1u << 20;
// The folder of deleted files whose name is gone: inode 1 is never a folder.
constexpr uint32_t kExtLostDir = 1;
