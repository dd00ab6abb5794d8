#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
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
#include "engine/LogFileManager.h"
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
    // A source that made the command wait for ever must fail, not hang the suite.
    std::string strCmd = strEnv + " timeout 300 " + twtest::ShellQuote(TW_CLI_PATH);
    for (const std::string& arg : args) strCmd += " " + twtest::ShellQuote(arg);
    // These cases list what the file system itself holds: the fast mode, unless
    // a case names its mode (the deep scan has tests of its own).
    if (args.size() > 1 && args[0] == "scan" &&
        std::find(args.begin(), args.end(), "--mode") == args.end())
        strCmd += " --mode fast";
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

// The value of a key in one line of --json output: a string without its
// quotes (escapes undone), or the bare token.
std::string JsonField(const std::string& strLine, const std::string& strKey) {
    size_t nPos = strLine.find("\"" + strKey + "\":");
    if (nPos == std::string::npos) return "<none>";
    nPos += strKey.size() + 3;
    std::string strValue;
    if (strLine[nPos] != '"') return strLine.substr(nPos, strLine.find_first_of(",}", nPos) - nPos);
    for (++nPos; nPos < strLine.size() && strLine[nPos] != '"'; ++nPos) {
        if (strLine[nPos] == '\\') ++nPos;
        strValue += strLine[nPos];
    }
    return strValue;
}

