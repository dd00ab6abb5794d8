#include "device/FsRecognize.h"

#include "common/ByteOrder.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace {

bool IsValidSectorsPerCluster(unsigned char n) {
    return n == 1 || n == 2 || n == 4 || n == 8 || n == 16 || n == 32 || n == 64;
}

bool HasBootSignature(const unsigned char* pBuf) {
    return pBuf[510] == 0x55 && pBuf[511] == 0xAA;
}

// {sectors per cluster, lowest sector count, sector count limit}
const uint32_t Fat32DefaultClusterPartitionSizeLimitBySector[8][3] = {
    {1, 68544, 133056},        {2, 133056, 264096},           {4, 264096, 526176},
    {8, 526176, 16777152},     {16, 16777152, 33554304},      {32, 33554304, 67108608},
    {64, 67108608, 268435440}, {128, 268435440, 4294967167u},
};

const uint32_t kMaxFatClusters = 0x0FFFFFEF;

}  // namespace

unsigned int NtfsSectorsPerCluster(uint8_t nByte, unsigned int nBytesPerSector) {
    if (nByte == 0 || nBytesPerSector == 0) return 0;
    unsigned long long u64Spc;
    if (nByte <= 0x80) {
        u64Spc = nByte;
    } else {
        unsigned nShift = 256u - nByte;
        if (nShift > 31) return 0;
        u64Spc = 1ull << nShift;
    }
    if (u64Spc & (u64Spc - 1)) return 0;                          // not a power of two
    if (u64Spc * nBytesPerSector > 2ull * 1024 * 1024) return 0;  // clusters are at most 2 MiB
    return static_cast<unsigned int>(u64Spc);
}

bool IsNtfs(const unsigned char* pBuf) {
    if (!pBuf) return false;
    if (std::memcmp(pBuf + 3, "NTFS    ", 8) != 0) return false;
    const uint16_t nBytesPerSector = Le16(pBuf + 0x0B);
    // A sector size of 0 is a multiple of 512 too, but no NTFS volume has it and
    // every engine divides by it.
    if (nBytesPerSector == 0 || (nBytesPerSector & 0x1FF) != 0) return false;
    if (Le16(pBuf + 0x0E) != 0) return false;
    // The cluster-size byte may use the power-of-two encoding (64 KiB clusters
    // on 512-byte sectors are 128; larger ones 0xF4..0xFF): such volumes are NTFS
    // too and must reach the NTFS engines.
    if (NtfsSectorsPerCluster(pBuf[0x0D], nBytesPerSector) == 0) return false;
    if (Le64(pBuf + 0x28) == 0) return false;
    static const int kMustBeZero[] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x16,
                                      0x17, 0x20, 0x21, 0x22, 0x23};
    for (int nOffset : kMustBeZero) {
        if (pBuf[nOffset] != 0) return false;
    }
    return HasBootSignature(pBuf);
}

bool IsBitlockerDBR(const unsigned char* pBuf) {
    if (!pBuf) return false;
    if (std::memcmp(pBuf + 3, "-FVE-FS-", 8) == 0) return true;
    unsigned char pattern[30];
    std::memset(pattern, 'x', 8);
    std::memset(pattern + 8, 0xFF, 19);
    pattern[27] = 0x00;
    pattern[28] = 0x1F;
    pattern[29] = 0x2C;
    return std::memcmp(pBuf + 480, pattern, sizeof(pattern)) == 0;
}

bool IsFullValidFAT16DBR(const unsigned char* pBuf) {
    if (!pBuf) return false;
    return pBuf[0x10] != 0 && (Le16(pBuf + 0x13) != 0 || Le32(pBuf + 0x20) != 0) &&
           IsValidSectorsPerCluster(pBuf[0x0D]) && Le16(pBuf + 0x16) != 0 && HasBootSignature(pBuf);
}

bool IsFullValidFAT32DBR(const unsigned char* pBuf) {
    if (!pBuf) return false;
    return std::memcmp(pBuf + 0x52, "FAT32   ", 8) == 0 && pBuf[0x10] != 0 &&
           Le32(pBuf + 0x20) != 0 && IsValidSectorsPerCluster(pBuf[0x0D]) &&
           Le32(pBuf + 0x24) != 0 && HasBootSignature(pBuf);
}

