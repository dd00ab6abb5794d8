// The deep NTFS parser fed file records in device order, as the driver meets them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>
#include "common/Helpers.h"
#include "common/Platform.h"
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "support/DiskImage.h"
#include "support/EngineTree.h"
#include "support/FixtureBuilt.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"
#include "support/ScratchDir.h"
#include "support/SectorFeeder.h"

namespace {

struct Record {
    uint64_t u64Sector;
    std::vector<unsigned char> bytes;
};

// The file records of an image, in device order.
std::vector<Record> Records(const std::string& strImage) {
    std::vector<Record> out;
    twtest::FeedSectors(strImage, [&](const unsigned char* p, size_t n, uint64_t s) {
        if (n >= 1024 && IsNtfsFileRecord(p, 1024)) out.push_back({s, {p, p + 1024}});
    });
    return out;
}

using twtest::W;

class DeepNtfs : public ::testing::Test {
protected:
    // Scans an image (a scratch copy when pfnDamage changes it) with the records
    // fed in the order given; the tree is then walked as the browser does.
    bool Scan(const std::string& strName, void (*pfnDamage)(const std::string&) = nullptr,
              std::vector<Record> (*pfnOrder)(std::vector<Record>) = nullptr) {
        m_strImage = twtest::FixtureImage(strName);
        if (!twtest::FixtureBuilt(strName)) return false;
        if (pfnDamage) {
            std::vector<unsigned char> bytes;
            twtest::ReadFileBytes(m_strImage, bytes);
            m_strImage = m_scratch.Write("copy.img", bytes);
            pfnDamage(m_strImage);
        }
        m_strSha1 = twtest::Sha1OfFile(m_strImage);
        EXPECT_EQ(m_parser.Init(W(m_strImage).c_str(), L'C'), 0u);
        EXPECT_EQ(m_parser.InitProfessionalScan(nullptr), 0u);
        std::vector<Record> records = Records(m_strImage);
        if (pfnOrder) records = pfnOrder(records);
        for (const Record& r : records) m_parser.ParseNtfsFileRecord(r.bytes.data(), r.u64Sector);
        EXPECT_EQ(m_parser.ParseProfessionalRecordVec(), 0u);
        m_tree = twtest::TreeByPath(m_parser);
        return true;
    }
    // Every file of the manifest in the states given is listed at prefix + its
    // path and saved byte for byte.
    void ExpectSaved(const std::string& strName, const std::string& strPrefix,
                     const std::vector<std::string>& vecStates, uint32_t nClusterBytes) {
        auto manifest = twtest::ReadManifest(strName);
        ASSERT_FALSE(manifest.empty());
        int n = 0;
        for (const auto& m : manifest) {
            if (std::find(vecStates.begin(), vecStates.end(), m.strStatus) == vecStates.end())
                continue;
            const std::string strPath = strPrefix + m.strPath.substr(1);
            auto it = m_tree.find(strPath);
            ASSERT_NE(it, m_tree.end()) << "not listed: " << strPath;
            const _FILE_NODE_& node = it->second.node;
            EXPECT_EQ(node.u64FileSize, m.u64Size) << strPath;
            EXPECT_EQ(node.nEngineType, ENGINE_DEEP_NTFS);
            EXPECT_EQ(node.nClusterBytes, nClusterBytes) << strPath;
            const std::string strOut = m_out.File(strName + "_" + std::to_string(++n));
            EXPECT_EQ(m_parser.SaveFileData(&node, W(strOut).c_str(), 0), 0u) << strPath;
            EXPECT_EQ(twtest::Sha1OfFile(strOut), m.strSha1) << strPath;
        }
        EXPECT_GE(n, 3);
    }
    void TearDown() override {
        if (!m_strSha1.empty()) EXPECT_EQ(twtest::Sha1OfFile(m_strImage), m_strSha1);
    }

