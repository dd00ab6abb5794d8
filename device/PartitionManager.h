// Lists the partitions of every whole disk "/dev/disk0" to "/dev/disk127":
// GUID partition table, Apple partition map, or master boot record with its
// chain of extended boot records. Nothing is ever written to a disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

// One partition. A plain record of fixed size, copied byte-wise.
struct _PARTITION_ITEM_ {
    uint64_t u64StartSector;       // first sector, 512-byte sectors from the disk start
    uint64_t u64EndSector;         // last sector, inclusive
    int32_t nDiskNo;               // N of "/dev/disk%d"
    char16_t szPartitionName[36];  // UTF-16; ends at the first 0 unit or the field end
    char szDiskName[16];           // "/dev/disk%d", NUL-terminated
};
static_assert(offsetof(_PARTITION_ITEM_, u64StartSector) == 0, "layout");
static_assert(offsetof(_PARTITION_ITEM_, u64EndSector) == 8, "layout");
static_assert(offsetof(_PARTITION_ITEM_, nDiskNo) == 16, "layout");
static_assert(offsetof(_PARTITION_ITEM_, szPartitionName) == 20, "layout");
static_assert(sizeof(((_PARTITION_ITEM_*)nullptr)->szPartitionName) == 72, "36 UTF-16 units");
static_assert(offsetof(_PARTITION_ITEM_, szDiskName) == 92, "layout");
static_assert(sizeof(_PARTITION_ITEM_) == 112, "108 bytes of fields, 8-byte aligned");

// Reads exactly n bytes of a disk at a byte offset; false when they cannot all
// be read.
using DiskReadFn = std::function<bool(uint64_t u64Offset, unsigned char* p, size_t n)>;

class CMediumSource;
// The reader of tables through the medium opened for a scan: a table that
// cannot be read whole is not read.
DiskReadFn MediumTableReader(CMediumSource& source);

class CPartitionManager {
public:
    CPartitionManager();
    ~CPartitionManager();
    CPartitionManager(const CPartitionManager&) = delete;
    CPartitionManager& operator=(const CPartitionManager&) = delete;

    // Empties items and fills it with the partitions of disks 0..127, keyed by
    // disk number, in on-disk order, named "Partition 1", "Partition 2", ... on
    // each disk. Disks that cannot be opened or read, or that yield no
    // partition, have no entry. Always true.
    bool GetPartitionItems(std::map<int, std::vector<_PARTITION_ITEM_>>& items);

    // Decodes the partition scheme of one open disk (read-only descriptor) and
    // appends its partitions to items. A disk that starts with a volume's boot
    // sector (a card formatted without a table) has none. The partition counter runs on from the
    // previous disk; ResetCounter() starts it again at 1.
    void GetDiskPartitions(int fd, int nDiskNo, std::vector<_PARTITION_ITEM_>& items);
    // The same for a disk of u64DiskBytes read through read.
    void GetDiskPartitions(const DiskReadFn& read, uint64_t u64DiskBytes, int nDiskNo,
                           std::vector<_PARTITION_ITEM_>& items);
    void ResetCounter();

    // Decodes the table in the given sector (0: the master boot record, else an
    // extended boot record) and follows its extended-partition links. A sector
    // already visited on this disk, or a chain deeper than kMaxChainDepth, ends
    // that branch.
    void GetMBRPartition(int fd, unsigned int nSector, std::vector<_PARTITION_ITEM_>& items,
                         int nDiskNo, char* szDevicePath);

    // Signature tests on a buffer of at least one 512-byte sector.
    static bool IsMBR(const char* buf, int len);
    static bool IsAPM(const char* buf, int len);
    static bool IsEFI(const char* buf, int len);

    static constexpr int kMaxDisks = 128;
    static constexpr int kTableBytes = 4096;
    static constexpr int kMaxChainDepth = 1024;

private:
    void WalkMBR(const DiskReadFn& read, unsigned int nSector, std::vector<_PARTITION_ITEM_>& items,
                 int nDiskNo, const char* szDevicePath, int nDepth);
    // Lists every used entry of the table that the GPT header names (the
    // backup header when the primary or its entries are damaged). False when
    // the disk has no usable header.
    bool GetGPTPartition(const DiskReadFn& read, uint64_t u64DiskBytes, const unsigned char* pBuf,
                         std::vector<_PARTITION_ITEM_>& items, int nDiskNo,
                         const char* szDevicePath);
    void GetAPMPartition(const DiskReadFn& read, const unsigned char* pBuf,
                         std::vector<_PARTITION_ITEM_>& items, int nDiskNo,
                         const char* szDevicePath);

    int m_nBytesPerSector;
    int m_nPartitionCounter;
    uint32_t m_nExtendedBase;
    std::set<uint32_t> m_visitedSectors;  // extended boot records read on the current disk
};

// The display name as UTF-8 (unpaired surrogates become U+FFFD).
std::string GetPartitionNameUtf8(const _PARTITION_ITEM_& item);
