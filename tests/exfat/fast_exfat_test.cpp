// The fast exFAT engine, made by the factory, on the cards of
// tests/fixtures/build_exfat.py: listing and byte-for-byte recovery on four
// geometries, a folder saved whole, free runs against dump.exfat's count, and
// damaged copies of a card.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "common/ByteOrder.h"
#include "common/Platform.h"
#include "deepscan/FileRecoveryFactory.h"
#include "exfat/FastExFatRecovery.h"
#include "support/DiskImage.h"
#include "support/FatImages.h"
#include "support/Fixtures.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"

namespace {

std::wstring Wide(const std::string& str) {
    return tw::Utf8ToWide(str.c_str());
}

// A card scanned in a private scan-log folder, through the factory: as an
// image file, or as partition 1 of an MBR disk "/dev/disk0" (sfdisk type 7).
// Every record by its listed path (folders end in '/'), reached by browsing as
// the result browser does.
struct Scanned {
    Scanned(const std::string& strImage, bool bAsPartition) {
        CFileRecoveryFactory& factory = CFileRecoveryFactory::GetInstance();
        std::vector<twtest::Placed> placed;
        twtest::Volume volume;
        volume.strSourceImage = strImage;
        volume.nMbrType = 0x07;
        strSource = bAsPartition ? disks.Path() + "/disk.img" : strImage;
        if (!bAsPartition) {
            pEngine.reset(factory.CreateFileRecoveryInstance(Wide(strImage).c_str(), L'C', 0));
        } else if (twtest::WriteMbrDisk(strSource, {volume}, {}, &placed) &&
                   disks.AddDisk(0, strSource)) {
            pEngine.reset(factory.CreateFileRecoveryInstance(0, placed[0].u64StartSector,
                                                             placed[0].u64Sectors, L'C', 0));
        }
        pExFat = dynamic_cast<CFastExFatRecovery*>(pEngine.get());
        strBefore = twtest::Sha1OfFile(strSource);
        if (!pExFat) return;
        nScan = pExFat->ScanDevice(nullptr);
        Browse(nullptr, 0, "");
    }
    void Browse(const _FILE_NODE_* pDir, unsigned int nLevel, const std::string& strPrefix) {
        std::vector<_FILE_NODE_> children;
        ASSERT_EQ(pExFat->GetChildrenFileNode(pDir, nLevel, children), 0u);
        ASSERT_LT(nLevel, 16u);
        for (const _FILE_NODE_& child : children) {
            const std::string strPath =
                strPrefix + tw::NarrowToUtf8(child.szFileName) + (child.bIsDir ? "/" : "");
            auto it = all.insert({strPath, child});
            if (child.bIsDir) Browse(&it->second, nLevel + 1, strPath);
            if (!child.bIsDir) files.insert(strPath);
        }
    }
    // Saves a record to a target path and reads back what was written.
    std::string Save(const _FILE_NODE_& node, const std::string& strTarget, int nOffset = 0) {
        pExFat->SaveFileData(&node, Wide(strTarget).c_str(), nOffset);
        return ReadFileBytes(strTarget);
    }
    ScanLogSandbox sandbox;
    twtest::TempDiskDir disks;
    std::string strSource, strBefore;
    std::unique_ptr<IFileRecoveryParse> pEngine;
    CFastExFatRecovery* pExFat = nullptr;
    unsigned int nScan = ~0u;
    std::multimap<std::string, _FILE_NODE_> all;
    std::multiset<std::string> files;
};

class ExFatCards : public ::testing::TestWithParam<std::string> {};

}  // namespace

