// Every disk of the machine as a person picks it: what it is, its size, the
// file system on the whole disk (a card without a partition table) and its
// partitions with their file systems and labels. Only read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/PartitionManager.h"
#include "device/VolumeInfo.h"

struct TW_DISK_INFO {
    int nDiskNo = -1;
    std::string strModel;  // vendor and model, or the image's file name
    bool bRemovable = false;
    int nOpenError = 0;     // errno when the disk could not be opened (nothing below is known)
    uint64_t u64Bytes = 0;  // the whole disk
    TW_VOLUME_INFO volume;  // a file system that starts at sector 0
    std::vector<_PARTITION_ITEM_> vecPartitions;  // "Partition 1", ... on this disk
    std::vector<TW_VOLUME_INFO> vecVolumes;       // one per partition
};

// Disks 0 to 127 that exist, in order. A disk that cannot be opened is listed
// with its error, so that a missing right is seen rather than an empty list.
std::vector<TW_DISK_INFO> ListDisks();

// The whole disk as one area to scan (sector 0 to the last), named "Disk N"
// with N counted from 1.
_PARTITION_ITEM_ WholeDiskItem(const TW_DISK_INFO& disk);