bool IsFat(const unsigned char* pBuf) {
    if (!pBuf || IsBitlockerDBR(pBuf)) return false;
    const uint32_t nFatSize = Le16(pBuf + 0x16) != 0 ? Le16(pBuf + 0x16) : Le32(pBuf + 0x24);
    const uint32_t nTotal = Le32(pBuf + 0x20) != 0 ? Le32(pBuf + 0x20) : Le16(pBuf + 0x13);
    const uint16_t nBytesPerSector = Le16(pBuf + 0x0B);
    const unsigned char nSectorsPerCluster = pBuf[0x0D];
    if (nBytesPerSector == 0 || (nBytesPerSector & 0x1FF) != 0 || nSectorsPerCluster == 0) {
        return false;
    }
    const uint32_t nRootDirSectors =
        (static_cast<uint32_t>(Le16(pBuf + 0x11)) * 32) / nBytesPerSector;
    // The areas before the data region must fit in the volume; unchecked, the
    // subtraction wraps and a volume smaller than its own FATs passes.
    const uint64_t u64Meta = static_cast<uint64_t>(Le16(pBuf + 0x0E)) +
                             static_cast<uint64_t>(nFatSize) * pBuf[0x10] + nRootDirSectors;
    if (u64Meta > nTotal) return false;
    const uint32_t nClusters = static_cast<uint32_t>(nTotal - u64Meta) / nSectorsPerCluster;
    if (nClusters > kMaxFatClusters) return false;
    return IsFullValidFAT16DBR(pBuf) || IsFullValidFAT32DBR(pBuf);
}

bool IsExt(const unsigned char* pBuf) {
    if (!pBuf) return false;
    const unsigned char* sb = pBuf + 1024;
    if (Le16(sb + 0x38) != 0xEF53) return false;
    const uint32_t nInodes = Le32(sb + 0x00);
    const uint32_t nBlocks = Le32(sb + 0x04);
    const uint32_t nFirstDataBlock = Le32(sb + 0x14);
    const uint32_t nLogBlockSize = Le32(sb + 0x18);
    const uint32_t nBlocksPerGroup = Le32(sb + 0x20);
    const uint32_t nInodesPerGroup = Le32(sb + 0x28);
    const uint32_t nFirstInode = Le32(sb + 0x54);
    if (nInodes == 0 || nBlocks == 0 || nBlocksPerGroup == 0 || nInodesPerGroup == 0) return false;
    if (nFirstInode < 3) return false;
    if ((nInodes - 1) / nInodesPerGroup != (nBlocks - 1 - nFirstDataBlock) / nBlocksPerGroup) {
        return false;
    }
    // 1,024-byte blocks (log field 0) put the superblock in block 1; larger blocks in block 0.
    const uint32_t nExpectedFirstDataBlock = nLogBlockSize == 0 ? 1 : 0;
    if (nFirstDataBlock != nExpectedFirstDataBlock) return false;
    return nInodes > nFirstInode;
}

const char* GetExtVolumeType(const unsigned char* pBuf) {
    if (!IsExt(pBuf)) return nullptr;
    const unsigned char* sb = pBuf + 1024;
    // Extents, 64bit, flex_bg, meta_bg, inline data; huge_file, gdt_csum,
    // dir_nlink, extra_isize, metadata_csum.
    const uint32_t nExt4Incompat = 0x40 | 0x80 | 0x200 | 0x10 | 0x8000;
    const uint32_t nExt4RoCompat = 0x8 | 0x10 | 0x20 | 0x40 | 0x400;
    if ((Le32(sb + 0x60) & nExt4Incompat) || (Le32(sb + 0x64) & nExt4RoCompat)) return "ext4";
    return (Le32(sb + 0x5C) & 0x4) ? "ext3" : "ext2";
}

void GetExtVolumeLabel(const unsigned char* pBuf, char szLabel[17]) {
    szLabel[0] = 0;
    if (!IsExt(pBuf)) return;
    std::memcpy(szLabel, pBuf + 1024 + 0x78, 16);
    szLabel[16] = 0;
}

