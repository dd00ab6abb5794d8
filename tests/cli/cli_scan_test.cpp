#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include "carving/CarvingTestData.h"
#include "engine/SaveTarget.h"
#include "support/DiskImage.h"
#include "support/FatImages.h"
#include "support/Fixtures.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"

namespace {

std::vector<std::string> Split(const std::string& str, char cSeparator) {
    std::vector<std::string> fields;
    std::stringstream ss(str);
    std::string strField;
    while (std::getline(ss, strField, cSeparator)) fields.push_back(strField);
    return fields;
}

struct CliRun {
    int nStatus = -1;
    std::string strOut, strErr;
    std::vector<std::string> Lines() const { return Split(strOut, '\n'); }
};

CliRun RunCli(const std::vector<std::string>& args, const std::string& strEnv = "") {
    CScratchDir io;
    std::string strCmd = strEnv + " " + twtest::ShellQuote(TW_CLI_PATH);
    for (const std::string& arg : args) strCmd += " " + twtest::ShellQuote(arg);
    strCmd += " >" + twtest::ShellQuote(io.File("out")) + " 2>" +
              twtest::ShellQuote(io.File("err")) + " </dev/null";
    CliRun run;
    int nRaw = std::system(strCmd.c_str());
    run.nStatus = WIFEXITED(nRaw) ? WEXITSTATUS(nRaw) : -1;
    run.strOut = ReadFileBytes(io.File("out"));
    run.strErr = ReadFileBytes(io.File("err"));
    return run;
}

std::multiset<std::string> ListedPaths(const CliRun& run) {
    std::multiset<std::string> paths;
    std::vector<std::string> lines = run.Lines();
    for (size_t i = 1; i < lines.size(); ++i) paths.insert(Split(lines[i], '\t').at(3));
    return paths;
}

}  // namespace

// The listing: a header, then engine, size, health and UTF-8 path per file.
TEST(CliScan, ListsEveryDeletedFileWithItsFolder) {
    ScanLogSandbox sandbox;
    const std::string strImage = FatImagePath("fat32_512");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    CliRun run = RunCli({"scan", strImage, "--list"});
    ASSERT_EQ(run.nStatus, 0) << run.strErr;
    std::vector<std::string> lines = run.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "engine\tsize\thealth\tpath");
    EXPECT_EQ(ListedPaths(run), FatListedPaths("fat32_512"));
    std::map<std::string, size_t> sizes;
    for (const FatManifestRow& row : LoadFatManifest("fat32_512"))
        if (row.strStatus == "deleted")
            sizes[row.strListed] = ReadFileBytes(row.strOriginal).size();
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> f = Split(lines[i], '\t');
        ASSERT_EQ(f.size(), 4u) << lines[i];
        EXPECT_EQ(f[0], "fat");
        EXPECT_EQ(f[2], "1");
        if (sizes.count(f[3]) && f[3].find("!ata.bin") == std::string::npos)
            EXPECT_EQ(f[1], std::to_string(sizes[f[3]])) << f[3];
    }
    EXPECT_NE(run.strErr.find("Found " + std::to_string(lines.size() - 1) + " files"),
              std::string::npos);
    // Every scan takes its own numbered folder.
    EXPECT_EQ(RunCli({"scan", strImage}).nStatus, 0);
    EXPECT_EQ(access((sandbox.ScanLog() + "1").c_str(), F_OK), 0);
    EXPECT_EQ(access((sandbox.ScanLog() + "2").c_str(), F_OK), 0);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

TEST(CliScan, TypesFilterTheListingAsTheApplicationDoes) {
    ScanLogSandbox sandbox;
    const std::string strImage = FatImagePath("fat16_2k");
    std::multiset<std::string> photos =
        ListedPaths(RunCli({"scan", strImage, "--list", "--types", "photo"}));
    std::multiset<std::string> others =
        ListedPaths(RunCli({"scan", strImage, "--list", "--types", "other"}));
    std::multiset<std::string> both =
        ListedPaths(RunCli({"scan", strImage, "--list", "--types", "document,other"}));
    for (const std::string& p : photos) EXPECT_EQ(p.substr(p.size() - 4), ".jpg") << p;
    EXPECT_EQ(photos.size(), 3u);
    for (const std::string& p : others) EXPECT_NE(p.substr(p.size() - 4), ".txt") << p;
    EXPECT_TRUE(others.count("Fragmented around a live file.bin"));
    EXPECT_TRUE(others.count("Documents/Old stuff/!otes.dat"));
    EXPECT_TRUE(both.count("Documents/Empty file.txt"));
    EXPECT_EQ(both.size(), FatListedPaths("fat16_2k").size() - photos.size());
}

