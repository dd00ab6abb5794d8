// Scan sessions through the command line: two scans at once in one results
// folder, --resume after a completed scan, a relative path that names another
// image, and a deep scan interrupted at half (Ctrl-C or killed outright) and
// resumed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "engine/LogFileManager.h"
#include "support/CliRun.h"
#include "support/FaultyMedium.h"
#include "support/Fixtures.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"

namespace {

// The listed files (engine, size, path), whatever their order.
std::multiset<std::string> Listing(const CliRun& run) {
    std::vector<std::string> lines = run.Lines();
    std::multiset<std::string> set;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> f = Split(lines[i], '\t');
        if (f.size() == 4) set.insert(f[0] + "\t" + f[1] + "\t" + f[3]);
    }
    return set;
}

// tarnwick-cli started in the background in folder strDir (output to files
// there): its process.
pid_t StartCli(const std::vector<std::string>& args, const std::string& strDir) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(strDir.c_str()) != 0) _exit(127);
        std::vector<std::string> all = {TW_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        if (!freopen("out", "w", stdout) || !freopen("err", "w", stderr)) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int WaitStatus(pid_t pid) {
    int nRaw = 0;
    waitpid(pid, &nRaw, 0);
    return WIFEXITED(nRaw) ? WEXITSTATUS(nRaw) : 128 + WTERMSIG(nRaw);
}

// 80 MiB of zeros with the carving card at 0, 20, 40 and 60 MiB: a deep scan
// long enough to save its state twice before its middle.
std::string LongCard(const CScratchDir& dir) {
    std::string strCard = ReadFileBytes(twtest::FixtureImage("carving"));
    std::string strDisk(80u << 20, '\0');
    for (size_t nMiB : {0, 20, 40, 60}) strDisk.replace(nMiB << 20, strCard.size(), strCard);
    const std::string strPath = dir.File("long.img");
    EXPECT_TRUE(WriteFileBytes(strPath, strDisk));
    return strPath;
}

}  // namespace

// A scan held in its middle while a second one runs from start to end in the
// same results folder: each lists what it lists alone.
TEST(CliSession, TwoScansAtOnceBothListWhatTheyListAlone) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const std::string strImage = twtest::FixtureImage("carving");
    const CliRun alone = RunCli({"scan", strImage, "--mode", "deep", "--list"});
    ASSERT_EQ(alone.nStatus, 0) << alone.strErr;
    ASSERT_GT(Listing(alone).size(), 50u);
    const uint64_t u64Half = ReadFileBytes(strImage).size() / 2;
    CFaultyMedium held(strImage, "", UINT64_MAX, u64Half / 512);
    ASSERT_TRUE(held.Ok()) << held.Why();
    const pid_t pid = StartCli({"scan", held.Path(), "--mode", "deep", "--list"}, work.Path());
    ASSERT_TRUE(held.WaitForReadAt(u64Half));
    const CliRun second = RunCli({"scan", strImage, "--mode", "deep", "--list"});
    EXPECT_EQ(second.nStatus, 0) << second.strErr;
    EXPECT_EQ(Listing(second), Listing(alone));
    ASSERT_EQ(WaitStatus(pid), 0) << ReadFileBytes(work.File("err"));
    CliRun first;
    first.strOut = ReadFileBytes(work.File("out"));
    EXPECT_EQ(Listing(first), Listing(alone));
    // Both folders went when their scans ended, and the index with them.
    sandbox.ReloadLogStore();
    EXPECT_TRUE(CLogFileManager::GetInstance().GetRecords().empty());
}

