// The deep scan: used cards recovered through the command line, an interrupted
// scan resumed, an area with no file system, the free space of cards with large
// sectors, a damaged boot sector's copy.
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
#include "support/DiskImage.h"
#include "support/EngineTree.h"
#include "support/Fixtures.h"
#include "support/ParamName.h"
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

// Each lost file comes back once (not named and carved), named where its folder survives.
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
        // Live files are not what a recovery looks for.
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

INSTANTIATE_TEST_SUITE_P(Cards, UsedCards, ::testing::Values("reformat", "wiped_f32s1", "twovol"),
                         twtest::ParamName());

struct Listing {
    std::multiset<std::string> names;  // each file once
    int nFinalReports = 0, nCalls = 0, nLastDeep = 0;
    int nStopAfter = -1;  // stop at this progress call (-1: never)
};

int CountingProgress(void* pContext, int nPercent, int nScale, int, unsigned long long,
                     unsigned long long, unsigned long long, wchar_t*) {
    Listing* p = static_cast<Listing*>(pContext);
    if (nPercent == 100 && nScale == 100) ++p->nFinalReports;
    if (nScale != 90) return 0;
    p->nLastDeep = nPercent;
    return ++p->nCalls == p->nStopAfter ? 7 : 0;
}

// A deep scan, stopped at a progress call when asked, and what it lists.
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