bool IsExFat(const unsigned char* pBuf) {
    if (!pBuf || std::memcmp(pBuf + 3, "EXFAT   ", 8) != 0 || !HasBootSignature(pBuf)) return false;
    // Where a FAT boot sector keeps its fields, exFAT has 53 zero bytes.
    for (int i = 11; i < 64; ++i)
        if (pBuf[i] != 0) return false;
    const unsigned nSectorShift = pBuf[108], nClusterShift = pBuf[109], nFats = pBuf[110];
    // Sectors of 512 bytes to 4 KiB, clusters of at most 32 MiB, one or two FATs.
    if (nSectorShift < 9 || nSectorShift > 12 || nSectorShift + nClusterShift > 25) return false;
    if (nFats != 1 && nFats != 2) return false;
    const uint64_t u64VolumeLength = Le64(pBuf + 72);
    const uint64_t u64FatOffset = Le32(pBuf + 80), u64FatLength = Le32(pBuf + 84);
    const uint64_t u64HeapOffset = Le32(pBuf + 88), u64Clusters = Le32(pBuf + 92);
    const uint64_t u64Root = Le32(pBuf + 96);
    // The boot regions, the FATs and the cluster heap follow one another, the
    // FAT holds an entry for every cluster, and the root is one of them.
    if (u64FatOffset < 24 || u64FatLength == 0) return false;
    if (u64HeapOffset < u64FatOffset + u64FatLength * nFats) return false;
    if (u64Clusters == 0 || u64Clusters > 0xFFFFFFF5ull) return false;
    if ((u64Clusters + 2) * 4 > u64FatLength << nSectorShift) return false;
    if (u64Root < 2 || u64Root > u64Clusters + 1) return false;
    return u64VolumeLength >= u64HeapOffset + (u64Clusters << nClusterShift);
}

uint32_t ExFatBootChecksum(const unsigned char* pRegion, uint32_t nBytesPerSector) {
    uint32_t nSum = 0;
    const size_t nBytes = static_cast<size_t>(nBytesPerSector) * 11;
    for (size_t i = 0; i < nBytes; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        nSum = ((nSum & 1) ? 0x80000000u : 0) + (nSum >> 1) + pRegion[i];
    }
    return nSum;
}

long long FindExFatBootRegion(const unsigned char* pBuf, size_t nLength) {
    if (!pBuf) return -1;
    // The main region first; the backup at 12 sectors of each possible size.
    static const size_t kOffsets[] = {0, 12 * 512, 12 * 1024, 12 * 2048, 12 * 4096};
    for (size_t nOffset : kOffsets) {
        if (nOffset + 512 > nLength || !IsExFat(pBuf + nOffset)) continue;
        const uint32_t nSectorBytes = 1u << pBuf[nOffset + 108];
        if (nOffset != 0 && nOffset != 12ull * nSectorBytes) continue;
        if (nOffset + 12ull * nSectorBytes > nLength) continue;
        const uint32_t nSum = ExFatBootChecksum(pBuf + nOffset, nSectorBytes);
        const unsigned char* pSums = pBuf + nOffset + 11ull * nSectorBytes;
        bool bMatch = true;
        for (uint32_t i = 0; i < nSectorBytes && bMatch; i += 4) bMatch = Le32(pSums + i) == nSum;
        if (bMatch) return static_cast<long long>(nOffset);
    }
    return -1;
}

uint64_t GetVolumeSectorCount(const unsigned char* pBuf, size_t nLength) {
    if (!pBuf || nLength < 512) return 0;
    // Sectors of nBytes as 512-byte ones; 0 when that does not fit.
    auto scaled = [](uint64_t u64Sectors, uint64_t u64Bytes) -> uint64_t {
        uint64_t u64Out = 0;
        return __builtin_mul_overflow(u64Sectors, u64Bytes / 512, &u64Out) ? 0 : u64Out;
    };
    if (IsNtfs(pBuf)) {
        // The sectors it counts, and its last one, which holds the boot sector's copy.
        const uint64_t u64Sectors = Le64(pBuf + 0x28);
        return u64Sectors == UINT64_MAX ? 0 : scaled(u64Sectors + 1, Le16(pBuf + 0x0B));
    }
    for (size_t nAt : {size_t{0}, size_t{6 * 512}}) {
        if (nAt + 512 > nLength || !IsFat(pBuf + nAt)) continue;
        const unsigned char* p = pBuf + nAt;
        return scaled(Le32(p + 0x20) != 0 ? Le32(p + 0x20) : Le16(p + 0x13), Le16(p + 0x0B));
    }
    const long long llRegion = FindExFatBootRegion(pBuf, nLength);
    if (llRegion >= 0) {
        const unsigned char* p = pBuf + llRegion;
        return scaled(Le64(p + 72), 1ull << p[108]);
    }
    // A superblock of group 0: a later group's copy (1 KiB blocks put it
    // 1 KiB past a 1 MiB step too) starts no volume.
    if (nLength >= 2048 && IsExt(pBuf) && Le16(pBuf + 1024 + 0x5A) == 0) {
        const unsigned char* sb = pBuf + 1024;
        uint64_t u64Blocks = Le32(sb + 0x04);
        if (Le32(sb + 0x60) & 0x80) u64Blocks |= static_cast<uint64_t>(Le32(sb + 0x150)) << 32;
        const uint32_t nLog = Le32(sb + 0x18);
        return nLog > 6 ? 0 : scaled(u64Blocks, 1024ull << nLog);
    }
    return 0;
}

