// The partition-table walk over a disk the input fills cyclically (so any link
// lands on input bytes); every record stays inside the rules of the walk.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/PartitionManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize == 0 || nSize > (1 << 20)) return 0;
    static int fd = memfd_create("tw-fuzz-disk", MFD_CLOEXEC);
    if (fd < 0) abort();
    const size_t nDisk = 64 * 1024;
    std::vector<uint8_t> disk(nDisk > nSize ? nDisk : nSize);
    std::memcpy(disk.data(), pData, nSize);
    for (size_t nFilled = nSize; nFilled < disk.size(); nFilled *= 2) {
        std::memcpy(disk.data() + nFilled, disk.data(), std::min(nFilled, disk.size() - nFilled));
    }
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, disk.data(), disk.size(), 0) != static_cast<ssize_t>(disk.size())) {
        abort();
    }
    CPartitionManager manager;
    manager.ResetCounter();
    std::vector<_PARTITION_ITEM_> items;
    manager.GetDiskPartitions(fd, 7, items);
    // Each extended boot record is read once, so the disk yields at most 4
    // records per sector (GPT: 24, Apple map: 128).
    if (items.size() > 4 * disk.size() / 512 + 128) abort();
    for (const _PARTITION_ITEM_& item : items) {
        if (item.nDiskNo != 7) abort();
        if (item.szDiskName[sizeof(item.szDiskName) - 1] != 0) abort();
        (void)GetPartitionNameUtf8(item);
    }
    return 0;
}
