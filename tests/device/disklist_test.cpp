// What the device page shows: file systems and labels of volumes made by the
// real tools, and every disk with its partitions, numbered per disk.
#include "device/DiskList.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/DiskImage.h"
#include "support/Mounts.h"
#include "support/ScratchDir.h"

namespace {

// A volume image made by a shell command on $IMG, and what it is recognised as.
std::string MakeVolume(const CScratchDir& dir, const std::string& strName,
                       const std::string& strMake, TW_VOLUME_INFO* pInfo = nullptr) {
    const std::string strImage = dir.File(strName);
    EXPECT_EQ(twtest::RunCommand("IMG=" + twtest::ShellQuote(strImage) + "; (" + strMake +
                                 ") >/dev/null 2>&1"),
              0)
        << strMake;
    const int fd = open(strImage.c_str(), O_RDONLY | O_CLOEXEC);
    if (pInfo) RecognizeVolumeAt(fd, 0, *pInfo);
    close(fd);
    return strImage;
}

}  // namespace

TEST(VolumeInfo, FileSystemsAndLabelsOfRealVolumes) {
    CScratchDir dir;
    const char* const cases[][3] = {
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
    for (const auto& c : cases) {
        TW_VOLUME_INFO info;
        MakeVolume(dir, "v" + std::to_string(&c - cases), c[0], &info);
        EXPECT_EQ(std::to_string(info.bReadable) + info.strFileSystem + "/" + info.strLabel,
                  std::string("1") + c[1] + "/" + c[2]);
    }
}

TEST(DiskList, EveryDiskWithItsVolumesAndPartitionsNumberedPerDisk) {
    CScratchDir dir;
    twtest::TempDiskDir disks;
    // disk0: a card formatted without a partition table, boot code over the
    // slots; disk1, disk3: partitioned; disk2: a loop device bound to the card.
    const std::string strCard =
        MakeVolume(dir, "card.img", "mkfs.fat -C \"$IMG\" 40960 -F 32 -n HOLIDAY");
    const unsigned char code[64] = {0x0D, 0x0A, 'R', 'e', 'm', 'o', 'v', 'e', 0x20, 0x64, 0x69};
    ASSERT_TRUE(twtest::WriteAt(strCard, 446, code, sizeof(code)));
    twtest::Volume fat16, blank;
    fat16.strSourceImage = MakeVolume(dir, "p.img", "mkfs.fat -C \"$IMG\" 8192 -F 16 -s 1 -n PART");
    blank.u64Sectors = 4096;
    ASSERT_TRUE(twtest::WriteMbrDisk(dir.File("two.img"), {blank, fat16}, {}, nullptr));
    ASSERT_TRUE(twtest::WriteMbrDisk(dir.File("one.img"), {fat16}, {}, nullptr));
    twtest::CMounts mounts;
    std::string strLoop;
    ASSERT_FALSE(mounts.Loop(strCard, true, strLoop).empty()) << strLoop;
    for (const auto& [nDisk, strImage] :
         {std::pair{0, strCard}, {1, dir.File("two.img")}, {2, strLoop}, {3, dir.File("one.img")}})
        ASSERT_TRUE(disks.AddDisk(nDisk, strImage));
    std::vector<std::string> lines;
    for (const TW_DISK_INFO& d : ListDisks()) {
        lines.push_back(std::to_string(d.nDiskNo) + " " + d.strModel + " " +
                        std::to_string(d.u64Bytes) + (d.bRemovable ? " removable " : " ") +
                        d.volume.strFileSystem + "/" + d.volume.strLabel);
        for (size_t i = 0; i < d.vecPartitions.size(); ++i)
            lines.back() += ", " + GetPartitionNameUtf8(d.vecPartitions[i]) + " " +
                            d.vecVolumes[i].strFileSystem + "/" + d.vecVolumes[i].strLabel;
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "0 card.img 41943040 FAT32/HOLIDAY",
                         "1 two.img 11534336 /, Partition 1 /, Partition 2 FAT16/PART",
                         "2 card.img 41943040 FAT32/HOLIDAY",
                         "3 one.img 9437184 /, Partition 1 FAT16/PART"}));
}
