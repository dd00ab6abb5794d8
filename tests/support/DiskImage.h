// Test helpers that write whole-disk images with a partition table (MBR with
// an extended chain, Apple partition map, single boot records) and present
// disk images as the logical disks "/dev/disk%d" through TARNWICK_DISK_DIR.
//
// All sectors are 512 bytes. Disk images are sparse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include "support/ScratchDir.h"

namespace twtest {

// One partition to place on a disk image.
struct Volume {
    // File whose bytes fill the partition from its first sector; empty: zeros.
    std::string strSourceImage;
    // Length in sectors; 0: the source's size rounded up to whole sectors.
    uint64_t u64Sectors = 0;
    uint8_t nMbrType = 0x0C;  // MBR slot type (0x0C FAT32 LBA, 0x07 NTFS, 0x83 Linux)
    // Apple map only: the name (32 ASCII bytes), the type, and the logical data
    // start (entry offset 80) in blocks from the physical start.
    std::string strName;
    std::string strApmType = "Apple_HFS";
    uint32_t nApmDataStart = 0;
};

// Where a volume landed: the absolute first sector of its data and its length.
struct Placed {
    uint64_t u64StartSector = 0;
    uint64_t u64Sectors = 0;
};

// A fresh sparse file of the given size.
bool CreateSparseFile(const std::string& strPath, uint64_t u64Bytes);
// Writes bytes at an offset of an existing file.
bool WriteAt(const std::string& strPath, uint64_t u64Offset, const void* pData, size_t nLength);

// One slot of a master or extended boot record (LBA fields only).
struct BootSlot {
    uint8_t nType;
    uint32_t nRelative;
    uint32_t nCount;
};
// Writes a boot record (up to four slots and 0x55AA) at a sector of a file.
bool WriteBootRecord(const std::string& strPath, uint64_t u64Sector,
                     const std::vector<BootSlot>& slots);

// MBR disk: the primaries take the first slots in order, each at the next
// 2,048-sector boundary; with logicals, one more slot holds an extended
// partition (type 0x05) starting at the first logical's EBR, and each EBR
// links the next (relative to the extended start), the logical 2,048 sectors
// after its EBR. pPlaced (may be null) gets the primaries then the logicals.
bool WriteMbrDisk(const std::string& strOut, const std::vector<Volume>& primaries,
                  const std::vector<Volume>& logicals, std::vector<Placed>* pPlaced,
                  std::string* pError = nullptr);

// Apple partition map disk: "ER" driver descriptor block 0, big-endian map
// entries from block 1 (the first describing the map itself, 63 blocks), then
// one entry per volume; pPlaced gets where each volume's data lies.
bool WriteApmDisk(const std::string& strOut, const std::vector<Volume>& volumes,
                  std::vector<Placed>* pPlaced, std::string* pError = nullptr);

// Partitioning with the real tools: sfdisk reads its script from standard
// input (flags such as "--append" added), sgdisk takes its arguments.
bool Sfdisk(const std::string& strImage, const std::string& strScript,
            const std::string& strFlags = "");
bool Sgdisk(const std::string& strImage, const std::string& strArgs);

// A partition as a tool reports it: first and last sector, GPT name.
struct ToolPartition {
    uint64_t u64Start, u64End;
    std::string strName;
};
// sfdisk --json of an MBR disk, in the order the table is walked: primaries
// in slot order, the logicals in place of their extended slot (the extended
// container itself left out).
std::vector<ToolPartition> SfdiskLayout(const std::string& strImage);
// sgdisk -p of a GPT disk.
std::vector<ToolPartition> SgdiskLayout(const std::string& strImage);

// Sets TARNWICK_DISK_DIR to a fresh folder for the object's lifetime (the old
// value is restored afterwards); AddDisk makes "diskN" there a link to an image.
class TempDiskDir {
public:
    bool AddDisk(int nDiskNo, const std::string& strImage);
    const std::string& Path() const { return m_dir.Path(); }

private:
    CScratchDir m_dir;
    ScopedEnv m_env{"TARNWICK_DISK_DIR", m_dir.Path().c_str()};
};

}  // namespace twtest