// Stopped and resumed, a deep scan lists what a whole one does; a stop
// reports no end. An ext volume's files named from free space are listed once.
class ResumedScans : public ::testing::TestWithParam<const char*> {};
TEST_P(ResumedScans, ListTheSameAsAWholeScan) {
    const std::string strImage = twtest::FixtureDir() + "/" + GetParam();
    Listing whole;
    {
        ScanLogSandbox sandbox;
        EXPECT_EQ(DeepScan(strImage, whole, false), 0u);
        EXPECT_EQ(whole.nFinalReports, 1);
        // All read: 100 + 10, which the weight of 90 makes 99 before the final 100.
        EXPECT_EQ(whole.nLastDeep, 110);
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
INSTANTIATE_TEST_SUITE_P(Images, ResumedScans,
                         ::testing::Values("deepfat/wiped_f32s1.img", "ext2_cleared.img"),
                         twtest::ParamName());

// A deleted ".jpeg" carved again at its data start is listed once, by its name.
TEST(DeepScan, ACarvedFileWhereANamedFilesDataStartsIsThatFile) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const std::string strImage = work.File("card.img");
    ASSERT_EQ(twtest::RunCommand("export MTOOLS_SKIP_CHECK=1 && mkfs.fat -C " + strImage +
                                 " 2048 >/dev/null && mcopy -i " + strImage + " " +
                                 twtest::FixtureDir() + "/signatures/picture.jpg ::/photo.jpeg" +
                                 " && mdel -i " + strImage + " ::/photo.jpeg"),
              0);
    std::unique_ptr<IFileRecoveryParse> pEngine = Engine(strImage, RECOVERY_TYPE_DEEP);
    ASSERT_EQ(pEngine->ScanDevice(nullptr), 0u);
    const std::vector<__SEARCH_FILE_INFO__> hits = ListAll(*pEngine);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_STREQ(hits[0].szFileName, "photo.jpeg");
}

// A volume of 4,096-byte sectors and records whose boot sector is gone: the
// deep NTFS parser takes its records, in the driver's 512-byte sectors.
TEST(DeepScan, AnNtfsVolumeOf4096ByteSectorsGivesDeepRecords) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    std::string strData = ReadFileBytes(twtest::FixtureImage("ntfs_s4k"));
    ASSERT_GT(strData.size(), 4096u);
    strData.replace(0, 4096, std::string(4096, '\0'));
    const std::string strImage = work.File("s4k.img");
    ASSERT_TRUE(WriteFileBytes(strImage, strData));
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    std::unique_ptr<IFileRecoveryParse> pEngine = Engine(strImage, RECOVERY_TYPE_DEEP);
    ASSERT_EQ(pEngine->ScanDevice(nullptr), 0u);
    int nDeep = 0;
    for (const __SEARCH_FILE_INFO__& hit : ListAll(*pEngine)) {
        if (hit.nEngineType != ENGINE_DEEP_NTFS || std::string(hit.szFileName) != "keep.txt")
            continue;
        ++nDeep;
        const std::string strOut = work.File("keep.txt");
        ASSERT_EQ(pEngine->SaveFileData(&hit, tw::Utf8ToWide(strOut.c_str()).c_str(), 0), 0u);
        EXPECT_EQ(ReadFileBytes(strOut),
                  ReadFileBytes(twtest::FixtureFilesDir("ntfs_s4k") + "/live/keep.txt"));
    }
    EXPECT_EQ(nDeep, 1);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

// NTFS volumes of large sectors, or of records of another size than their
// sectors: each deleted picture is listed once, by its name (the carver
// finds it again at its data start).
class NtfsGeometry : public ::testing::TestWithParam<const char*> {};

TEST_P(NtfsGeometry, EachDeletedPictureIsListedOnce) {
    ScanLogSandbox sandbox;
    const std::string strImage = twtest::FixtureImage(GetParam());
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    std::unique_ptr<IFileRecoveryParse> pEngine = Engine(strImage, RECOVERY_TYPE_DEEP);
    ASSERT_EQ(pEngine->ScanDevice(nullptr), 0u);
    std::multiset<std::string> pictures;
    for (const __SEARCH_FILE_INFO__& hit : ListAll(*pEngine)) {
        const std::string strName = hit.szFileName;
        if (strName.size() > 4 && (strName.substr(strName.size() - 4) == ".jpg" ||
                                   strName.substr(strName.size() - 4) == ".png"))
            pictures.insert(strName);
    }
    EXPECT_EQ(pictures, (std::multiset<std::string>{"photo.jpg", "image.png", "pic.png"}));
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

INSTANTIATE_TEST_SUITE_P(Volumes, NtfsGeometry,
                         ::testing::Values("ntfs_s4k_r4k", "ntfs_s512_r4k", "ntfs_s4k_r1k"),
                         twtest::ParamName());

// No file system: the area read once; a JPEG over a 64 KiB read's end is carved whole.
TEST(DeepScan, AnAreaWithoutAFileSystemIsCarved) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    // Zeros, space erased to 0xFF long enough for the reads over it to grow,
    // and zeros again with a second picture at an odd sector in a grown read.
    std::string strDisk(1 << 20, '\0');
    strDisk.append(5 << 19, '\xff');
    strDisk.append(1 << 19, '\0');
    std::string strJpeg("\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
    strJpeg += std::string(5000, 'x') + "\xff\xd9";
    const uint64_t u64Sectors[] = {127, 7201};
    for (uint64_t u64At : u64Sectors) strDisk.replace(u64At * 512, strJpeg.size(), strJpeg);
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
    ASSERT_EQ(top.size(), 2u);
    std::sort(top.begin(), top.end(), [](const _FILE_NODE_& a, const _FILE_NODE_& b) {
        return a.u64RecordSector < b.u64RecordSector;
    });
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(top[i].nEngineType, static_cast<uint32_t>(ENGINE_CARVING));
        EXPECT_EQ(top[i].u64RecordSector, u64Sectors[i]);
        EXPECT_EQ(top[i].u64FileSize, strJpeg.size());
    }
    // Every sector is read once, but those of the first picture past its read:
    // stepped over, they are not read at all.
    EXPECT_EQ(pDeep->GetSectorsRead(), 8192u - ((strJpeg.size() + 511) / 512 - 1));
    std::string strSaved = work.File("saved.jpg");
    ASSERT_EQ(pDeep->SaveFileData(&top[1], tw::Utf8ToWide(strSaved.c_str()).c_str(), 0), 0u);
    EXPECT_TRUE(ReadFileBytes(strSaved) == strJpeg);
    _FILE_NODE_ unknown = top[0];
    unknown.nEngineType = 9;
    EXPECT_EQ(pDeep->SaveFileData(nullptr, L"x", 0), 87u);
    EXPECT_EQ(pDeep->SaveFileData(&unknown, L"x", 0), 0u);
}

// A JPEG written into free space 3 MiB into a card is carved whatever the
// card's sector size: the fast engines give their free runs in 512-byte sectors.
TEST(DeepScan, TheFreeSpaceOfCardsWithLargeSectorsIsRead) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const std::string strFat = work.File("fat_s4k.img");
    ASSERT_EQ(twtest::RunCommand("truncate -s 16M " + strFat + " && mkfs.fat -F 16 -S 4096 -s 1 " +
                                 strFat + " >/dev/null"),
              0);
    std::string strJpeg("\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
    strJpeg += std::string(2000, 'x') + "\xff\xd9";
    for (const std::string& strCard :
         {twtest::FixtureImage("exfat_4k"), twtest::FixtureImage("exfat_s4k"), strFat}) {
        std::string strDisk = ReadFileBytes(strCard);
        ASSERT_GE(strDisk.size(), 4u << 20) << strCard;
        ASSERT_EQ(strDisk.substr(3 << 20, strJpeg.size()), std::string(strJpeg.size(), '\0'));
        strDisk.replace(3 << 20, strJpeg.size(), strJpeg);
        ASSERT_TRUE(WriteFileBytes(work.File("card.img"), strDisk));
        std::unique_ptr<IFileRecoveryParse> pEngine =
            Engine(work.File("card.img"), RECOVERY_TYPE_DEEP);
        auto* pDeep = dynamic_cast<CProfessionalRecovery*>(pEngine.get());
        ASSERT_NE(pDeep, nullptr);
        pDeep->SetNotLoadLogFile();
        ASSERT_EQ(pDeep->ScanDevice(nullptr), 0u) << strCard;
        EXPECT_TRUE(pDeep->UsedBitmap()) << strCard;
        std::vector<_FILE_NODE_> top;
        ASSERT_EQ(pDeep->GetChildrenFileNode(nullptr, 0, top), 0u);
        EXPECT_EQ(std::count_if(top.begin(), top.end(),
                                [&](const _FILE_NODE_& n) {
                                    return n.nEngineType == ENGINE_CARVING &&
                                           n.u64RecordSector == 6144 &&
                                           n.u64FileSize == strJpeg.size();
                                }),
                  1)
            << strCard;
        EXPECT_EQ(ReadFileBytes(work.File("card.img")), strDisk) << strCard;
    }
}

// Files a fast scan of the image lists (0 when no engine reads it).
size_t FastScanFiles(const std::string& strImage) {
    std::unique_ptr<IFileRecoveryParse> pEngine = Engine(strImage, RECOVERY_TYPE_FAST);
    return pEngine && pEngine->ScanDevice(nullptr) == 0 ? ListAll(*pEngine).size() : 0;
}

// A zeroed boot sector: its copy (FAT32: sector 6, NTFS: the last; ext: the
// superblock and group descriptors of group 1) gives the same files.
TEST(DeepScan, ADamagedBootSectorHasACopy) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const struct {
        const char* szName;
        size_t nAt, nBytes;
    } cases[] = {
        {"fat32", 0, 512}, {"ntfs", 0, 512}, {"ext3_1k", 1024, 7168}, {"ext4_1k", 1024, 7168}};
    for (const auto& c : cases) {
        std::string strDisk = ReadFileBytes(twtest::FixtureImage(c.szName));
        ASSERT_TRUE(WriteFileBytes(work.File("intact.img"), strDisk));
        ASSERT_TRUE(WriteFileBytes(work.File("damaged.img"),
                                   strDisk.replace(c.nAt, c.nBytes, std::string(c.nBytes, '\0'))));
        const size_t nFiles = FastScanFiles(work.File("intact.img"));
        EXPECT_GT(nFiles, 5u) << c.szName;
        EXPECT_EQ(FastScanFiles(work.File("damaged.img")), nFiles) << c.szName;
    }
}

