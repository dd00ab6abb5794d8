// What the device page shows: file systems and labels of volumes made by the
// real tools, and the disks with their partitions, numbered per disk.
#include "device/DiskList.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/DiskImage.h"
#include "support/Mounts.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"

namespace {

// A volume image made by a shell command on $IMG.
std::string MakeVolume(const CScratchDir& dir, const std::string& strName,
                       const std::string& strMake) {
    const std::string strImage = dir.File(strName);
    EXPECT_EQ(twtest::RunCommand("IMG=" + twtest::ShellQuote(strImage) + "; (" + strMake +
                                 ") >/dev/null 2>&1"),
              0)
        << strMake;
    return strImage;
}

TW_VOLUME_INFO Recognize(const std::string& strImage, uint64_t u64Start = 0) {
    TW_VOLUME_INFO info;
    const int fd = open(strImage.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    RecognizeVolumeAt(fd, u64Start, info);
    close(fd);
    return info;
}

}  // namespace

TEST(VolumeInfo, FileSystemsAndLabelsOfRealVolumes) {
    CScratchDir dir;
    const struct {
        const char* szMake;
        const char* szFileSystem;
        const char* szLabel;
    } cases[] = {
        {"mkfs.fat -C \"$IMG\" 1440 -F 12 -n FLOPPY", "FAT12", "FLOPPY"},
        {"mkfs.fat -C \"$IMG\" 20480 -F 16 -n HOLIDAY", "FAT16", "HOLIDAY"},
        {"mkfs.fat -C \"$IMG\" 20480 -F 16", "FAT16", ""},
        {"mkfs.fat -C \"$IMG\" 40960 -F 32 -n 'TRIP 2024'", "FAT32", "TRIP 2024"},
        {"truncate -s 8M \"$IMG\" && mkfs.exfat -L 'Kamera Ü' \"$IMG\"", "exFAT", "Kamera Ü"},
        {"truncate -s 8M \"$IMG\" && mkfs.exfat \"$IMG\"", "exFAT", ""},
        {"truncate -s 8M \"$IMG\" && mkntfs -q -F -L 'Daten Ü 1' \"$IMG\"", "NTFS", "Daten Ü 1"},
        {"truncate -s 8M \"$IMG\" && mke2fs -q -F -t ext3 -L linux \"$IMG\"", "ext3", "linux"},
        {"head -c 4096 /dev/urandom > \"$IMG\"", "", ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string strImage = MakeVolume(dir, "v" + std::to_string(++n), c.szMake);
        const TW_VOLUME_INFO info = Recognize(strImage);
        EXPECT_TRUE(info.bReadable) << c.szMake;
        EXPECT_EQ(info.strFileSystem, c.szFileSystem) << c.szMake;
        EXPECT_EQ(info.strLabel, c.szLabel) << c.szMake;
    }
    // Past the end of the image nothing can be read.
    EXPECT_FALSE(Recognize(dir.File("v1"), 1ull << 30).bReadable);
}

TEST(DiskList, EveryDiskWithItsVolumesAndPartitionsNumberedPerDisk) {
    CScratchDir dir;
    twtest::TempDiskDir disks;
    // disk0: a card formatted without a partition table, its boot code over the slots.
    const std::string strCard =
        MakeVolume(dir, "card.img", "mkfs.fat -C \"$IMG\" 40960 -F 32 -n HOLIDAY");
    const unsigned char code[64] = {0x0D, 0x0A, 'R', 'e', 'm', 'o', 'v', 'e', 0x20, 0x64, 0x69};
    ASSERT_TRUE(twtest::WriteAt(strCard, 446, code, sizeof(code)));
    ASSERT_TRUE(disks.AddDisk(0, strCard));
    // disk1 and disk3: partitioned; disk2 is missing.
    twtest::Volume fat16;
    fat16.strSourceImage = MakeVolume(dir, "p.img", "mkfs.fat -C \"$IMG\" 8192 -F 16 -s 1 -n PART");
    twtest::Volume blank;
    blank.u64Sectors = 4096;
    ASSERT_TRUE(twtest::WriteMbrDisk(dir.File("two.img"), {blank, fat16}, {}, nullptr));
    ASSERT_TRUE(twtest::WriteMbrDisk(dir.File("one.img"), {fat16}, {}, nullptr));
    ASSERT_TRUE(disks.AddDisk(1, dir.File("two.img")));
    ASSERT_TRUE(disks.AddDisk(3, dir.File("one.img")));

    const std::vector<TW_DISK_INFO> list = ListDisks();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].strModel, "card.img");
    EXPECT_FALSE(list[0].bRemovable);
    EXPECT_EQ(list[0].u64Bytes, 40960u * 1024);
    EXPECT_EQ(list[0].volume.strFileSystem + " " + list[0].volume.strLabel, "FAT32 HOLIDAY");
    EXPECT_TRUE(list[0].vecPartitions.empty());
    const _PARTITION_ITEM_ whole = WholeDiskItem(list[0]);
    EXPECT_EQ(whole.u64EndSector, 40960u * 2 - 1);
    EXPECT_EQ(GetPartitionNameUtf8(whole), "Disk 1");
    EXPECT_STREQ(whole.szDiskName, "/dev/disk0");

    EXPECT_EQ(list[1].nDiskNo, 1);
    EXPECT_EQ(list[1].volume.strFileSystem, "");
    ASSERT_EQ(list[1].vecPartitions.size(), 2u);
    EXPECT_EQ(GetPartitionNameUtf8(list[1].vecPartitions[1]), "Partition 2");
    EXPECT_EQ(list[1].vecVolumes[0].strFileSystem, "");
    EXPECT_EQ(list[1].vecVolumes[1].strLabel, "PART");
    EXPECT_EQ(list[2].nDiskNo, 3);
    ASSERT_EQ(list[2].vecPartitions.size(), 1u);
    EXPECT_EQ(GetPartitionNameUtf8(list[2].vecPartitions[0]), "Partition 1");
    EXPECT_EQ(list[2].vecVolumes[0].strFileSystem, "FAT16");

    // A loop device is named by the file bound to it.
    twtest::CMounts mounts;
    std::string strWhy;
    const std::string strLoop = mounts.Loop(strCard, true, strWhy);
    if (strLoop.empty()) GTEST_SKIP() << "no loop device can be bound here: " << strWhy;
    ASSERT_TRUE(disks.AddDisk(2, strLoop));
    const std::vector<TW_DISK_INFO> again = ListDisks();
    ASSERT_EQ(again.size(), 4u);
    EXPECT_EQ(again[2].strModel, "card.img");
    EXPECT_EQ(again[2].u64Bytes, 40960u * 1024);
    EXPECT_EQ(again[2].volume.strLabel, "HOLIDAY");
}