// --resume after a completed scan: afresh when its folder went, from the kept
// results when it stayed; and a relative path resumes only its own image.
TEST(CliSession, ResumeWorksAfterACompletedScanAndOnlyForItsOwnImage) {
    ScanLogSandbox sandbox;
    CScratchDir one, two;
    const std::string strCard = ReadFileBytes(twtest::FixtureImage("carving"));
    ASSERT_TRUE(WriteFileBytes(one.File("disk.img"), strCard));
    std::string strOther(strCard.size(), '\0');
    strOther.replace(0, strCard.size() / 2, strCard.substr(strCard.size() / 2));
    ASSERT_TRUE(WriteFileBytes(two.File("disk.img"), strOther));
    const CliRun whole = RunCli({"scan", one.File("disk.img"), "--mode", "deep", "--list"});
    ASSERT_EQ(whole.nStatus, 0) << whole.strErr;
    for (const char* szKeep : {"", "--keep-results"}) {
        SCOPED_TRACE(szKeep);
        std::vector<std::string> args = {"scan", one.File("disk.img"), "--mode", "deep", "--list"};
        if (*szKeep) args.push_back(szKeep);
        ASSERT_EQ(RunCli(args).nStatus, 0);
        args.push_back("--resume");
        const CliRun resumed = RunCli(args);
        EXPECT_EQ(resumed.nStatus, 0) << resumed.strErr;
        EXPECT_EQ(Listing(resumed), Listing(whole)) << resumed.strErr;
        EXPECT_EQ(resumed.strErr.find("no interrupted deep scan") == std::string::npos,
                  *szKeep != '\0')
            << resumed.strErr;
    }
    // "disk.img" in another folder is another image: its own scan, never the kept one.
    const std::string strCli = twtest::ShellQuote(TW_CLI_PATH);
    std::string strOut;
    EXPECT_EQ(twtest::RunCommand("cd " + twtest::ShellQuote(two.Path()) + " && " + strCli +
                                     " scan disk.img --resume --list 2>/dev/null",
                                 &strOut),
              0);
    CliRun other;
    other.strOut = strOut;
    const CliRun otherAlone = RunCli({"scan", two.File("disk.img"), "--mode", "deep", "--list"});
    EXPECT_EQ(Listing(other), Listing(otherAlone));
    EXPECT_NE(Listing(other), Listing(whole));
}

// Interrupted at half, by Ctrl-C or killed outright, and resumed: the resumed
// scan lists what an uninterrupted one lists, carved files included.
TEST(CliSession, AScanInterruptedAtHalfResumesToTheSameListing) {
    CScratchDir work;
    const std::string strImage = LongCard(work);
    const uint64_t u64Half = 40u << 20;
    std::multiset<std::string> whole;
    {
        ScanLogSandbox sandbox;
        CFaultyMedium medium(strImage, "");
        ASSERT_TRUE(medium.Ok()) << medium.Why();
        const CliRun run = RunCli({"scan", medium.Path(), "--mode", "deep", "--list"});
        ASSERT_EQ(run.nStatus, 0) << run.strErr;
        whole = Listing(run);
        ASSERT_GT(whole.size(), 200u);
    }
    for (int nSignal : {SIGINT, SIGKILL}) {
        SCOPED_TRACE(nSignal);
        ScanLogSandbox sandbox;
        CFaultyMedium medium(strImage, "", UINT64_MAX, u64Half / 512);
        ASSERT_TRUE(medium.Ok()) << medium.Why();
        const pid_t pid =
            StartCli({"scan", medium.Path(), "--mode", "deep", "--list"}, work.Path());
        ASSERT_TRUE(medium.WaitForReadAt(u64Half));
        kill(pid, nSignal);
        EXPECT_EQ(WaitStatus(pid), nSignal == SIGINT ? 130 : 128 + SIGKILL)
            << ReadFileBytes(work.File("err"));
        const CliRun resumed =
            RunCli({"scan", medium.Path(), "--mode", "deep", "--list", "--resume"});
        EXPECT_EQ(resumed.nStatus, 0) << resumed.strErr;
        EXPECT_EQ(resumed.strErr.find("no interrupted deep scan"), std::string::npos)
            << resumed.strErr;
        EXPECT_EQ(Listing(resumed), whole);
    }
    EXPECT_EQ(ReadFileBytes(strImage).size(), 80u << 20);
}
