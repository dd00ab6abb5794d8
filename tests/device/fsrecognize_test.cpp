#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include "device/FsRecognize.h"
#include "support/Fixtures.h"

namespace {

// The first 16,384 bytes of a fixture image, as the factory probes them.
std::vector<unsigned char> Probe(const std::string& strName) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(twtest::ReadFileBytes(twtest::FixtureImage(strName), bytes, 16384)) << strName;
    bytes.resize(16384, 0);
    return bytes;
}

void PutU16(std::vector<unsigned char>& b, size_t off, uint16_t v) {
    b[off] = v & 0xFF;
    b[off + 1] = v >> 8;
}
void PutU32(std::vector<unsigned char>& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

TEST(FsRecognize, EncryptedVolumeMarksHideFat) {
    std::vector<unsigned char> b = Probe("fat32");
    ASSERT_TRUE(IsFat(b.data()));
    std::memcpy(&b[3], "-FVE-FS-", 8);
    EXPECT_TRUE(IsBitlockerDBR(b.data()));
    EXPECT_FALSE(IsFat(b.data()));

    b = Probe("fat16");
    std::memset(&b[480], 'x', 8);
    std::memset(&b[488], 0xFF, 19);
    b[507] = 0x00, b[508] = 0x1F, b[509] = 0x2C;
    EXPECT_TRUE(IsBitlockerDBR(b.data()));
    EXPECT_FALSE(IsFat(b.data()));
    b[509] = 0x2D;  // one byte off the pattern
    EXPECT_FALSE(IsBitlockerDBR(b.data()));
    EXPECT_TRUE(IsFat(b.data()));
}

// One field of a real boot sector or superblock set to a value: recognised or
// not. Widths up to 4 bytes, little-endian; the ext superblock lies at 1,024.
TEST(FsRecognize, OneFieldChangedOnARealImage) {
    const struct {
        const char* szImage;
        size_t nOffset;
        int nWidth;
        uint32_t nValue;
        bool bWant;
    } cases[] = {
        {"fat16", 0x0D, 1, 64, true},  // sectors per cluster: powers of two to 64
        {"fat16", 0x0D, 1, 128, false},
        {"fat16", 0x0D, 1, 3, false},
        {"fat16", 0x0D, 1, 0, false},
        {"fat16", 0x0B, 2, 4096, true},  // bytes per sector
        {"fat16", 0x0B, 2, 1000, false},
        {"fat16", 0x0B, 2, 0, false},
        {"fat32", 0x10, 1, 0, false},  // no FAT
        {"fat32", 0x24, 4, 0, false},
        {"fat32", 0x52, 1, 'f', false},
        {"fat16", 511, 1, 0, false},
        {"fat12", 0x16, 2, 0, false},  // FAT12/16 form needs the 16-bit FAT size
        // NTFS: the name, the size, the signature.
        {"ntfs", 0x07, 1, 'X', false},
        // Cluster-size byte: the 2^(256 - v) encoding up to 2 MiB clusters
        // (each value: NtfsBootSector in the NTFS parse test).
        {"ntfs", 0x0D, 1, 0xF4, true},
        {"ntfs", 0x0D, 1, 0xF3, false},
        {"ntfs", 0x0B, 2, 4096, true},
        {"ntfs", 0x0B, 2, 768, false},
        {"ntfs", 0x0B, 2, 0, false},  // no sector size: nothing could be read from it
        {"ntfs", 510, 1, 0, false},
        {"ntfs", 0x0E, 1, 1, false},  // reserved sectors; the first and the last
        {"ntfs", 0x10, 1, 1, false},  // of the other bytes NTFS keeps zero
        {"ntfs", 0x23, 1, 1, false},
        // ext: counts that may not be zero, the magic, the first inode.
        {"ext4", 1024 + 0x00, 4, 0, false},
        {"ext4", 1024 + 0x04, 4, 0, false},
        {"ext4", 1024 + 0x20, 4, 0, false},
        {"ext4", 1024 + 0x28, 4, 0, false},
        {"ext4", 1024 + 0x38, 1, 0x54, false},
        {"ext4", 1024 + 0x54, 4, 2, false},
        {"ext4", 1024 + 0x14, 4, 0, false},  // 1,024-byte blocks need first data block 1
        {"ext4", 1024 + 0x18, 4, 1, false},  // 2,048-byte blocks with first data block 1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.szImage) + " offset " + std::to_string(c.nOffset));
        std::vector<unsigned char> b = Probe(c.szImage);
        for (int i = 0; i < c.nWidth; ++i)
            b[c.nOffset + i] = static_cast<unsigned char>(c.nValue >> (8 * i));
        const bool bGot = c.szImage[0] == 'f'   ? IsFat(b.data())
                          : c.szImage[0] == 'n' ? IsNtfs(b.data())
                                                : IsExt(b.data());
        EXPECT_EQ(bGot, c.bWant);
    }
}

// Fields whose limits depend on the others: totals from either field, the
// largest cluster count, the 64-bit NTFS total, groups from inodes and from blocks.
TEST(FsRecognize, LimitsAcrossFields) {
    std::vector<unsigned char> b = Probe("fat16");
    const uint16_t nTotal16 = static_cast<uint16_t>(b[0x13] | (b[0x14] << 8));  // 8 MiB
    PutU16(b, 0x13, 0);
    PutU32(b, 0x20, nTotal16);
    EXPECT_TRUE(IsFullValidFAT16DBR(b.data()));
    EXPECT_TRUE(IsFat(b.data()));
    PutU32(b, 0x20, 0);
    EXPECT_FALSE(IsFat(b.data()));
    // Reserved sectors and FATs larger than the volume: the data region would
    // have a negative size.
    b = Probe("fat16");
    PutU16(b, 0x0E, 0xFFFF);
    b[0x0D] = 64;
    EXPECT_FALSE(IsFat(b.data()));

    b = Probe("fat32");
    const uint32_t nFat = b[0x24] | (b[0x25] << 8) | (b[0x26] << 16) | (b[0x27] << 24);
    const uint32_t nMeta = (b[0x0E] | (b[0x0F] << 8)) + nFat * b[0x10];
    b[0x0D] = 1;
    PutU32(b, 0x20, nMeta + 0x0FFFFFEF);  // exactly the largest cluster count
    EXPECT_TRUE(IsFat(b.data()));
    PutU32(b, 0x20, nMeta + 0x0FFFFFF0);
    EXPECT_FALSE(IsFat(b.data()));
    b[0x0D] = 2;  // the same sectors in half as many clusters
    EXPECT_TRUE(IsFat(b.data()));

    b = Probe("ntfs");
    std::memset(&b[0x28], 0, 8);  // no total sectors
    EXPECT_FALSE(IsNtfs(b.data()));
    b[0x2F] = 1;  // only the high byte of the 64-bit total set
    EXPECT_TRUE(IsNtfs(b.data()));

    const std::vector<unsigned char> good = Probe("ext4");
    const size_t sb = 1024;
    b = good;  // 1,024-byte blocks (log field 0), first data block 1
    PutU32(b, sb + 0x18, 1);
    PutU32(b, sb + 0x14, 0);
    EXPECT_TRUE(IsExt(b.data()));  // shift counts past 32 bits: fuzz_recognize (UBSan)
    b = good;
    const uint32_t nInodes = good[sb] | (good[sb + 1] << 8) | (good[sb + 2] << 16);
    PutU32(b, sb + 0x54, nInodes);  // first inode must be below the inode count
    EXPECT_FALSE(IsExt(b.data()));
    b = good;
    const uint32_t nBlocksPerGroup = good[sb + 0x20] | (good[sb + 0x21] << 8);
    const uint32_t nBlocks =
        good[sb + 4] | (good[sb + 5] << 8) | (good[sb + 6] << 16) | (good[sb + 7] << 24);
    PutU32(b, sb + 4, nBlocks + nBlocksPerGroup);
    EXPECT_FALSE(IsExt(b.data()));
}

// The deep NTFS parser's cluster-size guess: the band edges (the last sector of
// a band and the first of the next), the scaling by sector size, and no wrap
// for sizes near 64 bits.
TEST(FsRecognize, DefaultNtfsSectorsPerClusterAtTheBandEdges) {
    const unsigned long long MiB = 2048, MiB4k = 256;  // sectors per MiB
    const struct {
        unsigned long long u64Sectors;
        unsigned nBytesPerSector, nWant;
    } cases[] = {{0, 512, 8},
                 {7 * MiB, 512, 8},
                 {7 * MiB + 1, 512, 1},
                 {512 * MiB, 512, 1},
                 {512 * MiB + 1, 512, 2},
                 {2048 * MiB, 512, 4},
                 {2048 * MiB + 1, 512, 8},
                 {50 * MiB4k, 4096, 8},
                 {100 * MiB4k, 4096, 1},
                 {20000 * MiB4k, 4096, 8},
                 {~0ull, 4096, 8}};
    for (const auto& c : cases)
        EXPECT_EQ(GetDefaultNtfsSectorPerCluster(c.u64Sectors, c.nBytesPerSector), c.nWant)
            << c.u64Sectors << " x " << c.nBytesPerSector;
}

// exFAT: the boot sector's fields, and the sound boot region found at the start
// or, when the main one is damaged, in the backup 12 sectors on.
TEST(FsRecognize, ExFatBootSectorAndBackupRegion) {
    EXPECT_FALSE(IsExFat(Probe("fat32").data()) || IsExFat(Probe("ntfs").data()));
    const struct {
        size_t nOffset;
        int nWidth;
        uint32_t nValue;
        bool bWant;
    } fields[] = {
        {3, 1, 'e', false},  {20, 1, 1, false},    // name; a FAT field where exFAT has zeros
        {108, 1, 8, false},  {108, 1, 13, false},  // 256-byte or 8 KiB sectors
        {109, 1, 17, false}, {110, 1, 2, true},    // 64 MiB clusters; two FATs
        {110, 1, 3, false},  {96, 4, 1, false},    // three FATs; root before the heap
        {84, 4, 0, false},   {88, 4, 24, false},   // no FAT; heap inside the FAT
        {92, 4, 0, false},   {72, 8, 64, false},   // no clusters; heap past the volume
        {510, 2, 0, false},
    };
    for (const char* szCard : {"exfat_4k", "exfat_s4k"}) {
        SCOPED_TRACE(szCard);
        std::vector<unsigned char> b;
        ASSERT_TRUE(twtest::ReadFileBytes(twtest::FixtureImage(szCard), b, 24 * 4096));
        const size_t nSector = size_t{1} << b[108];
        EXPECT_TRUE(IsExFat(b.data()));
        EXPECT_FALSE(IsFat(b.data()) || IsNtfs(b.data()));
        EXPECT_EQ(FindExFatBootRegion(b.data(), b.size()), 0);
        EXPECT_EQ(FindExFatBootRegion(b.data(), 12 * nSector - 1), -1);  // no checksum sector
        for (const auto& f : fields) {
            std::vector<unsigned char> c = b;
            for (int i = 0; i < f.nWidth; ++i)
                c[f.nOffset + i] = static_cast<unsigned char>(uint64_t{f.nValue} >> (8 * i));
            EXPECT_EQ(IsExFat(c.data()), f.bWant) << "offset " << f.nOffset;
        }
        b[100] ^= 1;  // the serial number: the checksum no longer matches
        EXPECT_TRUE(IsExFat(b.data()));
        EXPECT_EQ(FindExFatBootRegion(b.data(), b.size()), static_cast<long long>(12 * nSector));
        b[12 * nSector + 100] ^= 1;
        EXPECT_EQ(FindExFatBootRegion(b.data(), b.size()), -1);
    }
}
