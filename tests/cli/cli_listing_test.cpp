// The listing of a scan spilled into sorted runs (a tiny memory bound) is the
// listing held in memory: the same lines in the same order, the same saves.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/Helpers.h"
#include "support/CliRun.h"
#include "support/FatImages.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"

namespace {

std::string Replace(std::string str, const std::string& strFrom, const std::string& strTo) {
    for (size_t n = str.find(strFrom); n != std::string::npos; n = str.find(strFrom, n))
        str.replace(n, strFrom.size(), strTo), n += strTo.size();
    return str;
}

}  // namespace

TEST(CliListing, SpilledListingAndRecoveryMatchTheListingInMemory) {
    const std::string kSpill = "TARNWICK_LISTING_MEMORY=1";
    for (const std::string& strName : {std::string("carving"), std::string("fat32_512")}) {
        SCOPED_TRACE(strName);
        ScanLogSandbox sandbox;
        const std::string strImage = twtest::FixtureImage(strName);
        const std::string strBefore = twtest::Sha1OfFile(strImage);
        const std::vector<std::string> args = {"scan", strImage, "--mode", "deep", "--list"};
        const CliRun held = RunCli(args);
        ASSERT_EQ(held.nStatus, 0) << held.strErr;
        const CliRun spilled = RunCli(args, kSpill);
        EXPECT_EQ(spilled.nStatus, 0) << spilled.strErr;
        EXPECT_EQ(spilled.strOut, held.strOut);
        EXPECT_EQ(spilled.strErr, held.strErr);
        const std::vector<std::string> lines = held.Lines();
        ASSERT_GT(lines.size(), 10u);
        for (size_t i = 2; i < lines.size(); ++i)
            EXPECT_FALSE(NaturalLess(Split(lines[i], '\t').at(3), Split(lines[i - 1], '\t').at(3)))
                << lines[i - 1] << " then " << lines[i];
        std::vector<std::string> json = args;
        json.push_back("--json");
        EXPECT_EQ(RunCli(json, kSpill).strOut, RunCli(json).strOut);

        // Recovery walks the same order; the runs go when the command ends
        // even where the scan folder is kept.
        CScratchDir dest;
        std::vector<std::string> recover = {"scan",      strImage,          "--mode",      "deep",
                                            "--recover", dest.File("held"), "--keep-paths"};
        const CliRun saved = RunCli(recover);
        recover[5] = dest.File("spilled");
        recover.push_back("--keep-results");
        const CliRun savedSpilled = RunCli(recover, kSpill);
        EXPECT_EQ(savedSpilled.nStatus, saved.nStatus) << savedSpilled.strErr;
        EXPECT_EQ(Replace(savedSpilled.strOut, dest.File("spilled"), "DIR"),
                  Replace(saved.strOut, dest.File("held"), "DIR"));
        size_t nRuns = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(sandbox.ScanLog()))
            nRuns += entry.path().extension() == ".run";
        EXPECT_EQ(nRuns, 0u);
        EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
    }
}
