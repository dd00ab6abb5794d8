// The deep FAT parser fed sector by sector, as the deep-scan driver feeds it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>
#include "common/FatEntry.h"
#include "common/Platform.h"
#include "fat/ProfessionalFatRecovery.h"
#include "support/DiskImage.h"
#include "support/EngineTree.h"
#include "support/Fixtures.h"
#include "support/ParamName.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"
#include "support/SectorFeeder.h"

namespace {

using Listed = twtest::TreeNode;

// A parser over an image, fed every sector, and the tree it lists.
struct Pass {
    Pass(const std::string& strImage, uint64_t u64Budget = 64ull << 20) {
        EXPECT_EQ(parser.Init(tw::Utf8ToWide(strImage.c_str()).c_str(), L'C'), 0u);
        EXPECT_EQ(parser.ClearProfessionalVec(nullptr), 0u);
        EXPECT_EQ(parser.InitVirtualDbrInfo(), 0u);
        parser.SetUnDealMemoryBudget(u64Budget);
        EXPECT_TRUE(twtest::FeedFatParser(parser, strImage));
        for (Listed& n : twtest::BrowseTree(parser)) (n.node.bIsDir ? dirs : files).push_back(n);
    }
    std::string Save(const _FILE_NODE_& node, unsigned int* pResult = nullptr) {
        std::string strOut = out.File("saved");
        unlink(strOut.c_str());
        unsigned int nRet = parser.SaveFileData(&node, tw::Utf8ToWide(strOut.c_str()).c_str(), 0);
        if (pResult) *pResult = nRet;
        return ReadFileBytes(strOut);
    }
    ScanLogSandbox sandbox;
    CScratchDir out;
    CProfessionalFatRecovery parser;
    std::vector<Listed> files, dirs;
};

// Raw 32-byte directory slots, dated 1 June 2020.
std::string ShortSlot(const char* szName11, uint8_t nAttr, uint32_t nCluster, uint32_t nSize) {
    unsigned char p[32] = {0};
    std::memcpy(p, szName11, 11);
    p[11] = nAttr;
    for (int o : {0x10, 0x12, 0x18}) p[o] = 0xC1, p[o + 1] = 0x50;
    const uint32_t nFields[][2] = {{0x14, nCluster >> 16}, {0x1A, nCluster & 0xFFFF}};
    for (const auto& f : nFields) p[f[0]] = f[1] & 0xFF, p[f[0] + 1] = f[1] >> 8;
    for (int b = 0; b < 4; ++b) p[0x1C + b] = static_cast<unsigned char>(nSize >> (8 * b));
    return std::string(reinterpret_cast<char*>(p), 32);
}
// The one long-name slot (at most 12 characters) of the short name that follows it.
std::string LongSlot(const std::string& strName, const char* szShort11) {
    unsigned char p[32] = {0x41};
    static const int kUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t i = 0; i < 13; ++i) {
        uint16_t u = i < strName.size() ? strName[i] : (i == strName.size() ? 0 : 0xFFFF);
        p[kUnits[i]] = u & 0xFF, p[kUnits[i] + 1] = u >> 8;
    }
    p[11] = FAT_ATTR_LONG_NAME;
    p[13] = GetShortNameCheckSum(szShort11);
    return std::string(reinterpret_cast<char*>(p), 32);
}
// A directory's first sector: "." (nSelf) and ".." (the top), then the slots.
std::vector<unsigned char> DirSector(uint32_t nSelf, const std::string& strSlots) {
    std::string str =
        ShortSlot(".          ", 0x10, nSelf, 0) + ShortSlot("..         ", 0x10, 0, 0) + strSlots;
    str.resize(512, '\0');
    return std::vector<unsigned char>(str.begin(), str.end());
}

}  // namespace

