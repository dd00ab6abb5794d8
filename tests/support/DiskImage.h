// Test helpers that wrap volume images into whole-disk images with a partition
// table (MBR with an extended chain, GPT, Apple partition map), and present
// disk images as the logical disks "/dev/disk%d" through TARNWICK_DISK_DIR.
//
// All sectors are 512 bytes. Disk images are written sparse.
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
    // First sector of the partition data; 0: the next free sector aligned to
    // 2,048 (for a logical partition: its EBR sector + 2,048).
    uint64_t u64StartSector = 0;
    // Logical partitions only: the sector of the EBR that describes it;
    // 0: the next free sector aligned to 2,048.
    uint64_t u64EbrSector = 0;
    uint8_t nMbrType = 0x0C;  // MBR slot type (0x0C FAT32 LBA, 0x07 NTFS, 0x83 Linux)
    // GPT partition type GUID (text); default: basic data.
    std::string strGptType = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
    // GPT name (ASCII, stored as UTF-16LE) or Apple map name (32 ASCII bytes).
    std::string strName;
    std::string strApmType = "Apple_HFS";
    // Apple map only: logical data start (entry offset 80), in blocks from the
    // physical start. The volume's bytes are written at physical + this.
    uint32_t nApmDataStart = 0;
};

// Where a volume landed: the absolute first sector of its data and its length.
struct Placed {
    uint64_t u64StartSector = 0;
    uint64_t u64Sectors = 0;
};

// MBR disk: the primaries take the first slots in order; with logicals, one
// more slot holds an extended partition (type 0x05) that starts at the first
// logical's EBR, and the EBRs form a chain (slot 1 of each EBR links the next,
// relative to the extended partition's start). pPlaced (may be null) gets the
// primaries then the logicals. False (with a reason in pError) on a bad layout.
bool WriteMbrDisk(const std::string& strOut, const std::vector<Volume>& primaries,
                  const std::vector<Volume>& logicals, std::vector<Placed>* pPlaced,
                  std::string* pError = nullptr);

// GPT disk: protective MBR, primary header and 128 entries at sectors 1 and 2,
// backup entries and header at the end, CRC32s filled in.
bool WriteGptDisk(const std::string& strOut, const std::vector<Volume>& volumes,
                  std::vector<Placed>* pPlaced, std::string* pError = nullptr);

// Apple partition map disk: "ER" driver descriptor block 0, map entries from
// block 1 (big-endian), the first entry describing the map itself, then one
// entry per volume.
bool WriteApmDisk(const std::string& strOut, const std::vector<Volume>& volumes,
                  std::vector<Placed>* pPlaced, std::string* pError = nullptr);

// Sets TARNWICK_DISK_DIR to a fresh folder for the object's lifetime (the old
// value is restored afterwards); AddDisk makes "diskN" there a link to an image.
class TempDiskDir {
public:
    TempDiskDir();
    ~TempDiskDir();
    TempDiskDir(const TempDiskDir&) = delete;
    TempDiskDir& operator=(const TempDiskDir&) = delete;

    bool AddDisk(int nDiskNo, const std::string& strImage);
    const std::string& Path() const { return m_dir.Path(); }

private:
    CScratchDir m_dir;
    bool m_bHadOld = false;
    std::string m_strOld;
};

}  // namespace twtest
