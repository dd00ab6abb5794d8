// What every engine listing deleted files does, whatever the file system, on
// each of its fixture images (as a file, and those in vecOnDisk also as the
// second partition of an MBR disk), made by the factory: the scan reports its
// files and stops when told; it lists each file the manifest lists and no live
// one, browsing agrees; each deleted file is saved byte for byte and previewed;
// a deleted folder is saved whole, and again beside the first save; a cancel
// stops a save; free runs lie in the volume; the source is never written.
// A new engine is one row in Engines(), whose maker gives it ready to scan.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "deepscan/FileRecoveryFactory.h"
#include "exfat/FastExFatRecovery.h"
#include "ext/FastExtRecovery.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "support/DiskImage.h"
#include "support/EngineTree.h"
#include "support/FatImages.h"
#include "support/FixtureBuilt.h"
#include "support/Fixtures.h"
#include "support/ParamName.h"
#include "support/ScanLogSandbox.h"

namespace {

using Engine = std::unique_ptr<IFileRecoveryParse>;
using twtest::W;

// An image file, or (nDisk >= 0) a partition of "/dev/disk<nDisk>".
struct Source {
    std::string strImage;
    int nDisk = -1;
    uint64_t u64First = 0, u64Count = 0;
};

// The factory's engine for a fast scan; null unless it is a T.
template <class T>
Engine Fast(const Source& s) {
    CFileRecoveryFactory& f = CFileRecoveryFactory::GetInstance();
    Engine e(s.nDisk < 0
                 ? f.CreateFileRecoveryInstance(W(s.strImage).c_str(), L'C', RECOVERY_TYPE_FAST)
                 : f.CreateFileRecoveryInstance(s.nDisk, s.u64First, s.u64Count, L'C',
                                                RECOVERY_TYPE_FAST));
    if (!dynamic_cast<T*>(e.get())) e.reset();
    return e;
}

struct EngineKind {
    const char* szName;
    std::function<Engine(const Source&)> make;
    std::vector<std::string> vecImages, vecOnDisk;
    bool bExactListing;   // lists nothing but the manifest's deleted files
    bool bCountsFolders;  // its scan reports count folders as files
};

const std::vector<EngineKind>& Engines() {
    static const std::vector<std::string> ntfs = {"ntfs_c512", "ntfs_c4k",      "ntfs_c64k",
                                                  "ntfs_s4k",  "ntfs_s512_r4k", "ntfs_s4k_r1k"},
                                          exfat = {"exfat_4k", "exfat_32k", "exfat_128k",
                                                   "exfat_s4k"},
                                          ext = {"ext2_1k", "ext2_4k", "ext3_1k",
                                                 "ext3_4k", "ext4_1k", "ext4_4k"};
    static const std::vector<EngineKind> kinds = {
        {"FastFat", Fast<CFastFatRecovery>, FatImageNames(), {"fat16_2k"}, true, false},
        {"FastNtfs", Fast<CFastNtfsRecovery>, ntfs, ntfs, false, true},
        {"FastExFat", Fast<CFastExFatRecovery>, exfat, exfat, true, false},
        {"FastExt", Fast<CFastExtRecovery>, ext, {"ext3_1k", "ext4_4k"}, true, false},
    };
    return kinds;
}

struct Case {
    const EngineKind* pKind;
    std::string strImage;
    bool bOnDisk;
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.pKind->szName << "_" << c.strImage << (c.bOnDisk ? "_disk" : "");
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const EngineKind& kind : Engines()) {
        for (const std::string& strImage : kind.vecImages)
            cases.push_back({&kind, strImage, false});
        for (const std::string& strImage : kind.vecOnDisk) cases.push_back({&kind, strImage, true});
    }
    return cases;
}

