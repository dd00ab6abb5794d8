#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "engine/Categories.h"
#include "engine/FileRecoveryFactory.h"
#include "fat/FastFatRecovery.h"
#include "support/FatImages.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"

namespace {

struct Found {
    _FILE_NODE_ node;
    std::string strPath;  // listed path, UTF-8
};

std::wstring Wide(const std::string& strUtf8) {
    return tw::Utf8ToWide(strUtf8.c_str());
}

std::string ListedPath(CFastFatRecovery& engine, const _FILE_NODE_& node) {
    wchar_t wszParent[1024] = {0};
    EXPECT_EQ(engine.GetFileNodeParentDirPath(&node, wszParent, 1024), 0u);
    return tw::WideToUtf8(wszParent) + tw::NarrowToUtf8(node.szFileName);
}

std::vector<Found> ListAll(CFastFatRecovery& engine) {
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(engine.SearchFileNode(BuildCategoryFilterW(TW_CATEGORY_ALL).c_str(), hits), 0u);
    std::vector<Found> found;
    for (const __SEARCH_FILE_INFO__& hit : hits) found.push_back({hit, ListedPath(engine, hit)});
    return found;
}

const Found* FindListed(const std::vector<Found>& found, const std::string& strPath) {
    for (const Found& f : found)
        if (f.strPath == strPath) return &f;
    return nullptr;
}

// One scan of an image in a private scan-log folder.
struct ScannedCard {
    explicit ScannedCard(const std::string& strImage) {
        nInit = engine.Init(Wide(strImage).c_str(), L'C');
        nScan = engine.ScanDevice(nullptr);
    }
    ScanLogSandbox sandbox;
    CFastFatRecovery engine;
    unsigned int nInit = 0;
    unsigned int nScan = 0;
};

struct RecoveryLog {
    std::vector<int> vecPercent;
    std::vector<int> vecError;
    int nCancelAfter = -1;  // calls after which to answer "cancel"
};
int LogRecovery(void* pContext, int nPercent, int nScale, int nError, wchar_t*) {
    RecoveryLog* pLog = static_cast<RecoveryLog*>(pContext);
    EXPECT_EQ(nScale, 100);
    pLog->vecPercent.push_back(nPercent);
    pLog->vecError.push_back(nError);
    if (pLog->nCancelAfter >= 0 && static_cast<int>(pLog->vecPercent.size()) >= pLog->nCancelAfter)
        return static_cast<int>(TW_ERR_CANCELLED);
    return 0;
}

unsigned int SaveTo(CFastFatRecovery& engine, const _FILE_NODE_& node, const std::string& strPath,
                    int nLevelOffset = 0) {
    return engine.SaveFileData(&node, Wide(strPath).c_str(), nLevelOffset);
}

std::string NodeName(const _FILE_NODE_& node) {
    return tw::NarrowToUtf8(node.szFileName);
}

// Walks the browsing tree from the top, as the result browser does, and
// returns every file path met.
void Browse(CFastFatRecovery& engine, const _FILE_NODE_* pDir, unsigned int nLevel,
            const std::string& strPrefix, std::multiset<std::string>& paths, int nDepth = 0) {
    ASSERT_LT(nDepth, 16);
    std::vector<_FILE_NODE_> children;
    ASSERT_EQ(engine.GetChildrenFileNode(pDir, nLevel, children), 0u);
    for (const _FILE_NODE_& child : children) {
        if (child.bIsDir) {
            Browse(engine, &child, nLevel + 1, strPrefix + NodeName(child) + "/", paths,
                   nDepth + 1);
        } else {
            paths.insert(strPrefix + NodeName(child));
        }
    }
}

class FatCards : public ::testing::TestWithParam<std::string> {};

}  // namespace

