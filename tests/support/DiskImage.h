// Sparse whole-disk images with a partition table (MBR with an extended chain,
// Apple partition map), 512-byte sectors, presented as "/dev/disk%d" through
// TARNWICK_DISK_DIR.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include "support/ScratchDir.h"

namespace twtest {

// One partition to place on a disk image.
struct Volume {
    std::string strSourceImage;  // fills the partition from its start; empty: zeros
    uint64_t u64Sectors = 0;     // 0: the source's size in whole sectors
    uint8_t nMbrType = 0x0C;
    // Apple map only: name, type, and the data start in blocks from the start.
    std::string strName;
    std::string strApmType = "Apple_HFS";
    uint32_t nApmDataStart = 0;
};

// Where a volume's data landed (absolute sectors).
struct Placed {
    uint64_t u64StartSector = 0;
    uint64_t u64Sectors = 0;
};

bool CreateSparseFile(const std::string& strPath, uint64_t u64Bytes);
// Writes into an existing file.
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

// MBR disk: primaries in the first slots, each at the next 2,048-sector
// boundary; logicals in an extended partition (0x05) of linked EBRs, each
// logical 2,048 sectors after its EBR. pPlaced: primaries, then logicals.
bool WriteMbrDisk(const std::string& strOut, const std::vector<Volume>& primaries,
                  const std::vector<Volume>& logicals, std::vector<Placed>* pPlaced,
                  std::string* pError = nullptr);

// Apple partition map disk: "ER" block 0, the map (63 blocks) from block 1.
bool WriteApmDisk(const std::string& strOut, const std::vector<Volume>& volumes,
                  std::vector<Placed>* pPlaced, std::string* pError = nullptr);

// Partitioning with the real tools: sfdisk reads the script on standard input.
bool Sfdisk(const std::string& strImage, const std::string& strScript,
            const std::string& strFlags = "");
bool Sgdisk(const std::string& strImage, const std::string& strArgs);

// A partition as a tool reports it.
struct ToolPartition {
    uint64_t u64Start, u64End;
    std::string strName;
};
// sfdisk --json of an MBR disk in table order: logicals in place of their
// extended slot.
std::vector<ToolPartition> SfdiskLayout(const std::string& strImage);
// sgdisk -p of a GPT disk.
std::vector<ToolPartition> SgdiskLayout(const std::string& strImage);

// TARNWICK_DISK_DIR set to a fresh folder while it lives; AddDisk links
// "diskN" there to an image.
class TempDiskDir {
public:
    bool AddDisk(int nDiskNo, const std::string& strImage);
    const std::string& Path() const { return m_dir.Path(); }

private:
    CScratchDir m_dir;
    ScopedEnv m_env{"TARNWICK_DISK_DIR", m_dir.Path().c_str()};
};

}  // namespace twtest
