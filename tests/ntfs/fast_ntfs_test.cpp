// The fast NTFS engine on images made with mkntfs and written through ntfs-3g
// (tests/fixtures/build_ntfs_cases.sh), one per geometry, and on damaged
// copies of them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>
#include "common/Helpers.h"
#include "common/Platform.h"
#include "deepscan/FileRecoveryFactory.h"
#include "ntfs/FastNtfsRecovery.h"
#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"
#include "support/ScratchDir.h"

namespace {

struct Found {
    _FILE_NODE_ node;
    unsigned int nLevel;
};

// Node names are narrow text in the C-string codec; paths here are UTF-8.
std::string Name(const _FILE_NODE_& n) {
    return tw::NarrowToUtf8(n.szFileName);
}

// Every node of the tree, by path ("dir/sub/name"), as the result browser walks it.
void Walk(IFileRecoveryParse& e, const _FILE_NODE_* pDir, unsigned int nLevel,
          const std::string& strPrefix, std::map<std::string, Found>& out, int nDepth = 0) {
    ASSERT_LT(nDepth, 64) << "the tree does not end";
    std::vector<_FILE_NODE_> children;
    ASSERT_EQ(e.GetChildrenFileNode(pDir, nLevel, children), 0u);
    for (const _FILE_NODE_& c : children) {
        std::string strPath = strPrefix + Name(c);
        EXPECT_EQ(out.count(strPath), 0u) << "listed twice: " << strPath;
        out[strPath] = {c, nLevel};
        if (c.bIsDir) Walk(e, &c, nLevel + 1, strPath + "/", out, nDepth + 1);
    }
}

std::wstring W(const std::string& s) {
    return Ansi2Unicode(s.c_str());
}

std::string ReadSmallFile(const std::string& strPath) {
    std::ifstream in(strPath);
    std::string s;
    std::getline(in, s);
    return s;
}

// A scratch copy of a fixture image that tests may damage.
std::string CopyImage(const std::string& strFrom, const CScratchDir& dir) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(twtest::ReadFileBytes(strFrom, bytes));
    return dir.Write("volume.img", bytes);
}

struct RecoveryLog {
    std::vector<int> vecErrors;
    int nCancelAfter = -1;
    static int Callback(void* p, int, int, int nError, wchar_t*) {
        auto* log = static_cast<RecoveryLog*>(p);
        log->vecErrors.push_back(nError);
        if (log->nCancelAfter >= 0 && static_cast<int>(log->vecErrors.size()) > log->nCancelAfter)
            return static_cast<int>(TW_ERR_CANCELLED);
        return 0;
    }
};

class FastNtfsImage : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        m_strImage = twtest::FixtureImage(GetParam());
        struct stat st;
        if (stat(m_strImage.c_str(), &st) != 0)
            GTEST_SKIP() << "no " << GetParam() << " image (ntfs-3g needs FUSE to make it)";
        m_strSha1 = twtest::Sha1OfFile(m_strImage);
        ASSERT_EQ(m_engine.Init(W(m_strImage).c_str(), L'C'), 0u);
        m_engine.InitCallBack(nullptr, &RecoveryLog::Callback, &m_log, 100);
        ASSERT_EQ(m_engine.ScanDevice(nullptr), 0u);
        Walk(m_engine, nullptr, 0, "", m_tree);
        m_strLost = "LostFolder" + ReadSmallFile(twtest::FixtureDir() + "/" + GetParam() + ".lost");
    }
    void TearDown() override {
        if (!m_strSha1.empty())
            EXPECT_EQ(twtest::Sha1OfFile(m_strImage), m_strSha1) << "image changed";
    }
    const _FILE_NODE_* Node(const std::string& strPath) {
        auto it = m_tree.find(strPath);
        return it == m_tree.end() ? nullptr : &it->second.node;
    }

    ScanLogSandbox m_sandbox;
    CScratchDir m_out;
    RecoveryLog m_log;
    std::string m_strImage, m_strSha1, m_strLost;
    CFastNtfsRecovery m_engine;
    std::map<std::string, Found> m_tree;
};