// Every deleted file is listed under its folder with its name and comes back
// byte for byte; nothing live is listed; the card is not written to.
TEST_P(FatCards, ListsAndRecoversEveryDeletedFile) {
    const std::string strImage = FatImagePath(GetParam());
    const std::vector<FatManifestRow> rows = LoadFatManifest(GetParam());
    ASSERT_FALSE(rows.empty()) << "no manifest for " << GetParam();
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    {
        ScannedCard card(strImage);
        ASSERT_EQ(card.nInit, 0u);
        ASSERT_EQ(card.nScan, 0u);
        std::vector<Found> found = ListAll(card.engine);

        std::multiset<std::string> expected, listed;
        for (const FatManifestRow& row : rows)
            if (row.strStatus == "deleted" || row.strStatus == "overwritten")
                expected.insert(row.strListed);
        for (const Found& f : found) listed.insert(f.strPath);
        EXPECT_EQ(listed, expected);

        // Browsing from the top reaches the same files through their folders.
        std::multiset<std::string> browsed;
        Browse(card.engine, nullptr, 0, "", browsed);
        EXPECT_EQ(browsed, expected);
        unsigned int nCount = 0;
        EXPECT_EQ(card.engine.GetChildrenFileCount(nullptr, 0, nCount), 0u);
        EXPECT_EQ(nCount, expected.size());

        CScratchDir out;
        int nTarget = 0;
        for (const FatManifestRow& row : rows) {
            if (row.strStatus != "deleted") continue;
            // Names that differ only in the byte a deletion erased are listed
            // alike: one of them must hold this original.
            const std::string strWant = ReadFileBytes(row.strOriginal);
            bool bMatched = false;
            for (const Found& f : found) {
                if (f.strPath != row.strListed) continue;
                EXPECT_EQ(f.node.bDataHealth, 1u) << row.strListed;
                std::string strTarget = out.File("f" + std::to_string(nTarget++));
                ASSERT_EQ(SaveTo(card.engine, f.node, strTarget), 0u) << row.strListed;
                if (ReadFileBytes(strTarget) == strWant) bMatched = true;
            }
            EXPECT_TRUE(bMatched) << row.strVolPath << " not recovered byte for byte";
        }
    }
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

// A deleted directory saved whole: its tree is rebuilt with the files' data,
// folders that open for their owner, and distinct names for look-alike files.
class StoryCards : public FatCards {};

TEST_P(StoryCards, SavesADeletedFolderWithEverythingBelowIt) {
    ScannedCard card(FatImagePath(GetParam()));
    ASSERT_EQ(card.nScan, 0u);
    std::map<std::string, std::string> originals;  // volume path -> original
    for (const FatManifestRow& row : LoadFatManifest(GetParam()))
        originals[row.strVolPath] = row.strOriginal;

    std::vector<_FILE_NODE_> top, docs;
    ASSERT_EQ(card.engine.GetChildrenFileNode(nullptr, 0, top), 0u);
    const _FILE_NODE_* pDocs = nullptr;
    for (const _FILE_NODE_& n : top)
        if (n.bIsDir && NodeName(n) == "Documents") pDocs = &n;
    ASSERT_NE(pDocs, nullptr);
    ASSERT_EQ(card.engine.GetChildrenFileNode(pDocs, 1, docs), 0u);
    const _FILE_NODE_* pOld = nullptr;
    for (const _FILE_NODE_& n : docs)
        if (n.bIsDir && NodeName(n) == "Old stuff") pOld = &n;
    ASSERT_NE(pOld, nullptr);
    EXPECT_EQ(pOld->bIsDeleted, 1u);
    // Its ".." entries on disk lead up two levels.
    unsigned int nLevel = 0;
    EXPECT_EQ(card.engine._GetRootParentDirIndex(pOld->nDirId, nLevel), 0u);
    EXPECT_EQ(nLevel, 2u);

    CScratchDir out;
    const std::string strTarget = out.File("Old stuff");
    int nSeparators = 0;
    for (size_t i = 0; i + 1 < strTarget.size(); ++i) nSeparators += strTarget[i] == '/';
    // "Old stuff" is opened at level 2 (top 0, Documents 1).
    ASSERT_EQ(SaveTo(card.engine, *pOld, strTarget, nSeparators - 2), 0u);

    EXPECT_EQ(ReadFileBytes(strTarget + "/Letter to Zoë.txt"),
              ReadFileBytes(originals["Documents/Old stuff/Letter to Zoë.txt"]));
    EXPECT_EQ(ReadFileBytes(strTarget + "/!otes.dat"),
              ReadFileBytes(originals["Documents/Old stuff/NOTES.DAT"]));
    const std::string strDeeper = strTarget + "/Deeper level";
    EXPECT_EQ(ReadFileBytes(strDeeper + "/Scan 0001.jpg"),
              ReadFileBytes(originals["Documents/Old stuff/Deeper level/Scan 0001.jpg"]));
    std::set<std::string> twins = {ReadFileBytes(strDeeper + "/!ata.bin"),
                                   ReadFileBytes(strDeeper + "/!ata(1).bin")};
    std::set<std::string> wanted = {
        ReadFileBytes(originals["Documents/Old stuff/Deeper level/data.bin"]),
        ReadFileBytes(originals["Documents/Old stuff/Deeper level/XATA.BIN"])};
    EXPECT_EQ(twins, wanted);
    struct stat st;
    ASSERT_EQ(stat(strDeeper.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

INSTANTIATE_TEST_SUITE_P(AllCards, FatCards, ::testing::ValuesIn(FatImageNames()));
INSTANTIATE_TEST_SUITE_P(AllCards, StoryCards,
                         ::testing::Values("fat12_1k", "fat12_512r", "fat16_2k", "fat16_8k",
                                           "fat32_512", "fat32_2k"));

// The generic FAT fixtures: every deleted file comes back with its content.
TEST(FastFat, RecoversTheDeletedFilesOfTheGenericCards) {
    for (const char* szCard : {"fat12", "fat16", "fat32"}) {
        const std::string strImage = twtest::FixtureImage(szCard);
        const std::string strBefore = twtest::Sha1OfFile(strImage);
        std::vector<twtest::ManifestEntry> entries = twtest::ReadManifest(szCard);
        ASSERT_FALSE(entries.empty()) << szCard;
        std::multiset<std::string> recovered;
        {
            ScannedCard card(strImage);
            ASSERT_EQ(card.nScan, 0u) << szCard;
            CScratchDir out;
            int i = 0;
            for (const Found& f : ListAll(card.engine)) {
                std::string strTarget = out.File(std::to_string(i++));
                ASSERT_EQ(SaveTo(card.engine, f.node, strTarget), 0u) << f.strPath;
                recovered.insert(twtest::Sha1OfFile(strTarget));
            }
        }
        size_t nDeleted = 0;
        for (const twtest::ManifestEntry& entry : entries) {
            if (!entry.bDeleted) continue;
            ++nDeleted;
            EXPECT_TRUE(recovered.count(entry.strSha1)) << szCard << entry.strPath;
        }
        EXPECT_EQ(recovered.size(), nDeleted) << szCard;
        EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
    }
}

TEST(FastFat, TellsTheTableWidthFromTheClusterCount) {
    for (const std::string& strName : FatImageNames()) {
        ScanLogSandbox sandbox;
        CFastFatRecovery engine;
        ASSERT_EQ(engine.Init(Wide(FatImagePath(strName)).c_str(), L'C'), 0u) << strName;
        unsigned int nBits = strName.substr(0, 5) == "fat12"   ? 12
                             : strName.substr(0, 5) == "fat16" ? 16
                                                               : 32;
        EXPECT_EQ(engine.GetFatBits(), nBits) << strName;
        EXPECT_EQ(engine.GetDeviceFileSystemType(nullptr), nBits == 32 ? 1u : 0u);
    }
}

// The file written around a live one: its clusters skip the live file's, and
// the free-cluster rule finds them again.
TEST(FastFat, FollowsAFileWrittenAroundALiveOne) {
    ScannedCard card(FatImagePath("fat12_1k"));
    ASSERT_EQ(card.nScan, 0u);
    std::vector<Found> found = ListAll(card.engine);
    const Found* pFrag = FindListed(found, "Fragmented around a live file.bin");
    ASSERT_NE(pFrag, nullptr);
    uint64_t u64Clusters =
        (pFrag->node.u64FileSize + pFrag->node.nClusterBytes - 1) / pFrag->node.nClusterBytes;
    uint32_t nCluster = pFrag->node.nDirId;
    bool bJumped = false;
    for (uint64_t i = 1; i < u64Clusters; ++i) {
        uint32_t nNext = 0;
        ASSERT_EQ(card.engine.FindNextClusterNO(nCluster, nNext), 0u);
        ASSERT_NE(nNext, 0u);
        if (nNext != nCluster + 1) bJumped = true;
        nCluster = nNext;
    }
    EXPECT_TRUE(bJumped) << "the fixture did not fragment the file";
}

// A FAT32 deletion that cleared the high word of the first cluster: the file
// is found again where its first sector fits its extension.
TEST(FastFat, FindsTheClearedHighWordOfAFirstCluster) {
    CScratchDir work;
    const std::string strImage = work.File("high.img");
    ASSERT_TRUE(CopyFile(FatImagePath("fat32_512"), strImage));
    uint32_t nTrueCluster = 0;
    {
        ScannedCard card(strImage);
        const Found* pHigh = nullptr;
        std::vector<Found> found = ListAll(card.engine);
        pHigh = FindListed(found, "HighFile.jpg");
        ASSERT_NE(pHigh, nullptr);
        nTrueCluster = pHigh->node.nDirId;
        ASSERT_GT(nTrueCluster, 0xFFFFu) << "the fixture did not place the file high enough";
    }
    const std::string strShort("\xE5IGHFILEJPG", 11);
    long long llEntry = FindAligned(strImage, strShort, 32);
    ASSERT_GE(llEntry, 0);
    ASSERT_TRUE(PatchFile(strImage, static_cast<uint64_t>(llEntry) + 20, std::string(2, '\0')));

    ScannedCard card(strImage);
    ASSERT_EQ(card.nScan, 0u);
    std::vector<Found> found = ListAll(card.engine);
    const Found* pHigh = FindListed(found, "HighFile.jpg");
    ASSERT_NE(pHigh, nullptr);
    EXPECT_EQ(pHigh->node.nDirId, nTrueCluster);
    std::string strOriginal;
    for (const FatManifestRow& row : LoadFatManifest("fat32_512"))
        if (row.strVolPath == "HighFile.jpg") strOriginal = row.strOriginal;
    const std::string strOut = work.File("HighFile.jpg");
    ASSERT_EQ(SaveTo(card.engine, pHigh->node, strOut), 0u);
    EXPECT_EQ(ReadFileBytes(strOut), ReadFileBytes(strOriginal));
}

TEST(FastFat, ReportsEachChunkAndHonoursCancel) {
    ScannedCard card(FatImagePath("fat16_2k"));
    std::vector<Found> found = ListAll(card.engine);
    const Found* pMulti = FindListed(found, "Documents/Résumé ünïcödé 日本語.txt");
    const Found* pEmpty = FindListed(found, "Documents/Empty file.txt");
    ASSERT_NE(pMulti, nullptr);
    ASSERT_NE(pEmpty, nullptr);
    CScratchDir out;

    // Three clusters and 17 bytes: four chunks, the last at 100 percent.
    RecoveryLog log;
    card.engine.InitCallBack(nullptr, LogRecovery, &log, 100);
    ASSERT_EQ(SaveTo(card.engine, pMulti->node, out.File("a")), 0u);
    EXPECT_EQ(log.vecPercent, (std::vector<int>{33, 66, 99, 100}));
    EXPECT_EQ(log.vecError, (std::vector<int>{0, 0, 0, 0}));

    RecoveryLog empty;
    card.engine.InitCallBack(nullptr, LogRecovery, &empty, 100);
    ASSERT_EQ(SaveTo(card.engine, pEmpty->node, out.File("b")), 0u);
    EXPECT_EQ(empty.vecPercent, std::vector<int>{100});
    EXPECT_EQ(ReadFileBytes(out.File("b")), "");

    RecoveryLog cancel;
    cancel.nCancelAfter = 1;
    card.engine.InitCallBack(nullptr, LogRecovery, &cancel, 100);
    EXPECT_EQ(SaveTo(card.engine, pMulti->node, out.File("c")), TW_ERR_CANCELLED);
    EXPECT_EQ(cancel.vecPercent.size(), 1u);
    EXPECT_EQ(ReadFileBytes(out.File("c")).size(), 2048u);
}

TEST(FastFat, PreviewsPicturesToAFileAndOthersIntoTheBuffer) {
    ScannedCard card(FatImagePath("fat16_2k"));
    std::vector<Found> found = ListAll(card.engine);
    std::map<std::string, std::string> originals;
    for (const FatManifestRow& row : LoadFatManifest("fat16_2k"))
        originals[row.strListed] = row.strOriginal;

    const Found* pJpg = FindListed(found, "dcim/100canon/Holiday by the sea.jpg");
    ASSERT_NE(pJpg, nullptr);
    wchar_t wszPreview[512] = {0};
    std::vector<unsigned char> buf(10240);
    int nLength = static_cast<int>(buf.size());
    ASSERT_EQ(card.engine.PreView(&pJpg->node, wszPreview, buf.data(), nLength, nullptr, nullptr),
              0u);
    EXPECT_EQ(nLength, 0);
    EXPECT_EQ(tw::WideToUtf8(wszPreview), card.sandbox.ScanLog() + "tmp.jpg");
    EXPECT_EQ(ReadFileBytes(card.sandbox.ScanLog() + "tmp.jpg"),
              ReadFileBytes(originals[pJpg->strPath]));

    const Found* pTxt = FindListed(found, "Documents/Résumé ünïcödé 日本語.txt");
    ASSERT_NE(pTxt, nullptr);
    wchar_t wszNone[512] = {0};
    nLength = 100;
    ASSERT_EQ(card.engine.PreView(&pTxt->node, wszNone, buf.data(), nLength, nullptr, nullptr), 0u);
    EXPECT_EQ(nLength, 100);
    EXPECT_EQ(wszNone[0], 0);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 100),
              ReadFileBytes(originals[pTxt->strPath]).substr(0, 100));
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

TEST(FastFat, ScanProgressAndStop) {
    struct Calls {
        std::vector<int> vecPercent;
        int nStopAt = -1;
        unsigned long long u64Files = 0;
    };
    auto pfn = [](void* pContext, int nPercent, int nScale, int, unsigned long long,
                  unsigned long long, unsigned long long u64Files, wchar_t*) -> int {
        Calls* pCalls = static_cast<Calls*>(pContext);
        EXPECT_EQ(nScale, 100);
        pCalls->vecPercent.push_back(nPercent);
        pCalls->u64Files = u64Files;
        return nPercent == pCalls->nStopAt ? 1 : 0;
    };
    ScanLogSandbox sandbox;
    CFastFatRecovery engine;
    ASSERT_EQ(engine.Init(Wide(FatImagePath("fat12_1k")).c_str(), L'C'), 0u);
    Calls calls;
    engine.InitCallBack(pfn, nullptr, &calls, 100);
    ASSERT_EQ(engine.ScanDevice(nullptr), 0u);
    ASSERT_GE(calls.vecPercent.size(), 3u);
    EXPECT_EQ(calls.vecPercent.front(), 1);
    EXPECT_EQ(calls.vecPercent[calls.vecPercent.size() - 2], 80);
    EXPECT_EQ(calls.vecPercent.back(), 100);
    EXPECT_EQ(calls.u64Files, ListAll(engine).size());  // files, not their folders

    Calls stop;
    stop.nStopAt = 1;
    engine.InitCallBack(pfn, nullptr, &stop, 100);
    EXPECT_EQ(engine.ScanDevice(nullptr), 1u);
    EXPECT_EQ(stop.vecPercent, std::vector<int>{1});

    std::vector<_FILE_NODE_> none;
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 1, none), TW_ERR_BAD_ARGUMENT);
    EXPECT_TRUE(none.empty());
}

// ---------------------------------------------------------------------------
// Damaged cards: each ends with a result and a clear status.

namespace {

struct Geometry {
    uint64_t u64FatStart, u64FatBytes, u64DataStart, u64ClusterBytes;
    unsigned nFats;
};

Geometry ReadGeometry(const std::string& strImage) {
    std::string b = ReadFileBytes(strImage).substr(0, 512);
    auto u16 = [&b](size_t o) {
        return static_cast<uint32_t>(static_cast<unsigned char>(b[o]) |
                                     (static_cast<unsigned char>(b[o + 1]) << 8));
    };
    Geometry g;
    uint32_t nBps = u16(0x0B);
    g.u64FatStart = static_cast<uint64_t>(u16(0x0E)) * nBps;
    g.u64FatBytes = static_cast<uint64_t>(u16(0x16)) * nBps;
    g.nFats = static_cast<unsigned char>(b[0x10]);
    g.u64DataStart = g.u64FatStart + g.u64FatBytes * g.nFats + u16(0x11) * 32ull;
    g.u64ClusterBytes = static_cast<uint64_t>(static_cast<unsigned char>(b[0x0D])) * nBps;
    return g;
}

// Scans a damaged copy, then saves everything listed: every step must end.
void ScanAndSaveAll(const std::string& strImage, std::vector<Found>& found) {
    ScannedCard card(strImage);
    EXPECT_EQ(card.nInit, 0u);
    found = ListAll(card.engine);
    CScratchDir out;
    int i = 0;
    for (const Found& f : found) {
        unsigned int nRet = SaveTo(card.engine, f.node, out.File(std::to_string(i++)));
        EXPECT_TRUE(nRet == 0 || nRet == TW_ERR_SHORT_READ) << f.strPath << ": " << nRet;
    }
}

class DamagedCard : public ::testing::Test {
protected:
    void SetUp() override {
        m_strImage = m_work.File("card.img");
        ASSERT_TRUE(CopyFile(FatImagePath("fat16_2k"), m_strImage));
        m_geometry = ReadGeometry(m_strImage);
        ScannedCard card(m_strImage);
        m_found = ListAll(card.engine);
        std::vector<_FILE_NODE_> top;
        card.engine.GetChildrenFileNode(nullptr, 0, top);
        for (const _FILE_NODE_& n : top)
            if (n.bIsDir) m_topDirs[NodeName(n)] = n.nDirId;
    }
    void PutFatEntry(uint32_t nCluster, uint16_t nValue) {
        std::string strValue = {static_cast<char>(nValue & 0xFF), static_cast<char>(nValue >> 8)};
        for (unsigned i = 0; i < m_geometry.nFats; ++i)
            ASSERT_TRUE(PatchFile(
                m_strImage, m_geometry.u64FatStart + i * m_geometry.u64FatBytes + nCluster * 2,
                strValue));
    }
    uint64_t ClusterOffset(uint32_t nCluster) const {
        return m_geometry.u64DataStart + (nCluster - 2) * m_geometry.u64ClusterBytes;
    }

    CScratchDir m_work;
    std::string m_strImage;
    Geometry m_geometry;
    std::vector<Found> m_found;
    std::map<std::string, uint32_t> m_topDirs;  // top-level directories listed
};

size_t CountUnder(const std::vector<Found>& found, const std::string& strPrefix) {
    size_t n = 0;
    for (const Found& f : found) n += f.strPath.compare(0, strPrefix.size(), strPrefix) == 0;
    return n;
}

}  // namespace

TEST_F(DamagedCard, ZeroedAllocationTables) {
    ASSERT_TRUE(PatchFile(m_strImage, m_geometry.u64FatStart,
                          std::string(m_geometry.u64FatBytes * m_geometry.nFats, '\0')));
    std::vector<Found> found;
    ScanAndSaveAll(m_strImage, found);
    // Directories of one cluster are still read whole.
    EXPECT_GE(CountUnder(found, "dcim/100canon/"), CountUnder(m_found, "dcim/100canon/"));
}

TEST_F(DamagedCard, LoopingChains) {
    ASSERT_EQ(m_topDirs.count("Many"), 1u);
    const uint32_t nMany = m_topDirs["Many"];
    // The directory's chain turns back to its start; a deleted file's first
    // cluster points at itself.
    std::string strFat =
        ReadFileBytes(m_strImage).substr(m_geometry.u64FatStart, m_geometry.u64FatBytes);
    auto entry = [&strFat](uint32_t c) {
        return static_cast<uint32_t>(static_cast<unsigned char>(strFat[c * 2]) |
                                     (static_cast<unsigned char>(strFat[c * 2 + 1]) << 8));
    };
    uint32_t nLast = nMany;
    for (int i = 0; i < 1000 && entry(nLast) >= 2 && entry(nLast) < 0xFFF8; ++i)
        nLast = entry(nLast);
    ASSERT_NE(nLast, nMany) << "the fixture's long directory has one cluster";
    PutFatEntry(nLast, static_cast<uint16_t>(nMany));
    const Found* pFrag = FindListed(m_found, "Fragmented around a live file.bin");
    ASSERT_NE(pFrag, nullptr);
    PutFatEntry(pFrag->node.nDirId, static_cast<uint16_t>(pFrag->node.nDirId));

    std::vector<Found> found;
    ScanAndSaveAll(m_strImage, found);
    EXPECT_EQ(CountUnder(found, "Many/"), CountUnder(m_found, "Many/"));
    ScannedCard card(m_strImage);
    std::vector<Found> again = ListAll(card.engine);
    const Found* pLoop = FindListed(again, "Fragmented around a live file.bin");
    ASSERT_NE(pLoop, nullptr);
    CScratchDir out;
    RecoveryLog log;
    card.engine.InitCallBack(nullptr, LogRecovery, &log, 100);
    EXPECT_EQ(SaveTo(card.engine, pLoop->node, out.File("loop")), TW_ERR_SHORT_READ);
    EXPECT_EQ(log.vecError.back(), static_cast<int>(TW_ERR_SHORT_READ));
    EXPECT_EQ(ReadFileBytes(out.File("loop")).size(), m_geometry.u64ClusterBytes);
}

TEST_F(DamagedCard, DirectoryClusterOfRandomBytes) {
    ASSERT_EQ(m_topDirs.count("Documents"), 1u);
    std::string strJunk(m_geometry.u64ClusterBytes, '\0');
    uint32_t x = 12345;
    for (char& c : strJunk) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 16);
    }
    ASSERT_TRUE(PatchFile(m_strImage, ClusterOffset(m_topDirs["Documents"]), strJunk));
    std::vector<Found> found;
    ScanAndSaveAll(m_strImage, found);
    EXPECT_EQ(CountUnder(found, "dcim/"), CountUnder(m_found, "dcim/"));
    EXPECT_EQ(CountUnder(found, "Many/"), CountUnder(m_found, "Many/"));
}

