// Partition discovery over disk images presented through TARNWICK_DISK_DIR:
// tables written by sfdisk and sgdisk, an Apple partition map and damaged
// tables written here byte by byte.
#include "device/PartitionManager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "support/DiskImage.h"
#include "support/Mounts.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"

namespace {

using twtest::WriteBootRecord;
using Expected = twtest::ToolPartition;

// Disk images in a scratch folder, presented as the logical disks through
// TARNWICK_DISK_DIR while the object lives.
class DiskDir {
public:
    std::string Image(int nDiskNo) const {
        return m_images.File("disk" + std::to_string(nDiskNo) + ".img");
    }
    // Presents the image of disk N (made by the caller).
    void Present(int nDiskNo) { EXPECT_TRUE(m_disks.AddDisk(nDiskNo, Image(nDiskNo))); }
    // A sparse image of the given size, presented as disk N.
    std::string NewDisk(int nDiskNo, long long llBytes) {
        EXPECT_TRUE(twtest::CreateSparseFile(Image(nDiskNo), llBytes));
        Present(nDiskNo);
        return Image(nDiskNo);
    }

private:
    CScratchDir m_images;
    twtest::TempDiskDir m_disks;
};

// An Apple partition map of blank volumes with these names and sizes, presented
// as disk N; pPlaced gets where each volume's data lies.
void ApmDisk(DiskDir& dir, int nDiskNo, const std::vector<std::pair<std::string, uint64_t>>& vols,
             std::vector<twtest::Placed>* pPlaced = nullptr, uint32_t nDataStart = 0) {
    std::vector<twtest::Volume> volumes(vols.size());
    for (size_t i = 0; i < vols.size(); ++i) {
        volumes[i].strName = vols[i].first;
        volumes[i].u64Sectors = vols[i].second;
        volumes[i].nApmDataStart = nDataStart;
    }
    std::string strError;
    ASSERT_TRUE(twtest::WriteApmDisk(dir.Image(nDiskNo), volumes, pPlaced, &strError)) << strError;
    dir.Present(nDiskNo);
}

// Sets the entry count (big-endian) that every map entry of an Apple map carries.
void SetApmCount(const std::string& strPath, int nEntries, uint32_t nCount) {
    const uint32_t nBigEndian = htonl(nCount);
    for (int i = 0; i < nEntries; ++i)
        ASSERT_TRUE(twtest::WriteAt(strPath, 512 * (1 + i) + 4, &nBigEndian, 4));
}

void ExpectItems(const std::vector<_PARTITION_ITEM_>& items, int nDiskNo,
                 const std::vector<Expected>& expected) {
    ASSERT_EQ(items.size(), expected.size()) << "disk " << nDiskNo;
    const std::string strDisk = "/dev/disk" + std::to_string(nDiskNo);
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE("disk " + std::to_string(nDiskNo) + " item " + std::to_string(i));
        EXPECT_EQ(items[i].u64StartSector, expected[i].u64Start);
        EXPECT_EQ(items[i].u64EndSector, expected[i].u64End);
        EXPECT_EQ(GetPartitionNameUtf8(items[i]), expected[i].strName);
        EXPECT_EQ(items[i].nDiskNo, nDiskNo);
        EXPECT_STREQ(items[i].szDiskName, strDisk.c_str());
    }
}

// What sfdisk reports for an MBR disk, named "Partition 1", "Partition 2", ...
std::vector<Expected> SfdiskLayout(const std::string& strImage) {
    std::vector<Expected> out = twtest::SfdiskLayout(strImage);
    EXPECT_FALSE(out.empty());
    int nCounter = 1;
    for (Expected& e : out) e.strName = "Partition " + std::to_string(nCounter++);
    return out;
}

std::map<int, std::vector<_PARTITION_ITEM_>> Enumerate() {
    CPartitionManager manager;
    std::map<int, std::vector<_PARTITION_ITEM_>> items;
    EXPECT_TRUE(manager.GetPartitionItems(items));
    return items;
}

}  // namespace