// Listing and saving every deleted file: tests/engine/engine_conformance_test.cpp.
TEST_P(FastNtfsImage, NamesLevelsAndLostFoldersAreNtfsOwn) {
    // The file with a DOS name beside its long name shows the long one.
    EXPECT_NE(Node("Long Name For Testing.txt"), nullptr);
    EXPECT_EQ(Node("LONGNA~1.TXT"), nullptr);
    // Levels: root files at 0, the reused folder's file at 1, the deep one at 3.
    EXPECT_EQ(m_tree["small_root.txt"].nLevel, 0u);
    EXPECT_EQ(m_tree[m_strLost].node.nClusterBytes, 0xFFFFFFFFu);
    EXPECT_EQ(m_tree[m_strLost + "/orphan.bin"].nLevel, 1u);
    EXPECT_EQ(m_tree["dead/inner/deeper/last.bin"].nLevel, 3u);
    // Each parent record is read once, however many deleted files lie below it.
    size_t nFolders = 0;
    for (const auto& entry : m_tree) nFolders += entry.second.node.bIsDir ? 1 : 0;
    EXPECT_LE(m_engine.GetParentRecordReads(), nFolders);
    // The search sees the same files.
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(m_engine.SearchFileNode(L"*.txt|", hits), 0u);
    EXPECT_EQ(hits.size(), 4u);  // small_root, gone_small, deep, the long name; no live one
    wchar_t wszPath[512];
    ASSERT_EQ(m_engine.GetFileNodeParentDirPath(Node("dead/inner/deep.txt"), wszPath, 512), 0u);
    EXPECT_EQ(std::wstring(wszPath), L"dead/inner/");
}

TEST_P(FastNtfsImage, FragmentedSparseAndAttributeListFilesAreWhatTheyClaim) {
    const _FILE_NODE_* pFrag = Node("frag.bin");
    ASSERT_NE(pFrag, nullptr);
    std::vector<__RUNLIST__> runs;
    ASSERT_EQ(m_engine.GetRunListInfo(pFrag->u64RecordSector, 0x80, runs), 0u);
    EXPECT_GE(runs.size(), 2u) << "frag.bin is not fragmented";

    const _FILE_NODE_* pSparse = Node("sparse.bin");
    ASSERT_NE(pSparse, nullptr);
    runs.clear();
    ASSERT_EQ(m_engine.GetRunListInfo(pSparse->u64RecordSector, 0x80, runs), 0u);
    bool bSparse = false;
    for (const auto& r : runs) bSparse |= r.bSparse != 0;
    EXPECT_TRUE(bSparse) << "sparse.bin has no hole";

    // On the small-cluster images a file of 300 data runs needs an attribute
    // list and a data attribute in pieces over several records. Its name went
    // with its deletion, so it is saved through a node made for its record.
    std::string strRecord = ReadSmallFile(twtest::FixtureDir() + "/" + GetParam() + ".manyfrag");
    if (strRecord.empty()) return;
    _FILE_NODE_ node{};
    node.nDirId = static_cast<uint32_t>(std::stoul(strRecord));
    node.u64RecordSector = m_engine.GetFileRecordIndexSectorOffset(node.nDirId);
    node.nClusterBytes = m_engine.GetSectorsPerCluster() * m_engine.GetBytesPerSector();
    std::strcpy(node.szFileName, "manyfrag.bin");
    std::vector<unsigned char> record;
    ASSERT_EQ(m_engine.GetFileRecordBuf(node.nDirId, record), 0u);
    NTFS_RECORD_INFO info;
    ASSERT_EQ(NtfsParseRecord(record.data(), record.size(), info), 0);
    EXPECT_TRUE(info.bHasAttrList);
    runs.clear();
    ASSERT_EQ(m_engine.GetRunListInfo(node.u64RecordSector, 0x80, runs), 0u);
    EXPECT_EQ(runs.size(), 600u);  // 300 data runs, 300 holes, in order
    std::string strOriginal = twtest::FixtureFilesDir(GetParam()) + "/manyfrag.bin";
    struct stat st;
    ASSERT_EQ(stat(strOriginal.c_str(), &st), 0);
    node.u64FileSize = static_cast<uint64_t>(st.st_size);
    std::string strTarget = m_out.File("manyfrag.bin");
    ASSERT_EQ(m_engine.SaveFileData(&node, W(strTarget).c_str(), 0), 0u);
    EXPECT_EQ(twtest::Sha1OfFile(strTarget), twtest::Sha1OfFile(strOriginal));
}

