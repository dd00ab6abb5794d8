// The fast FAT engine where it differs from the others (the rest:
// tests/engine/engine_conformance_test.cpp).
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>
#include "fat/FastFatRecovery.h"
#include "support/EngineTree.h"
#include "support/FatImages.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"

namespace {

using twtest::W;

// One scan of an image in a private scan-log folder, and what it lists.
struct ScannedCard {
    explicit ScannedCard(const std::string& strImage) {
        nInit = engine.Init(W(strImage).c_str(), L'C');
        nScan = engine.ScanDevice(nullptr);
        found = twtest::SearchAll(engine);
    }
    const twtest::TreeNode* Find(const std::string& strPath) const {
        for (const twtest::TreeNode& f : found)
            if (f.strPath == strPath) return &f;
        return nullptr;
    }
    ScanLogSandbox sandbox;
    CFastFatRecovery engine;
    unsigned int nInit = 0, nScan = 0;
    std::vector<twtest::TreeNode> found;
};

}  // namespace

// A deleted folder's ".." entries on disk lead up to its level.
TEST(FastFat, TheLevelOfAFolderComesFromItsDotDotEntries) {
    ScannedCard card(FatImagePath("fat16_2k"));
    for (const twtest::TreeNode& n : twtest::BrowseTree(card.engine)) {
        if (n.strPath != "Documents/Old stuff") continue;
        unsigned int nLevel = 0;
        EXPECT_EQ(card.engine._GetRootParentDirIndex(n.node.nDirId, nLevel), 0u);
        EXPECT_EQ(nLevel, 2u);
        return;
    }
    ADD_FAILURE() << "no Old stuff";
}

// A deletion cleared the high word of a first cluster past 65,535.
TEST(FastFat, FindsTheClearedHighWordOfAFirstCluster) {
    CScratchDir work;
    const std::string strImage = work.File("high.img");
    ASSERT_TRUE(CopyFile(FatImagePath("fat32_512"), strImage));
    const long long llEntry = FindAligned(strImage, std::string("\xE5IGHFILEJPG", 11), 32);
    ASSERT_GE(llEntry, 0);
    ASSERT_TRUE(PatchFile(strImage, static_cast<uint64_t>(llEntry) + 20, std::string(2, '\0')));
    ScannedCard card(strImage);
    ASSERT_EQ(card.nScan, 0u);
    const twtest::TreeNode* pHigh = card.Find("HighFile.jpg");
    ASSERT_NE(pHigh, nullptr);
    const std::string strOut = work.File("HighFile.jpg");
    ASSERT_EQ(card.engine.SaveFileData(&pHigh->node, W(strOut).c_str(), 0), 0u);
    EXPECT_EQ(ReadFileBytes(strOut), ReadFatOriginal("fat32_512", "/HighFile.jpg"));
}

// The free runs reported are exactly the clusters no chain uses.
TEST(FastFat, ReportsTheFreeRunsOfTheVolume) {
    ScannedCard card(FatImagePath("fat16_2k"));
    CFastFatRecovery& e = card.engine;
    ASSERT_EQ(e.BuildBitMapInfo(), 0u);
    const uint32_t nCount = e.GetClusterCount();
    std::vector<bool> used(nCount, false);
    for (uint32_t c = 2; c < nCount + 2; ++c) {
        uint32_t nEntry = 0;
        ASSERT_EQ(e.GetNextClusterNO(c, nEntry), 0u);
        if (nEntry != 0) used[c - 2] = true;
        if (nEntry >= 2 && nEntry < nCount + 2) used[nEntry - 2] = true;
    }
    const uint32_t nSpc = e.GetSectorsPerCluster();
    std::vector<bool> reported(nCount, false);
    unsigned long long u64Start = 0, u64Count = 0;
    for (int nRuns = 0; nRuns < 100000; ++nRuns) {
        ASSERT_EQ(e.GetUnUsedSectorCount(u64Start, u64Count), 1u);
        if (u64Count == 0) break;
        ASSERT_GE(u64Start, e.GetFirstDataSector());
        for (unsigned long long s = u64Start; s < u64Start + u64Count; s += nSpc) {
            uint64_t c = (s - e.GetFirstDataSector()) / nSpc;
            ASSERT_LT(c, nCount);
            EXPECT_FALSE(used[c]) << "cluster " << c + 2 << " is in use";
            reported[c] = true;
        }
        u64Start += u64Count;
    }
    for (uint32_t c = 0; c < nCount; ++c) EXPECT_EQ(reported[c], !used[c]) << "cluster " << c + 2;
}

namespace {

uint32_t Le16(const std::string& b, size_t nOff) {
    return static_cast<unsigned char>(b[nOff]) | (static_cast<unsigned char>(b[nOff + 1]) << 8);
}

size_t CountUnder(const std::vector<twtest::TreeNode>& found, const std::string& strPrefix) {
    size_t n = 0;
    for (const twtest::TreeNode& f : found) n += f.strPath.rfind(strPrefix, 0) == 0;
    return n;
}

}  // namespace

