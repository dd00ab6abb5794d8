// One suite that every engine listing deleted files passes, each over its own
// fixture images: what the result browser and the command line rely on,
// whatever the file system.
//  - The scan lists every file of the image's manifest that has a listed path
//    there, and no live file (engines that find nothing else list exactly
//    those).
//  - Browsing from the top reaches the same files; the top count agrees.
//  - Every deleted file is intact by its first sector, saved byte for byte
//    (mode 0644, last report 0) and previewed: a picture whole into the preview
//    file, anything else into the buffer.
//  - A cancel from the recovery callback stops a save at once.
//  - The image is the same afterwards.
// Adding an engine (deep FAT, deep NTFS, exFAT): one row in Engines() below,
//   {"DeepFat", [] { return Engine(new CProfessionalFatRecovery()); }, {"fat12_1k", ...}, false},
// where the images are fixture names with a manifest (tests/fixtures). An
// engine that needs more than Init(path) before ScanDevice gives a maker that
// does it; the images it cannot read yet stay out of its row.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "engine/Categories.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "support/FatImages.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"

namespace {

using Engine = std::unique_ptr<IFileRecoveryParse>;

struct EngineKind {
    const char* szName;
    std::function<Engine()> make;
    std::vector<std::string> vecImages;
    bool bExactListing;  // lists nothing but the manifest's deleted files
};

const std::vector<EngineKind>& Engines() {
    static const std::vector<EngineKind> kinds = {
        {"FastFat", [] { return Engine(new CFastFatRecovery()); }, FatImageNames(), true},
        {"FastNtfs",
         [] { return Engine(new CFastNtfsRecovery()); },
         {"ntfs_c512", "ntfs_c4k", "ntfs_c64k", "ntfs_s4k"},
         false},
    };
    return kinds;
}

struct Case {
    const EngineKind* pKind;
    std::string strImage;
};

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const EngineKind& kind : Engines())
        for (const std::string& strImage : kind.vecImages) cases.push_back({&kind, strImage});
    return cases;
}

std::wstring W(const std::string& strUtf8) {
    return tw::Utf8ToWide(strUtf8.c_str());
}

struct RecoveryLog {
    std::vector<int> vecErrors;
    bool bCancel = false;
    static int Callback(void* p, int, int, int nError, wchar_t*) {
        auto* pLog = static_cast<RecoveryLog*>(p);
        pLog->vecErrors.push_back(nError);
        return pLog->bCancel ? static_cast<int>(TW_ERR_CANCELLED) : 0;
    }
};

struct Listed {
    _FILE_NODE_ node;
    std::string strPath;  // UTF-8, "dir/sub/name"
};

void Browse(IFileRecoveryParse& e, const _FILE_NODE_* pDir, unsigned int nLevel,
            const std::string& strPrefix, std::multiset<std::string>& paths, int nDepth = 0) {
    ASSERT_LT(nDepth, 64) << "the tree does not end";
    std::vector<_FILE_NODE_> children;
    ASSERT_EQ(e.GetChildrenFileNode(pDir, nLevel, children), 0u);
    for (const _FILE_NODE_& c : children) {
        std::string strPath = strPrefix + tw::NarrowToUtf8(c.szFileName);
        if (c.bIsDir)
            Browse(e, &c, nLevel + 1, strPath + "/", paths, nDepth + 1);
        else
            paths.insert(strPath);
    }
}