TEST_P(FastNtfsImage, ADeletedFolderIsSavedWithEverythingBelowIt) {
    const _FILE_NODE_* pDead = Node("dead");
    ASSERT_NE(pDead, nullptr);
    ASSERT_EQ(pDead->bIsDir, 1u);
    std::string strTarget = m_out.File("dead");
    int nSeparators = 0;
    GetPathDirIndex(W(strTarget).c_str(), nSeparators);
    ASSERT_EQ(m_engine.SaveFileData(pDead, W(strTarget).c_str(), nSeparators - 1), 0u);
    auto manifest = twtest::ReadManifest(GetParam());
    int nChecked = 0;
    for (const auto& m : manifest) {
        if (m.strPath.rfind("/dead/", 0) != 0) continue;
        EXPECT_EQ(twtest::Sha1OfFile(m_out.Path() + m.strPath), m.strSha1) << m.strPath;
        ++nChecked;
    }
    EXPECT_EQ(nChecked, 3);
    struct stat st;
    ASSERT_EQ(stat((strTarget + "/inner/deeper").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    // Saving it again into the same place gives new names, never mixed files.
    ASSERT_EQ(m_engine.SaveFileData(pDead, W(strTarget).c_str(), nSeparators - 1), 0u);
    EXPECT_EQ(twtest::Sha1OfFile(strTarget + "/a(1).bin"),
              twtest::Sha1OfFile(strTarget + "/a.bin"));

    // A cancel from the recovery callback stops the whole save.
    RecoveryLog cancel;
    cancel.nCancelAfter = 0;
    m_engine.InitCallBack(nullptr, &RecoveryLog::Callback, &cancel, 100);
    EXPECT_EQ(m_engine.SaveFileData(pDead, W(m_out.File("cancelled")).c_str(), nSeparators - 1),
              TW_ERR_CANCELLED);
    EXPECT_EQ(cancel.vecErrors.size(), 1u);
}

// Previews that fill the buffer or the preview file: the conformance suite.
TEST_P(FastNtfsImage, HealthByTheFirstDataAndTheFreeMapSparesTheMft) {
    std::vector<unsigned char> buf(16);
    int nLength = 10;
    wchar_t wszPreview[260] = {0};
    EXPECT_EQ(m_engine.PreView(nullptr, wszPreview, buf.data(), nLength, nullptr, nullptr), 87u);
    EXPECT_EQ(nLength, 0);
    // These bytes are no JPEG: a picture name makes the file damaged.
    _FILE_NODE_ photo = *Node("big_root.bin");
    std::strcpy(photo.szFileName, "photo.JPG");
    EXPECT_EQ(m_engine.IsFileDataHealth(photo), 0);
    EXPECT_EQ(m_engine.IsFileDataHealth(*Node("big_root.bin")), 1);

    ASSERT_EQ(m_engine.BuildBitMapInfo(), 0u);
    const unsigned long long u64Scale = m_engine.GetBytesPerSector() / 512;
    const unsigned long long u64Mft = m_engine.GetMftStartSector() * u64Scale;
    unsigned long long u64Sector = 0, u64Count = 0, u64Free = 0, u64Last = 0;
    int nRuns = 0;
    for (;; ++nRuns) {
        ASSERT_EQ(m_engine.GetUnUsedSectorCount(u64Sector, u64Count), 1u);
        if (u64Count == 0) break;
        ASSERT_GE(u64Sector, u64Last);
        EXPECT_FALSE(u64Mft >= u64Sector && u64Mft < u64Sector + u64Count) << "MFT counted free";
        u64Free += u64Count;
        u64Sector += u64Count;
        u64Last = u64Sector;
        ASSERT_LT(nRuns, 100000);
    }
    EXPECT_GT(nRuns, 0);
    EXPECT_GT(u64Free, 0u);
    struct stat st;
    stat(m_strImage.c_str(), &st);
    EXPECT_LT(u64Free, static_cast<unsigned long long>(st.st_size) / 512);
}

TEST_P(FastNtfsImage, TheFactoryGivesThisEngineForAFastScan) {
    IFileRecoveryParse* pEngine = CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
        W(m_strImage).c_str(), L'C', RECOVERY_TYPE_FAST);
    ASSERT_NE(pEngine, nullptr);
    EXPECT_NE(dynamic_cast<CFastNtfsRecovery*>(pEngine), nullptr);
    ASSERT_EQ(pEngine->ScanDevice(nullptr), 0u);
    std::map<std::string, Found> tree;
    Walk(*pEngine, nullptr, 0, "", tree);
    EXPECT_EQ(tree.size(), m_tree.size());
    EXPECT_EQ(tree.count("dead/inner/deep.txt"), 1u);
    delete pEngine;
}

// Listing and recovering through the command line: CliRecover in tests/cli.
TEST_P(FastNtfsImage, APartitionOfADiskIsReadAtItsOwnPlace) {
    // The volume as the second partition of an MBR disk, behind a zero-filled one.
    twtest::TempDiskDir disks;
    std::string strDisk = m_out.File("disk.img");
    std::vector<twtest::Placed> placed;
    twtest::Volume filler, volume;
    filler.u64Sectors = 4096;
    volume.strSourceImage = m_strImage;
    volume.nMbrType = 0x07;
    ASSERT_TRUE(twtest::WriteMbrDisk(strDisk, {filler, volume}, {}, &placed));
    ASSERT_TRUE(disks.AddDisk(0, strDisk));
    ASSERT_EQ(placed.size(), 2u);
    const std::string strSha1 = twtest::Sha1OfFile(strDisk);

    CFastNtfsRecovery e;
    ASSERT_EQ(e.Init(0, static_cast<long long>(placed[1].u64StartSector),
                     static_cast<long long>(placed[1].u64Sectors), L'C'),
              0u);
    ASSERT_EQ(e.ScanDevice(nullptr), 0u);
    std::map<std::string, Found> tree;
    Walk(e, nullptr, 0, "", tree);
    EXPECT_EQ(tree.size(), m_tree.size());
    for (const auto& m : twtest::ReadManifest(GetParam())) {
        if (!m.bDeleted) continue;
        auto it = tree.find(m.strListed);
        ASSERT_NE(it, tree.end()) << m.strPath;
        std::string strTarget = m_out.File("p" + std::to_string(it->second.node.nFileIndex));
        ASSERT_EQ(e.SaveFileData(&it->second.node, W(strTarget).c_str(), 0), 0u) << m.strPath;
        EXPECT_EQ(twtest::Sha1OfFile(strTarget), m.strSha1) << m.strPath;
    }
    // Free runs are counted from the partition start and stay inside it.
    ASSERT_EQ(e.BuildBitMapInfo(), 0u);
    unsigned long long u64Sector = 0, u64Count = 0, u64Free = 0;
    while (e.GetUnUsedSectorCount(u64Sector, u64Count) == 1 && u64Count) {
        ASSERT_LE(u64Sector + u64Count, placed[1].u64Sectors);
        u64Free += u64Count;
        u64Sector += u64Count;
    }
    ASSERT_EQ(m_engine.BuildBitMapInfo(), 0u);
    unsigned long long u64FreeImage = 0;
    u64Sector = 0;
    while (m_engine.GetUnUsedSectorCount(u64Sector, u64Count) == 1 && u64Count) {
        u64FreeImage += u64Count;
        u64Sector += u64Count;
    }
    EXPECT_EQ(u64Free, u64FreeImage);
    EXPECT_EQ(twtest::Sha1OfFile(strDisk), strSha1);
}

INSTANTIATE_TEST_SUITE_P(Geometries, FastNtfsImage,
                         ::testing::Values("ntfs_c512", "ntfs_c4k", "ntfs_c64k", "ntfs_s4k"));

// ---- damaged volumes ------------------------------------------------------------

class DamagedNtfs : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strImage = twtest::FixtureImage("ntfs_c4k");
        struct stat st;
        if (stat(strImage.c_str(), &st) != 0) GTEST_SKIP() << "no ntfs_c4k image";
        m_strCopy = CopyImage(strImage, m_dir);
        ASSERT_TRUE(twtest::ReadFileBytes(m_strCopy, m_image));
        // Where the records of the files lie, from a scan of the intact copy.
        CFastNtfsRecovery e;
        ASSERT_EQ(e.Init(W(m_strCopy).c_str(), L'C'), 0u);
        ASSERT_EQ(e.ScanDevice(nullptr), 0u);
        std::map<std::string, Found> tree;
        Walk(e, nullptr, 0, "", tree);
        for (auto& [path, f] : tree) m_records[path] = f.node.nDirId;
        m_nBps = e.GetBytesPerSector();
        for (auto& [path, n] : m_records)
            m_offsets[path] = e.GetFileRecordIndexSectorOffset(n) * m_nBps;
    }
    // The attribute of a type in the record of a path: its offset in the image.
    size_t AttrOffset(const std::string& strPath, uint32_t nType) {
        size_t nRecord = m_offsets.at(strPath);
        std::vector<unsigned char> rec(m_image.begin() + nRecord, m_image.begin() + nRecord + 1024);
        CNtfsParse parse;
        parse.Init(m_nBps);
        EXPECT_EQ(parse.FileRecordFixUp(rec.data()), 0);
        size_t nFound = 0;
        uint16_t nFirst;
        std::memcpy(&nFirst, rec.data() + 0x14, 2);
        WalkNtfsAttributes(rec.data(), rec.size(), nFirst,
                           [&](size_t nOff, const NTFS_ATTR_HEADER& h) {
                               if (h.nType != nType) return true;
                               nFound = nOff;
                               return false;
                           });
        EXPECT_NE(nFound, 0u) << strPath;
        return nRecord + nFound;
    }
    template <typename T>
    void Patch(size_t nOff, T v) {
        ASSERT_NE(nOff % 512, 510u) << "patch would hit a fix-up place";
        std::memcpy(m_image.data() + nOff, &v, sizeof v);
    }
    // Writes the damaged image, scans it, and walks the whole tree.
    void ScanDamaged(unsigned int nExpected = 0) {
        m_strCopy = m_dir.Write("volume.img", m_image);
        m_strSha1 = twtest::Sha1OfFile(m_strCopy);
        ASSERT_EQ(m_engine.Init(W(m_strCopy).c_str(), L'C'), 0u);
        m_engine.InitCallBack(nullptr, &RecoveryLog::Callback, &m_log, 100);
        ASSERT_EQ(m_engine.ScanDevice(nullptr), nExpected);
        m_tree.clear();
        Walk(m_engine, nullptr, 0, "", m_tree);
    }
    unsigned int Save(const std::string& strPath) {
        auto it = m_tree.find(strPath);
        EXPECT_NE(it, m_tree.end()) << strPath;
        if (it == m_tree.end()) return 0;
        m_log.vecErrors.clear();
        return m_engine.SaveFileData(&it->second.node, W(m_dir.File("out.bin")).c_str(), 0);
    }
    void TearDown() override {
        if (!m_strSha1.empty()) EXPECT_EQ(twtest::Sha1OfFile(m_strCopy), m_strSha1);
    }

    ScanLogSandbox m_sandbox;
    CScratchDir m_dir;
    std::string m_strCopy, m_strSha1;
    std::vector<unsigned char> m_image;
    std::map<std::string, unsigned int> m_records;
    std::map<std::string, size_t> m_offsets;
    int m_nBps = 512;
    CFastNtfsRecovery m_engine;
    RecoveryLog m_log;
    std::map<std::string, Found> m_tree;
};