// The free sectors an engine reports, checking that its runs come in order
// and end inside a volume of that many 512-byte sectors.
unsigned long long FreeSectors(IFileRecoveryParse& e, unsigned long long u64VolumeSectors) {
    EXPECT_EQ(e.BuildBitMapInfo(), 0u);
    unsigned long long u64Sector = 0, u64Count = 0, u64Free = 0, u64End = 0;
    for (int nRuns = 0; nRuns < 100000; ++nRuns) {
        EXPECT_EQ(e.GetUnUsedSectorCount(u64Sector, u64Count), 1u);
        if (u64Count == 0) break;
        EXPECT_GE(u64Sector, u64End) << "runs out of order";
        EXPECT_LE(u64Sector + u64Count, u64VolumeSectors) << "free run past the volume";
        u64Free += u64Count;
        u64End = u64Sector += u64Count;
    }
    return u64Free;
}

// The files below a folder, as "folder/in/it" + '\0' + content.
std::multiset<std::string> FilesBelow(const std::string& strDir) {
    std::multiset<std::string> files;
    for (const auto& f : std::filesystem::recursive_directory_iterator(strDir)) {
        if (f.is_directory()) {
            EXPECT_EQ(static_cast<unsigned>(f.status().permissions()) & 0777, 0755u) << f.path();
            continue;
        }
        const std::string strRel = f.path().parent_path().lexically_relative(strDir).string();
        files.insert((strRel == "." ? "" : strRel) + '\0' + ReadFileBytes(f.path().string()));
    }
    return files;
}

// The level offset that saves a folder met at d.nLevel into strTarget.
int LevelOffset(const std::string& strTarget, const twtest::TreeNode& d) {
    return static_cast<int>(std::count(strTarget.begin(), strTarget.end(), '/') - d.nLevel) - 1;
}

class EngineConformance : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        const Case& c = GetParam();
        m_strImage = m_strSource = twtest::FixtureImage(c.strImage);
        ASSERT_TRUE(twtest::FixtureBuilt(c.strImage));
        struct stat st;
        ASSERT_EQ(stat(m_strImage.c_str(), &st), 0);
        m_u64VolumeSectors = static_cast<unsigned long long>(st.st_size) / 512;
        m_rows = twtest::ReadManifest(c.strImage);
        ASSERT_FALSE(m_rows.empty());
        Source src{m_strImage};
        if (c.bOnDisk) {
            // Behind a zero-filled partition, so that an engine ignoring the
            // partition start reads the wrong sectors.
            twtest::Volume filler, volume;
            filler.u64Sectors = 4096;
            volume.strSourceImage = m_strImage;
            volume.nMbrType = 0x07;
            std::vector<twtest::Placed> placed;
            m_strSource = m_out.File("disk.img");
            ASSERT_TRUE(twtest::WriteMbrDisk(m_strSource, {filler, volume}, {}, &placed));
            ASSERT_TRUE(m_disks.AddDisk(0, m_strSource));
            src = {"", 0, placed[1].u64StartSector, placed[1].u64Sectors};
        }
        m_strSha1 = twtest::Sha1OfFile(m_strSource);
        m_pEngine = c.pKind->make(src);
        ASSERT_NE(m_pEngine, nullptr) << "the factory gave no " << c.pKind->szName << " engine";
        m_log.Attach(*m_pEngine);
        ASSERT_EQ(m_pEngine->ScanDevice(nullptr), 0u);
        for (twtest::TreeNode& n : twtest::SearchAll(*m_pEngine)) m_listed.emplace(n.strPath, n);
    }
    void TearDown() override {
        m_pEngine.reset();
        if (!m_strSha1.empty())
            EXPECT_EQ(twtest::Sha1OfFile(m_strSource), m_strSha1) << "source changed";
    }
    ScanLogSandbox m_sandbox;
    CScratchDir m_out;
    twtest::TempDiskDir m_disks;
    twtest::CallbackLog m_log;
    std::string m_strImage, m_strSource, m_strSha1;
    unsigned long long m_u64VolumeSectors = 0;
    std::vector<twtest::ManifestEntry> m_rows;
    Engine m_pEngine;
    std::multimap<std::string, twtest::TreeNode> m_listed;  // by path
};

