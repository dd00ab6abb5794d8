// tarnwick-cli disks: one line per partition of every disk.
#include <cstdio>
#include <map>
#include <vector>

#include "CliArgs.h"
#include "CliOutput.h"
#include "common/Helpers.h"
#include "device/PartitionManager.h"

namespace {

int RunDisks(const CCliArgs& args) {
    if (!args.Positional().empty()) {
        std::fprintf(stderr, "tarnwick-cli disks: unexpected argument '%s'\n",
                     args.Positional()[0].c_str());
        return CLI_EXIT_USAGE;
    }
    CPartitionManager manager;
    std::map<int, std::vector<_PARTITION_ITEM_>> items;
    manager.GetPartitionItems(items);
    for (const auto& disk : items) {
        int nPosition = 0;
        for (const _PARTITION_ITEM_& item : disk.second) {
            ++nPosition;
            // A table may give a last sector before the first: such an entry covers nothing.
            const unsigned long long u64Sectors = item.u64EndSector >= item.u64StartSector
                                                      ? item.u64EndSector - item.u64StartSector + 1
                                                      : 0;
            std::printf("%s\t%d\t%llu\t%llu\t%s\t%s\n", item.szDiskName, nPosition,
                        static_cast<unsigned long long>(item.u64StartSector),
                        static_cast<unsigned long long>(item.u64EndSector),
                        FormatSize(u64Sectors * 512).c_str(), GetPartitionNameUtf8(item).c_str());
        }
    }
    return CLI_EXIT_OK;
}

}  // namespace

extern const CliCommand g_cmdDisks = {
    "disks",
    "list the partitions of every disk",
    "",
    "Prints one line per partition found on the disks /dev/disk0 to /dev/disk127\n"
    "(GUID partition table, Apple partition map, or master boot record with its\n"
    "logical partitions). Fields, separated by tabs: disk node, position of the\n"
    "partition on that disk (1, 2, ...), first sector, last sector (512-byte\n"
    "sectors), size, name. Nothing is printed when no partition is found.\n"
    "Disks are opened read-only. With TARNWICK_DISK_DIR set, disk N is the file\n"
    "$TARNWICK_DISK_DIR/diskN (an image or a link to a device).",
    {},
    RunDisks,
};