uint64_t GetVolumeStartBehind(const unsigned char* pBuf, size_t nLength, uint64_t& u64Count) {
    u64Count = 0;
    if (!pBuf || nLength < 512) return 0;
    uint64_t u64Back = 0;
    if (IsNtfs(pBuf)) {
        // The copy lies in the sector the count leaves out.
        const uint64_t u64Scale = Le16(pBuf + 0x0B) / 512;
        const uint64_t u64Sectors = Le64(pBuf + 0x28);
        if (__builtin_mul_overflow(u64Sectors, u64Scale, &u64Back) || u64Back > UINT64_MAX / 2)
            return 0;
        u64Count = u64Back + u64Scale;
        return u64Back;
    }
    // An ext superblock at the start of a block, in the group it names.
    if (nLength < 1024 || Le16(pBuf + 0x38) != 0xEF53 || Le16(pBuf + 0x5A) == 0) return 0;
    unsigned char ab[2048] = {};
    std::memcpy(ab + 1024, pBuf, 1024);
    if (!IsExt(ab)) return 0;
    const unsigned char* sb = pBuf;
    const uint32_t nLog = Le32(sb + 0x18);
    if (nLog > 6) return 0;
    const uint64_t u64Block = 1024ull << nLog;
    const uint64_t u64At =
        static_cast<uint64_t>(Le16(sb + 0x5A)) * Le32(sb + 0x20) + Le32(sb + 0x14);
    uint64_t u64Blocks = Le32(sb + 0x04);
    if (Le32(sb + 0x60) & 0x80) u64Blocks |= static_cast<uint64_t>(Le32(sb + 0x150)) << 32;
    if (u64At >= u64Blocks || u64Blocks > UINT64_MAX / u64Block) return 0;
    u64Count = u64Blocks * (u64Block / 512);
    return u64At * (u64Block / 512);
}

unsigned GetFat32DefaultSectorPerCluster(unsigned long long u64Sectors,
                                         unsigned int nBytesPerSector) {
    if (u64Sectors == 0) return 0;
    for (const auto& row : Fat32DefaultClusterPartitionSizeLimitBySector) {
        if (row[1] <= u64Sectors && u64Sectors < row[2]) {
            if (row[0] == 128 && nBytesPerSector == 4096) return 64;
            return row[0];
        }
    }
    return 8;
}

unsigned GetDefaultNtfsSectorPerCluster(unsigned long long u64Sectors,
                                        unsigned int nBytesPerSector) {
    const double dSizeMiB =
        static_cast<double>(nBytesPerSector) * static_cast<double>(u64Sectors) / 1048576.0;
    const unsigned long long k = nBytesPerSector / 512;
    const double t1 = static_cast<double>(7 * k);
    const double t2 = static_cast<double>(nBytesPerSector & ~0x1FFull);
    const double t3 = static_cast<double>((2ull * nBytesPerSector) & ~0x3FFull);
    const double t4 = static_cast<double>((4ull * nBytesPerSector) & ~0x7FFull);
    if (dSizeMiB > t1 && dSizeMiB <= t2) return 1;
    if (dSizeMiB > t2 && dSizeMiB <= t3) return 2;
    if (dSizeMiB > t3 && dSizeMiB <= t4) return 4;
    return 8;
}