TEST(PartitionManager, TablesOfRealToolsAcrossSeveralDisks) {
    DiskDir dir;
    // disk0: two primaries, an extended partition with three logicals, one more primary.
    std::string strMbr = dir.NewDisk(0, 64 << 20);
    ASSERT_TRUE(twtest::Sfdisk(strMbr, "label: dos\n2048,4096,83\n,8192,b\n,40000,5\n,,83\n"));
    ASSERT_TRUE(twtest::Sfdisk(strMbr, ",4096,83\n,4096,7\n,,83\n", "--append"));  // logicals
    // disk1: GPT with named partitions, one name outside ASCII.
    std::string strGpt = dir.NewDisk(1, 32 << 20);
    ASSERT_TRUE(twtest::Sgdisk(strGpt,
                               "-n 1:2048:+1M -c 1:'EFI system' -n 2:0:+2M -c 2:'Donn\xc3\xa9"
                               "es' -n 3:0:+3M -c 3:backup"));
    // disk2: Apple partition map; its own entry comes first.
    std::vector<twtest::Placed> apm;
    ApmDisk(dir, 2, {{"Macintosh HD", 8000}, {"Scratch", 4000}}, &apm, 16);
    ASSERT_EQ(apm.size(), 2u);
    // disk3: three primaries and a logical whose chain is relative to this disk's
    // extended partition; numbered from 1 again.
    std::string strMbr2 = dir.NewDisk(3, 16 << 20);
    ASSERT_TRUE(twtest::Sfdisk(strMbr2, "label: dos\n2048,2048,c\n,8192,5\n,2048,83\n,,83\n"));
    ASSERT_TRUE(twtest::Sfdisk(strMbr2, ",,83\n", "--append"));
    // disk5: no partition scheme; disk6: a boot record without entries.
    std::vector<unsigned char> noise = PatternBytes(8192);
    ASSERT_TRUE(twtest::WriteAt(dir.NewDisk(5, 1 << 20), 0, noise.data(), noise.size()));
    dir.NewDisk(6, 1 << 20);
    WriteBootRecord(dir.Image(6), 0, {});

    std::vector<Expected> mbr = SfdiskLayout(strMbr);
    std::vector<Expected> mbr2 = SfdiskLayout(strMbr2);
    ASSERT_EQ(mbr.size(), 6u);  // the extended container itself is not listed
    ASSERT_EQ(mbr2.size(), 4u);

    auto items = Enumerate();
    ASSERT_EQ(items.size(), 4u);
    ExpectItems(items[0], 0, mbr);
    ExpectItems(items[1], 1, twtest::SgdiskLayout(strGpt));
    ExpectItems(
        items[2], 2,
        {{1, 63, "Apple"},
         {apm[0].u64StartSector, apm[0].u64StartSector + apm[0].u64Sectors - 1, "Macintosh HD"},
         {apm[1].u64StartSector, apm[1].u64StartSector + apm[1].u64Sectors - 1, "Scratch"}});
    ExpectItems(items[3], 3, mbr2);  // none for disks 5 and 6

    // A second enumeration numbers from 1 again.
    auto again = Enumerate();
    EXPECT_EQ(GetPartitionNameUtf8(again[0][0]), "Partition 1");
}