// Every deleted file is listed under its folders with its full name and comes
// back byte for byte (zeros past the valid data); nothing live is listed; a
// deleted folder is saved whole; the free runs are the bitmap's free clusters;
// the disk is not written to.
TEST_P(ExFatCards, ListsAndRecoversEveryDeletedFileByteForByte) {
    const std::string strImage = twtest::FixtureImage(GetParam());
    {
        Scanned card(strImage, true);
        ASSERT_EQ(card.nScan, 0u);
        EXPECT_EQ(card.pExFat->GetDamagedSetCount(), 0u);
        const std::multiset<std::string> expected = FatListedPaths(GetParam());
        EXPECT_EQ(card.files, expected);

        CScratchDir out;
        int n = 0;
        for (const FatManifestRow& row : LoadFatManifest(GetParam())) {
            if (row.strStatus != "deleted") continue;
            auto it = card.all.find(row.strListed);
            ASSERT_NE(it, card.all.end()) << row.strListed;
            EXPECT_EQ(it->second.bDataHealth, 1u) << row.strListed;
            EXPECT_EQ(card.Save(it->second, out.File(std::to_string(n++))),
                      ReadFileBytes(row.strOriginal))
                << row.strListed;
        }
        // Written 2024-05-17 13:45 at UTC+2: 11:45 UTC, in 100 ns steps since 1601.
        const _FILE_NODE_& doc = card.all.find("Documents/Résumé ünïcödé 日本語.txt")->second;
        const uint64_t u64Minute = ((uint64_t{doc.ftLastWriteTime.dwHighDateTime} << 32) |
                                    doc.ftLastWriteTime.dwLowDateTime) /
                                   600000000ull;
        EXPECT_EQ(u64Minute, (1715946300ull + 11644473600ull) / 60);
        // "Old stuff" is opened at level 2 (top 0, Documents 1).
        auto old = card.all.find("Documents/Old stuff/");
        ASSERT_NE(old, card.all.end());
        EXPECT_EQ(old->second.bIsDeleted, 1u);
        const std::string strTarget = out.File("Old stuff");
        card.Save(old->second, strTarget,
                  static_cast<int>(std::count(strTarget.begin(), strTarget.end(), '/')) - 2);
        for (std::string strFile : {"Letter to Zoë.txt", "Deeper level/data.bin"})
            EXPECT_EQ(ReadFileBytes(strTarget + "/" + strFile),
                      ReadFatOriginal(GetParam(), "Documents/Old stuff/" + strFile));

        // The free runs add up to the free clusters dump.exfat counts.
        unsigned long long u64Start = 0, u64Run = 0, u64Free = 0;
        for (; card.pExFat->GetUnUsedSectorCount(u64Start, u64Run) && u64Run; u64Start += u64Run)
            u64Free += u64Run * card.pExFat->GetBytesPerSector();
        std::string strFree;
        twtest::RunCommand("dump.exfat " + twtest::ShellQuote(strImage) +
                               " | awk -F: '/Free Clusters/ { print $2 }'",
                           &strFree);
        EXPECT_EQ(u64Free, std::stoull(strFree) * card.pExFat->GetClusterBytes());
        EXPECT_EQ(twtest::Sha1OfFile(card.strSource), card.strBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, ExFatCards,
                         ::testing::Values("exfat_4k", "exfat_32k", "exfat_128k", "exfat_s4k"));

// Damaged copies of a card (512-byte sectors, 4 KiB clusters): each scan ends
// with a status and what could be found, and every listed file can be saved.
TEST(FastExFat, DamagedCardsEndWithResultsAndAStatus) {
    const size_t nAll = FatListedPaths("exfat_4k").size();
    std::vector<unsigned char> boot;
    ASSERT_TRUE(twtest::ReadFileBytes(twtest::FixtureImage("exfat_4k"), boot, 512));
    const long long llFat = Le32(&boot[80]) * 512ll, llBitmap = Le32(&boot[88]) * 512ll;
    std::string strLoops;  // every FAT entry leads back to its own cluster
    for (uint32_t i = 0; i < 4096; ++i) strLoops += {char(i), char(i >> 8), 0, 0};
    const std::string strHoliday("\x41\0H\0o\0l\0i\0d\0a\0y", 16);  // a deleted name
    const struct {
        const char* szWhat;
        std::vector<std::pair<long long, std::string>> patches;
        long long llSize;
        unsigned int nScan;
        bool bBackup;
        size_t nMinFiles, nMaxFiles;
    } cases[] = {
        {"main boot sector", {{100, "X"}}, 0, 0, true, nAll, nAll},
        {"both boot regions", {{100, "X"}, {12 * 512 + 100, "X"}}, 0, 87, false, 0, 0},
        {"set checksum", {{-1, "X"}}, 0, 0, false, nAll - 1, nAll - 1},
        {"wiped bitmap", {{llBitmap, std::string(512, '\0')}}, 0, 0, false, nAll, nAll},
        {"looping chains", {{llFat, strLoops}}, 0, 0, false, 1, nAll},
        {"truncated", {}, (2 << 20) + 40 * 1024, 0, false, 1, nAll - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szWhat);
        CScratchDir out;
        const std::string strCopy = out.File("card.img");
        ASSERT_TRUE(CopyFile(twtest::FixtureImage("exfat_4k"), strCopy));
        for (const auto& p : c.patches)
            PatchFile(strCopy, p.first >= 0 ? p.first : FindAligned(strCopy, strHoliday, 32) + 4,
                      p.second);
        if (c.llSize) ASSERT_EQ(truncate(strCopy.c_str(), c.llSize), 0);
        Scanned card(strCopy, false);
        ASSERT_TRUE(card.pExFat);
        EXPECT_EQ(card.nScan, c.nScan);
        EXPECT_EQ(card.pExFat->UsedBackupBootRegion(), c.bBackup);
        EXPECT_GE(card.files.size(), c.nMinFiles);
        EXPECT_LE(card.files.size(), c.nMaxFiles);
        int n = 0;
        for (const auto& e : card.all)
            if (!e.second.bIsDir) card.Save(e.second, out.File(std::to_string(n++)));
    }
}
