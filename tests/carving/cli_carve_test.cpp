// tarnwick-cli scan --mode carve: the carving engine alone over an image or one
// partition of a disk, then listing and recovery as in the other modes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "carving/CarvingTestData.h"
#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"

namespace {

using carvetest::LayoutItem;

// The carvable files of the carving fixture, from its layout.
std::vector<LayoutItem> CarvableFiles() {
    std::vector<LayoutItem> files;
    for (const LayoutItem& it : carvetest::ReadLayout())
        if (it.strKind == "file" && it.strHow != "none") files.push_back(it);
    return files;
}

int Cli(const std::string& strArgs, std::string* pOut) {
    pOut->clear();
    return twtest::RunCommand(twtest::ShellQuote(TW_CLI_PATH) + " " + strArgs + " 2>/dev/null",
                              pOut);
}

// name -> size from the tab-separated listing (engine, size, health, path).
std::map<std::string, unsigned long long> Listing(const std::string& strOut) {
    std::map<std::string, unsigned long long> listed;
    std::istringstream in(strOut);
    std::string strLine;
    std::getline(in, strLine);  // header
    std::string strEngine, strHealth, strPath;
    unsigned long long u64Size = 0;
    while (in >> strEngine >> u64Size >> strHealth >> strPath) {  // carved names hold no blanks
        EXPECT_EQ(strEngine, "carving") << strPath;
        listed[strPath] = u64Size;
    }
    return listed;
}

// Recovered files by name, from every type folder below the destination.
std::map<std::string, std::string> Recovered(const std::string& strDir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(strDir))
        if (entry.is_regular_file())
            files[entry.path().filename().string()] = entry.path().string();
    return files;
}

TEST(CliCarve, ImageListedAndRecoveredByteForByte) {
    ScanLogSandbox sandbox;
    CScratchDir out;
    const std::string strImage = twtest::FixtureImage("carving");
    const std::string strSum = twtest::Sha1OfFile(strImage);
    const std::vector<LayoutItem> files = CarvableFiles();
    ASSERT_GT(files.size(), 40u);

    std::string strOut;
    ASSERT_EQ(Cli("scan " + twtest::ShellQuote(strImage) + " --mode carve --list", &strOut), 0);
    std::map<std::string, unsigned long long> listed = Listing(strOut);
    for (const LayoutItem& p : files) {
        const std::string strName = p.CarvedName();
        ASSERT_TRUE(listed.count(strName)) << strName << " (" << p.strName << ") not listed";
        if (p.strHow == "exact") EXPECT_EQ(listed[strName], p.u64Bytes) << p.strName;
    }

    ASSERT_EQ(Cli("scan " + twtest::ShellQuote(strImage) + " --mode carve --recover " +
                      twtest::ShellQuote(out.File("rec")),
                  &strOut),
              0)
        << strOut;
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
    ASSERT_EQ(
        Cli("scan " + twtest::ShellQuote(strImage) + " --mode carve --types photo --list", &strOut),
        0);
    for (const auto& entry : Listing(strOut)) {
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

    std::string strOut;
    ASSERT_EQ(
        Cli("scan " + twtest::ShellQuote(strDisk) + " --partition 1 --mode carve --list", &strOut),
        0);
    std::map<std::string, unsigned long long> listed = Listing(strOut);
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

}  // namespace