// A deep scan of the whole disk finds its volumes where they were placed,
// reads once at most what no live file of theirs holds, and gives every
// deleted file of the fixtures under its name and folder, once, byte for
// byte; the disk is unchanged.
void ExpectTheVolumesFilesBack(const std::string& strDisk,
                               const std::vector<twtest::Placed>& placed,
                               const std::vector<const char*>& fixtures, const CScratchDir& work) {
    SCOPED_TRACE(strDisk);
    static int s_nTarget = 0;
    const std::string strBefore = twtest::Sha1OfFile(strDisk);
    std::unique_ptr<IFileRecoveryParse> pEngine = Engine(strDisk, RECOVERY_TYPE_DEEP);
    auto* pDeep = dynamic_cast<CProfessionalRecovery*>(pEngine.get());
    ASSERT_NE(pDeep, nullptr);
    pDeep->SetNotLoadLogFile();
    ASSERT_EQ(pDeep->ScanDevice(nullptr), 0u);
    EXPECT_LT(pDeep->GetSectorsRead(), placed.back().u64StartSector + placed.back().u64Sectors);
    const auto volumes = pDeep->GetVolumes();
    ASSERT_EQ(volumes.size(), placed.size());
    for (size_t i = 0; i < placed.size(); ++i) {
        EXPECT_EQ(volumes[i].u64First, placed[i].u64StartSector);
        EXPECT_EQ(volumes[i].u64Count, placed[i].u64Sectors);
    }
    std::multimap<std::string, _FILE_NODE_> hits;
    for (const twtest::TreeNode& n : twtest::SearchAll(*pDeep)) hits.emplace(n.strPath, n.node);
    std::vector<twtest::ManifestEntry> rows;
    std::multiset<std::string> listed;
    for (const char* szFixture : fixtures)
        for (const twtest::ManifestEntry& row : twtest::ReadManifest(szFixture)) {
            rows.push_back(row);
            listed.insert(row.strListed);
        }
    int nBack = 0;
    for (const twtest::ManifestEntry& row : rows) {
        if (row.strStatus != "deleted" || row.strListed.empty()) continue;
        // Names that differ only in the byte a deletion erased are listed
        // alike; none is listed twice.
        EXPECT_LE(hits.count(row.strListed), listed.count(row.strListed)) << row.strListed;
        bool bSaved = false;
        for (auto it = hits.lower_bound(row.strListed);
             it != hits.upper_bound(row.strListed) && !bSaved; ++it) {
            const std::string strTarget = work.File("f" + std::to_string(s_nTarget++));
            bSaved = pDeep->SaveFileData(&it->second, twtest::W(strTarget).c_str(), 0) == 0 &&
                     ReadFileBytes(strTarget) == ReadFileBytes(row.strSourceFile);
        }
        EXPECT_TRUE(bSaved) << row.strSourceFile;
        nBack += bSaved;
    }
    EXPECT_GT(nBack, 20);
    EXPECT_EQ(twtest::Sha1OfFile(strDisk), strBefore);
}