TEST_P(EngineConformance, ListsEveryDeletedFileAndNothingLive) {
    std::multiset<std::string> listed, wanted, browsed;
    for (const auto& l : m_listed) listed.insert(l.first);
    const std::vector<twtest::TreeNode> tree = twtest::BrowseTree(*m_pEngine);
    for (const twtest::TreeNode& n : tree)
        if (!n.node.bIsDir) browsed.insert(n.strPath);
    ASSERT_FALSE(m_log.vecScanPercent.empty());
    EXPECT_EQ(m_log.vecScanPercent.back(), 100);
    EXPECT_EQ(m_log.u64ScanFiles, GetParam().pKind->bCountsFolders ? tree.size() : listed.size());
    EXPECT_EQ(m_pEngine->GetLostFileCount(), tree.size());
    for (const twtest::ManifestEntry& row : m_rows) {
        if (row.strStatus == "live")
            EXPECT_EQ(listed.count(row.strPath.substr(1)), 0u) << "live file listed";
        if (row.strListed.empty()) continue;  // live, or lost with its folder
        wanted.insert(row.strListed);
        EXPECT_GT(listed.count(row.strListed), 0u) << "not listed: " << row.strPath;
    }
    if (GetParam().pKind->bExactListing) EXPECT_EQ(listed, wanted);
    EXPECT_EQ(browsed, listed);
    unsigned int nCount = 0;
    ASSERT_EQ(m_pEngine->GetChildrenFileCount(nullptr, 0, nCount), 0u);
    EXPECT_EQ(nCount, listed.size());
    std::vector<_FILE_NODE_> none;
    EXPECT_EQ(m_pEngine->GetChildrenFileNode(nullptr, 1, none), TW_ERR_BAD_ARGUMENT);

    const unsigned long long u64Free = FreeSectors(*m_pEngine, m_u64VolumeSectors);
    EXPECT_GT(u64Free, 0u);
    if (GetParam().bOnDisk) {
        Engine pPlain = GetParam().pKind->make({m_strImage});
        ASSERT_NE(pPlain, nullptr);
        EXPECT_EQ(u64Free, FreeSectors(*pPlain, m_u64VolumeSectors));
    }

    // A second scan stopped by its callback's first answer.
    Engine pStopped = GetParam().pKind->make({m_strImage});
    ASSERT_NE(pStopped, nullptr);
    twtest::CallbackLog stop;
    stop.nScanAnswer = 7;
    stop.Attach(*pStopped);
    EXPECT_EQ(pStopped->ScanDevice(nullptr), 7u);
    EXPECT_EQ(stop.vecScanPercent.size(), 1u);
}