// Recovery: one folder per kind, unique names, every byte back, a line per
// file and a summary.
TEST(CliScan, RecoversIntoTypeFolders) {
    ScanLogSandbox sandbox;
    CScratchDir dest;
    const std::string strImage = FatImagePath("fat12_1k");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    CliRun run = RunCli({"scan", strImage, "--recover", dest.Path()});
    ASSERT_EQ(run.nStatus, 0) << run.strErr;
    std::vector<std::string> lines = run.Lines();
    ASSERT_FALSE(lines.empty());
    const size_t nFiles = FatListedPaths("fat12_1k").size();
    ASSERT_EQ(lines.size(), nFiles + 1);
    std::multiset<std::string> recovered;
    std::set<std::string> targets;
    for (size_t i = 0; i < nFiles; ++i) {
        std::vector<std::string> f = Split(lines[i], '\t');
        ASSERT_EQ(f.size(), 2u) << lines[i];
        EXPECT_EQ(f[0], "Success");
        targets.insert(f[1]);
        recovered.insert(ReadFileBytes(f[1]));
    }
    EXPECT_EQ(targets.size(), nFiles);  // no two files share a target
    EXPECT_EQ(
        lines.back().rfind(
            "Recovered " + std::to_string(nFiles) + " of " + std::to_string(nFiles) + " files", 0),
        0u)
        << lines.back();
    for (const FatManifestRow& row : LoadFatManifest("fat12_1k")) {
        if (row.strStatus != "deleted") continue;
        EXPECT_TRUE(recovered.count(ReadFileBytes(row.strOriginal))) << row.strVolPath;
    }
    const std::string strBase = dest.Path();
    EXPECT_TRUE(targets.count(strBase + "/photo/Holiday by the sea.jpg"));
    EXPECT_TRUE(targets.count(strBase + "/document/Résumé ünïcödé 日本語.txt"));
    EXPECT_TRUE(targets.count(strBase + "/others/!ata.bin"));
    EXPECT_TRUE(targets.count(strBase + "/others/!ata(1).bin"));
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);

    // A second recovery into the same folder overwrites nothing.
    CliRun again = RunCli({"scan", strImage, "--recover", dest.Path(), "--types", "photo"});
    ASSERT_EQ(again.nStatus, 0) << again.strErr;
    EXPECT_NE(again.strOut.find(strBase + "/photo/Holiday by the sea(1).jpg"), std::string::npos);
}

TEST(CliScan, ScansAPartitionOfAnImage) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    // A master boot record with one partition holding the card.
    const std::string strImage = work.File("disk.img");
    std::vector<twtest::Volume> volumes(1);
    volumes[0].strSourceImage = FatImagePath("fat12_1k");
    ASSERT_TRUE(twtest::WriteMbrDisk(strImage, volumes, {}, nullptr));

    CliRun whole = RunCli({"scan", strImage, "--list"});
    EXPECT_EQ(whole.nStatus, 3) << whole.strOut;
    CliRun part = RunCli({"scan", strImage, "--partition", "1", "--list"});
    ASSERT_EQ(part.nStatus, 0) << part.strErr;
    EXPECT_EQ(ListedPaths(part), FatListedPaths("fat12_1k"));
    CliRun missing = RunCli({"scan", strImage, "--partition", "2"});
    EXPECT_EQ(missing.nStatus, 3);
    EXPECT_NE(missing.strErr.find("no partition 2"), std::string::npos) << missing.strErr;
}