TEST(PartitionManager, GptListsEveryEntryTheHeaderNames) {
    DiskDir dir;
    // disk0: 30 entries, more than fit in the first 4,096 bytes.
    std::string strArgs = "-a 8";
    for (int i = 1; i <= 30; ++i) {
        strArgs += " -n " + std::to_string(i) + ":0:+64K -c " + std::to_string(i) + ":part" +
                   std::to_string(i);
    }
    const std::string strMany = dir.NewDisk(0, 64 << 20);
    ASSERT_TRUE(twtest::Sgdisk(strMany, strArgs));
    // disk1: entries 5 and 30 used, the others empty.
    const std::string strHoles = dir.NewDisk(1, 16 << 20);
    ASSERT_TRUE(twtest::Sgdisk(strHoles, "-n 5:2048:+1M -n 30:8192:+1M"));
    // disk2: 256 entries whose array lies at sector 4,096, entry 200 used.
    const std::string strMoved = dir.NewDisk(2, 16 << 20);
    ASSERT_TRUE(twtest::Sgdisk(strMoved, "-S 256 -j 4096 -n 200:8192:+1M -c 200:far"));
    // disk3: the primary header wiped; disk4: the primary entries damaged.
    // Both are read from the backup header at the disk's end.
    const std::string strNoPrimary = dir.NewDisk(3, 16 << 20);
    const std::string strBadEntries = dir.NewDisk(4, 16 << 20);
    for (const std::string& str : {strNoPrimary, strBadEntries})
        ASSERT_TRUE(twtest::Sgdisk(str, "-n 1:2048:+1M -c 1:one -n 3:8192:+2M -c 3:three"));
    const std::vector<Expected> backed = twtest::SgdiskLayout(strNoPrimary);
    const std::vector<unsigned char> zero(512, 0), junk(128, 0x5A);
    ASSERT_TRUE(twtest::WriteAt(strNoPrimary, 512, zero.data(), zero.size()));
    ASSERT_TRUE(twtest::WriteAt(strBadEntries, 1024, junk.data(), junk.size()));

    std::vector<Expected> many = twtest::SgdiskLayout(strMany);
    ASSERT_EQ(many.size(), 30u);
    ASSERT_EQ(backed.size(), 2u);
    auto items = Enumerate();
    ExpectItems(items[0], 0, many);
    const std::vector<Expected> holes = twtest::SgdiskLayout(strHoles);
    ASSERT_EQ(holes.size(), 2u);
    EXPECT_EQ(holes[1].u64Start, 8192u);
    ExpectItems(items[1], 1, holes);
    ExpectItems(items[2], 2, {{8192, 10239, "far"}});
    ExpectItems(items[3], 3, backed);
    ExpectItems(items[4], 4, backed);
}

// Disks of 4,096-byte logical sectors, partitioned by sgdisk through a loop
// device of that sector size: the header at byte 4,096, the entries at LBA 2
// of 4,096 bytes. Partitions come back in 512-byte sectors; a disk whose
// primary header is wiped is read from its backup in its last 4,096 bytes.
TEST(PartitionManager, GptOfADiskOf4096ByteSectors) {
    DiskDir dir;
    {
        twtest::CMounts loops;
        for (int nDisk : {0, 1}) {
            std::string strWhy;
            const std::string strLoop =
                loops.Loop(dir.NewDisk(nDisk, 16 << 20), false, strWhy, 4096);
            ASSERT_FALSE(strLoop.empty()) << strWhy;
            ASSERT_TRUE(
                twtest::Sgdisk(strLoop, "-n 1:256:+1M -c 1:'four k' -n 3:1024:+2M -c 3:third"));
        }
    }
    const std::vector<unsigned char> zero(512, 0);
    ASSERT_TRUE(twtest::WriteAt(dir.Image(1), 4096, zero.data(), zero.size()));
    auto items = Enumerate();
    const std::vector<Expected> want = {{2048, 4095, "four k"}, {8192, 12287, "third"}};
    ExpectItems(items[0], 0, want);
    ExpectItems(items[1], 1, want);
}