TEST_P(EngineConformance, SavesAndPreviewsEveryDeletedFileByteForByte) {
    int nTarget = 0;
    const twtest::TreeNode* pLargest = nullptr;
    std::vector<unsigned char> buf(4096);
    for (const twtest::ManifestEntry& row : m_rows) {
        if (row.strStatus != "deleted") continue;
        SCOPED_TRACE(row.strPath);
        const std::string strWant = ReadFileBytes(row.strSourceFile);
        // Names that differ only in the byte a deletion erased are listed
        // alike: one of them holds this original.
        bool bSaved = false, bPreviewed = false;
        for (auto it = m_listed.lower_bound(row.strListed);
             it != m_listed.upper_bound(row.strListed); ++it) {
            const twtest::TreeNode* pFound = &it->second;
            const _FILE_NODE_& node = pFound->node;
            EXPECT_EQ(node.bDataHealth, 1u);
            if (!pLargest || node.u64FileSize > pLargest->node.u64FileSize) pLargest = pFound;
            std::string strTarget = m_out.File("f" + std::to_string(nTarget++));
            m_log.vecErrors.clear();
            ASSERT_EQ(m_pEngine->SaveFileData(&node, W(strTarget).c_str(), 0), 0u);
            ASSERT_FALSE(m_log.vecErrors.empty());
            EXPECT_EQ(m_log.vecErrors.back(), 0);
            struct stat st;
            ASSERT_EQ(stat(strTarget.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0644u);
            bSaved |= ReadFileBytes(strTarget) == strWant;

            wchar_t wszPreview[260] = {0};
            int nLength = static_cast<int>(buf.size());
            ASSERT_EQ(m_pEngine->PreView(&node, wszPreview, buf.data(), nLength, nullptr, nullptr),
                      0u);
            if (wszPreview[0]) {
                EXPECT_EQ(nLength, 0);
                bPreviewed |= ReadFileBytes(tw::WideToUtf8(wszPreview)) == strWant;
            } else {
                bPreviewed |= std::string(buf.begin(), buf.begin() + nLength) ==
                              strWant.substr(0, buf.size());
            }
        }
        EXPECT_TRUE(bSaved) << "not saved byte for byte";
        EXPECT_TRUE(bPreviewed) << "preview differs";
    }
    ASSERT_NE(pLargest, nullptr);

    // The deleted folders at the top of deleted trees (where an engine marks
    // no folder deleted, the top folders) saved whole, twice.
    const std::vector<twtest::TreeNode> tree = twtest::BrowseTree(*m_pEngine);
    const bool bMarked = std::any_of(tree.begin(), tree.end(), [](const twtest::TreeNode& n) {
        return n.node.bIsDir && n.node.bIsDeleted;
    });
    const twtest::TreeNode* pFolder = nullptr;
    std::string strTop = "\n";
    for (const twtest::TreeNode& d : tree) {
        if (!d.node.bIsDir || (bMarked ? !d.node.bIsDeleted : d.nLevel != 0) ||
            d.strPath.rfind(strTop, 0) == 0)
            continue;
        strTop = d.strPath + "/";
        SCOPED_TRACE(d.strPath);
        std::multiset<std::string> wanted;
        for (const twtest::ManifestEntry& row : m_rows) {
            if (row.strStatus != "deleted" || row.strListed.rfind(strTop, 0) != 0) continue;
            const std::string strRel = row.strListed.substr(strTop.size());
            const size_t nSlash = strRel.rfind('/');
            wanted.insert((nSlash == std::string::npos ? "" : strRel.substr(0, nSlash)) + '\0' +
                          ReadFileBytes(row.strSourceFile));
        }
        const std::string strTarget = m_out.File("folder" + std::to_string(nTarget++));
        const int nOffset = LevelOffset(strTarget, d);
        ASSERT_EQ(m_pEngine->SaveFileData(&d.node, W(strTarget).c_str(), nOffset), 0u);
        const std::multiset<std::string> saved = FilesBelow(strTarget);
        for (const std::string& strFile : wanted)
            EXPECT_GE(saved.count(strFile), wanted.count(strFile))
                << "not saved in its folder: " << strFile.substr(0, strFile.find('\0'));
        ASSERT_EQ(m_pEngine->SaveFileData(&d.node, W(strTarget).c_str(), nOffset), 0u);
        std::multiset<std::string> contents, twice;
        for (const std::string& strFile : saved) {
            contents.insert(strFile.substr(strFile.find('\0')));
            contents.insert(strFile.substr(strFile.find('\0')));
        }
        for (const std::string& strFile : FilesBelow(strTarget))
            twice.insert(strFile.substr(strFile.find('\0')));
        EXPECT_TRUE(twice == contents) << "the second save changed the first";
        if (!wanted.empty()) pFolder = &d;
    }
    EXPECT_NE(pFolder, nullptr) << "no deleted folder saved";

    // A cancel on the first report stops the save there, of a file or a folder.
    for (const twtest::TreeNode* pNode : {pLargest, pFolder}) {
        if (!pNode) continue;
        twtest::CallbackLog cancel;
        cancel.nCancelAt = 1;
        cancel.Attach(*m_pEngine);
        const std::string strTarget = m_out.File("cancelled" + std::to_string(nTarget++));
        EXPECT_EQ(m_pEngine->SaveFileData(&pNode->node, W(strTarget).c_str(),
                                          LevelOffset(strTarget, *pNode)),
                  TW_ERR_CANCELLED);
        EXPECT_EQ(cancel.vecErrors.size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineConformance, ::testing::ValuesIn(AllCases()),
                         twtest::ParamName());

}  // namespace
