#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/ScratchDir.h"

namespace {

uint64_t Le(const unsigned char* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
uint64_t Be(const unsigned char* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

std::vector<unsigned char> ReadAll(const std::string& strPath) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(twtest::ReadFileBytes(strPath, bytes));
    return bytes;
}

// The placed volume's bytes equal its source (the source's length).
void ExpectVolumeAt(const std::vector<unsigned char>& disk, const twtest::Placed& p,
                    const std::string& strSource) {
    const std::vector<unsigned char> src = ReadAll(strSource);
    ASSERT_LE(p.u64StartSector * 512 + src.size(), disk.size());
    EXPECT_EQ(twtest::Sha1OfBytes(&disk[p.u64StartSector * 512], src.size()),
              twtest::Sha1OfBytes(src.data(), src.size()))
        << strSource;
}

uint32_t Crc32(const unsigned char* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
    }
    return ~crc;
}

}  // namespace

TEST(DiskImage, Sha1MatchesKnownDigests) {
    EXPECT_EQ(twtest::Sha1OfBytes("", 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(twtest::Sha1OfBytes("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
    const std::string s56 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(twtest::Sha1OfBytes(s56.data(), s56.size()),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
}

TEST(DiskImage, ManifestListsEveryOriginal) {
    for (const char* szName : {"fat12", "fat16", "fat32", "ntfs", "ext4"}) {
        SCOPED_TRACE(szName);
        const std::vector<twtest::ManifestEntry> entries = twtest::ReadManifest(szName);
        ASSERT_GE(entries.size(), 10u);
        for (const twtest::ManifestEntry& e : entries) {
            EXPECT_EQ(e.strPath[0], '/');
            EXPECT_EQ(twtest::Sha1OfFile(e.strSourceFile), e.strSha1) << e.strPath;
        }
    }
    // FAT images hold deleted files, in live and in deleted folders.
    int nDeleted = 0;
    for (const twtest::ManifestEntry& e : twtest::ReadManifest("fat16")) nDeleted += e.bDeleted;
    EXPECT_GE(nDeleted, 8);
}

TEST(DiskImage, MbrWithExtendedChain) {
    CScratchDir dir;
    std::vector<twtest::Volume> primaries(2), logicals(2);
    primaries[0].strSourceImage = twtest::FixtureImage("fat12");
    primaries[1].u64Sectors = 1000;  // empty partition
    primaries[1].nMbrType = 0x83;
    logicals[0].strSourceImage = twtest::FixtureImage("fat16");
    logicals[0].nMbrType = 0x06;
    logicals[1].strSourceImage = twtest::FixtureImage("ext4");
    logicals[1].nMbrType = 0x83;
    std::vector<twtest::Placed> placed;
    std::string strError;
    ASSERT_TRUE(twtest::WriteMbrDisk(dir.File("d.img"), primaries, logicals, &placed, &strError))
        << strError;
    ASSERT_EQ(placed.size(), 4u);
    const std::vector<unsigned char> d = ReadAll(dir.File("d.img"));
    ASSERT_EQ(d[510], 0x55);
    ASSERT_EQ(d[511], 0xAA);
    // Slots: two primaries, then the extended partition.
    EXPECT_EQ(d[446 + 4], 0x0C);
    EXPECT_EQ(Le(&d[446 + 8], 4), placed[0].u64StartSector);
    EXPECT_EQ(Le(&d[446 + 12], 4), 4096u);  // 2 MiB
    EXPECT_EQ(d[462 + 4], 0x83);
    EXPECT_EQ(Le(&d[462 + 12], 4), 1000u);
    EXPECT_EQ(d[478 + 4], 0x05);
    EXPECT_EQ(d[494 + 4], 0x00);
    const uint64_t u64Ext = Le(&d[478 + 8], 4);
    // First EBR at the extended start: its logical relative to itself.
    const unsigned char* ebr1 = &d[u64Ext * 512];
    EXPECT_EQ(ebr1[510], 0x55);
    EXPECT_EQ(ebr1[446 + 4], 0x06);
    EXPECT_EQ(u64Ext + Le(ebr1 + 446 + 8, 4), placed[2].u64StartSector);
    // Its link slot is relative to the extended partition's start.
    EXPECT_EQ(ebr1[462 + 4], 0x05);
    const uint64_t u64Ebr2 = u64Ext + Le(ebr1 + 462 + 8, 4);
    const unsigned char* ebr2 = &d[u64Ebr2 * 512];
    EXPECT_EQ(ebr2[446 + 4], 0x83);
    EXPECT_EQ(u64Ebr2 + Le(ebr2 + 446 + 8, 4), placed[3].u64StartSector);
    EXPECT_EQ(Le(ebr2 + 446 + 12, 4), placed[3].u64Sectors);
    EXPECT_EQ(ebr2[462 + 4], 0x00);  // end of chain
    ExpectVolumeAt(d, placed[0], twtest::FixtureImage("fat12"));
    ExpectVolumeAt(d, placed[2], twtest::FixtureImage("fat16"));
    ExpectVolumeAt(d, placed[3], twtest::FixtureImage("ext4"));
}

TEST(DiskImage, MbrLogicalAtExplicitPlaces) {
    CScratchDir dir;
    std::vector<twtest::Volume> logicals(2);
    logicals[0].u64EbrSector = 10000;
    logicals[0].u64StartSector = 10063;
    logicals[0].u64Sectors = 100;
    logicals[1].u64EbrSector = 12000;
    logicals[1].u64StartSector = 12063;
    logicals[1].u64Sectors = 100;
    std::vector<twtest::Placed> placed;
    ASSERT_TRUE(twtest::WriteMbrDisk(dir.File("d.img"), {}, logicals, &placed));
    const std::vector<unsigned char> d = ReadAll(dir.File("d.img"));
    EXPECT_EQ(Le(&d[446 + 8], 4), 10000u);
    EXPECT_EQ(Le(&d[10000 * 512 + 446 + 8], 4), 63u);
    EXPECT_EQ(Le(&d[10000 * 512 + 462 + 8], 4), 2000u);
    EXPECT_EQ(Le(&d[12000 * 512 + 446 + 8], 4), 63u);
    EXPECT_EQ(placed[1].u64StartSector, 12063u);
    EXPECT_FALSE(
        twtest::WriteMbrDisk(dir.File("e.img"), std::vector<twtest::Volume>(5), {}, nullptr));
}

TEST(DiskImage, GptHeadersEntriesAndChecksums) {
    CScratchDir dir;
    std::vector<twtest::Volume> vols(2);
    vols[0].strSourceImage = twtest::FixtureImage("fat12");
    vols[0].strName = "Data";
    vols[1].strSourceImage = twtest::FixtureImage("ext4");
    vols[1].strGptType = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
    std::vector<twtest::Placed> placed;
    ASSERT_TRUE(twtest::WriteGptDisk(dir.File("g.img"), vols, &placed));
    const std::vector<unsigned char> d = ReadAll(dir.File("g.img"));
    EXPECT_EQ(d[446 + 4], 0xEE);
    const unsigned char* h = &d[512];
    ASSERT_EQ(std::memcmp(h, "EFI PART", 8), 0);
    std::vector<unsigned char> hz(h, h + 92);
    std::memset(&hz[16], 0, 4);
    EXPECT_EQ(Le(h + 16, 4), Crc32(hz.data(), 92));
    EXPECT_EQ(Le(h + 72, 8), 2u);
    EXPECT_EQ(Le(h + 88, 4), Crc32(&d[1024], 128 * 128));
    const uint64_t u64Backup = Le(h + 32, 8);
    EXPECT_EQ((u64Backup + 1) * 512, d.size());
    EXPECT_EQ(std::memcmp(&d[u64Backup * 512], "EFI PART", 8), 0);
    // Entry 0: basic-data type in on-disk order, LBAs, UTF-16LE name.
    const unsigned char* e0 = &d[1024];
    const unsigned char basic[4] = {0xA2, 0xA0, 0xD0, 0xEB};
    EXPECT_EQ(std::memcmp(e0, basic, 4), 0);
    EXPECT_EQ(Le(e0 + 32, 8), placed[0].u64StartSector);
    EXPECT_EQ(Le(e0 + 40, 8), placed[0].u64StartSector + placed[0].u64Sectors - 1);
    EXPECT_EQ(e0[56], 'D');
    EXPECT_EQ(e0[57], 0);
    EXPECT_EQ(e0[58], 'a');
    EXPECT_EQ(Le(&d[1024 + 128 + 32], 8), placed[1].u64StartSector);
    EXPECT_EQ(Le(&d[1024 + 256 + 32], 8), 0u);
    ExpectVolumeAt(d, placed[0], twtest::FixtureImage("fat12"));
    ExpectVolumeAt(d, placed[1], twtest::FixtureImage("ext4"));
}

TEST(DiskImage, ApplePartitionMapIsBigEndian) {
    CScratchDir dir;
    std::vector<twtest::Volume> vols(2);
    vols[0].strSourceImage = twtest::FixtureImage("fat16");
    vols[0].strName = "Card";
    vols[0].strApmType = "DOS_FAT_16";
    vols[1].strSourceImage = twtest::FixtureImage("fat12");
    vols[1].nApmDataStart = 16;
    std::vector<twtest::Placed> placed;
    ASSERT_TRUE(twtest::WriteApmDisk(dir.File("a.img"), vols, &placed));
    const std::vector<unsigned char> d = ReadAll(dir.File("a.img"));
    EXPECT_EQ(d[0], 'E');
    EXPECT_EQ(d[1], 'R');
    EXPECT_EQ(Be(&d[2], 2), 512u);
    EXPECT_EQ(Be(&d[4], 4) * 512, d.size());
    EXPECT_EQ(Be(&d[516], 4), 3u);  // entry count, in every entry
    for (int i = 0; i < 3; ++i) {
        const unsigned char* e = &d[512 * (1 + i)];
        EXPECT_EQ(e[0], 'P');
        EXPECT_EQ(e[1], 'M');
        EXPECT_EQ(Be(e + 4, 4), 3u);
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[512 + 48])), "Apple_partition_map");
    const unsigned char* e1 = &d[1024];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e1 + 16)), "Card");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e1 + 48)), "DOS_FAT_16");
    EXPECT_EQ(Be(e1 + 8, 4) + Be(e1 + 80, 4), placed[0].u64StartSector);
    EXPECT_EQ(Be(e1 + 84, 4), placed[0].u64Sectors);
    const unsigned char* e2 = &d[1536];
    EXPECT_EQ(Be(e2 + 80, 4), 16u);
    EXPECT_EQ(Be(e2 + 8, 4) + 16, placed[1].u64StartSector);
    EXPECT_EQ(Be(e2 + 84, 4), 4096u);
    ExpectVolumeAt(d, placed[0], twtest::FixtureImage("fat16"));
    ExpectVolumeAt(d, placed[1], twtest::FixtureImage("fat12"));
}

TEST(DiskImage, TempDiskDirPresentsAndRestores) {
    const char* szBefore = getenv("TARNWICK_DISK_DIR");
    const std::string strBefore = szBefore ? szBefore : "<unset>";
    {
        twtest::TempDiskDir disks;
        ASSERT_STREQ(getenv("TARNWICK_DISK_DIR"), disks.Path().c_str());
        ASSERT_TRUE(disks.AddDisk(4, twtest::FixtureImage("fat12")));
        EXPECT_EQ(twtest::Sha1OfFile(disks.Path() + "/disk4"),
                  twtest::Sha1OfFile(twtest::FixtureImage("fat12")));
    }
    const char* szAfter = getenv("TARNWICK_DISK_DIR");
    EXPECT_EQ(szAfter ? szAfter : "<unset>", strBefore);
}