TEST_F(DamagedNtfs, ARecordWithABadFixUpIsSkippedAndCounted) {
    m_image[m_offsets.at("big_root.bin") + 1022] ^= 0xFF;
    ScanDamaged();
    EXPECT_EQ(m_tree.count("big_root.bin"), 0u);
    EXPECT_EQ(m_tree.count("small_root.txt"), 1u);
    EXPECT_GE(m_engine.GetDamagedRecordCount(), 1u);
}

TEST_F(DamagedNtfs, BadAttributeLengthsLeaveTheFileListedButUnsaved) {
    Patch<uint32_t>(AttrOffset("live/gone_big.bin", 0x80) + 4, 0);
    Patch<uint32_t>(AttrOffset("frag.bin", 0x80) + 4, 0x7FFF0000);
    ScanDamaged();
    EXPECT_NE(Save("live/gone_big.bin"), 0u);
    EXPECT_NE(Save("frag.bin"), 0u);
    ASSERT_FALSE(m_log.vecErrors.empty());
    EXPECT_NE(m_log.vecErrors.back(), 0);  // the failure is reported, not a success
    EXPECT_EQ(Save("small_root.txt"), 0u);
}

TEST_F(DamagedNtfs, ARunListPastTheVolumeEndsTheFileWithAnError) {
    size_t nAttr = AttrOffset("big_root.bin", 0x80);
    uint16_t nRuns;
    std::memcpy(&nRuns, m_image.data() + nAttr + 0x20, 2);
    // One run of 49 clusters whose start lies far beyond the 16 MiB volume.
    const unsigned char abRun[] = {0x31, 49, 0x00, 0x00, 0x70, 0x00};
    std::memcpy(m_image.data() + nAttr + nRuns, abRun, sizeof abRun);
    ScanDamaged();
    EXPECT_EQ(Save("big_root.bin"), 87u);
    ASSERT_FALSE(m_log.vecErrors.empty());
    EXPECT_EQ(m_log.vecErrors.back(), 87);
}

