#include "device/DiskList.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/Platform.h"

std::vector<TW_DISK_INFO> ListDisks() {
    std::vector<TW_DISK_INFO> vecDisks;
    for (int nDiskNo = 0; nDiskNo < CPartitionManager::kMaxDisks; ++nDiskNo) {
        TW_DISK_INFO disk;
        disk.nDiskNo = nDiskNo;
        if (!tw::DescribeDiskNode(nDiskNo, disk.strModel, disk.bRemovable)) continue;
        const int fd = tw::OpenDiskNode(nDiskNo);
        if (fd < 0) {
            disk.nOpenError = errno;
            if (disk.nOpenError != ENOENT) vecDisks.push_back(disk);
            continue;
        }
        const off_t llEnd = lseek(fd, 0, SEEK_END);
        disk.u64Bytes = llEnd > 0 ? static_cast<uint64_t>(llEnd) : 0;
        RecognizeVolumeAt(fd, 0, disk.volume);
        CPartitionManager manager;
        manager.GetDiskPartitions(fd, nDiskNo, disk.vecPartitions);
        for (const _PARTITION_ITEM_& item : disk.vecPartitions) {
            TW_VOLUME_INFO volume;
            if (item.u64StartSector < (1ull << 54))
                RecognizeVolumeAt(fd, item.u64StartSector * 512, volume);
            disk.vecVolumes.push_back(volume);
        }
        close(fd);
        vecDisks.push_back(disk);
    }
    return vecDisks;
}

_PARTITION_ITEM_ WholeDiskItem(const TW_DISK_INFO& disk) {
    _PARTITION_ITEM_ item;
    std::memset(&item, 0, sizeof(item));
    item.u64StartSector = 0;
    item.u64EndSector = disk.u64Bytes >= 512 ? disk.u64Bytes / 512 - 1 : 0;
    item.nDiskNo = disk.nDiskNo;
    char szName[24];
    std::snprintf(szName, sizeof(szName), "Disk %d", disk.nDiskNo + 1);
    for (size_t i = 0; szName[i] && i + 1 < sizeof(item.szPartitionName) / 2; ++i)
        item.szPartitionName[i] = static_cast<char16_t>(szName[i]);
    std::snprintf(item.szDiskName, sizeof(item.szDiskName), "%s",
                  tw::LogicalDiskName(disk.nDiskNo).c_str());
    return item;
}