TEST(CliScan, ExitStatusesTellWhatWentWrong) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const std::string strImage = FatImagePath("fat12_1k");
    ASSERT_TRUE(WriteFileBytes(work.File("zeros.img"), std::string(1 << 16, '\0')));
    const struct {
        std::vector<std::string> args;
        int nStatus;
        const char* szSays;
    } cases[] = {
        {{"scan"}, 2, ""},
        {{"scan", strImage, "--bogus"}, 2, ""},
        {{"scan", strImage, "--mode", "deep"}, 2, "not available yet"},
        {{"scan", strImage, "--mode", "quick"}, 2, ""},
        {{"scan", strImage, "--types", "photo,pictures"}, 2, ""},
        {{"scan", strImage, "--partition", "zero"}, 2, ""},
        {{"scan", work.File("absent.img")}, 3, ""},
        {{"scan", work.File("zeros.img")}, 3, "no file system"},
    };
    for (const auto& c : cases) {
        CliRun run = RunCli(c.args);
        EXPECT_EQ(run.nStatus, c.nStatus) << c.args.back();
        EXPECT_NE(run.strErr.find(c.szSays), std::string::npos) << run.strErr;
    }

    // A file that cannot be written is reported as failed, the others saved.
    CScratchDir dest;
    ASSERT_TRUE(WriteFileBytes(dest.File("photo"), "a file where the photo folder would go"));
    CliRun failed = RunCli({"scan", strImage, "--recover", dest.Path()});
    EXPECT_EQ(failed.nStatus, 1) << failed.strErr;
    EXPECT_NE(failed.strOut.find("Failed\t" + dest.Path() + "/photo/"), std::string::npos);
    EXPECT_NE(failed.strOut.find("Success\t" + dest.Path() + "/document/"), std::string::npos);
}

// Without a writable application-support folder the scan results go under
// the user's home, and the user is told once.
TEST(CliScan, FallsBackToTheHomeFolder) {
    CScratchDir home;
    CliRun run =
        RunCli({"scan", FatImagePath("fat12_1k")},
               "TARNWICK_SUPPORT_DIR=/proc/no-such-place HOME=" + twtest::ShellQuote(home.Path()));
    ASSERT_EQ(run.nStatus, 0) << run.strErr;
    const std::string strLog = home.Path() + "/.local/share/Tarnwick/ScanLog/";
    EXPECT_NE(run.strErr.find(home.Path() + "/.local/share/Tarnwick/"), std::string::npos)
        << run.strErr;
    EXPECT_EQ(access((strLog + "1").c_str(), F_OK), 0);
    EXPECT_EQ(access((strLog + "config").c_str(), F_OK), 0);
}

TEST(CliScan, AnImageIsNeverTheDeviceADestinationLiesOn) {
    CScratchDir dir;
    EXPECT_FALSE(IsTargetOnSourceDevice(FatImagePath("fat12_1k").c_str(), dir.Path().c_str()));
    EXPECT_FALSE(IsTargetOnSourceDevice("/no/such/source", dir.Path().c_str()));
}

namespace {

using carvetest::LayoutItem;

// --mode carve: the carving engine alone over an image or one partition of a
// disk, then listing and recovery as in the other modes.

// The carvable files of the carving fixture, from its layout.
std::vector<LayoutItem> CarvableFiles() {
    std::vector<LayoutItem> files;
    for (const LayoutItem& it : carvetest::ReadLayout())
        if (it.strKind == "file" && it.strHow != "none") files.push_back(it);
    return files;
}

// Name -> size of a carving listing (engine, size, health, path). A run
// that failed lists nothing.
std::map<std::string, unsigned long long> CarvedSizes(const CliRun& run) {
    EXPECT_EQ(run.nStatus, 0) << run.strErr;
    std::map<std::string, unsigned long long> sizes;
    std::vector<std::string> lines = run.Lines();
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> f = Split(lines[i], '\t');
        EXPECT_EQ(f.at(0), "carving") << lines[i];
        sizes[f.at(3)] = std::stoull(f.at(1));
    }
    return sizes;
}