    ScanLogSandbox m_sandbox;
    CScratchDir m_scratch, m_out;
    CProfessionalNtfsRecovery m_parser;
    std::string m_strImage, m_strSha1;
    std::map<std::string, twtest::TreeNode> m_tree;
};

void WipeBootSector(const std::string& strImage) {
    std::vector<unsigned char> zeros(512, 0);
    twtest::WriteAt(strImage, 0, zeros.data(), zeros.size());
}

TEST_F(DeepNtfs, AVolumeWithoutBootSectorIsRebuiltFromItsRecords) {
    ASSERT_TRUE(Scan("ntfs_deep_a", WipeBootSector)) << "no ntfs_deep_a image";
    ExpectSaved("ntfs_deep_a", "", {"deleted", "live"}, 512);
    // The MFT met once: its copy in $MFTMirr is not a second volume.
    EXPECT_EQ(m_parser.GetMftRegistry().size(), 1u);
    EXPECT_EQ(m_parser.GetUnfollowedLists(), 0u);
    // Each folder is read once, whatever the number of files in it.
    EXPECT_LE(m_parser.GetParentReads(), 6u);
    std::vector<__RUNLIST__> runs;
    ASSERT_EQ(m_parser.GetFileNodeRunListInfo(m_tree["frag.bin"].node, 0x80, runs), 0u);
    EXPECT_GE(runs.size(), 2u) << "frag.bin is not fragmented";
}

TEST_F(DeepNtfs, TwoVolumesWithOtherClusterSizesKeepTheirOwnFolders) {
    // The records of the two volumes met in turns.
    auto interleave = [](std::vector<Record> v) {
        std::vector<Record> a, b, out;
        for (auto& r : v) (r.u64Sector < 12288 ? a : b).push_back(r);
        for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
            if (i < a.size()) out.push_back(a[i]);
            if (i < b.size()) out.push_back(b[i]);
        }
        return out;
    };
    ASSERT_TRUE(Scan("ntfs_deep_disk", nullptr, interleave)) << "no ntfs_deep_disk image";
    ExpectSaved("ntfs_deep_a", "", {"deleted", "live"}, 512);
    ExpectSaved("ntfs_deep_b", "NtfsVolume12288/", {"deleted", "live"}, 4096);
    EXPECT_EQ(m_parser.GetMftRegistry().size(), 2u);
}

TEST_F(DeepNtfs, TheOlderVolumeUnderAReformatGivesBackItsIntactFiles) {
    ASSERT_TRUE(Scan("ntfs_deep_reformat")) << "no ntfs_deep_reformat image";
    ExpectSaved("ntfs_deep_reformat", "", {"intact"}, 4096);
}

// Which MFT and volume a record belongs to.
TEST_F(DeepNtfs, RegistryVolumesAndLostFolders) {
    const std::string strA = twtest::FixtureImage("ntfs_deep_a");
    ASSERT_TRUE(twtest::FixtureBuilt("ntfs_deep_a"));
    std::vector<Record> records = Records(strA);
    ASSERT_GT(records.size(), 20u);
    const Record mft = records[0];  // record 0 of the MFT, at sector K
    std::vector<unsigned char> bytes;
    twtest::ReadFileBytes(strA, bytes);
    std::memset(bytes.data(), 0, 512);
    const std::string strWiped = m_scratch.Write("wiped.img", bytes);
    // The name "$MFT" is found in any case; another name registers nothing.
    struct {
        const char16_t* szName;
        size_t nRegistered;
    } names[] = {{u"$MFT", 1}, {u"$mFt", 1}, {u"$mft", 1}, {u"$MFX", 0}};
    for (const auto& c : names) {
        CProfessionalNtfsRecovery p;
        ASSERT_EQ(p.Init(W(strWiped).c_str(), L'C'), 0u);
        ASSERT_EQ(p.InitProfessionalScan(nullptr), 0u);
        Record r = mft;
        static const unsigned char kMft[] = {'$', 0, 'M', 0, 'F', 0, 'T', 0};
        auto it = std::search(r.bytes.begin(), r.bytes.end(), kMft, kMft + 8);
        ASSERT_NE(it, r.bytes.end());
        std::memcpy(&*it, c.szName, 8);
        p.ParseNtfsFileRecord(r.bytes.data(), r.u64Sector);
        EXPECT_EQ(p.GetMftRegistry().size(), c.nRegistered);
    }
    // Record N found at K + 2N belongs to the MFT met at K; anywhere else it
    // belongs to none, and its volume is taken to begin at the device start.
    CProfessionalNtfsRecovery p;
    ASSERT_EQ(p.Init(W(strWiped).c_str(), L'C'), 0u);
    ASSERT_EQ(p.InitProfessionalScan(nullptr), 0u);
    p.ParseNtfsFileRecord(mft.bytes.data(), mft.u64Sector);
    ASSERT_EQ(p.GetMftRegistry().size(), 1u);
    const NTFS_MFT_ENTRY& e = p.GetMftRegistry().begin()->second;
    EXPECT_EQ(e.nSectorsPerCluster, 1u);
    const uint64_t K = mft.u64Sector, L = static_cast<uint64_t>(e.vecRuns[0].i64Offset);
    EXPECT_EQ(p.GetFileRecordIndexMftRunList(40, K + 80, nullptr), K);
    EXPECT_EQ(p.GetSpecialFileRecordPartitionStartSector(K + 80, 40, nullptr), K - L);
    EXPECT_EQ(p.GetFileRecordIndexMftRunList(40, K + 82, nullptr), 0u);
    EXPECT_EQ(p.GetSpecialFileRecordPartitionStartSector(K + 82, 40, nullptr), 0u);
    // A record past the MFT's size is not the MFT's.
    EXPECT_EQ(
        p.GetFileRecordIndexMftRunList(e.u64MftBytes / 1024, K + e.u64MftBytes / 512, nullptr), 0u);
    // The cluster size from a record: allocated size / sector size / clusters.
    unsigned int nSpc = 0;
    std::vector<unsigned char> rec = mft.bytes;
    CNtfsParse fix;
    fix.Init(512);
    fix.FileRecordFixUp(rec.data());
    ASSERT_EQ(p.GetFileRecordSectorPerClusterByRecordBuf(rec.data(), nSpc), 0u);
    EXPECT_EQ(nSpc, 1u);
    const std::string strB = twtest::FixtureImage("ntfs_deep_b");
    rec = Records(strB)[0].bytes;
    fix.FileRecordFixUp(rec.data());
    ASSERT_EQ(p.GetFileRecordSectorPerClusterByRecordBuf(rec.data(), nSpc), 0u);
    EXPECT_EQ(nSpc, 8u);
}