TEST_F(DamagedCard, TruncatedImage) {
    ASSERT_EQ(truncate(m_strImage.c_str(), static_cast<off_t>(m_geometry.u64DataStart + 64 * 1024)),
              0);
    std::vector<Found> found;
    ScanAndSaveAll(m_strImage, found);
    EXPECT_LT(found.size(), m_found.size());
}

TEST_F(DamagedCard, UnreadableBootSectorOrTinyImage) {
    ASSERT_TRUE(PatchFile(m_strImage, 0, std::string(512, '\0')));
    ScanLogSandbox sandbox;
    CFastFatRecovery engine;
    EXPECT_NE(engine.Init(Wide(m_strImage).c_str(), L'C'), 0u);
    EXPECT_NE(engine.ScanDevice(nullptr), 0u);
    std::vector<__SEARCH_FILE_INFO__> hits;
    engine.SearchFileNode(L"*.jpg|", hits);
    EXPECT_TRUE(hits.empty());

    ASSERT_EQ(truncate(m_strImage.c_str(), 1000), 0);
    CFastFatRecovery tiny;
    EXPECT_EQ(tiny.Init(Wide(m_strImage).c_str(), L'C'), TW_ERR_SHORT_READ);
    EXPECT_NE(tiny.ScanDevice(nullptr), 0u);
}

TEST(FastFat, TheFactoryGivesItForAFastRequestOnFat) {
    ScanLogSandbox sandbox;
    for (const char* szCard : {"fat12_1k", "fat16_2k", "fat32_512"}) {
        std::unique_ptr<IFileRecoveryParse> pEngine(
            CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
                Wide(FatImagePath(szCard)).c_str(), L'C', RECOVERY_TYPE_FAST));
        CFastFatRecovery* pFat = dynamic_cast<CFastFatRecovery*>(pEngine.get());
        ASSERT_NE(pFat, nullptr) << szCard;
        EXPECT_NE(pFat->GetFatBits(), 0u);
        EXPECT_EQ(pEngine->ScanDevice(nullptr), 0u);
        EXPECT_GT(pEngine->GetLostFileCount(), 0u);
    }
}
