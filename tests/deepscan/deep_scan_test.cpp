// The deep scan: used cards recovered through the command line, an interrupted
// scan resumed, an area with no file system, a damaged boot sector's copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "deepscan/FileRecoveryFactory.h"
#include "deepscan/ProfessionalRecovery.h"
#include "engine/Categories.h"
#include "support/Fixtures.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"

namespace {

std::unique_ptr<IFileRecoveryParse> Engine(const std::string& strImage, RECOVERY_TYPE nType) {
    return std::unique_ptr<IFileRecoveryParse>(
        CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
            tw::Utf8ToWide(strImage.c_str()).c_str(), L'C', nType));
}

std::vector<__SEARCH_FILE_INFO__> ListAll(IFileRecoveryParse& engine) {
    std::vector<__SEARCH_FILE_INFO__> hits;
    engine.SearchFileNode(BuildCategoryFilterW(TW_CATEGORY_ALL).c_str(), hits);
    return hits;
}

class UsedCards : public ::testing::TestWithParam<const char*> {};

// Each file written to the card comes back byte for byte, once: the files of
// the last life under their names (their folders survive), the others named or
// carved; no file is recovered twice (once named, once carved).
TEST_P(UsedCards, EveryFileComesBackOnce) {
    ScanLogSandbox sandbox;
    CScratchDir dest;
    const std::string strCard = twtest::FixtureDir() + "/deepfat/" + GetParam();
    const std::string strBefore = twtest::Sha1OfFile(strCard + ".img");
    ASSERT_EQ(twtest::RunCommand("timeout 300 " + twtest::ShellQuote(TW_CLI_PATH) + " scan " +
                                 twtest::ShellQuote(strCard + ".img") + " --recover " +
                                 twtest::ShellQuote(dest.Path()) +
                                 " --keep-paths >/dev/null 2>&1 </dev/null"),
              0);
    std::multimap<std::string, std::string> byContent;  // content -> recovered path
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dest.Path()))
        if (entry.is_regular_file())
            byContent.emplace(ReadFileBytes(entry.path()), entry.path().string());
    std::ifstream manifest(strCard + ".manifest");
    std::string strLine;
    std::set<std::string> seen;
    while (std::getline(manifest, strLine)) {
        const size_t t1 = strLine.find('\t'), t2 = strLine.find('\t', t1 + 1);
        const std::string strListed = "/" + strLine.substr(0, t1),
                          strStatus = strLine.substr(t2 + 1);
        const std::string strData =
            ReadFileBytes(strCard + ".orig/" + strLine.substr(t1 + 1, t2 - t1 - 1));
        // Live files are not what a recovery looks for (a card without a file
        // system lists them, one that has one does not).
        if (strStatus == "live" || strStatus == "new" || strData.empty() ||
            !seen.insert(strData).second)
            continue;
        const auto range = byContent.equal_range(strData);
        const long nCopies = std::distance(range.first, range.second);
        EXPECT_EQ(nCopies, 1) << "recovered " << nCopies << " times: " << strListed;
        if (nCopies == 0 || strStatus != "deleted") continue;
        // Two volumes' files of one name are told apart by "(1)".
        std::string strPath = range.first->second;
        const size_t nMark = strPath.rfind("(1)");
        if (nMark != std::string::npos) strPath.erase(nMark, 3);
        EXPECT_EQ(strPath.substr(strPath.size() - std::min(strPath.size(), strListed.size())),
                  strListed);
    }
    EXPECT_EQ(twtest::Sha1OfFile(strCard + ".img"), strBefore);
}

INSTANTIATE_TEST_SUITE_P(Cards, UsedCards, ::testing::Values("reformat", "wiped_f32s1", "twovol"));

struct Listing {
    std::set<std::string> names;
    int nFinalReports = 0;
    int nStopAfter = -1;  // stop at this progress call (-1: never)
    int nCalls = 0;
};

int CountingProgress(void* pContext, int nPercent, int nScale, int, unsigned long long,
                     unsigned long long, unsigned long long, wchar_t*) {
    Listing* p = static_cast<Listing*>(pContext);
    if (nPercent == 100 && nScale == 100) ++p->nFinalReports;
    if (nScale != 90) return 0;
    return ++p->nCalls == p->nStopAfter ? 7 : 0;
}

// A deep scan of the image, stopped at a progress call when asked; the names,
// sizes and first sectors of everything it lists.
unsigned int DeepScan(const std::string& strImage, Listing& listing, bool bResume) {
    std::unique_ptr<IFileRecoveryParse> pEngine = Engine(strImage, RECOVERY_TYPE_DEEP);
    auto* pDeep = dynamic_cast<CProfessionalRecovery*>(pEngine.get());
    if (!pDeep) return 1;
    if (bResume) EXPECT_EQ(pDeep->IsFindLogFile(), 1);
    if (!bResume) pDeep->SetNotLoadLogFile();
    pDeep->InitCallBack(CountingProgress, nullptr, &listing, 100);
    unsigned int nRet = pDeep->ScanDevice(nullptr);
    for (const auto& h : ListAll(*pDeep))
        listing.names.insert(std::string(h.szFileName) + "/" + std::to_string(h.u64FileSize) + "/" +
                             std::to_string(h.u64RecordSector));
    return nRet;
}