TEST(PartitionManager, LoopingChainsEnd) {
    DiskDir dir;
    // disk0: EBR A links to B, B links back to A.
    std::string strLoop = dir.NewDisk(0, 8 << 20);
    WriteBootRecord(strLoop, 0, {{0x0C, 2048, 100}, {0x0F, 4096, 8192}});
    WriteBootRecord(strLoop, 4096, {{0x83, 63, 10}, {0x05, 1000, 100}});
    WriteBootRecord(strLoop, 5096, {{0x83, 63, 20}, {0x05, 0, 100}});
    // disk1: an EBR that links to itself, and an MBR slot that points back at sector 0.
    std::string strSelf = dir.NewDisk(1, 8 << 20);
    WriteBootRecord(strSelf, 0, {{0x05, 0, 10}, {0x05, 4096, 100}, {0x07, 2048, 50}});
    WriteBootRecord(strSelf, 4096, {{0x05, 0, 100}, {0x83, 63, 30}});
    auto items = Enumerate();
    ExpectItems(
        items[0], 0,
        {{2048, 2147, "Partition 1"}, {4159, 4168, "Partition 2"}, {5159, 5178, "Partition 3"}});
    ExpectItems(items[1], 1, {{4159, 4188, "Partition 1"}, {2048, 2097, "Partition 2"}});
}

TEST(PartitionManager, SlotRulesOfTheBootRecord) {
    DiskDir dir;
    // Two primaries, an empty third slot and a used fourth slot.
    std::string strA = dir.NewDisk(0, 4 << 20);
    WriteBootRecord(strA, 0, {{0x0C, 2048, 100}, {0x83, 4096, 100}, {0, 0, 0}, {0x83, 6000, 10}});
    // A slot of type 0 with a start sector is still a partition.
    std::string strB = dir.NewDisk(1, 4 << 20);
    WriteBootRecord(strB, 0, {{0x00, 2048, 16}});
    // An extended boot record past the end of the disk ends that branch only.
    std::string strC = dir.NewDisk(2, 4 << 20);
    WriteBootRecord(strC, 0, {{0x05, 900000, 100}, {0x83, 2048, 8}});
    // An empty first slot, a FAT partition in the second.
    std::string strD = dir.NewDisk(3, 4 << 20);
    WriteBootRecord(strD, 0, {{0, 0, 0}, {0x0C, 2048, 100}});
    auto items = Enumerate();
    ExpectItems(
        items[0], 0,
        {{2048, 2147, "Partition 1"}, {4096, 4195, "Partition 2"}, {6000, 6009, "Partition 3"}});
    ExpectItems(items[1], 1, {{2048, 2063, "Partition 1"}});
    ExpectItems(items[2], 2, {{2048, 2055, "Partition 1"}});
    ExpectItems(items[3], 3, {{2048, 2147, "Partition 1"}});
}

TEST(PartitionManager, ShortOrDamagedDisksYieldNothingAndApmNamesAreCut) {
    DiskDir dir;
    // Fewer than 4,096 bytes: the read of the table fails.
    std::string strShort = dir.NewDisk(0, 2048);
    WriteBootRecord(strShort, 0, {{0x83, 1, 2}});
    // An Apple map claiming 129 entries (entries past the disk's end: the
    // partition-table fuzz target).
    ApmDisk(dir, 1, {{"A", 10}});
    SetApmCount(dir.Image(1), 2, 129);
    // An extended slot whose boot record is cut short keeps the partitions before it.
    std::string strEnd = dir.NewDisk(3, 2 << 20);
    WriteBootRecord(strEnd, 0, {{0x83, 2048, 8}, {0x05, 4094, 10}});
    // An Apple name fills its 32 bytes: cut there, UTF-16, the byte above
    // ASCII marked as unreadable.
    ApmDisk(dir, 4, {{"Caf\xe9 \x01 long name that fills all thirty-two bytes", 10}});
    auto items = Enumerate();
    EXPECT_EQ(items.count(0), 0u);
    EXPECT_EQ(items.count(1), 0u);
    ExpectItems(items[3], 3, {{2048, 2055, "Partition 1"}});
    ASSERT_EQ(items[4].size(), 2u);
    EXPECT_EQ(GetPartitionNameUtf8(items[4][0]), "Apple");
    EXPECT_EQ(GetPartitionNameUtf8(items[4][1]), "Caf\xef\xbf\xbd \x01 long name that fills all ");
    EXPECT_EQ(items[4][1].szPartitionName[32], 0);

    DiskDir empty;  // no disks: no items
    EXPECT_TRUE(Enumerate().empty());
}
