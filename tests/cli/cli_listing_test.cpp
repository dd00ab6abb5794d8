// A deep listing spilled into sorted runs (a tiny memory bound) is the listing
// held in memory: the same lines in the same order, the same saves.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "common/Helpers.h"
#include "support/CliRun.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"

TEST(CliListing, SpilledListingAndRecoveryMatchTheListingInMemory) {
    for (const char* szName : {"carving", "fat32_512"}) {
        SCOPED_TRACE(szName);
        ScanLogSandbox sandbox;
        CScratchDir dest;
        const std::string strImage = twtest::FixtureImage(szName);
        const std::string strBefore = twtest::Sha1OfFile(strImage);
        std::vector<std::string> args = {"scan", strImage, "--mode", "deep", "--list"};
        const CliRun held = RunCli(args);
        ASSERT_EQ(held.nStatus, 0) << held.strErr;
        const CliRun spilled = RunCli(args, "TARNWICK_LISTING_MEMORY=1");
        EXPECT_EQ(spilled.strOut + spilled.strErr, held.strOut + held.strErr);
        const std::vector<std::string> lines = held.Lines();
        ASSERT_GT(lines.size(), 10u);
        for (size_t i = 2; i < lines.size(); ++i)
            EXPECT_FALSE(NaturalLess(Split(lines[i], '\t').at(3), Split(lines[i - 1], '\t').at(3)));
        args.push_back("--json");
        EXPECT_EQ(RunCli(args, "TARNWICK_LISTING_MEMORY=1").strOut, RunCli(args).strOut);
        // Recovery walks the same order; the runs go at the end even where
        // the scan folder is kept.
        args[4] = "--recover";
        args[5] = dest.File("held");
        args.push_back("--keep-paths");
        const CliRun saved = RunCli(args);
        args[5] = dest.File("spilled");
        args.push_back("--keep-results");
        const CliRun savedSpilled = RunCli(args, "TARNWICK_LISTING_MEMORY=1");
        EXPECT_EQ(std::regex_replace(savedSpilled.strOut, std::regex("/spilled\\b"), "/held"),
                  saved.strOut);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(sandbox.ScanLog()))
            EXPECT_NE(entry.path().extension(), ".run");
        EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
    }
}