// Recovered files by name, from every type folder below the destination.
std::map<std::string, std::string> Recovered(const std::string& strDir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(strDir))
        if (entry.is_regular_file())
            files[entry.path().filename().string()] = entry.path().string();
    return files;
}

}  // namespace

TEST(CliCarve, ImageListedAndRecoveredByteForByte) {
    ScanLogSandbox sandbox;
    CScratchDir out;
    const std::string strImage = twtest::FixtureImage("carving");
    const std::string strSum = twtest::Sha1OfFile(strImage);
    const std::vector<LayoutItem> files = CarvableFiles();
    ASSERT_GT(files.size(), 40u);

    std::map<std::string, unsigned long long> listed =
        CarvedSizes(RunCli({"scan", strImage, "--mode", "carve", "--list"}));
    for (const LayoutItem& p : files) {
        const std::string strName = p.CarvedName();
        ASSERT_TRUE(listed.count(strName)) << strName << " (" << p.strName << ") not listed";
        if (p.strHow == "exact") EXPECT_EQ(listed[strName], p.u64Bytes) << p.strName;
    }

    CliRun rec = RunCli({"scan", strImage, "--mode", "carve", "--recover", out.File("rec")});
    ASSERT_EQ(rec.nStatus, 0) << rec.strErr;
    std::map<std::string, std::string> recovered = Recovered(out.File("rec"));
    int nExact = 0;
    for (const LayoutItem& p : files) {
        if (p.strHow != "exact") continue;
        ASSERT_TRUE(recovered.count(p.CarvedName())) << p.CarvedName();
        EXPECT_EQ(twtest::Sha1OfFile(recovered[p.CarvedName()]), twtest::Sha1OfFile(p.Original()))
            << p.strName;
        ++nExact;
    }
    EXPECT_GT(nExact, 25);

    // The listing filter applies as in the other modes.
    for (const auto& entry :
         CarvedSizes(RunCli({"scan", strImage, "--mode", "carve", "--types", "photo", "--list"}))) {
        std::string strExt = entry.first.substr(entry.first.rfind('.') + 1);
        EXPECT_NE(std::string("jpg png gif bmp tif psd ico").find(strExt), std::string::npos)
            << entry.first;
    }
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strSum) << "the image was changed";
}

TEST(CliCarve, OnePartitionOfADiskWithSectorsOfTheDisk) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const std::string strImage = twtest::FixtureImage("carving");
    // The fixture image as the first partition; a second one right after it
    // holds a picture that must not be reached from the first.
    std::string strJpeg = twtest::FixtureFilesDir("carving") + "/photo.jpg";
    std::vector<twtest::Volume> volumes(2);
    volumes[0].strSourceImage = strImage;
    volumes[1].strSourceImage = strJpeg;
    volumes[1].u64Sectors = 64;
    std::vector<twtest::Placed> placed;
    std::string strError;
    const std::string strDisk = work.File("disk.img");
    ASSERT_TRUE(twtest::WriteMbrDisk(strDisk, volumes, {}, &placed, &strError)) << strError;
    ASSERT_EQ(placed.size(), 2u);
    const std::string strSum = twtest::Sha1OfFile(strDisk);

    std::map<std::string, unsigned long long> listed =
        CarvedSizes(RunCli({"scan", strDisk, "--partition", "1", "--mode", "carve", "--list"}));
    const unsigned long long u64First = placed[0].u64StartSector;
    const unsigned long long u64End = u64First + placed[0].u64Sectors;
    for (const LayoutItem& p : CarvableFiles()) {
        std::string strName = std::to_string(u64First + p.u64Sector) + "." + p.strExt;
        ASSERT_TRUE(listed.count(strName)) << strName;
        if (p.strHow == "exact") EXPECT_EQ(listed[strName], p.u64Bytes) << p.strName;
        // A header size past the partition is cut at its end.
        if (p.strHow == "clipped")
            EXPECT_EQ(listed[strName], (u64End - u64First - p.u64Sector) * 512) << p.strName;
    }
    EXPECT_FALSE(listed.count(std::to_string(placed[1].u64StartSector) + ".jpg"));
    EXPECT_EQ(twtest::Sha1OfFile(strDisk), strSum);
}
