// The fast NTFS engine where it differs from the others (the rest:
// tests/engine/engine_conformance_test.cpp), and on damaged volumes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>
#include "ntfs/FastNtfsRecovery.h"
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "support/EngineTree.h"
#include "support/FixtureBuilt.h"
#include "support/Fixtures.h"
#include "support/ParamName.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"
#include "support/ScratchDir.h"

namespace {

using twtest::W;

class FastNtfsImage : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        m_strImage = twtest::FixtureImage(GetParam());
        ASSERT_TRUE(twtest::FixtureBuilt(GetParam()));
        m_strSha1 = twtest::Sha1OfFile(m_strImage);
        ASSERT_EQ(m_engine.Init(W(m_strImage).c_str(), L'C'), 0u);
        ASSERT_EQ(m_engine.ScanDevice(nullptr), 0u);
        m_tree = twtest::TreeByPath(m_engine);
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
    std::string m_strImage, m_strSha1;
    CFastNtfsRecovery m_engine;
    std::map<std::string, twtest::TreeNode> m_tree;
};

TEST_P(FastNtfsImage, NamesLostFoldersAndParentReadsAreNtfsOwn) {
    // The file with a DOS name beside its long name shows the long one.
    EXPECT_NE(Node("Long Name For Testing.txt"), nullptr);
    EXPECT_EQ(Node("LONGNA~1.TXT"), nullptr);
    // The folder whose record a file took is a lost folder, with no data.
    const _FILE_NODE_* pLost =
        Node("LostFolder" + twtest::FirstLine(twtest::FixtureDir() + "/" + GetParam() + ".lost"));
    ASSERT_NE(pLost, nullptr);
    EXPECT_EQ(pLost->nClusterBytes, 0xFFFFFFFFu);
    // Each parent record is read once, however many deleted files lie below it.
    size_t nFolders = 0;
    for (const auto& entry : m_tree) nFolders += entry.second.node.bIsDir ? 1 : 0;
    EXPECT_LE(m_engine.GetParentRecordReads(), nFolders);
}

// A nameless file whose 300 runs need an attribute list (small clusters only).
TEST_P(FastNtfsImage, SavesAFileWhoseRunsNeedAnAttributeList) {
    std::vector<__RUNLIST__> runs;
    ASSERT_EQ(m_engine.GetRunListInfo(Node("frag.bin")->u64RecordSector, 0x80, runs), 0u);
    EXPECT_GE(runs.size(), 2u) << "frag.bin is not fragmented";
    const std::string strRecord =
        twtest::FirstLine(twtest::FixtureDir() + "/" + GetParam() + ".manyfrag");
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
    EXPECT_TRUE(info.bHasAttrList) << "the fixture's file needs no attribute list";
    const std::string strOriginal = twtest::FixtureFilesDir(GetParam()) + "/manyfrag.bin";
    struct stat st;
    ASSERT_EQ(stat(strOriginal.c_str(), &st), 0);
    node.u64FileSize = static_cast<uint64_t>(st.st_size);
    const std::string strTarget = m_out.File("manyfrag.bin");
    ASSERT_EQ(m_engine.SaveFileData(&node, W(strTarget).c_str(), 0), 0u);
    EXPECT_EQ(twtest::Sha1OfFile(strTarget), twtest::Sha1OfFile(strOriginal));
}

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
    const unsigned long long u64Mft =
        m_engine.GetMftStartSector() * (m_engine.GetBytesPerSector() / 512);
    unsigned long long u64Sector = 0, u64Count = 0;
    for (int nRuns = 0; nRuns < 100000; ++nRuns) {
        ASSERT_EQ(m_engine.GetUnUsedSectorCount(u64Sector, u64Count), 1u);
        if (u64Count == 0) break;
        EXPECT_FALSE(u64Mft >= u64Sector && u64Mft < u64Sector + u64Count) << "MFT counted free";
        u64Sector += u64Count;
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, FastNtfsImage,
                         ::testing::Values("ntfs_c512", "ntfs_c4k", "ntfs_c64k", "ntfs_s4k"),
                         twtest::ParamName());

// ---- damaged volumes ------------------------------------------------------------

class DamagedNtfs : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strImage = twtest::FixtureImage("ntfs_c4k");
        ASSERT_TRUE(twtest::FixtureBuilt("ntfs_c4k"));
        ASSERT_TRUE(twtest::ReadFileBytes(strImage, m_image));
        m_strCopy = m_dir.Write("volume.img", m_image);
        // Where the records of the files lie, from a scan of the intact copy.
        CFastNtfsRecovery e;
        ASSERT_EQ(e.Init(W(m_strCopy).c_str(), L'C'), 0u);
        ASSERT_EQ(e.ScanDevice(nullptr), 0u);
        for (auto& [path, n] : twtest::TreeByPath(e)) m_records[path] = n.node.nDirId;
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
    void ScanDamaged() {
        m_strCopy = m_dir.Write("volume.img", m_image);
        m_strSha1 = twtest::Sha1OfFile(m_strCopy);
        ASSERT_EQ(m_engine.Init(W(m_strCopy).c_str(), L'C'), 0u);
        m_log.Attach(m_engine);
        ASSERT_EQ(m_engine.ScanDevice(nullptr), 0u);
        m_tree = twtest::TreeByPath(m_engine);
    }
    unsigned int Save(const std::string& strPath) {
        m_log.vecErrors.clear();
        // A fresh name each time: a save never overwrites.
        const std::string strOut = m_dir.File("out" + std::to_string(++m_nSaves) + ".bin");
        return m_engine.SaveFileData(&m_tree.at(strPath).node, W(strOut).c_str(), 0);
    }
    int m_nSaves = 0;
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
    twtest::CallbackLog m_log;
    std::map<std::string, twtest::TreeNode> m_tree;
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

