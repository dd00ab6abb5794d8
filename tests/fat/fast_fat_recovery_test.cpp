// The fast FAT engine on the cards of tests/fixtures/build_fat_undelete.sh:
// listing and byte-for-byte recovery, saved folders, preview, free runs,
// progress, and damaged copies of a card.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "engine/Categories.h"
#include "deepscan/FileRecoveryFactory.h"
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

// Every file the listing filter of all categories finds, with its listed path.
std::vector<Found> ListAll(CFastFatRecovery& engine) {
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(engine.SearchFileNode(BuildCategoryFilterW(TW_CATEGORY_ALL).c_str(), hits), 0u);
    std::vector<Found> found;
    for (const __SEARCH_FILE_INFO__& hit : hits) {
        wchar_t wszParent[1024] = {0};
        EXPECT_EQ(engine.GetFileNodeParentDirPath(&hit, wszParent, 1024), 0u);
        found.push_back({hit, tw::WideToUtf8(wszParent) + tw::NarrowToUtf8(hit.szFileName)});
    }
    return found;
}

const Found* FindListed(const std::vector<Found>& found, const std::string& strPath) {
    for (const Found& f : found)
        if (f.strPath == strPath) return &f;
    return nullptr;
}

// One scan of an image in a private scan-log folder, and what it lists.
struct ScannedCard {
    explicit ScannedCard(const std::string& strImage) {
        nInit = engine.Init(Wide(strImage).c_str(), L'C');
        nScan = engine.ScanDevice(nullptr);
        found = ListAll(engine);
    }
    const Found* Find(const std::string& strPath) const { return FindListed(found, strPath); }
    ScanLogSandbox sandbox;
    CFastFatRecovery engine;
    unsigned int nInit = 0, nScan = 0;
    std::vector<Found> found;
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

// The folder of that name among the children of a folder (null: the top).
bool FindDir(CFastFatRecovery& engine, const _FILE_NODE_* pDir, unsigned int nLevel,
             const std::string& strName, _FILE_NODE_& dir) {
    std::vector<_FILE_NODE_> children;
    EXPECT_EQ(engine.GetChildrenFileNode(pDir, nLevel, children), 0u);
    for (const _FILE_NODE_& n : children)
        if (n.bIsDir && NodeName(n) == strName) {
            dir = n;
            return true;
        }
    return false;
}

class FatCards : public ::testing::TestWithParam<std::string> {};

}  // namespace

// The table width follows the cluster count, as the card's name says.
TEST_P(FatCards, TheTableWidthFollowsTheClusterCount) {
    ScannedCard card(FatImagePath(GetParam()));
    ASSERT_EQ(card.nInit, 0u);
    EXPECT_EQ(card.engine.GetFatBits(), std::stoul(GetParam().substr(3, 2)));
    EXPECT_EQ(card.engine.GetDeviceFileSystemType(nullptr), GetParam()[3] == '3' ? 1u : 0u);
}

// A deleted directory saved whole: its tree is rebuilt with the files' data,
// folders that open for their owner, and distinct names for look-alike files.
class StoryCards : public FatCards {};