// Disks whose table is gone or damaged, scanned whole: a wiped MBR (the
// volumes found by their boot sectors at 1 MiB steps), a GPT whose first
// header is zeroed (through its backup), and a wiped MBR whose volumes' first
// boot sector or superblock is zeroed too (found by the copy met while
// reading: NTFS's last sector, ext's group 1 superblock). Stopped and
// resumed, the scan of the wiped disk lists the same.
TEST(DeepScan, TheVolumesOfADiskWithoutItsTableAreFound) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const struct {
        const char *szDisk, *szFirst, *szSecond;
        bool bGpt, bBootSectorsZeroed;
    } cases[] = {{"mbr.img", "fat16_2k", "ext4_4k", false, false},
                 {"gpt.img", "fat16_2k", "ext4_4k", true, false},
                 {"copies.img", "ntfs_c4k", "ext3_1k", false, true}};
    const std::string zeros(7168, '\0');
    for (const auto& c : cases) {
        const std::string strDisk = work.File(c.szDisk);
        twtest::Volume first, second;
        first.strSourceImage = twtest::FixtureImage(c.szFirst);
        second.strSourceImage = twtest::FixtureImage(c.szSecond);
        std::vector<twtest::Placed> placed;
        ASSERT_TRUE(twtest::WriteMbrDisk(strDisk, {first, second}, {}, &placed));
        if (c.bGpt)
            ASSERT_TRUE(twtest::RunCommand("truncate -s +1M " + strDisk) == 0 &&
                        twtest::Sgdisk(strDisk, "-g"));
        ASSERT_TRUE(twtest::WriteAt(strDisk, c.bGpt ? 512 : 0, zeros.data(), 512));
        if (c.bBootSectorsZeroed)
            ASSERT_TRUE(
                twtest::WriteAt(strDisk, placed[0].u64StartSector * 512, zeros.data(), 512) &&
                twtest::WriteAt(strDisk, placed[1].u64StartSector * 512 + 1024, zeros.data(),
                                7168));
        ExpectTheVolumesFilesBack(strDisk, placed, {c.szFirst, c.szSecond}, work);
    }
    Listing whole;
    EXPECT_EQ(DeepScan(work.File("mbr.img"), whole, false), 0u);
    // Stopped while the first volume is scanned, and in the pass after it.
    for (int nStop : {2, whole.nCalls / 2}) {
        ScanLogSandbox resumable;
        Listing stopped, resumed;
        stopped.nStopAfter = nStop;
        // The callback's own answer, or the carver's when it came in a walk.
        const unsigned int nStopped = DeepScan(work.File("mbr.img"), stopped, false);
        EXPECT_TRUE(nStopped == 7u || nStopped == TW_ERR_CANCELLED) << nStop << ": " << nStopped;
        resumable.ReloadLogStore();
        EXPECT_EQ(DeepScan(work.File("mbr.img"), resumed, true), 0u);
        EXPECT_EQ(resumed.names, whole.names) << nStop;
    }
}

}  // namespace
