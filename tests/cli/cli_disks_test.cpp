// tarnwick-cli disks and the command line's usage rules, run as a user would.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "common/Helpers.h"
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
    ASSERT_EQ(RunCommand("truncate -s 64M " + ShellQuote(strMbr) + " && truncate -s 16M " +
                         ShellQuote(strGpt)),
              0);
    ASSERT_EQ(RunCommand("printf 'label: dos\\n2048,4096,83\\n,40000,5\\n,,7\\n' | " +
                         FindTool("sfdisk") + " -q " + ShellQuote(strMbr) + " >/dev/null"),
              0);
    ASSERT_EQ(RunCommand("printf ',8192,83\\n,,b\\n' | " + FindTool("sfdisk") + " -q --append " +
                         ShellQuote(strMbr) + " >/dev/null"),
              0);
    ASSERT_EQ(RunCommand(FindTool("sgdisk") +
                         " -n 1:2048:+1M -c 1:" + ShellQuote("Photos \xe2\x80\x94 2024") + " " +
                         ShellQuote(strGpt) + " >/dev/null"),
              0);
    const std::string strBefore = twtest::Sha1OfFile(strMbr) + twtest::Sha1OfFile(strGpt);

    std::string strOut;
    ASSERT_EQ(
        RunCommand("TARNWICK_DISK_DIR=" + ShellQuote(dir.Path()) + " " + Cli("disks"), &strOut), 0);
    // sfdisk placed: 2048+4096 primary, extended at 6144 (logicals at 8192 and
    // after it), the third primary after the extended partition.
    std::string strJson;
    ASSERT_EQ(RunCommand(FindTool("sfdisk") + " --json " + ShellQuote(strMbr), &strJson), 0);
    auto Field = [&](int nPart, const char* szKey) {
        std::string strNode = "disk0p" + std::to_string(nPart) + "\"";
        size_t p = strJson.find(strNode);
        p = strJson.find(std::string("\"") + szKey + "\":", p);
        return std::stoull(strJson.substr(strJson.find(':', p) + 1));
    };
    auto Line = [&](int nDisk, int nPos, int nPart, const std::string& strName) {
        unsigned long long s = Field(nPart, "start"), n = Field(nPart, "size");
        return "/dev/disk" + std::to_string(nDisk) + "\t" + std::to_string(nPos) + "\t" +
               std::to_string(s) + "\t" + std::to_string(s + n - 1) + "\t" +
               GetFileSizeString(static_cast<long long>(n) * 512) + "\t" + strName;
    };
    std::vector<std::string> expected = {
        Line(0, 1, 1, "Partition 1"), Line(0, 2, 5, "Partition 2"), Line(0, 3, 6, "Partition 3"),
        Line(0, 4, 3, "Partition 4"),
        "/dev/disk2\t1\t2048\t4095\t" + GetFileSizeString(1 << 20) + "\tPhotos \xe2\x80\x94 2024"};
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