class EngineConformance : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        m_strImage = twtest::FixtureImage(GetParam().strImage);
        struct stat st;
        if (stat(m_strImage.c_str(), &st) != 0)
            GTEST_SKIP() << "no " << GetParam().strImage << " image (its tools are missing)";
        m_rows = twtest::ReadManifest(GetParam().strImage);
        ASSERT_FALSE(m_rows.empty());
        m_strSha1 = twtest::Sha1OfFile(m_strImage);
        m_pEngine = GetParam().pKind->make();
        ASSERT_EQ(m_pEngine->Init(W(m_strImage).c_str(), L'C'), 0u);
        m_pEngine->InitCallBack(nullptr, &RecoveryLog::Callback, &m_log, 100);
        ASSERT_EQ(m_pEngine->ScanDevice(nullptr), 0u);
        std::vector<__SEARCH_FILE_INFO__> hits;
        ASSERT_EQ(m_pEngine->SearchFileNode(BuildCategoryFilterW(TW_CATEGORY_ALL).c_str(), hits),
                  0u);
        for (const __SEARCH_FILE_INFO__& hit : hits) {
            wchar_t wszParent[1024] = {0};
            EXPECT_EQ(m_pEngine->GetFileNodeParentDirPath(&hit, wszParent, 1024), 0u);
            m_listed.push_back({hit, tw::WideToUtf8(wszParent) + tw::NarrowToUtf8(hit.szFileName)});
        }
    }
    void TearDown() override {
        m_pEngine.reset();
        if (!m_strSha1.empty())
            EXPECT_EQ(twtest::Sha1OfFile(m_strImage), m_strSha1) << "image changed";
    }
    std::vector<const Listed*> Find(const std::string& strPath) const {
        std::vector<const Listed*> found;
        for (const Listed& l : m_listed)
            if (l.strPath == strPath) found.push_back(&l);
        return found;
    }

    ScanLogSandbox m_sandbox;
    CScratchDir m_out;
    RecoveryLog m_log;
    std::string m_strImage, m_strSha1;
    std::vector<twtest::ManifestEntry> m_rows;
    Engine m_pEngine;
    std::vector<Listed> m_listed;
};

TEST_P(EngineConformance, ListsEveryDeletedFileAndNothingLive) {
    std::multiset<std::string> listed, wanted;
    for (const Listed& l : m_listed) listed.insert(l.strPath);
    for (const twtest::ManifestEntry& row : m_rows) {
        if (row.strStatus == "live")
            EXPECT_EQ(listed.count(row.strPath.substr(1)), 0u) << "live file listed";
        if (row.strListed.empty()) continue;  // live, or lost with its folder
        wanted.insert(row.strListed);
        EXPECT_GT(listed.count(row.strListed), 0u) << "not listed: " << row.strPath;
    }
    if (GetParam().pKind->bExactListing) EXPECT_EQ(listed, wanted);
    std::multiset<std::string> browsed;
    Browse(*m_pEngine, nullptr, 0, "", browsed);
    EXPECT_EQ(browsed, listed);
    unsigned int nCount = 0;
    ASSERT_EQ(m_pEngine->GetChildrenFileCount(nullptr, 0, nCount), 0u);
    EXPECT_EQ(nCount, listed.size());
}

TEST_P(EngineConformance, SavesAndPreviewsEveryDeletedFileByteForByte) {
    int nTarget = 0;
    const Listed* pLargest = nullptr;
    std::vector<unsigned char> buf(4096);
    for (const twtest::ManifestEntry& row : m_rows) {
        if (row.strStatus != "deleted") continue;
        SCOPED_TRACE(row.strPath);
        const std::string strWant = ReadFileBytes(row.strSourceFile);
        // Names that differ only in the byte a deletion erased are listed
        // alike: one of them holds this original.
        bool bSaved = false, bPreviewed = false;
        for (const Listed* pFound : Find(row.strListed)) {
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
    // A cancel on the first report stops the save there.
    RecoveryLog cancel;
    cancel.bCancel = true;
    m_pEngine->InitCallBack(nullptr, &RecoveryLog::Callback, &cancel, 100);
    EXPECT_EQ(m_pEngine->SaveFileData(&pLargest->node, W(m_out.File("cancelled")).c_str(), 0),
              TW_ERR_CANCELLED);
    EXPECT_EQ(cancel.vecErrors.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineConformance, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.pKind->szName) + "_" +
                                    info.param.strImage;
                         });

}  // namespace