// Damaged cards: a status, saves that end, what the damage spared listed once.
TEST(FastFat, DamagedCardsEndWithResultsAndAStatus) {
    const std::string strCard = FatImagePath("fat16_2k");
    const std::string b = ReadFileBytes(strCard).substr(0, 512);
    const uint64_t nBps = Le16(b, 0x0B), nFats = static_cast<unsigned char>(b[0x10]);
    const uint64_t u64Fat = Le16(b, 0x0E) * nBps, u64FatBytes = Le16(b, 0x16) * nBps;
    const uint64_t u64Data = u64Fat + u64FatBytes * nFats + Le16(b, 0x11) * 32ull;
    const uint64_t u64Cluster = static_cast<unsigned char>(b[0x0D]) * nBps;
    std::vector<twtest::TreeNode> intact;
    uint32_t nMany = 0, nDocuments = 0, nFrag = 0;
    {
        ScannedCard card(strCard);
        intact = card.found;
        nFrag = card.Find("Fragmented around a live file.bin")->node.nDirId;
        for (const twtest::TreeNode& n : twtest::BrowseTree(card.engine)) {
            if (n.strPath == "Many") nMany = n.node.nDirId;
            if (n.strPath == "Documents") nDocuments = n.node.nDirId;
        }
    }
    // A FAT16 entry, in every table.
    auto Entry = [&](uint32_t nCluster, uint32_t nValue) {
        std::vector<std::pair<uint64_t, std::string>> patches;
        for (uint64_t i = 0; i < nFats; ++i)
            patches.push_back({u64Fat + i * u64FatBytes + nCluster * 2,
                               {static_cast<char>(nValue & 0xFF), static_cast<char>(nValue >> 8)}});
        return patches;
    };
    // The long directory's chain turns back to its start; the fragmented
    // file's first cluster points at itself.
    const std::string strFat = ReadFileBytes(strCard).substr(u64Fat, u64FatBytes);
    uint32_t nLast = nMany;
    while (Le16(strFat, nLast * 2) >= 2 && Le16(strFat, nLast * 2) < 0xFFF8)
        nLast = Le16(strFat, nLast * 2);
    auto loops = Entry(nLast, nMany);
    for (const auto& p : Entry(nFrag, nFrag)) loops.push_back(p);
    std::string strJunk(u64Cluster, '\0');
    std::mt19937 rng(12345);
    for (char& c : strJunk) c = static_cast<char>(rng());

    const struct {
        const char* szWhat;
        std::vector<std::pair<uint64_t, std::string>> patches;
        uint64_t u64Size;
        std::vector<const char*> spared;  // folders listed as before
        unsigned int nInit;
    } cases[] = {
        {"zeroed tables", {{u64Fat, std::string(u64FatBytes * nFats, '\0')}}, 0, {}, 0},
        {"looping chains", loops, 0, {"Many/"}, 0},
        {"random directory cluster",
         {{u64Data + (nDocuments - 2) * u64Cluster, strJunk}},
         0,
         {"dcim/", "Many/"},
         0},
        {"truncated", {}, u64Data + 64 * 1024, {}, 0},
        {"no boot sector", {{0, std::string(512, '\0')}}, 0, {}, 87},
        {"1,000 bytes", {}, 1000, {}, TW_ERR_SHORT_READ},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szWhat);
        CScratchDir work;
        const std::string strImage = work.File("card.img");
        ASSERT_TRUE(CopyFile(strCard, strImage));
        for (const auto& p : c.patches) ASSERT_TRUE(PatchFile(strImage, p.first, p.second));
        if (c.u64Size) ASSERT_EQ(truncate(strImage.c_str(), static_cast<off_t>(c.u64Size)), 0);
        ScannedCard card(strImage);
        EXPECT_EQ(card.nInit, c.nInit);
        if (c.nInit) EXPECT_NE(card.nScan, 0u);
        if (c.nInit) EXPECT_TRUE(card.found.empty());
        if (c.u64Size) EXPECT_LT(card.found.size(), intact.size());
        for (const char* szDir : c.spared)
            EXPECT_EQ(CountUnder(card.found, szDir), CountUnder(intact, szDir)) << szDir;
        // Directories of one cluster are still read whole without the tables.
        if (c.spared.empty() && !c.nInit && !c.u64Size)
            EXPECT_GE(CountUnder(card.found, "dcim/100canon/"),
                      CountUnder(intact, "dcim/100canon/"));
        twtest::CallbackLog log;
        log.Attach(card.engine);
        int i = 0;
        for (const twtest::TreeNode& f : card.found) {
            const std::string strOut = work.File(std::to_string(i++));
            const unsigned int nRet = card.engine.SaveFileData(&f.node, W(strOut).c_str(), 0);
            EXPECT_TRUE(nRet == 0 || nRet == TW_ERR_SHORT_READ) << f.strPath << ": " << nRet;
            if (f.strPath != "Fragmented around a live file.bin" || c.patches != loops) continue;
            // The loop ends the file after its first cluster, as a short read.
            EXPECT_EQ(nRet, TW_ERR_SHORT_READ);
            EXPECT_EQ(log.vecErrors.back(), static_cast<int>(TW_ERR_SHORT_READ));
            EXPECT_EQ(ReadFileBytes(strOut).size(), u64Cluster);
        }
    }
}