// Stopped halfway and resumed, a deep scan lists what an uninterrupted one
// lists; the stop is the callback's value and makes no final report.
TEST(DeepScan, AnInterruptedScanResumedListsTheSame) {
    const std::string strImage = twtest::FixtureDir() + "/deepfat/wiped_f32s1.img";
    Listing whole;
    {
        ScanLogSandbox sandbox;
        EXPECT_EQ(DeepScan(strImage, whole, false), 0u);
        EXPECT_EQ(whole.nFinalReports, 1);
    }
    ScanLogSandbox sandbox;
    Listing first;
    first.nStopAfter = std::max(2, whole.nCalls / 2);
    EXPECT_EQ(DeepScan(strImage, first, false), 7u);
    EXPECT_EQ(first.nFinalReports, 0);
    sandbox.ReloadLogStore();
    Listing resumed;
    EXPECT_EQ(DeepScan(strImage, resumed, true), 0u);
    EXPECT_EQ(resumed.names, whole.names);
    EXPECT_LT(resumed.nCalls, whole.nCalls);
}

// No file system: no fast engine, the whole area read once; a JPEG starting in
// the last sector of a 64 KiB read is carved whole, and the read after it
// starts past its end.
TEST(DeepScan, AnAreaWithoutAFileSystemIsCarved) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    std::string strDisk(1 << 20, '\0');
    std::string strJpeg("\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
    strJpeg += std::string(5000, 'x') + "\xff\xd9";
    strDisk.replace(127 * 512, strJpeg.size(), strJpeg);
    const std::string strImage = work.File("nofs.img");
    ASSERT_TRUE(WriteFileBytes(strImage, strDisk));
    std::unique_ptr<IFileRecoveryParse> pEngine = Engine(strImage, RECOVERY_TYPE_DEEP);
    auto* pDeep = dynamic_cast<CProfessionalRecovery*>(pEngine.get());
    ASSERT_NE(pDeep, nullptr);
    pDeep->SetNotLoadLogFile();
    EXPECT_EQ(pDeep->GetFastEngine(), nullptr);
    ASSERT_EQ(pDeep->ScanDevice(nullptr), 0u);
    std::vector<_FILE_NODE_> top;
    ASSERT_EQ(pDeep->GetChildrenFileNode(nullptr, 0, top), 0u);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].nEngineType, static_cast<uint32_t>(ENGINE_CARVING));
    EXPECT_EQ(top[0].u64RecordSector, 127u);
    EXPECT_EQ(top[0].u64FileSize, strJpeg.size());
    const unsigned long long u64Carved = (strJpeg.size() + 511) / 512;
    EXPECT_EQ(pDeep->GetSectorsRead(), 2048u - (u64Carved - 1));
    std::string strSaved = work.File("saved.jpg");
    ASSERT_EQ(pDeep->SaveFileData(&top[0], tw::Utf8ToWide(strSaved.c_str()).c_str(), 0), 0u);
    EXPECT_EQ(ReadFileBytes(strSaved), strJpeg);
    _FILE_NODE_ unknown = top[0];
    unknown.nEngineType = 9;
    EXPECT_EQ(pDeep->SaveFileData(nullptr, L"x", 0), 87u);
    EXPECT_EQ(pDeep->SaveFileData(&unknown, L"x", 0), 0u);
}

// A zeroed boot sector: FAT32's copy at sector 6 and NTFS's in the last
// sector give the fast engine (names, folders, the bitmap) all the same.
TEST(DeepScan, ADamagedBootSectorHasACopy) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    for (const char* szName : {"fat32", "ntfs"}) {
        std::string strDisk = ReadFileBytes(twtest::FixtureImage(szName));
        size_t nFiles[2] = {0, 0};
        for (int nPass = 0; nPass < 2; ++nPass) {
            if (nPass == 1) strDisk.replace(0, 512, std::string(512, '\0'));
            const std::string strImage = work.File(std::string(szName) + ".img");
            ASSERT_TRUE(WriteFileBytes(strImage, strDisk));
            std::unique_ptr<IFileRecoveryParse> pEngine = Engine(strImage, RECOVERY_TYPE_FAST);
            ASSERT_NE(pEngine, nullptr) << szName << " pass " << nPass;
            ASSERT_EQ(pEngine->ScanDevice(nullptr), 0u);
            nFiles[nPass] = ListAll(*pEngine).size();
        }
        EXPECT_GT(nFiles[0], 5u) << szName;
        EXPECT_EQ(nFiles[1], nFiles[0]) << szName;
    }
}

}  // namespace