bool ParsesAsJsonLines(const std::string& strFile) {
    return twtest::RunCommand("python3 -m json.tool --json-lines " + twtest::ShellQuote(strFile) +
                              " >/dev/null") == 0;
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
    // A scan's folder goes when the command ends, unless kept; an indexed
    // earlier scan of the same area goes before a fresh one.
    EXPECT_EQ(access((sandbox.ScanLog() + "1").c_str(), F_OK), -1);
    EXPECT_EQ(RunCli({"scan", strImage, "--keep-results"}).nStatus, 0);
    EXPECT_EQ(access((sandbox.ScanLog() + "2").c_str(), F_OK), 0);
    sandbox.ReloadLogStore();
    CLogFileManager& logs = CLogFileManager::GetInstance();
    const unsigned long long u64Sectors = ReadFileBytes(strImage).size() / 512;
    ASSERT_EQ(logs.SaveLogFileInfo("", -1, 0, u64Sectors, 0, 0, u64Sectors, u64Sectors, 1,
                                   (sandbox.ScanLog() + "2/").c_str(), strImage.c_str()),
              0);
    EXPECT_EQ(RunCli({"scan", strImage}).nStatus, 0);
    EXPECT_EQ(access((sandbox.ScanLog() + "2").c_str(), F_OK), -1);
    sandbox.ReloadLogStore();
    EXPECT_TRUE(logs.GetRecords().empty());
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

TEST(CliScan, TypesFilterTheListingAsTheApplicationDoes) {
    ScanLogSandbox sandbox;
    const std::string strImage = FatImagePath("fat16_2k");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    std::multiset<std::string> photos =
        ListedPaths(RunCli({"scan", strImage, "--list", "--types", "photo"}));
    std::multiset<std::string> others =
        ListedPaths(RunCli({"scan", strImage, "--list", "--types", "other"}));
    std::multiset<std::string> both =
        ListedPaths(RunCli({"scan", strImage, "--list", "--types", " Document, OTHERS"}));
    for (const std::string& p : photos) EXPECT_EQ(p.substr(p.size() - 4), ".jpg") << p;
    EXPECT_EQ(photos.size(), 3u);
    for (const std::string& p : others) EXPECT_NE(p.substr(p.size() - 4), ".txt") << p;
    EXPECT_TRUE(others.count("Fragmented around a live file.bin"));
    EXPECT_TRUE(others.count("Documents/Old stuff/!otes.dat"));
    EXPECT_TRUE(both.count("Documents/Empty file.txt"));
    EXPECT_EQ(both.size(), FatListedPaths("fat16_2k").size() - photos.size());
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
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

    const std::string strBefore = twtest::Sha1OfFile(strImage);
    CliRun whole = RunCli({"scan", strImage, "--list"});
    EXPECT_EQ(whole.nStatus, 3) << whole.strOut;
    EXPECT_NE(
        whole.strErr.find("holds 1 partition, not one file system: pick one with --partition"),
        std::string::npos)
        << whole.strErr;
    CliRun part = RunCli({"scan", strImage, "--partition", "1", "--list"});
    ASSERT_EQ(part.nStatus, 0) << part.strErr;
    EXPECT_EQ(ListedPaths(part), FatListedPaths("fat12_1k"));
    CliRun missing = RunCli({"scan", strImage, "--partition", "2"});
    EXPECT_EQ(missing.nStatus, 3);
    EXPECT_NE(missing.strErr.find("no partition 2"), std::string::npos) << missing.strErr;
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

TEST(CliScan, ExitStatusesTellWhatWentWrong) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const std::string strImage = FatImagePath("fat12_1k");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    ASSERT_TRUE(WriteFileBytes(work.File("zeros.img"), std::string(1 << 16, '\0')));
    ASSERT_TRUE(WriteFileBytes(work.File("short.img"), std::string(511, '\0')));
    ASSERT_EQ(mkfifo(work.File("fifo").c_str(), 0600), 0);
    const std::string strNotDir = work.File("zeros.img");
    const struct {
        std::vector<std::string> args;
        int nStatus;
        const char* szSays;
    } cases[] = {
        {{"scan"}, 2, ""},
        {{"scan", strImage, "--bogus"}, 2, ""},
        {{"scan", strImage, "--mode", "carve", "--resume"}, 2, "--mode deep"},
        {{"scan", strImage, "--mode", "quick"}, 2, ""},
        {{"scan", strImage, "--types", "photo,pictures"}, 2, ""},
        {{"scan", strImage, "--partition", "zero"}, 2, ""},
        {{"scan", strImage, "--partition", "1x"}, 2, "number"},
        {{"scan", strImage, "--partition", "+1"}, 2, "number"},
        {{"scan", strImage, "--partition", "99999999999999999999"}, 2, "number"},
        {{"scan", strImage, "--keep-paths"}, 2, "--recover"},
        {{"scan", strImage, "--recover", strNotDir}, 2, "not a folder"},
        {{"scan", strImage, "--recover", strNotDir + "/sub"}, 2, "not a folder"},
        {{"help", "bogus"}, 2, "no help"},
        {{"scan", work.File("absent.img")}, 3, ""},
        {{"scan", work.File("zeros.img")}, 3, "no file system"},
    };
    for (const auto& c : cases) {
        CliRun run = RunCli(c.args);
        EXPECT_EQ(run.nStatus, c.nStatus) << c.args.back();
        EXPECT_NE(run.strErr.find(c.szSays), std::string::npos) << run.strErr;
    }
    // What is no disk, partition or image is refused at once in every mode.
    for (const std::string& strSource : {work.Path(), work.File("fifo"), std::string("/dev/zero"),
                                         std::string("/dev/null"), work.File("short.img")}) {
        for (const char* szMode : {"fast", "carve", "deep"}) {
            CliRun run = RunCli({"scan", strSource, "--mode", szMode});
            EXPECT_EQ(run.nStatus, 3) << strSource << " " << szMode;
            EXPECT_NE(run.strErr.find(strSource + " "), std::string::npos) << run.strErr;
        }
    }
    CliRun help = RunCli({"help", "scan"});
    EXPECT_EQ(help.nStatus, 0);
    EXPECT_EQ(help.strOut.rfind("usage: tarnwick-cli scan SOURCE", 0), 0u) << help.strOut;
    EXPECT_EQ(help.strOut.find("usage: tarnwick-cli disks"), std::string::npos);

    // A folder that cannot be made fails its files and leaves nothing; a file
    // cut short by a size limit is kept and listed as partial.
    CScratchDir dest;
    ASSERT_TRUE(WriteFileBytes(dest.File("photo"), "a file where the photo folder would go"));
    CliRun failed = RunCli({"scan", strImage, "--recover", dest.Path()});
    EXPECT_EQ(failed.nStatus, 1) << failed.strErr;
    EXPECT_NE(failed.strOut.find("Failed\t" + dest.Path() + "/photo/"), std::string::npos);
    EXPECT_NE(failed.strOut.find("\tcannot write the destination: "), std::string::npos);
    EXPECT_NE(failed.strOut.find("Success\t" + dest.Path() + "/document/"), std::string::npos);
    EXPECT_NE(failed.strOut.find("; 0 partial, 3 failed"), std::string::npos) << failed.strOut;
    CliRun json =
        RunCli({"scan", strImage, "--recover", dest.Path(), "--types", "photo", "--json"});
    for (const std::string& strLine : json.Lines())
        EXPECT_EQ(JsonField(strLine, "status") + JsonField(strLine, "failed_on"), "failedfolder");
    CliRun cut = RunCli({"scan", strImage, "--recover", dest.File("cut"), "--types", "photo"},
                        "prlimit --fsize=24576");
    EXPECT_EQ(cut.nStatus, 1) << cut.strErr;
    EXPECT_NE(cut.strOut.find("Partial\t" + dest.File("cut") +
                              "/photo/Holiday by the sea.jpg\t24576 of 30734 bytes written"),
              std::string::npos)
        << cut.strOut;
    EXPECT_NE(cut.strOut.find("Recovered 1 of 3 files (20.0 KiB)"), std::string::npos);
    EXPECT_NE(cut.strOut.find("; 2 partial, 0 failed"), std::string::npos) << cut.strOut;
    // A card cut short: what could not be read at all leaves no file behind,
    // what was read in part is kept at the size written.
    const std::string strShort = work.File("short-card.img");
    ASSERT_TRUE(WriteFileBytes(strShort, ReadFileBytes(strImage).substr(0, 130 << 10)));
    CliRun shortRun = RunCli({"scan", strShort, "--recover", dest.File("short")});
    EXPECT_EQ(shortRun.nStatus, 1);
    std::map<std::string, int> kinds;
    for (const std::string& strLine : shortRun.Lines()) {
        std::vector<std::string> f = Split(strLine, '\t');
        ++kinds[f[0]];
        if (f[0] == "Failed") EXPECT_EQ(access(f.at(1).c_str(), F_OK), -1) << f[1];
        if (f[0] == "Partial")
            EXPECT_EQ(std::to_string(ReadFileBytes(f.at(1)).size()), Split(f.at(2), ' ')[0]);
    }
    EXPECT_GT(kinds["Failed"], 0);
    EXPECT_GT(kinds["Partial"], 0);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

// Without a writable application-support folder the scan results go to the
// user's own data folder, and the user is told once.
TEST(CliScan, FallsBackToTheUsersDataFolder) {
    CScratchDir home;
    const std::string strBefore = twtest::Sha1OfFile(FatImagePath("fat12_1k"));
    CliRun run = RunCli({"scan", FatImagePath("fat12_1k"), "--keep-results"},
                        "TARNWICK_SUPPORT_DIR=/proc/no-such-place XDG_DATA_HOME=" +
                            twtest::ShellQuote(home.Path()));
    ASSERT_EQ(run.nStatus, 0) << run.strErr;
    const std::string strLog = home.Path() + "/tarnwick/ScanLog/";
    EXPECT_NE(run.strErr.find("keeping scan results in " + home.Path() + "/tarnwick/"),
              std::string::npos)
        << run.strErr;
    EXPECT_EQ(access((strLog + "1").c_str(), F_OK), 0);
    EXPECT_EQ(access((strLog + "config").c_str(), F_OK), 0);
    // Where the folder can be written, nothing is said about it.
    CliRun quiet = RunCli({"scan", FatImagePath("fat12_1k")},
                          "TARNWICK_SUPPORT_DIR=" + twtest::ShellQuote(home.Path()));
    EXPECT_EQ(std::to_string(quiet.nStatus) + quiet.strErr, "0");
    EXPECT_EQ(twtest::Sha1OfFile(FatImagePath("fat12_1k")), strBefore);
}

namespace {

// Ext2 images bound to loop devices and mounted; everything is unmounted
// (lazily when busy) and unbound, last first, when the object goes.
class CLoopMounts {
public:
    explicit CLoopMounts(std::string strLosetup) : m_strLosetup(std::move(strLosetup)) {}
    ~CLoopMounts() {
        for (auto it = m_undo.rbegin(); it != m_undo.rend(); ++it) twtest::RunCommand(*it);
    }
    // Makes an ext2 image of nMiB at strImage and mounts it at strMount (made
    // here). The loop device, or "" (with the reason) when none can be bound.
    std::string Mount(const std::string& strImage, int nMiB, const std::string& strMount,
                      std::string& strWhy) {
        const std::string strImg = twtest::ShellQuote(strImage),
                          strMnt = twtest::ShellQuote(strMount);
        if (twtest::RunCommand("truncate -s " + std::to_string(nMiB) + "M " + strImg +
                               " && mke2fs -q -F -t ext2 " + strImg + " && mkdir " + strMnt) != 0)
            return strWhy = "cannot make " + strImage, "";
        std::string strLoop;
        if (twtest::RunCommand(m_strLosetup + " -f --show " + strImg + " 2>&1", &strLoop) != 0)
            return strWhy = strLoop, "";
        strLoop.erase(strLoop.find_last_not_of("\n") + 1);
        m_undo.push_back(m_strLosetup + " -d " + twtest::ShellQuote(strLoop));
        if (twtest::RunCommand("mount -t ext2 -o noatime " + twtest::ShellQuote(strLoop) + " " +
                               strMnt) != 0)
            return strWhy = "cannot mount " + strLoop, "";
        m_undo.push_back("umount " + strMnt + " 2>/dev/null || umount -l " + strMnt);
        return strLoop;
    }

private:
    std::string m_strLosetup;
    std::vector<std::string> m_undo;
};

}  // namespace

// An image and the loop devices bound to it, directly or through a file on
// them, are one source: recovering into such a mount writes into the source.
TEST(CliScan, AnImageIsTheSourceOfItsMountedLoopDevices) {
    const std::string strLosetup = twtest::FindTool("losetup");
    if (strLosetup.empty()) GTEST_SKIP() << "losetup is not installed";
    ScanLogSandbox sandbox;
    CScratchDir work;
    CLoopMounts loops(strLosetup);
    const std::string strCard = work.File("card.img"), strOuter = work.File("outer");
    const std::string strInner = strOuter + "/inner.img", strMount = work.File("inner");
    std::string strWhy;
    const std::string strLoop = loops.Mount(strCard, 8, strOuter, strWhy);
    if (strLoop.empty() && strWhy.find("cannot") != 0)
        GTEST_SKIP() << "no loop device can be bound here: " << strWhy;
    ASSERT_FALSE(strLoop.empty()) << strWhy;
    ASSERT_FALSE(loops.Mount(strInner, 2, strMount, strWhy).empty()) << strWhy;
    // Mounting wrote to the images; once that reached the card, nothing may.
    ASSERT_EQ(twtest::RunCommand("sync && sync && sync"), 0);
    const std::string strBefore = twtest::Sha1OfFile(strCard);
    const struct {
        std::string strSource, strTarget;
        bool bSame;
    } cases[] = {
        {strCard, strOuter + "/rescued", true},
        {strCard, strMount + "/rescued", true},
        {strLoop, strMount + "/rescued", true},
        {strInner, strOuter + "/rescued", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsTargetOnSourceDevice(c.strSource.c_str(), c.strTarget.c_str()), c.bSame)
            << c.strSource << " -> " << c.strTarget;
    }
    CliRun run = RunCli({"scan", strCard, "--mode", "carve", "--recover", strMount + "/rescued"});
    EXPECT_EQ(run.nStatus, 2) << run.strErr;
    EXPECT_NE(run.strErr.find("the device being scanned"), std::string::npos) << run.strErr;
    EXPECT_EQ(access((strMount + "/rescued").c_str(), F_OK), -1);
    EXPECT_EQ(twtest::Sha1OfFile(strCard), strBefore);
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
        // Named by their first sector, listed in its order.
        if (i > 1)
            EXPECT_LT(std::stoull(lines[i - 1].substr(lines[i - 1].rfind('\t') + 1)),
                      std::stoull(f.at(3)))
                << lines[i];
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
        EXPECT_NE(std::string("jpg png gif bmp tif psd ico ppm pgm pbm webp heic avif cr3 xcf")
                      .find(strExt),
                  std::string::npos)
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

// --keep-paths gives back the volume's tree byte for byte, each file and
// folder with its recorded times and, under sudo, owned by the user.
TEST(CliRecover, KeepsPathsTimesAndOwnerOnFatExFatAndNtfs) {
    std::map<std::string, std::string> fat, exfat, ntfs;  // listed path -> original file
    for (auto card : {std::make_pair("fat12_1k", &fat), std::make_pair("exfat_4k", &exfat)})
        for (const FatManifestRow& row : LoadFatManifest(card.first))
            if (row.strStatus == "deleted" && FatListedPaths(card.first).count(row.strListed) == 1)
                (*card.second)[row.strListed] = row.strOriginal;
    for (const twtest::ManifestEntry& entry : twtest::ReadManifest("ntfs"))
        if (entry.bDeleted) ntfs[entry.strPath.substr(1)] = entry.strSourceFile;
    ASSERT_GT(fat.size(), 8u);
    ASSERT_GT(exfat.size(), 4u);
    ASSERT_GT(ntfs.size(), 8u);
    for (const auto& card : {std::make_pair(FatImagePath("fat12_1k"), fat),
                             std::make_pair(FatImagePath("exfat_4k"), exfat),
                             std::make_pair(twtest::FixtureImage("ntfs"), ntfs)}) {
        ScanLogSandbox sandbox;
        CScratchDir out;
        const std::string strBefore = twtest::Sha1OfFile(card.first);
        CliRun list = RunCli({"scan", card.first, "--list", "--json"});
        ASSERT_EQ(list.nStatus, 0) << list.strErr;
        ASSERT_TRUE(WriteFileBytes(out.File("list.json"), list.strOut));
        EXPECT_TRUE(ParsesAsJsonLines(out.File("list.json"))) << list.strOut;
        std::map<std::string, std::string> modified, first;
        for (const std::string& strLine : list.Lines()) {
            modified[JsonField(strLine, "path")] = JsonField(strLine, "modified");
            first[JsonField(strLine, "path")] = JsonField(strLine, "first_sector");
        }
        // Where a first sector is given, the file's bytes begin there.
        const std::string strCard = ReadFileBytes(card.first);
        int nFirstSectors = 0;
        for (const auto& original : card.second) {
            const std::string strData = ReadFileBytes(original.second).substr(0, 512);
            if (first[original.first] == "null" || strData.empty()) continue;
            EXPECT_EQ(strCard.substr(std::stoull(first[original.first]) * 512, strData.size()),
                      strData)
                << original.first;
            ++nFirstSectors;
        }
        EXPECT_EQ(nFirstSectors > 0, card.first != twtest::FixtureImage("ntfs"));
        const std::string strDest = out.File("tree");
        struct timespec tsStart;
        clock_gettime(CLOCK_REALTIME, &tsStart);
        CliRun rec = RunCli({"scan", card.first, "--recover", strDest, "--keep-paths", "--json"},
                            "SUDO_UID=12345 SUDO_GID=23456");
        ASSERT_EQ(rec.nStatus, 0) << rec.strErr;
        ASSERT_TRUE(WriteFileBytes(out.File("rec.json"), rec.strOut));
        EXPECT_TRUE(ParsesAsJsonLines(out.File("rec.json"))) << rec.strOut;
        for (const auto& original : card.second) {
            const std::string strTarget = strDest + "/" + original.first;
            EXPECT_EQ(twtest::Sha1OfFile(strTarget), twtest::Sha1OfFile(original.second))
                << strTarget;
            struct stat st;
            ASSERT_EQ(stat(strTarget.c_str(), &st), 0) << strTarget;
            char szTime[32];
            std::strftime(szTime, sizeof(szTime), "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&st.st_mtime));
            EXPECT_EQ(szTime, modified[original.first]) << strTarget;
        }
        for (const auto& entry : std::filesystem::recursive_directory_iterator(strDest)) {
            struct stat st;
            ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, 12345u) << entry.path();
            EXPECT_EQ(st.st_gid, 23456u) << entry.path();
            // A folder of the volume has its times, not the time of recovery.
            if (entry.is_directory())
                EXPECT_TRUE(
                    st.st_mtim.tv_sec < tsStart.tv_sec ||
                    (st.st_mtim.tv_sec == tsStart.tv_sec && st.st_mtim.tv_nsec < tsStart.tv_nsec))
                    << entry.path();
        }
        EXPECT_EQ(twtest::Sha1OfFile(card.first), strBefore);
    }
}