// The cases the design spells out, on small images written here.
TEST(ProFat, LearnsRecordsPlacesPendingFilesAndNamesLostFolders) {
    ScanLogSandbox sandbox;
    CScratchDir dir;
    const std::string strPlain = dir.File("plain.img"), strBoot = dir.File("boot.img");
    ASSERT_TRUE(twtest::CreateSparseFile(strPlain, 8 << 20));
    ASSERT_EQ(twtest::RunCommand(twtest::FindTool("mkfs.fat") + " -C -F 16 -s 2 " + strBoot +
                                 " 8192 >/dev/null 2>&1"),
              0);
    const std::vector<unsigned char> data = PatternBytes(100);
    struct {
        uint64_t u64Sector;
        std::vector<unsigned char> bytes;
    } writes[] = {
        // A file in cluster 10, met before any record: FIRST.TXT, named "../evil".
        {5000, DirSector(10, LongSlot("../evil", "FIRST   TXT") +
                                 ShortSlot("FIRST   TXT", 0x20, 20, 100))},
        // Cluster 14: 8 sectors per cluster, data at 4936. Its stale entry for
        // cluster 10 is not taken: cluster 10's ".." names the top.
        {5032, DirSector(14, ShortSlot("\xE5LDDIR     ", 0x10, 10, 0))},
        {4936 + 18 * 8, data},  // cluster 20
        // A directory no record places exactly: its files go under the nearest
        // record below. One is a deleted empty file (no cluster).
        {6000, DirSector(50, ShortSlot("LATER   TXT", 0x20, 20, 100) +
                                 ShortSlot("\xE5MPTY   TXT", 0x20, 0, 0))},
    };
    for (const std::string& strImage : {strPlain, strBoot})
        for (const auto& w : writes)
            ASSERT_TRUE(
                twtest::WriteAt(strImage, w.u64Sector * 512, w.bytes.data(), w.bytes.size()));

    for (const std::string& strImage : {strPlain, strBoot}) {
        SCOPED_TRACE(strImage);
        const std::string strBefore = twtest::Sha1OfFile(strImage);
        Pass pass(strImage);
        const auto& dbrs = pass.parser.GetVirtualDbrs();
        ASSERT_EQ(dbrs.size(), strImage == strBoot ? 2u : 1u);
        EXPECT_EQ(dbrs.back().nSectorsPerCluster, 8u);
        EXPECT_EQ(dbrs.back().nDataStart, 4936u);
        ASSERT_EQ(pass.files.size(), 3u);
        EXPECT_EQ(pass.files[0].strPath, "LostFolder10/.._evil");
        EXPECT_EQ(pass.files[1].strPath, "LostFolder50/!mpty.txt");
        EXPECT_EQ(pass.files[2].strPath, "LostFolder50/later.txt");
        for (const Listed& f : pass.files) {
            const bool bEmpty = f.node.u64FileSize == 0;
            unsigned int nRet = 1;
            EXPECT_EQ(f.node.u64DataStartSector, 4936u);
            EXPECT_EQ(pass.Save(f.node, &nRet),
                      bEmpty ? std::string() : std::string(data.begin(), data.end()));
            EXPECT_EQ(nRet, 0u) << f.strPath;
        }
        // Clusters 10 and 13 disagree on a whole cluster size; a known pair adds nothing.
        EXPECT_EQ(pass.parser.CalcVirtualDbr(13, 5032, 10, 5000), -1);
        EXPECT_EQ(pass.parser.CalcVirtualDbr(14, 5032, 10, 5000),
                  static_cast<int>(dbrs.size()) - 1);
        EXPECT_EQ(pass.parser.GetVirtualDbrs().size(), dbrs.size());
        // Data that runs off the area is saved as far as it goes and fails.
        _FILE_NODE_ node = pass.files[0].node;
        node.nDirId = static_cast<uint32_t>((16384 - 4936) / 8 + 2 - 1);
        node.u64FileSize = 16 * 512;
        unsigned int nRet = 0;
        EXPECT_EQ(pass.Save(node, &nRet).size(), 8u * 512);
        EXPECT_EQ(nRet, TW_ERR_SHORT_READ);
        EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
    }
}

struct CardCase {
    const char* szImage;
    uint64_t u64Budget;  // memory for undealt sectors
};
void PrintTo(const CardCase& c, std::ostream* os) {
    *os << c.szImage << (c.u64Budget ? "" : "_spilling");
}
class DeepFatCards : public ::testing::TestWithParam<CardCase> {};

// Every file of the manifest listed under its folder path, back byte for byte.
TEST_P(DeepFatCards, ListsEveryFileUnderItsPathAndRecoversIt) {
    const std::string strName = std::string("deepfat/") + GetParam().szImage;
    const std::string strImage = twtest::FixtureImage(strName);
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    Pass pass(strImage, GetParam().u64Budget);
    std::multimap<std::string, std::string> expected;  // path -> original bytes
    for (const twtest::ManifestEntry& e : twtest::ReadManifest(strName))
        expected.emplace(e.strListed, ReadFileBytes(e.strSourceFile));
    ASSERT_GE(expected.size(), 11u);
    for (const Listed& f : pass.files) {
        auto range = expected.equal_range(f.strPath);
        std::string strSaved = pass.Save(f.node);
        auto it = range.first;
        while (it != range.second && it->second != strSaved) ++it;
        if (it != range.second) expected.erase(it);
    }
    for (const auto& missing : expected) ADD_FAILURE() << "not recovered: " << missing.first;
    // Folders of two volumes never share an id, so never their files.
    for (const Listed& d : pass.dirs) {
        unsigned int nCount = 0;
        ASSERT_EQ(pass.parser.GetChildrenFileCount(&d.node, 1, nCount), 0u);
        if (d.strPath == "Documents") EXPECT_EQ(nCount, 5u);
    }
    if (GetParam().u64Budget == 0) EXPECT_GT(pass.parser.GetUnDealSpilledCount(), 0u);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

INSTANTIATE_TEST_SUITE_P(Cards, DeepFatCards,
                         ::testing::Values(CardCase{"wiped_f16s2", 64 << 20},
                                           CardCase{"wiped_f16s4", 64 << 20},
                                           CardCase{"wiped_f32s1", 0},
                                           CardCase{"reformat", 64 << 20},
                                           CardCase{"twovol", 64 << 20}),
                         twtest::ParamName());
