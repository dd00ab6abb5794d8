// tarnwick-cli disks and the command line's usage rules, run as a user would.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/Helpers.h"
#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"

using twtest::FindTool;
using twtest::RunCommand;
using twtest::ShellQuote;

namespace {

std::string Cli(const std::string& strArgs) {
    return std::string(TW_CLI_PATH) + " " + strArgs;
}

std::vector<std::string> Lines(const std::string& str) {
    std::vector<std::string> v;
    std::istringstream in(str);
    std::string s;
    while (std::getline(in, s)) v.push_back(s);
    return v;
}

}  // namespace

TEST(CliDisks, OneLinePerPartitionAndTheDisksStayUnchanged) {
    ASSERT_FALSE(FindTool("sfdisk").empty());
    CScratchDir dir;
    const std::string strMbr = dir.File("disk0"), strGpt = dir.File("disk2");
    ASSERT_TRUE(twtest::CreateSparseFile(strMbr, 64 << 20));
    ASSERT_TRUE(twtest::CreateSparseFile(strGpt, 16 << 20));
    ASSERT_TRUE(twtest::Sfdisk(strMbr, "label: dos\n2048,4096,83\n,40000,5\n,,7\n"));
    ASSERT_TRUE(twtest::Sfdisk(strMbr, ",8192,83\n,,b\n", "--append"));
    ASSERT_TRUE(twtest::Sgdisk(strGpt, "-n 1:2048:+1M -c 1:'Photos \xe2\x80\x94 2024'"));
    const std::string strBefore = twtest::Sha1OfFile(strMbr) + twtest::Sha1OfFile(strGpt);

    std::string strOut;
    ASSERT_EQ(
        RunCommand("TARNWICK_DISK_DIR=" + ShellQuote(dir.Path()) + " " + Cli("disks"), &strOut), 0);
    // disk0 in the order sfdisk walks it: the primary, the two logicals in
    // place of the extended slot, the primary after it; then disk2's GPT.
    std::vector<std::string> expected;
    const std::vector<twtest::ToolPartition> mbr = twtest::SfdiskLayout(strMbr);
    ASSERT_EQ(mbr.size(), 4u);
    const char* const sizes[] = {"2.0 MiB", "4.0 MiB", "13.5 MiB", "41.0 MiB"};
    for (size_t i = 0; i < mbr.size(); ++i) {
        expected.push_back("/dev/disk0\t" + std::to_string(i + 1) + "\t" +
                           std::to_string(mbr[i].u64Start) + "\t" + std::to_string(mbr[i].u64End) +
                           "\t" + sizes[i] + "\tPartition " + std::to_string(i + 1));
    }
    expected.push_back("/dev/disk2\t1\t2048\t4095\t1.0 MiB\tPhotos \xe2\x80\x94 2024");
    EXPECT_EQ(Lines(strOut), expected);
    EXPECT_EQ(twtest::Sha1OfFile(strMbr) + twtest::Sha1OfFile(strGpt), strBefore)
        << "disks are only read";

    // No disks at all: nothing printed, still success.
    CScratchDir empty;
    strOut.clear();
    EXPECT_EQ(
        RunCommand("TARNWICK_DISK_DIR=" + ShellQuote(empty.Path()) + " " + Cli("disks"), &strOut),
        0);
    EXPECT_EQ(strOut, "");
}

TEST(CliDisks, HelpAndUsageErrors) {
    std::string strHelp;
    EXPECT_EQ(RunCommand(Cli("--help"), &strHelp), 0);
    EXPECT_NE(strHelp.find("disks"), std::string::npos);
    EXPECT_NE(strHelp.find("TARNWICK_DISK_DIR"), std::string::npos);
    std::string strCmdHelp;
    EXPECT_EQ(RunCommand(Cli("disks --help"), &strCmdHelp), 0);
    EXPECT_NE(strCmdHelp.find("usage: tarnwick-cli disks"), std::string::npos);

    EXPECT_EQ(RunCommand(Cli("2>/dev/null")), 2) << "no command";
    EXPECT_EQ(RunCommand(Cli("recover-everything 2>/dev/null")), 2) << "unknown command";
    EXPECT_EQ(RunCommand(Cli("disks --verbose 2>/dev/null")), 2) << "unknown option";
    EXPECT_EQ(RunCommand(Cli("disks /dev/disk0 2>/dev/null")), 2) << "unexpected argument";
    std::string strErr;
    EXPECT_EQ(RunCommand(Cli("disks --verbose 2>&1"), &strErr), 2);
    EXPECT_NE(strErr.find("unknown option '--verbose'"), std::string::npos) << strErr;
}