TEST_F(DamagedNtfs, ALoopingParentChainEndsInALostFolder) {
    // inner's parent becomes deeper, whose parent is inner.
    size_t nName = AttrOffset("dead/inner", 0x30);
    uint16_t nValue;
    std::memcpy(&nValue, m_image.data() + nName + 0x14, 2);
    Patch<uint32_t>(nName + nValue, m_records.at("dead/inner/deeper"));
    ScanDamaged();
    // Both files are still listed: the loop is cut at deeper, which becomes a
    // lost folder at the top.
    std::string strLost = "LostFolder" + std::to_string(m_records.at("dead/inner/deeper"));
    ASSERT_EQ(m_tree.count(strLost), 1u);
    EXPECT_EQ(m_tree[strLost].nLevel, 0u);
    EXPECT_EQ(m_tree.count(strLost + "/last.bin"), 1u);
    EXPECT_EQ(m_tree.count(strLost + "/inner/deep.txt"), 1u);
    EXPECT_EQ(m_tree.count("dead/a.bin"), 1u);  // the rest of the tree is unchanged
}

TEST_F(DamagedNtfs, AClusterSizeThatMakesNoSenseRefusesTheVolume) {
    m_image[0x0D] = 0xF0;  // 2^16 sectors: 32 MiB clusters
    m_strCopy = m_dir.Write("volume.img", m_image);
    CFastNtfsRecovery e;
    EXPECT_EQ(e.Init(W(m_strCopy).c_str(), L'C'), 87u);
    EXPECT_EQ(e.ScanDevice(nullptr), 87u);
    EXPECT_EQ(e.BuildBitMapInfo(), 87u);
    std::vector<_FILE_NODE_> v;
    EXPECT_EQ(e.GetChildrenFileNode(nullptr, 0, v), 0u);
    EXPECT_TRUE(v.empty());
}

TEST_F(DamagedNtfs, AScanCallbackStopsTheScanWithItsValue) {
    m_strCopy = m_dir.Write("volume.img", m_image);
    CFastNtfsRecovery e;
    ASSERT_EQ(e.Init(W(m_strCopy).c_str(), L'C'), 0u);
    e.InitCallBack([](void*, int, int, int, unsigned long long, unsigned long long,
                      unsigned long long, wchar_t*) { return 7; },
                   nullptr, nullptr, 100);
    EXPECT_EQ(e.ScanDevice(nullptr), 7u);
}

}  // namespace
