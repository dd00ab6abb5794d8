// Partition discovery: GUID partition table, Apple partition map, master boot
// record with its extended chain. Disks are only read, through descriptors the
// platform layer opened read-only or the reader given; nothing is read past a
// buffer's end.
#include "device/PartitionManager.h"

#include "common/ByteOrder.h"
#include "common/MediumSource.h"
#include "common/StoreFiles.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/Platform.h"
#include "device/FsRecognize.h"
#include "device/VolumeInfo.h"

namespace {

// Reads exactly nLen bytes at byte offset llOffset. A read error or the end of
// the data before nLen bytes is a failure.
bool ReadFull(const DiskReadFn& read, long long llOffset, unsigned char* pBuf, size_t nLen) {
    return llOffset >= 0 && read(static_cast<uint64_t>(llOffset), pBuf, nLen);
}

// The reader of a descriptor opened read-only.
DiskReadFn FdReader(int fd) {
    return [fd](uint64_t u64Offset, unsigned char* p, size_t n) {
        return ReadFullAt(fd, p, n, static_cast<off_t>(u64Offset)) == static_cast<ssize_t>(n);
    };
}

_PARTITION_ITEM_ MakeItem(uint64_t u64Start, uint64_t u64End, int nDiskNo,
                          const char* szDevicePath) {
    _PARTITION_ITEM_ item;
    std::memset(&item, 0, sizeof(item));
    item.u64StartSector = u64Start;
    item.u64EndSector = u64End;
    item.nDiskNo = nDiskNo;
    std::snprintf(item.szDiskName, sizeof(item.szDiskName), "%s", szDevicePath);
    return item;
}

// Writes narrow text into the UTF-16 name field: ASCII as it stands, any other
// byte as U+FFFD. Stops at a NUL or after nMax bytes; the field stays terminated.
void SetAsciiName(_PARTITION_ITEM_& item, const unsigned char* sz, size_t nMax) {
    constexpr size_t kUnits = sizeof(item.szPartitionName) / sizeof(item.szPartitionName[0]);
    std::memset(item.szPartitionName, 0, sizeof(item.szPartitionName));
    for (size_t i = 0; i < nMax && i + 1 < kUnits && sz[i]; ++i) {
        item.szPartitionName[i] = sz[i] < 0x80 ? static_cast<char16_t>(sz[i]) : u'\uFFFD';
    }
}

// The CRC-32 of GPT headers and entry arrays (reflected, polynomial 0x04C11DB7).
uint32_t Crc32(const unsigned char* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// A GPT header and the entries it names.
struct GptTable {
    bool bHeaderIntact = false;   // signature, size and checksum hold
    bool bEntriesIntact = false;  // the entries' checksum holds too
    uint64_t u64Alternate = 0;    // the other header's sector
    uint32_t nEntrySize = 0;
    std::vector<unsigned char> entries;
};

// Entry arrays larger than this are no table (the usual one is 16 KiB).
constexpr uint64_t kMaxGptEntryBytes = 4u << 20;

// Reads the header in pHeader (512 bytes, read from sector u64Lba of nSector
// bytes) and its entries. False when there is no usable header: no signature,
// a size or entry geometry out of bounds, or entries that cannot be read. A
// header whose checksum fails is still used when its fields are in bounds
// (bHeaderIntact false).
bool ReadGptTable(const DiskReadFn& read, const unsigned char* pHeader, uint64_t u64Lba,
                  uint32_t nSector, GptTable& table) {
    table = GptTable();
    if (std::memcmp(pHeader, "EFI PART", 8) != 0) return false;
    const uint32_t nHeaderSize = Le32(pHeader + 12);
    const uint64_t u64EntriesLba = Le64(pHeader + 72);
    const uint32_t nCount = Le32(pHeader + 80);
    const uint32_t nEntrySize = Le32(pHeader + 84);
    if (nHeaderSize < 92 || nHeaderSize > 512 || nEntrySize < 128 || nEntrySize % 8 != 0 ||
        nCount == 0 || static_cast<uint64_t>(nCount) * nEntrySize > kMaxGptEntryBytes ||
        u64EntriesLba == 0 || u64EntriesLba >= (1ULL << 63) / nSector) {
        return false;
    }
    unsigned char copy[512];
    std::memcpy(copy, pHeader, nHeaderSize);
    std::memset(copy + 16, 0, 4);
    table.bHeaderIntact =
        Crc32(copy, nHeaderSize) == Le32(pHeader + 16) && Le64(pHeader + 24) == u64Lba;
    table.u64Alternate = Le64(pHeader + 32);
    table.nEntrySize = nEntrySize;
    table.entries.resize(static_cast<size_t>(nCount) * nEntrySize);
    if (!ReadFull(read, static_cast<long long>(u64EntriesLba * nSector), table.entries.data(),
                  table.entries.size())) {
        return false;
    }
    table.bEntriesIntact = table.bHeaderIntact &&
                           Crc32(table.entries.data(), table.entries.size()) == Le32(pHeader + 88);
    return true;
}

// The table of the primary header in pHeader (sector 1 of nSector bytes);
// when it or its entries are damaged, that of the backup header (at the
// primary's alternate sector, else the disk's last sector). False when
// neither is usable.
bool ReadGpt(const DiskReadFn& read, uint64_t u64DiskBytes, const unsigned char* pHeader,
             uint32_t nSector, GptTable& table) {
    GptTable backup;
    const bool bPrimary = ReadGptTable(read, pHeader, 1, nSector, table);
    if (bPrimary && table.bEntriesIntact) return true;
    uint64_t u64Backup = u64DiskBytes >= 2ull * nSector ? u64DiskBytes / nSector - 1 : 0;
    if (table.bHeaderIntact && table.u64Alternate > 1) u64Backup = table.u64Alternate;
    auto Score = [](const GptTable& t) { return t.bHeaderIntact + t.bEntriesIntact; };
    unsigned char header[512];
    if (u64Backup > 1 && u64Backup < (1ULL << 63) / nSector &&
        ReadFull(read, static_cast<long long>(u64Backup * nSector), header, sizeof(header)) &&
        ReadGptTable(read, header, u64Backup, nSector, backup) &&
        (!bPrimary || Score(backup) > Score(table))) {
        table = std::move(backup);
        return true;
    }
    return bPrimary;
}

// Whether a master boot record holds the protective slot (type 0xEE) of a GPT disk.
bool HasProtectiveSlot(const unsigned char* pBuf) {
    for (int nSlot = 0; nSlot < 4; ++nSlot) {
        if (pBuf[446 + 16 * nSlot + 4] == 0xEE) return true;
    }
    return false;
}

}  // namespace

CPartitionManager::CPartitionManager()
    : m_nBytesPerSector(512), m_nPartitionCounter(1), m_nExtendedBase(0) {}

CPartitionManager::~CPartitionManager() = default;

bool CPartitionManager::IsMBR(const char* buf, int len) {
    if (!buf || len < 512) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(buf);
    return p[510] == 0x55 && p[511] == 0xAA;
}

bool CPartitionManager::IsAPM(const char* buf, int len) {
    return buf && len >= 2 && buf[0] == 'E' && buf[1] == 'R';
}

bool CPartitionManager::IsEFI(const char* buf, int len) {
    return buf && len >= 8 && std::memcmp(buf, "EFI PART", 8) == 0;
}

void CPartitionManager::ResetCounter() {
    m_nPartitionCounter = 1;
    m_nExtendedBase = 0;
}

bool CPartitionManager::GetPartitionItems(std::map<int, std::vector<_PARTITION_ITEM_>>& items) {
    items.clear();
    ResetCounter();
    for (int nDiskNo = 0; nDiskNo < kMaxDisks; ++nDiskNo) {
        int fd = tw::OpenDiskNode(nDiskNo);
        if (fd < 0) continue;
        std::vector<_PARTITION_ITEM_> vec;
        // Partitions are numbered on each disk from 1.
        ResetCounter();
        GetDiskPartitions(fd, nDiskNo, vec);
        close(fd);
        if (!vec.empty()) items[nDiskNo] = std::move(vec);
    }
    return true;
}

void CPartitionManager::GetDiskPartitions(int fd, int nDiskNo,
                                          std::vector<_PARTITION_ITEM_>& items) {
    const off_t llEnd = lseek(fd, 0, SEEK_END);
    GetDiskPartitions(FdReader(fd), llEnd > 0 ? static_cast<uint64_t>(llEnd) : 0, nDiskNo, items);
}

void CPartitionManager::GetDiskPartitions(const DiskReadFn& read, uint64_t u64DiskBytes,
                                          int nDiskNo, std::vector<_PARTITION_ITEM_>& items) {
    m_nExtendedBase = 0;
    m_visitedSectors.clear();
    char szPath[16];
    std::snprintf(szPath, sizeof(szPath), "%s", tw::LogicalDiskName(nDiskNo).c_str());

    std::vector<unsigned char> buf(kTableBytes);
    if (!ReadFull(read, 0, buf.data(), buf.size())) return;
    const char* p = reinterpret_cast<const char*>(buf.data());
    // A GPT disk whose primary header is gone still has its protective
    // master boot record, and its backup header at the end.
    if ((IsEFI(p + 512, kTableBytes - 512) ||
         (IsMBR(p, kTableBytes) && HasProtectiveSlot(buf.data()))) &&
        GetGPTPartition(read, u64DiskBytes, buf.data(), items, nDiskNo, szPath)) {
        return;
    }
    if (IsAPM(p, kTableBytes)) {
        GetAPMPartition(read, buf.data(), items, nDiskNo, szPath);
    } else if (IsMBR(p, kTableBytes) && !IsFat(buf.data()) && !IsNtfs(buf.data()) &&
               !IsExFat(buf.data())) {
        // A card formatted without a partition table starts with its volume's
        // boot sector, whose 0xAA55 is no table: its boot code would read as slots.
        WalkMBR(read, 0, items, nDiskNo, szPath, 0);
    }
}

bool CPartitionManager::GetGPTPartition(const DiskReadFn& read, uint64_t u64DiskBytes,
                                        const unsigned char* pBuf,
                                        std::vector<_PARTITION_ITEM_>& items, int nDiskNo,
                                        const char* szDevicePath) {
    // Sectors of 512 bytes; of 4,096 on a disk whose header lies not at byte
    // 512 but at 4,096, or whose only header is the backup at its last
    // 4,096-byte sector. Partitions are given in 512-byte sectors all the same.
    unsigned char ab4k[512] = {};
    const bool b4k = !IsEFI(reinterpret_cast<const char*>(pBuf) + 512, 512) &&
                     ReadFull(read, 4096, ab4k, sizeof(ab4k)) &&
                     IsEFI(reinterpret_cast<const char*>(ab4k), sizeof(ab4k));
    GptTable table;
    uint32_t nSector = b4k ? 4096 : 512;
    if (!ReadGpt(read, u64DiskBytes, b4k ? ab4k : pBuf + 512, nSector, table)) {
        if (b4k || !ReadGpt(read, u64DiskBytes, ab4k, 4096, table)) return false;
        nSector = 4096;
    }
    const uint64_t u64Scale = nSector / 512;
    const uint32_t nEntrySize = table.nEntrySize;
    for (size_t nOff = 0; nOff + nEntrySize <= table.entries.size(); nOff += nEntrySize) {
        const unsigned char* pEntry = table.entries.data() + nOff;
        const uint64_t u64First = Le64(pEntry + 32);
        const uint64_t u64Last = Le64(pEntry + 40);
        // An unused entry has no type; any entry may be unused, so all are read.
        static const unsigned char kNoType[16] = {};
        if (std::memcmp(pEntry, kNoType, 16) == 0 || u64First == 0 || u64Last < u64First ||
            (u64Scale > 1 && u64Last >= UINT64_MAX / u64Scale)) {
            continue;
        }
        _PARTITION_ITEM_ item =
            MakeItem(u64First * u64Scale, (u64Last + 1) * u64Scale - 1, nDiskNo, szDevicePath);
        for (int i = 0; i < 36; ++i) {
            item.szPartitionName[i] =
                static_cast<char16_t>(pEntry[56 + 2 * i] | (pEntry[57 + 2 * i] << 8));
        }
        items.push_back(item);
    }
    return true;
}

void CPartitionManager::GetAPMPartition(const DiskReadFn& read, const unsigned char* pBuf,
                                        std::vector<_PARTITION_ITEM_>& items, int nDiskNo,
                                        const char* szDevicePath) {
    const uint32_t nCount = Be32(pBuf + 512 + 4);
    if (nCount == 0 || nCount > 128) return;
    std::vector<unsigned char> map(static_cast<size_t>(nCount) * 512);
    if (!ReadFull(read, 512, map.data(), map.size())) return;
    for (uint32_t i = 0; i < nCount; ++i) {
        const unsigned char* pEntry = map.data() + 512 * i;
        const uint64_t u64Start =
            static_cast<uint64_t>(Be32(pEntry + 8)) + static_cast<uint64_t>(Be32(pEntry + 80));
        _PARTITION_ITEM_ item =
            MakeItem(u64Start, u64Start + Be32(pEntry + 84) - 1, nDiskNo, szDevicePath);
        SetAsciiName(item, pEntry + 16, 32);
        items.push_back(item);
    }
}

void CPartitionManager::GetMBRPartition(int fd, unsigned int nSector,
                                        std::vector<_PARTITION_ITEM_>& items, int nDiskNo,
                                        char* szDevicePath) {
    WalkMBR(FdReader(fd), nSector, items, nDiskNo, szDevicePath, 0);
}

void CPartitionManager::WalkMBR(const DiskReadFn& read, unsigned int nSector,
                                std::vector<_PARTITION_ITEM_>& items, int nDiskNo,
                                const char* szDevicePath, int nDepth) {
    // A looping or endless chain ends at a sector already read on this disk.
    if (nDepth > kMaxChainDepth || !m_visitedSectors.insert(nSector).second) return;
    std::vector<unsigned char> buf(kTableBytes);
    if (!ReadFull(read, static_cast<long long>(nSector) * m_nBytesPerSector, buf.data(),
                  buf.size())) {
        return;
    }
    for (int nSlot = 0; nSlot < 4; ++nSlot) {
        const unsigned char* pSlot = buf.data() + 446 + 16 * nSlot;
        const uint8_t nType = pSlot[4];
        const uint32_t nRelative = Le32(pSlot + 8);
        const uint32_t nCount = Le32(pSlot + 12);
        if (nType == 0x05 || nType == 0x0F) {
            // Links inside the chain are relative to the extended partition's start.
            if (m_nExtendedBase == 0 && nSector != 0) m_nExtendedBase = nSector;
            WalkMBR(read, nRelative + m_nExtendedBase, items, nDiskNo, szDevicePath, nDepth + 1);
            continue;
        }
        // An empty slot holds nothing; the slots after it may still be used.
        if (nType == 0 && nRelative == 0 && nCount == 0) continue;
        const uint32_t nStart = nRelative + nSector;  // 32-bit, as the table stores it
        _PARTITION_ITEM_ item =
            MakeItem(nStart, static_cast<uint64_t>(nStart) + nCount - 1, nDiskNo, szDevicePath);
        char szName[32];
        std::snprintf(szName, sizeof(szName), "Partition %d", m_nPartitionCounter++);
        SetAsciiName(item, reinterpret_cast<const unsigned char*>(szName), sizeof(szName));
        items.push_back(item);
    }
}

DiskReadFn MediumTableReader(CMediumSource& source) {
    return [&source](uint64_t u64Offset, unsigned char* p, size_t n) {
        MediumRead got;
        return source.Read(u64Offset, n, p, got) == 0;
    };
}

std::string GetPartitionNameUtf8(const _PARTITION_ITEM_& item) {
    return Utf16ToUtf8(item.szPartitionName,
                       sizeof(item.szPartitionName) / sizeof(item.szPartitionName[0]));
}