// A record with an empty attribute list where its data was: saving it fails
// with the reader's own -100 (no such attribute), reported as a failure.
TEST_F(DamagedNtfs, AListWithoutTheDataFailsWithTheReadersCode) {
    const size_t nAttr = AttrOffset("small_root.txt", 0x80);
    ASSERT_EQ(m_image[nAttr + 8], 0) << "small_root.txt is not resident";
    uint16_t nValue;
    uint32_t nLength;
    std::memcpy(&nValue, m_image.data() + nAttr + 0x14, 2);
    std::memcpy(&nLength, m_image.data() + nAttr + 0x10, 4);
    Patch<uint32_t>(nAttr, 0x20);
    for (size_t i = nAttr + nValue; i < nAttr + nValue + nLength; ++i)
        if (i % 512 < 510) m_image[i] = 0;
    ScanDamaged();
    EXPECT_EQ(Save("small_root.txt"), NTFS_ERR_NO_ATTRIBUTE);
    EXPECT_EQ(m_log.vecErrors, std::vector<int>{-100});
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
    EXPECT_EQ(m_tree.count(strLost + "/last.bin"), 1u);
    EXPECT_EQ(m_tree.count(strLost + "/inner/deep.txt"), 1u);
    EXPECT_EQ(m_tree.count("dead/a.bin"), 1u);  // the rest of the tree is unchanged
}

// A parent reference keeps its 48-bit record number: one past 32 bits names
// no folder of the volume (cut to 32 bits it would name "live").
TEST_F(DamagedNtfs, AParentRecordNumberPast32BitsIsALostFolder) {
    const size_t nName = AttrOffset("live/gone_big.bin", 0x30);
    uint16_t nValue;
    std::memcpy(&nValue, m_image.data() + nName + 0x14, 2);
    Patch<uint16_t>(nName + nValue + 4, 1);
    ScanDamaged();
    const uint64_t u64Record = (1ull << 32) + m_records.at("live");
    EXPECT_EQ(m_tree.count("LostFolder" + std::to_string(u64Record) + "/gone_big.bin"), 1u);
    EXPECT_EQ(m_tree.count("live/gone_big.bin"), 0u);
    EXPECT_EQ(m_tree.count("live/gone_small.txt"), 1u);
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

// A device node's stat size is 0: both NTFS engines size a volume given by a
// node's path from its end, and find there what they find in its image.
TEST(NtfsDeviceNode, ScansLikeItsImage) {
    const std::string strImage = twtest::FixtureImage("ntfs_c4k");
    const std::string strLosetup = twtest::FindTool("losetup");
    ASSERT_FALSE(strLosetup.empty()) << "losetup is missing (make test installs it)";
    ASSERT_TRUE(twtest::FixtureBuilt("ntfs_c4k"));
    const std::string strSha1 = twtest::Sha1OfFile(strImage);
    std::string strLoop;
    ASSERT_EQ(twtest::RunCommand(
                  strLosetup + " -r -f --show " + twtest::ShellQuote(strImage) + " 2>/dev/null",
                  &strLoop),
              0)
        << "no loop device can be bound (the tests run as root)";
    strLoop.erase(strLoop.find_last_not_of('\n') + 1);
    struct Unbind {
        std::string strCommand;
        ~Unbind() { twtest::RunCommand(strCommand); }
    } unbind{strLosetup + " -d " + twtest::ShellQuote(strLoop)};
    ScanLogSandbox sandbox;
    size_t nFiles[2] = {0, 0}, nMfts[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const std::wstring wstrSource = W(i ? strLoop : strImage);
        CFastNtfsRecovery fast;
        ASSERT_EQ(fast.Init(wstrSource.c_str(), L'C'), 0u);
        ASSERT_EQ(fast.ScanDevice(nullptr), 0u);
        nFiles[i] = twtest::TreeByPath(fast).size();
        CProfessionalNtfsRecovery deep;
        ASSERT_EQ(deep.Init(wstrSource.c_str(), L'C'), 0u);
        nMfts[i] = deep.GetMftRegistry().size();
    }
    EXPECT_GT(nFiles[0], 0u);
    EXPECT_EQ(nFiles[1], nFiles[0]);
    EXPECT_EQ(nMfts[1], nMfts[0]);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strSha1);
}

}  // namespace
