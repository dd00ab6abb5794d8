// The fast exFAT engine where it differs from the others (the rest:
// tests/engine/engine_conformance_test.cpp).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>
#include "common/ByteOrder.h"
#include "deepscan/FileRecoveryFactory.h"
#include "exfat/FastExFatRecovery.h"
#include "support/EngineTree.h"
#include "support/FatImages.h"
#include "support/Fixtures.h"
#include "support/ParamName.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"

namespace {

// A card scanned through the factory, and its files by path.
struct Scanned {
    explicit Scanned(const std::string& strImage) {
        pEngine.reset(CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
            twtest::W(strImage).c_str(), L'C', 0));
        pExFat = dynamic_cast<CFastExFatRecovery*>(pEngine.get());
        if (!pExFat) return;
        nScan = pExFat->ScanDevice(nullptr);
        for (const twtest::TreeNode& n : twtest::BrowseTree(*pExFat))
            if (!n.node.bIsDir) files.insert({n.strPath, n});
    }
    ScanLogSandbox sandbox;
    std::unique_ptr<IFileRecoveryParse> pEngine;
    CFastExFatRecovery* pExFat = nullptr;
    unsigned int nScan = ~0u;
    std::multimap<std::string, twtest::TreeNode> files;
};

class ExFatCards : public ::testing::TestWithParam<std::string> {};

}  // namespace

// Intact sets, times in their zone, free runs as dump.exfat counts them.
TEST_P(ExFatCards, TimesAndFreeRunsAreTheCardOwn) {
    const std::string strImage = twtest::FixtureImage(GetParam());
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    {
        Scanned card(strImage);
        ASSERT_EQ(card.nScan, 0u);
        EXPECT_EQ(card.pExFat->GetDamagedSetCount(), 0u);
        // Written 2024-05-17 13:45 at UTC+2: 11:45 UTC, in 100 ns steps since 1601.
        auto doc = card.files.find("Documents/Résumé ünïcödé 日本語.txt");
        ASSERT_NE(doc, card.files.end());
        const _FILETIME& ft = doc->second.node.ftLastWriteTime;
        const uint64_t u64Minute =
            ((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime) / 600000000ull;
        EXPECT_EQ(u64Minute, (1715946300ull + 11644473600ull) / 60);

        ASSERT_EQ(card.pExFat->BuildBitMapInfo(), 0u);
        unsigned long long u64Start = 0, u64Run = 0, u64Free = 0;
        for (; card.pExFat->GetUnUsedSectorCount(u64Start, u64Run) && u64Run; u64Start += u64Run)
            u64Free += u64Run * 512;
        std::string strFree;
        twtest::RunCommand("dump.exfat " + twtest::ShellQuote(strImage) +
                               " | awk -F: '/Free Clusters/ { print $2 }'",
                           &strFree);
        EXPECT_EQ(u64Free, std::stoull(strFree) * card.pExFat->GetClusterBytes());
    }
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

INSTANTIATE_TEST_SUITE_P(Geometries, ExFatCards,
                         ::testing::Values("exfat_4k", "exfat_32k", "exfat_128k", "exfat_s4k"),
                         twtest::ParamName());

// Damaged cards: each scan ends with a status and files that can be saved.
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
        Scanned card(strCopy);
        ASSERT_TRUE(card.pExFat);
        EXPECT_EQ(card.nScan, c.nScan);
        EXPECT_EQ(card.pExFat->UsedBackupBootRegion(), c.bBackup);
        EXPECT_GE(card.files.size(), c.nMinFiles);
        EXPECT_LE(card.files.size(), c.nMaxFiles);
        int n = 0;
        for (const auto& f : card.files)
            card.pExFat->SaveFileData(&f.second.node,
                                      twtest::W(out.File(std::to_string(n++))).c_str(), 0);
    }
}