// A folder whose record now has another number: its files go to a lost folder.
std::string g_strDir1;
void RenumberDir1(const std::string& strImage) {
    for (const Record& r : Records(strImage)) {
        NTFS_RECORD_INFO info;
        std::vector<unsigned char> rec = r.bytes;
        CNtfsParse fix;
        fix.Init(512);
        fix.FileRecordFixUp(rec.data());
        if (NtfsParseRecord(rec.data(), rec.size(), info) != 0 || info.wstrName != L"dir1")
            continue;
        uint32_t nOther = info.nRecordNumber + 1000;
        twtest::WriteAt(strImage, r.u64Sector * 512 + 0x2C, &nOther, 4);
        g_strDir1 = std::to_string(info.nRecordNumber);
    }
}

TEST_F(DeepNtfs, ARenumberedParentBecomesALostFolder) {
    ASSERT_TRUE(Scan("ntfs_deep_a", RenumberDir1)) << "no ntfs_deep_a image";
    const std::string strLost = "LostFolder" + g_strDir1;
    EXPECT_EQ(m_tree.count(strLost + "/keep.txt"), 1u);
    EXPECT_EQ(m_tree.count(strLost + "/dir2/inner.bin"), 1u);
    EXPECT_EQ(m_tree.count("dir1/keep.txt"), 0u);
}

// A file whose folder's record now holds another folder (its sequence number
// moved on) goes to a lost folder, not into the new folder.
TEST_F(DeepNtfs, AFolderRecordReusedByAnotherFolderLeavesItsFilesInALostFolder) {
    ASSERT_TRUE(Scan("ntfs_c4k")) << "no ntfs_c4k image";
    const std::string strReused = twtest::FirstLine(twtest::FixtureDir() + "/ntfs_c4k.reused");
    ASSERT_FALSE(strReused.empty());
    EXPECT_EQ(m_tree.count("LostFolder" + strReused + "/stranded.bin"), 1u);
    EXPECT_EQ(m_tree.count("newfolder/stranded.bin"), 0u);
}

// A record is taken only at the record size the boot sector gives (one
// cluster of one sector here on volumes of larger sectors): one that states
// another size is refused unread.
TEST(DeepNtfsRecordSize, ARecordOfAnotherSizeIsRefusedUnread) {
    ScanLogSandbox sandbox;
    CScratchDir scratch;
    // Boot sector: one sector per cluster, one sector, the record size, the signature. Record:
    // fix-ups at 0x30, the end mark first at 0x38, in use, 0x40 of 1,024 bytes
    // used, record 64, no name.
    static const int kBoot[][2] = {{0x0D, 1}, {0x28, 1}, {510, 0x55}, {511, 0xAA}};
    static const int kRecord[][2] = {{4, 0x30}, {6, 3},     {0x14, 0x38}, {0x16, 1},  {0x18, 0x40},
                                     {0x1D, 4}, {0x2C, 64}, {0x30, 1},    {0x1FE, 1}, {0x3FE, 1}};
    for (uint16_t nBps : {512, 2048, 4096}) {
        std::vector<unsigned char> image(65536, 0), rec(1024, 0);
        std::memcpy(image.data() + 3, "NTFS    ", 8);
        std::memcpy(image.data() + 0x0B, &nBps, 2);
        for (const auto& b : kBoot) image[b[0]] = static_cast<unsigned char>(b[1]);
        image[0x40] = nBps == 512 ? 0xF6 : 1;  // 2^10 bytes, or one cluster
        std::memcpy(rec.data(), "FILE", 4);
        for (const auto& b : kRecord) rec[b[0]] = static_cast<unsigned char>(b[1]);
        std::memset(rec.data() + 0x38, 0xFF, 4);
        CProfessionalNtfsRecovery p;
        ASSERT_EQ(p.Init(W(scratch.Write("v.img", image)).c_str(), L'C'), 0u);
        ASSERT_EQ(p.InitProfessionalScan(nullptr), 0u);
        EXPECT_EQ(p.ParseNtfsFileRecord(rec.data(), 64), nBps > 1024 ? TW_ERR_BAD_ARGUMENT : 0u)
            << nBps;
    }
}

}  // namespace