TEST_P(StoryCards, SavesADeletedFolderWithEverythingBelowIt) {
    ScannedCard card(FatImagePath(GetParam()));
    ASSERT_EQ(card.nScan, 0u);
    auto Original = [](const std::string& strVolPath) {
        return ReadFatOriginal(GetParam(), "Documents/Old stuff/" + strVolPath);
    };

    _FILE_NODE_ docs, old;
    ASSERT_TRUE(FindDir(card.engine, nullptr, 0, "Documents", docs));
    ASSERT_TRUE(FindDir(card.engine, &docs, 1, "Old stuff", old));
    const _FILE_NODE_* pOld = &old;
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

    EXPECT_EQ(ReadFileBytes(strTarget + "/Letter to Zoë.txt"), Original("Letter to Zoë.txt"));
    EXPECT_EQ(ReadFileBytes(strTarget + "/!otes.dat"), Original("NOTES.DAT"));
    const std::string strDeeper = strTarget + "/Deeper level";
    EXPECT_EQ(ReadFileBytes(strDeeper + "/Scan 0001.jpg"), Original("Deeper level/Scan 0001.jpg"));
    std::set<std::string> twins = {ReadFileBytes(strDeeper + "/!ata.bin"),
                                   ReadFileBytes(strDeeper + "/!ata(1).bin")};
    std::set<std::string> wanted = {Original("Deeper level/data.bin"),
                                    Original("Deeper level/XATA.BIN")};
    EXPECT_EQ(twins, wanted);
    struct stat st;
    ASSERT_EQ(stat(strDeeper.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

INSTANTIATE_TEST_SUITE_P(AllCards, FatCards, ::testing::ValuesIn(FatImageNames()));
INSTANTIATE_TEST_SUITE_P(AllCards, StoryCards,
                         ::testing::Values("fat12_1k", "fat12_512r", "fat16_2k", "fat16_8k",
                                           "fat32_512", "fat32_2k"));

// The file written around a live one: its clusters skip the live file's, and
// the free-cluster rule finds them again.
TEST(FastFat, FollowsAFileWrittenAroundALiveOne) {
    ScannedCard card(FatImagePath("fat12_1k"));
    ASSERT_EQ(card.nScan, 0u);
    const Found* pFrag = card.Find("Fragmented around a live file.bin");
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
        const Found* pHigh = card.Find("HighFile.jpg");
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
    const Found* pHigh = card.Find("HighFile.jpg");
    ASSERT_NE(pHigh, nullptr);
    EXPECT_EQ(pHigh->node.nDirId, nTrueCluster);
    const std::string strOut = work.File("HighFile.jpg");
    ASSERT_EQ(SaveTo(card.engine, pHigh->node, strOut), 0u);
    EXPECT_EQ(ReadFileBytes(strOut), ReadFatOriginal("fat32_512", "HighFile.jpg"));
}

// Saving reports each chunk and stops on cancel.
TEST(FastFat, SavesInChunksAndHonoursCancel) {
    ScannedCard card(FatImagePath("fat16_2k"));
    const Found* pMulti = card.Find("Documents/Résumé ünïcödé 日本語.txt");
    const Found* pEmpty = card.Find("Documents/Empty file.txt");
    ASSERT_TRUE(pMulti && pEmpty);
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

// A little-endian 16-bit value of the bytes.
uint32_t Le16(const std::string& b, size_t nOff) {
    return static_cast<unsigned char>(b[nOff]) | (static_cast<unsigned char>(b[nOff + 1]) << 8);
}

// The FAT16 layout from the boot sector.
Geometry ReadGeometry(const std::string& strImage) {
    const std::string b = ReadFileBytes(strImage).substr(0, 512);
    const uint64_t nBps = Le16(b, 0x0B);
    Geometry g;
    g.u64FatStart = Le16(b, 0x0E) * nBps;
    g.u64FatBytes = Le16(b, 0x16) * nBps;
    g.nFats = static_cast<unsigned char>(b[0x10]);
    g.u64DataStart = g.u64FatStart + g.u64FatBytes * g.nFats + Le16(b, 0x11) * 32ull;
    g.u64ClusterBytes = static_cast<unsigned char>(b[0x0D]) * nBps;
    return g;
}

// Scans a damaged copy, then saves everything listed: every step must end.
std::vector<Found> ScanAndSaveAll(const std::string& strImage) {
    ScannedCard card(strImage);
    EXPECT_EQ(card.nInit, 0u);
    CScratchDir out;
    int i = 0;
    for (const Found& f : card.found) {
        unsigned int nRet = SaveTo(card.engine, f.node, out.File(std::to_string(i++)));
        EXPECT_TRUE(nRet == 0 || nRet == TW_ERR_SHORT_READ) << f.strPath << ": " << nRet;
    }
    return card.found;
}

size_t CountUnder(const std::vector<Found>& found, const std::string& strPrefix) {
    size_t n = 0;
    for (const Found& f : found) n += f.strPath.compare(0, strPrefix.size(), strPrefix) == 0;
    return n;
}

// A copy of a FAT16 card, what an undamaged scan lists, and its top folders.
class DamagedCard : public ::testing::Test {
protected:
    void SetUp() override {
        m_strImage = m_work.File("card.img");
        ASSERT_TRUE(CopyFile(FatImagePath("fat16_2k"), m_strImage));
        m_geo = ReadGeometry(m_strImage);
        ScannedCard card(m_strImage);
        m_found = card.found;
        for (const char* szDir : {"Many", "Documents"}) {
            _FILE_NODE_ dir;
            ASSERT_TRUE(FindDir(card.engine, nullptr, 0, szDir, dir)) << szDir;
            m_topDirs[szDir] = dir.nDirId;
        }
    }
    void PutFatEntry(uint32_t nCluster, uint16_t nValue) {
        const std::string strValue = {static_cast<char>(nValue & 0xFF),
                                      static_cast<char>(nValue >> 8)};
        for (unsigned i = 0; i < m_geo.nFats; ++i)
            ASSERT_TRUE(PatchFile(
                m_strImage, m_geo.u64FatStart + i * m_geo.u64FatBytes + nCluster * 2, strValue));
    }

    CScratchDir m_work;
    std::string m_strImage;
    Geometry m_geo;
    std::vector<Found> m_found;
    std::map<std::string, uint32_t> m_topDirs;  // first clusters of top-level folders
};

}  // namespace

TEST_F(DamagedCard, ZeroedAllocationTables) {
    ASSERT_TRUE(PatchFile(m_strImage, m_geo.u64FatStart,
                          std::string(m_geo.u64FatBytes * m_geo.nFats, '\0')));
    // Directories of one cluster are still read whole.
    EXPECT_GE(CountUnder(ScanAndSaveAll(m_strImage), "dcim/100canon/"),
              CountUnder(m_found, "dcim/100canon/"));
}

TEST_F(DamagedCard, LoopingChains) {
    // The directory's chain turns back to its start; a deleted file's first
    // cluster points at itself.
    const uint32_t nMany = m_topDirs["Many"];
    const std::string strFat =
        ReadFileBytes(m_strImage).substr(m_geo.u64FatStart, m_geo.u64FatBytes);
    uint32_t nLast = nMany;
    for (int i = 0; i < 1000 && Le16(strFat, nLast * 2) >= 2 && Le16(strFat, nLast * 2) < 0xFFF8;
         ++i)
        nLast = Le16(strFat, nLast * 2);
    ASSERT_NE(nLast, nMany) << "the fixture's long directory has one cluster";
    PutFatEntry(nLast, static_cast<uint16_t>(nMany));
    const Found* pFrag = FindListed(m_found, "Fragmented around a live file.bin");
    ASSERT_NE(pFrag, nullptr);
    PutFatEntry(pFrag->node.nDirId, static_cast<uint16_t>(pFrag->node.nDirId));

    EXPECT_EQ(CountUnder(ScanAndSaveAll(m_strImage), "Many/"), CountUnder(m_found, "Many/"));
    ScannedCard card(m_strImage);
    const Found* pLoop = card.Find("Fragmented around a live file.bin");
    ASSERT_NE(pLoop, nullptr);
    CScratchDir out;
    RecoveryLog log;
    card.engine.InitCallBack(nullptr, LogRecovery, &log, 100);
    EXPECT_EQ(SaveTo(card.engine, pLoop->node, out.File("loop")), TW_ERR_SHORT_READ);
    EXPECT_EQ(log.vecError.back(), static_cast<int>(TW_ERR_SHORT_READ));
    EXPECT_EQ(ReadFileBytes(out.File("loop")).size(), m_geo.u64ClusterBytes);
}

TEST_F(DamagedCard, DirectoryClusterOfRandomBytes) {
    std::string strJunk(m_geo.u64ClusterBytes, '\0');
    std::mt19937 rng(12345);
    for (char& c : strJunk) c = static_cast<char>(rng());
    ASSERT_TRUE(PatchFile(m_strImage,
                          m_geo.u64DataStart + (m_topDirs["Documents"] - 2) * m_geo.u64ClusterBytes,
                          strJunk));
    const std::vector<Found> found = ScanAndSaveAll(m_strImage);
    EXPECT_EQ(CountUnder(found, "dcim/"), CountUnder(m_found, "dcim/"));
    EXPECT_EQ(CountUnder(found, "Many/"), CountUnder(m_found, "Many/"));
}

TEST_F(DamagedCard, TruncatedImage) {
    ASSERT_EQ(truncate(m_strImage.c_str(), static_cast<off_t>(m_geo.u64DataStart + 64 * 1024)), 0);
    EXPECT_LT(ScanAndSaveAll(m_strImage).size(), m_found.size());
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
