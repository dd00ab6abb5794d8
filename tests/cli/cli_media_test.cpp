// Failing media through the command line, on images served through the FUSE
// harness: bad sectors are read around, counted and told; a medium that goes
// away mid-scan ends the scan with status 3, keeping what was found.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/LogFileManager.h"
#include "support/CliRun.h"
#include "support/FaultyMedium.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"

namespace {

// A whole JFIF picture of about nBytes bytes.
std::string Jpeg(size_t nBytes) {
    std::string str("\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
    return str + std::string(nBytes, 'x') + "\xff\xd9";
}

size_t CountLines(const CliRun& run, const std::string& strPart) {
    size_t n = 0;
    for (const std::string& strLine : run.Lines()) n += strLine.find(strPart) != std::string::npos;
    return n;
}

}  // namespace

// A bad 4 KiB page 40 sectors before a picture only carving finds, in the
// same 64 KiB read: the picture is found all the same, and the page is told.
TEST(CliMedia, ABadPageHidesNothingAfterItAndIsCounted) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    std::string strDisk(2 << 20, '\0');  // no file system: carving alone finds the pictures
    const std::string strNear = Jpeg(5000), strFar = Jpeg(9000);
    strDisk.replace(55 * 512, strNear.size(), strNear);
    strDisk.replace(2000 * 512, strFar.size(), strFar);
    const std::string strImage = work.File("card.img");
    ASSERT_TRUE(WriteFileBytes(strImage, strDisk));
    CFaultyMedium medium(strImage, "8-15");
    ASSERT_TRUE(medium.Ok()) << medium.Why();
    for (const char* szMode : {"deep", "carve"}) {
        SCOPED_TRACE(szMode);
        CliRun run = RunCli({"scan", medium.Path(), "--mode", szMode, "--list", "--json"});
        EXPECT_EQ(run.nStatus, 1) << run.strErr;
        EXPECT_EQ(CountLines(run, "\"size\":" + std::to_string(strNear.size()) +
                                      ",\"health\":true,\"deleted\":false,\"path\":\"55.jpg\""),
                  1u)
            << run.strOut;
        EXPECT_EQ(CountLines(run, "\"path\":\"2000.jpg\""), 1u) << run.strOut;
        ASSERT_FALSE(run.Lines().empty());
        EXPECT_EQ(run.Lines().back(), "{\"unreadable_sectors\":8,\"unreadable_ranges\":[[8,15]]}");
        EXPECT_NE(run.strErr.find("8 sectors could not be read (sectors 8-15)"), std::string::npos)
            << run.strErr;
    }
    // The same card, healthy: the same two files, and nothing to tell.
    CliRun healthy = RunCli({"scan", strImage, "--mode", "deep", "--list", "--json"});
    EXPECT_EQ(healthy.nStatus, 0) << healthy.strErr;
    EXPECT_EQ(CountLines(healthy, "\"path\":\"55.jpg\""), 1u);
    EXPECT_EQ(CountLines(healthy, "unreadable"), 0u);
    EXPECT_EQ(ReadFileBytes(strImage), strDisk);
}

// The medium's server dies after serving 40 % of it: not success, the sector reached is named,
// and the deep scan's log is kept for --resume.
TEST(CliMedia, AMediumGoingAwayMidScanEndsWithStatus3) {
    const std::string strImage = twtest::FixtureImage("carving");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    const uint64_t u64Sectors = ReadFileBytes(strImage).size() / 512;
    for (const char* szMode : {"deep", "carve"}) {
        SCOPED_TRACE(szMode);
        ScanLogSandbox sandbox;
        CFaultyMedium medium(strImage, "", u64Sectors * 512 * 4 / 10);
        ASSERT_TRUE(medium.Ok()) << medium.Why();
        CliRun run = RunCli({"scan", medium.Path(), "--mode", szMode, "--list"});
        EXPECT_EQ(run.nStatus, 3) << run.strErr;
        EXPECT_EQ(run.strOut, "");
        EXPECT_EQ(run.strErr.find("Found"), std::string::npos) << run.strErr;
        const size_t nAt = run.strErr.find("went away at sector ");
        ASSERT_NE(nAt, std::string::npos) << run.strErr;
        const uint64_t u64Reached = std::stoull(run.strErr.substr(nAt + 20));
        EXPECT_LT(u64Reached, u64Sectors);
        if (std::string(szMode) != "deep") continue;
        EXPECT_NE(run.strErr.find("--resume"), std::string::npos) << run.strErr;
        sandbox.ReloadLogStore();
        const std::vector<_LOG_FILE_INFO_>& records = CLogFileManager::GetInstance().GetRecords();
        ASSERT_EQ(records.size(), 1u);
        // Resumed from the last read that was parsed whole.
        EXPECT_LE(records[0].u64RegionStart + records[0].u64RegionDone, u64Reached);
        EXPECT_EQ(access(records[0].szLogDir, F_OK), 0);
    }
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

// A photo whose data crosses a bad 4 KiB page comes back at full size, every
// readable byte as it was, the page zeros, and reported Partial with the
// count of bytes that could not be read.
TEST(CliMedia, AFileCrossingABadPageIsPartialAndFullSize) {
    ScanLogSandbox sandbox;
    CScratchDir dest;
    const std::string strImage = twtest::FixtureImage("fat32_512");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    std::string strOriginal;
    for (const twtest::ManifestEntry& e : twtest::ReadManifest("fat32_512"))
        if (e.strListed.find("Holiday by the sea.jpg") != std::string::npos)
            strOriginal = ReadFileBytes(e.strSourceFile);
    ASSERT_GT(strOriginal.size(), 16u * 512);
    // Where its data begins, from the listing of the healthy card.
    const CliRun list = RunCli({"scan", strImage, "--list", "--json", "--types", "photo"});
    std::string strFirst;
    for (const std::string& strLine : list.Lines())
        if (strLine.find("Holiday by the sea.jpg") != std::string::npos)
            strFirst = JsonField(strLine, "first_sector");
    ASSERT_FALSE(strFirst.empty()) << list.strOut;
    const uint64_t u64First = std::stoull(strFirst);
    CFaultyMedium medium(strImage,
                         std::to_string(u64First + 8) + "-" + std::to_string(u64First + 15));
    ASSERT_TRUE(medium.Ok()) << medium.Why();
    const CliRun run =
        RunCli({"scan", medium.Path(), "--types", "photo", "--recover", dest.Path(), "--json"});
    EXPECT_EQ(run.nStatus, 1) << run.strErr;
    std::string strLine;
    for (const std::string& str : run.Lines())
        if (str.find("Holiday by the sea.jpg") != std::string::npos) strLine = str;
    EXPECT_EQ(JsonField(strLine, "status"), "partial") << strLine;
    EXPECT_EQ(JsonField(strLine, "written"), std::to_string(strOriginal.size()));
    EXPECT_EQ(JsonField(strLine, "unreadable"), "4096");
    std::string strWant = strOriginal;
    strWant.replace(8 * 512, 4096, std::string(4096, '\0'));
    EXPECT_TRUE(ReadFileBytes(JsonField(strLine, "target")) == strWant);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}
