// The one disk-image helper whose output a real tool can read back: the MBR
// writer's table is the one sfdisk reports, and each volume lies where the
// helper says (the Apple map is checked through partition discovery only).
#include <gtest/gtest.h>

#include <vector>
#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/RunTool.h"

TEST(DiskImage, SfdiskReadsTheMbrWriterAsPlaced) {
    ASSERT_FALSE(twtest::FindTool("sfdisk").empty());
    CScratchDir dir;
    std::vector<twtest::Volume> primaries(2), logicals(2);
    primaries[0].strSourceImage = twtest::FixtureImage("fat12");
    primaries[1].u64Sectors = 1000;
    logicals[0].strSourceImage = twtest::FixtureImage("fat16");
    logicals[1].strSourceImage = twtest::FixtureImage("ext4");
    std::vector<twtest::Placed> placed;
    std::string strError;
    ASSERT_TRUE(twtest::WriteMbrDisk(dir.File("d.img"), primaries, logicals, &placed, &strError))
        << strError;
    const std::vector<twtest::ToolPartition> layout = twtest::SfdiskLayout(dir.File("d.img"));
    ASSERT_EQ(layout.size(), placed.size());
    std::vector<unsigned char> disk;
    ASSERT_TRUE(twtest::ReadFileBytes(dir.File("d.img"), disk));
    for (size_t i = 0; i < placed.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(layout[i].u64Start, placed[i].u64StartSector);
        EXPECT_EQ(layout[i].u64End, placed[i].u64StartSector + placed[i].u64Sectors - 1);
        const std::string& strSource = (i < 2 ? primaries[i] : logicals[i - 2]).strSourceImage;
        if (strSource.empty()) continue;
        std::vector<unsigned char> src;
        ASSERT_TRUE(twtest::ReadFileBytes(strSource, src));
        ASSERT_LE(placed[i].u64StartSector * 512 + src.size(), disk.size());
        EXPECT_TRUE(
            std::equal(src.begin(), src.end(), disk.begin() + placed[i].u64StartSector * 512));
    }
}
