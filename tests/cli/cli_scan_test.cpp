// tarnwick-cli run as a user runs it: listing, recovery, the disks command and
// every refusal with its exit status.
#include <algorithm>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include "carving/CarvingTestData.h"
#include "engine/LogFileManager.h"
#include "engine/SaveTarget.h"
#include "support/CliRun.h"
#include "support/DiskImage.h"
#include "support/FatImages.h"
#include "support/Fixtures.h"
#include "support/Mounts.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"

namespace {

std::multiset<std::string> ListedPaths(const CliRun& run) {
    std::multiset<std::string> paths;
    std::vector<std::string> lines = run.Lines();
    for (size_t i = 1; i < lines.size(); ++i) paths.insert(Split(lines[i], '\t').at(3));
    return paths;
}

bool ParsesAsJsonLines(const std::string& strText) {
    CScratchDir dir;
    return WriteFileBytes(dir.File("json"), strText) &&
           twtest::RunCommand("python3 -m json.tool --json-lines " +
                              twtest::ShellQuote(dir.File("json")) + " >/dev/null") == 0;
}

}  // namespace

// The listing (engine, size, health, path per file) and where the scan's folder goes.
TEST(CliScan, ListsEveryDeletedFileWithItsFolder) {
    ScanLogSandbox sandbox;
    const std::string strImage = FatImagePath("fat32_512");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    CliRun run = RunCli({"scan", strImage, "--list"});
    ASSERT_EQ(run.nStatus, 0) << run.strErr;
    ASSERT_EQ(run.strOut.rfind("engine\tsize\thealth\tpath\n", 0), 0u) << run.strOut;
    std::vector<std::string> lines = run.Lines();
    EXPECT_EQ(ListedPaths(run), FatListedPaths("fat32_512"));
    const std::multiset<std::string> listed(lines.begin() + 1, lines.end());
    for (const twtest::ManifestEntry& e : twtest::ReadManifest("fat32_512"))
        if (e.strStatus == "deleted")
            EXPECT_EQ(listed.count("fat\t" + std::to_string(ReadFileBytes(e.strSourceFile).size()) +
                                   "\t1\t" + e.strListed),
                      1u)
                << e.strListed;
    EXPECT_NE(run.strErr.find("Found " + std::to_string(lines.size() - 1) + " files"),
              std::string::npos);
    // The folder goes at the end unless kept; an indexed earlier scan of the area goes first.
    EXPECT_EQ(access((sandbox.ScanLog() + "1").c_str(), F_OK), -1);
    EXPECT_EQ(RunCli({"scan", strImage, "--keep-results"}).nStatus, 0);
    EXPECT_EQ(access((sandbox.ScanLog() + "2").c_str(), F_OK), 0);
    sandbox.ReloadLogStore();
    CLogFileManager& logs = CLogFileManager::GetInstance();
    const unsigned long long u64Sectors = ReadFileBytes(strImage).size() / 512;
    ASSERT_EQ(logs.SaveLogFileInfo("", -1, 0, u64Sectors, 0, 0, u64Sectors, u64Sectors, 1,
                                   (sandbox.ScanLog() + "2/").c_str(), strImage.c_str()),
              0);
    // Where the scan folder can be written, nothing is said about it.
    CliRun fresh = RunCli({"scan", strImage});
    EXPECT_EQ(std::to_string(fresh.nStatus) + fresh.strErr, "0");
    EXPECT_EQ(access((sandbox.ScanLog() + "2").c_str(), F_OK), -1);
    sandbox.ReloadLogStore();
    EXPECT_TRUE(logs.GetRecords().empty());
    // No writable support folder: the results go to the user's data folder, said once.
    CScratchDir home;
    CliRun moved = RunCli({"scan", strImage, "--keep-results"},
                          "TARNWICK_SUPPORT_DIR=/proc/no-such-place XDG_DATA_HOME=" +
                              twtest::ShellQuote(home.Path()));
    ASSERT_EQ(moved.nStatus, 0) << moved.strErr;
    EXPECT_NE(moved.strErr.find("keeping scan results in " + home.Path() + "/tarnwick/"),
              std::string::npos)
        << moved.strErr;
    EXPECT_EQ(access((home.Path() + "/tarnwick/ScanLog/1").c_str(), F_OK), 0);
    EXPECT_EQ(access((home.Path() + "/tarnwick/ScanLog/config").c_str(), F_OK), 0);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

// Recovery: type folders, unique names, every byte back, a line per file, a summary.
TEST(CliScan, RecoversIntoTypeFolders) {
    ScanLogSandbox sandbox;
    CScratchDir dest;
    const std::string strImage = FatImagePath("fat12_1k");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    CliRun run = RunCli({"scan", strImage, "--recover", dest.Path()});
    ASSERT_EQ(run.nStatus, 0) << run.strErr;
    std::vector<std::string> lines = run.Lines();
    const std::string strFiles = std::to_string(FatListedPaths("fat12_1k").size());
    ASSERT_EQ(std::to_string(lines.size() - 1), strFiles);
    EXPECT_EQ(lines.back().rfind("Recovered " + strFiles + " of " + strFiles + " files", 0), 0u)
        << lines.back();
    std::multiset<std::string> recovered;
    std::set<std::string> targets;  // no two files share one
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].substr(0, 8), "Success\t");
        targets.insert(lines[i].substr(8));
        recovered.insert(ReadFileBytes(lines[i].substr(8)));
    }
    EXPECT_EQ(std::to_string(targets.size()), strFiles);
    for (const twtest::ManifestEntry& e : twtest::ReadManifest("fat12_1k"))
        if (e.strStatus == "deleted")
            EXPECT_TRUE(recovered.count(ReadFileBytes(e.strSourceFile))) << e.strPath;
    for (const char* szTarget : {"/photo/Holiday by the sea.jpg", "/others/!ata.bin",
                                 "/document/Résumé ünïcödé 日本語.txt", "/others/!ata(1).bin"})
        EXPECT_TRUE(targets.count(dest.Path() + szTarget)) << szTarget;
    // An image is never the device a destination lies on.
    EXPECT_FALSE(IsTargetOnSourceDevice(strImage.c_str(), dest.Path().c_str()));
    EXPECT_FALSE(IsTargetOnSourceDevice("/no/such/source", dest.Path().c_str()));

    // Again, under a size limit: nothing overwritten, a cut file kept as partial.
    CliRun cut = RunCli({"scan", strImage, "--recover", dest.Path(), "--types", "photo"},
                        "prlimit --fsize=24576");
    EXPECT_EQ(cut.nStatus, 1) << cut.strErr;
    EXPECT_NE(cut.strOut.find("Partial\t" + dest.Path() +
                              "/photo/Holiday by the sea(1).jpg\t24576 of 30734 bytes written"),
              std::string::npos)
        << cut.strOut;
    EXPECT_NE(cut.strOut.find("Recovered 1 of 3 files (20.0 KiB) into " + dest.Path() +
                              "; 2 partial, 0 failed"),
              std::string::npos);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

// Each refusal: its exit status and what it says (help: on standard output).
TEST(CliScan, ExitStatusesTellWhatWentWrongAndAPartitionIsPicked) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const std::string strImage = FatImagePath("fat12_1k");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    ASSERT_TRUE(WriteFileBytes(work.File("zeros.img"), std::string(1 << 16, '\0')));
    ASSERT_TRUE(WriteFileBytes(work.File("short.img"), std::string(511, '\0')));
    ASSERT_EQ(mkfifo(work.File("fifo").c_str(), 0600), 0);
    // A master boot record with one partition holding the card.
    const std::string strNotDir = work.File("zeros.img"), strDisk = work.File("disk.img");
    std::vector<twtest::Volume> volumes(1);
    volumes[0].strSourceImage = strImage;
    ASSERT_TRUE(twtest::WriteMbrDisk(strDisk, volumes, {}, nullptr));
    const std::string strDiskBefore = twtest::Sha1OfFile(strDisk);
    const struct {
        std::vector<std::string> args;
        int nStatus;
        std::string strSays;
    } cases[] = {
        {{}, 2, "no command given"},
        {{"recover-everything"}, 2, "unknown command"},
        {{"disks", "--verbose"}, 2, "unknown option '--verbose'"},
        {{"disks", "/dev/disk0"}, 2, "unexpected argument"},
        {{"--help"}, 0, "TARNWICK_DISK_DIR"},
        {{"disks", "--help"}, 0, "usage: tarnwick-cli disks"},
        {{"help", "scan"}, 0, "usage: tarnwick-cli scan SOURCE"},
        {{"help", "bogus"}, 2, "no help"},
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
        {{"scan", work.File("absent.img")}, 3, ""},
        {{"scan", work.File("zeros.img")}, 3, "no file system"},
        {{"scan", strDisk, "--list"},
         3,
         "holds 1 partition, not one file system: pick one with --partition"},
        {{"scan", strDisk, "--partition", "2"}, 3, "no partition 2"},
        // What is no disk, partition or image is refused at once, in every mode.
        {{"scan", work.Path()}, 3, work.Path() + " "},
        {{"scan", work.File("fifo"), "--mode", "carve"}, 3, work.File("fifo") + " "},
        {{"scan", "/dev/zero", "--mode", "deep"}, 3, "/dev/zero "},
        {{"scan", "/dev/null", "--mode", "carve"}, 3, "/dev/null "},
        {{"scan", work.File("short.img"), "--mode", "deep"}, 3, work.File("short.img") + " "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        CliRun run = RunCli(c.args);
        EXPECT_EQ(run.nStatus, c.nStatus);
        EXPECT_NE((c.nStatus == 0 ? run.strOut : run.strErr).find(c.strSays), std::string::npos)
            << run.strErr;
    }
    // Its one partition, listed through the application's type filter: all but the photos.
    CliRun part =
        RunCli({"scan", strDisk, "--partition", "1", "--list", "--types", " Document, OTHERS"});
    ASSERT_EQ(part.nStatus, 0) << part.strErr;
    std::multiset<std::string> wanted = FatListedPaths("fat12_1k");
    for (auto it = wanted.begin(); it != wanted.end();)
        it = std::filesystem::path(*it).extension() == ".jpg" ? wanted.erase(it) : std::next(it);
    EXPECT_EQ(ListedPaths(part), wanted);
    EXPECT_EQ(twtest::Sha1OfFile(strDisk), strDiskBefore);
    // A command's help is that command's alone.
    EXPECT_EQ(RunCli({"help", "scan"}).strOut.find("usage: tarnwick-cli disks"), std::string::npos);

    // A folder that cannot be made fails its files and leaves nothing.
    CScratchDir dest;
    ASSERT_TRUE(WriteFileBytes(dest.File("photo"), "a file where the photo folder would go"));
    CliRun failed = RunCli({"scan", strImage, "--recover", dest.Path(), "--json"});
    EXPECT_EQ(failed.nStatus, 1) << failed.strErr;
    EXPECT_NE(failed.strErr.find("; 0 partial, 3 failed"), std::string::npos) << failed.strErr;
    for (const std::string& strLine : failed.Lines()) {
        const bool bPhoto = JsonField(strLine, "target").rfind(dest.Path() + "/photo/", 0) == 0;
        EXPECT_EQ(JsonField(strLine, "status") + JsonField(strLine, "failed_on"),
                  bPhoto ? "failedfolder" : "success<none>");
        if (bPhoto)
            EXPECT_EQ(JsonField(strLine, "error").rfind("cannot write the destination: ", 0), 0u);
    }
    // A short card: a file not read at all leaves nothing, one read in part stays.
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

// One line per partition: disk, position, first and last sector, size, name.
TEST(CliDisks, OneLinePerPartitionAndTheDisksStayUnchanged) {
    CScratchDir dir, empty;
    const std::string strMbr = dir.File("disk0"), strGpt = dir.File("disk2");
    ASSERT_TRUE(twtest::CreateSparseFile(strMbr, 16 << 20));
    ASSERT_TRUE(twtest::CreateSparseFile(strGpt, 16 << 20));
    ASSERT_TRUE(twtest::Sfdisk(strMbr, "label: dos\n2048,4096,83\n6144,3072,7\n"));
    ASSERT_TRUE(twtest::Sgdisk(strGpt, "-n 1:2048:+1M -c 1:'Photos \xe2\x80\x94 2024'"));
    const std::string strBefore = twtest::Sha1OfFile(strMbr) + twtest::Sha1OfFile(strGpt);
    CliRun run = RunCli({"disks"}, "TARNWICK_DISK_DIR=" + twtest::ShellQuote(dir.Path()));
    EXPECT_EQ(run.nStatus, 0) << run.strErr;
    EXPECT_EQ(run.Lines(), (std::vector<std::string>{
                               "/dev/disk0\t1\t2048\t6143\t2.0 MiB\tPartition 1",
                               "/dev/disk0\t2\t6144\t9215\t1.5 MiB\tPartition 2",
                               "/dev/disk2\t1\t2048\t4095\t1.0 MiB\tPhotos \xe2\x80\x94 2024"}));
    EXPECT_EQ(twtest::Sha1OfFile(strMbr) + twtest::Sha1OfFile(strGpt), strBefore);
    // No disks at all: nothing printed, still success.
    CliRun none = RunCli({"disks"}, "TARNWICK_DISK_DIR=" + twtest::ShellQuote(empty.Path()));
    EXPECT_EQ(std::to_string(none.nStatus) + none.strOut, "0");
}

namespace {

// Ext2 images mounted on loop devices; unmounted and unbound, last first, at the end.
struct LoopMounts {
    const std::string strLosetup = twtest::FindTool("losetup");
    twtest::CMounts mounts;
    // An ext2 image of nMiB mounted at strMount: its loop device, or "" and strWhy.
    std::string Mount(const std::string& strImage, int nMiB, const std::string& strMount,
                      std::string& strWhy) {
        const std::string strImg = twtest::ShellQuote(strImage),
                          strMnt = twtest::ShellQuote(strMount);
        if (twtest::RunCommand("truncate -s " + std::to_string(nMiB) + "M " + strImg +
                               " && mke2fs -q -F -t ext2 " + strImg + " && mkdir " + strMnt) != 0)
            return strWhy = "cannot make " + strImage, "";
        const std::string strLoop = mounts.Loop(strImage, false, strWhy);
        if (strLoop.empty()) return "";
        if (!mounts.Run("mount -t ext2 -o noatime " + twtest::ShellQuote(strLoop) + " " + strMnt,
                        "umount " + strMnt + " 2>/dev/null || umount -l " + strMnt, strWhy))
            return strWhy = "cannot mount " + strLoop, "";
        return strLoop;
    }
};

}  // namespace

// An image and its loop devices, directly or through a file on them, are one source.
TEST(CliScan, AnImageIsTheSourceOfItsMountedLoopDevices) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    LoopMounts loops;
    ASSERT_FALSE(loops.strLosetup.empty()) << "losetup is missing (make test installs it)";
    const std::string strCard = work.File("card.img"), strOuter = work.File("outer");
    const std::string strInner = strOuter + "/inner.img", strMount = work.File("inner");
    std::string strWhy;
    const std::string strLoop = loops.Mount(strCard, 8, strOuter, strWhy);
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

// --mode carve over an image (photos listed) and a partition (recovered, cut at its end).
TEST(CliCarve, ImageListedAndPartitionRecoveredByteForByte) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const std::string strImage = twtest::FixtureImage("carving");
    std::vector<twtest::Volume> volumes(2);
    volumes[0].strSourceImage = strImage;
    volumes[1].strSourceImage = twtest::FixtureFilesDir("carving") + "/photo.jpg";
    volumes[1].u64Sectors = 64;
    std::vector<twtest::Placed> placed;
    std::string strError;
    const std::string strDisk = work.File("disk.img");
    ASSERT_TRUE(twtest::WriteMbrDisk(strDisk, volumes, {}, &placed, &strError)) << strError;
    ASSERT_EQ(placed.size(), 2u);
    const std::string strSums = twtest::Sha1OfFile(strImage) + twtest::Sha1OfFile(strDisk);

    const std::string strPhotoTypes =
        " jpg png gif bmp tif psd ico ppm pgm pbm webp heic avif cr3 xcf ";
    CliRun list = RunCli({"scan", strImage, "--mode", "carve", "--types", "photo", "--list"});
    ASSERT_EQ(list.nStatus, 0) << list.strErr;
    const std::vector<std::string> lines = list.Lines();
    std::map<std::string, unsigned long long> photos;  // name -> listed size
    for (size_t i = 1; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        const std::vector<std::string> f = Split(lines[i], '\t');
        EXPECT_EQ(f.at(0), "carving");
        // The filter matches a type inside a longer one (avi in avif) as the store does.
        EXPECT_NE(strPhotoTypes.find(f[3].substr(f[3].rfind('.') + 1)), std::string::npos);
        // Named by their first sector, listed in its order.
        EXPECT_TRUE(i == 1 || std::stoull(lines[i - 1].substr(lines[i - 1].rfind('\t') + 1)) <
                                  std::stoull(f[3]));
        photos[f[3]] = std::stoull(f.at(1));
    }
    CliRun rec = RunCli(
        {"scan", strDisk, "--partition", "1", "--mode", "carve", "--recover", work.File("rec")});
    ASSERT_EQ(rec.nStatus, 0) << rec.strErr;
    std::map<std::string, std::string> recovered;  // file name -> path
    for (const auto& entry : std::filesystem::recursive_directory_iterator(work.File("rec")))
        recovered[entry.path().filename().string()] = entry.path().string();
    const unsigned long long u64First = placed[0].u64StartSector;
    for (const carvetest::LayoutItem& p : carvetest::ReadLayout()) {
        if (p.strKind != "file" || p.strHow == "none") continue;
        SCOPED_TRACE(p.strName);
        if (strPhotoTypes.find(" " + p.strExt + " ") != std::string::npos) {
            ASSERT_TRUE(photos.count(p.CarvedName()));
            if (p.strHow == "exact") EXPECT_EQ(photos[p.CarvedName()], p.u64Bytes);
        }
        const std::string strName = std::to_string(u64First + p.u64Sector) + "." + p.strExt;
        ASSERT_TRUE(recovered.count(strName)) << strName;
        if (p.strHow == "exact")
            EXPECT_EQ(twtest::Sha1OfFile(recovered[strName]), twtest::Sha1OfFile(p.Original()));
        // A header size past the partition is cut at its end.
        if (p.strHow == "clipped")
            EXPECT_EQ(ReadFileBytes(recovered[strName]).size(),
                      (placed[0].u64Sectors - p.u64Sector) * 512);
    }
    EXPECT_FALSE(recovered.count(std::to_string(placed[1].u64StartSector) + ".jpg"));
    EXPECT_EQ(twtest::Sha1OfFile(strImage) + twtest::Sha1OfFile(strDisk), strSums);
}

// --keep-paths: the volume's tree byte for byte, its times, and under sudo the user's.
TEST(CliRecover, KeepsPathsTimesAndOwnerOnFatExFatAndNtfs) {
    for (const char* szCard : {"fat12_1k", "exfat_4k", "ntfs"}) {
        SCOPED_TRACE(szCard);
        std::map<std::string, std::string> files;  // listed path -> original, names listed once
        const std::multiset<std::string> listed = FatListedPaths(szCard);
        for (const twtest::ManifestEntry& e : twtest::ReadManifest(szCard))
            if (e.strStatus == "deleted" && listed.count(e.strListed) == 1)
                files[e.strListed] = e.strSourceFile;
        ASSERT_GT(files.size(), 4u);
        ScanLogSandbox sandbox;
        CScratchDir out;
        const std::string strImage = twtest::FixtureImage(szCard);
        const std::string strBefore = twtest::Sha1OfFile(strImage);
        CliRun list = RunCli({"scan", strImage, "--list", "--json"});
        ASSERT_EQ(list.nStatus, 0) << list.strErr;
        EXPECT_TRUE(ParsesAsJsonLines(list.strOut)) << list.strOut;
        std::map<std::string, std::string> modified, first;
        for (const std::string& strLine : list.Lines()) {
            modified[JsonField(strLine, "path")] = JsonField(strLine, "modified");
            first[JsonField(strLine, "path")] = JsonField(strLine, "first_sector");
        }
        // Where a first sector is given, the file's bytes begin there.
        const std::string strCard = ReadFileBytes(strImage);
        int nFirstSectors = 0;
        for (const auto& original : files) {
            const std::string strData = ReadFileBytes(original.second).substr(0, 512);
            if (first[original.first] == "null" || strData.empty()) continue;
            EXPECT_EQ(strCard.substr(std::stoull(first[original.first]) * 512, strData.size()),
                      strData)
                << original.first;
            ++nFirstSectors;
        }
        EXPECT_EQ(nFirstSectors > 0, std::string(szCard) != "ntfs");
        struct timespec tsStart;
        clock_gettime(CLOCK_REALTIME, &tsStart);
        // Written as that user: into a folder of theirs.
        ASSERT_EQ(chown(out.Path().c_str(), 12345, 23456), 0);
        CliRun rec = RunCli({"scan", strImage, "--recover", out.Path(), "--keep-paths", "--json"},
                            "SUDO_UID=12345 SUDO_GID=23456");
        ASSERT_EQ(rec.nStatus, 0) << rec.strErr;
        EXPECT_TRUE(ParsesAsJsonLines(rec.strOut)) << rec.strOut;
        for (const auto& original : files) {
            const std::string strTarget = out.Path() + "/" + original.first;
            EXPECT_EQ(twtest::Sha1OfFile(strTarget), twtest::Sha1OfFile(original.second))
                << strTarget;
            struct stat st;
            ASSERT_EQ(stat(strTarget.c_str(), &st), 0) << strTarget;
            char szTime[32];
            std::strftime(szTime, sizeof(szTime), "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&st.st_mtime));
            EXPECT_EQ(szTime, modified[original.first]) << strTarget;
        }
        for (const auto& entry : std::filesystem::recursive_directory_iterator(out.Path())) {
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
        EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
    }
}

// Names whose C1 controls or bidirectional overrides would make them read
// otherwise are listed with '?' and saved with '_'.
TEST(CliRecover, NamesThatFoolTheEyeAreNeitherListedNorSavedAsTheyStand) {
    CScratchDir dir;
    const std::string strImage = dir.File("card.img");
    const std::vector<std::string> names = {"photo\u202Egpj.exe", "a\u0085b.txt"};
    std::string strCmd = "export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 && mkfs.fat -C " +
                         twtest::ShellQuote(strImage) + " 1024 >/dev/null";
    for (const std::string& strName : names) {
        ASSERT_TRUE(WriteFileBytes(dir.File(strName), strName));
        strCmd += " && mcopy -i " + twtest::ShellQuote(strImage) + " " +
                  twtest::ShellQuote(dir.File(strName)) + " ::/";
    }
    for (const std::string& strName : names)
        strCmd += " && mdel -i " + twtest::ShellQuote(strImage) + " " +
                  twtest::ShellQuote("::/" + strName);
    ASSERT_EQ(twtest::RunCommand(strCmd), 0);
    ScanLogSandbox sandbox;
    CScratchDir out;
    CliRun list = RunCli({"scan", strImage, "--list"});
    EXPECT_EQ(ListedPaths(list), (std::multiset<std::string>{"photo?gpj.exe", "a?b.txt"}));
    CliRun rec = RunCli({"scan", strImage, "--recover", out.Path()});
    ASSERT_EQ(rec.nStatus, 0) << rec.strErr;
    std::multiset<std::string> saved;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(out.Path()))
        if (entry.is_regular_file()) saved.insert(entry.path().filename());
    EXPECT_EQ(saved, (std::multiset<std::string>{"photo_gpj.exe", "a_b.txt"}));
    EXPECT_EQ(rec.strOut.find("\u202E"), std::string::npos) << rec.strOut;
}

// Deleted files that claim more than their volume holds (8 EiB each on a
// 4 MiB exFAT card) are listed as damaged, and the total of the listing stays
// at its largest value instead of wrapping.
TEST(CliScan, FilesLargerThanTheirVolumeAreDamagedAndTotalsDoNotWrap) {
    CScratchDir dir;
    // Two deleted exFAT files of 8 EiB each: the set's checksum made anew.
    const std::string strExFat = dir.File("exfat.img");
    std::string strImage = ReadFileBytes(twtest::FixtureImage("exfat_4k"));
    for (const char* szName : {"AROUND_1.PDF", "AROUND_2.PDF"}) {
        std::string strUnits;
        for (const char* p = szName; *p; ++p) strUnits += std::string{*p, '\0'};
        const size_t nName = strImage.find(strUnits);
        ASSERT_NE(nName, std::string::npos) << szName;
        const size_t nSet = nName - 2 - 64;
        ASSERT_EQ(strImage[nSet], 0x05);
        ASSERT_EQ(strImage[nSet + 32], 0x40);
        const std::string strHuge("\0\0\0\0\0\0\0\x80", 8);
        strImage.replace(nSet + 32 + 8, 8, strHuge);
        strImage.replace(nSet + 32 + 24, 8, strHuge);
        // The checksum was made while the set was in use (type bytes | 0x80).
        uint16_t nSum = 0;
        for (size_t i = 0; i < 32u * (1 + static_cast<unsigned char>(strImage[nSet + 1])); ++i)
            if (i != 2 && i != 3)
                nSum = static_cast<uint16_t>(
                    ((nSum & 1) << 15) + (nSum >> 1) +
                    (static_cast<unsigned char>(strImage[nSet + i]) | (i % 32 ? 0 : 0x80)));
        strImage[nSet + 2] = static_cast<char>(nSum & 0xFF);
        strImage[nSet + 3] = static_cast<char>(nSum >> 8);
    }
    ASSERT_TRUE(WriteFileBytes(strExFat, strImage));

    ScanLogSandbox sandbox;
    CliRun list = RunCli({"scan", strExFat, "--list", "--json"});
    ASSERT_EQ(list.nStatus, 0) << list.strErr;
    EXPECT_NE(list.strErr.find("(16.0 EiB)"), std::string::npos) << list.strErr;
    int nHuge = 0;
    for (const std::string& strLine : list.Lines()) {
        const bool bHuge = JsonField(strLine, "path").rfind("AROUND_", 0) == 0 &&
                           JsonField(strLine, "path") != "AROUND_3.PDF";
        nHuge += bHuge;
        EXPECT_EQ(JsonField(strLine, "health"), bHuge ? "false" : "true") << strLine;
    }
    EXPECT_EQ(nHuge, 2);
}

// Links planted in DIR (type folder, --keep-paths folder, the name itself) get
// nothing written through them, an existing file is kept; under sudo, what is
// made is the user's and root's folder stays closed to them.
TEST(CliRecover, NothingIsWrittenThroughLinksPlantedInTheDestination) {
    ScanLogSandbox sandbox;
    CScratchDir work, asRoot, asUser;
    const std::string strImage = FatImagePath("fat12_1k"), strVictim = work.File("victim");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    ASSERT_EQ(mkdir(strVictim.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(asRoot.File("document").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(asUser.File("Many").c_str(), 0755), 0);  // root's
    ASSERT_TRUE(WriteFileBytes(asRoot.File("document/Empty file.txt"), "mine"));
    ASSERT_EQ(chown(asUser.Path().c_str(), 12345, 23456), 0);
    for (const auto& [strLink, strTo] : std::vector<std::pair<std::string, std::string>>{
             {asRoot.File("photo"), strVictim},
             {asRoot.File("document/Résumé ünïcödé 日本語.txt"), strVictim + "/planted"},
             {asUser.File("Documents"), strVictim}})
        ASSERT_EQ(symlink(strTo.c_str(), strLink.c_str()), 0);
    CliRun root =
        RunCli({"scan", strImage, "--recover", asRoot.Path(), "--types", "photo,document"});
    CliRun user = RunCli({"scan", strImage, "--recover", asUser.Path(), "--keep-paths"},
                         "SUDO_UID=12345 SUDO_GID=23456");
    for (const auto& [pRun, strFolder] :
         {std::pair{&root, asRoot.File("photo/")}, std::pair{&user, asUser.File("Documents/")}}) {
        EXPECT_EQ(pRun->nStatus, 1);
        EXPECT_NE(pRun->strOut.find("Failed\t" + strFolder), std::string::npos) << pRun->strOut;
        EXPECT_NE(pRun->strOut.find("links inside the destination are not followed"),
                  std::string::npos);
    }
    EXPECT_NE(root.strOut.find("Success\t" + asRoot.File("document/Empty file(1).txt")),
              std::string::npos);
    EXPECT_NE(root.strOut.find("Success\t" + asRoot.File("document/Résumé ünïcödé 日本語(1).txt")),
              std::string::npos);
    EXPECT_EQ(ReadFileBytes(asRoot.File("document/Empty file.txt")), "mine");
    EXPECT_NE(user.strOut.find("Failed\t" + asUser.File("Many/Entry number 07.txt") +
                               "\tcannot write the destination: Permission denied"),
              std::string::npos);
    struct stat st;
    ASSERT_EQ(lstat(asUser.File("dcim/100canon/Holiday by the sea.jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 12345u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(strVictim), {}), 0);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

// A ZIP64 header whose packed size (2^64 - 50) wraps the walk back to its
// start ends carve and deep scans. SIGHUP, then SIGTERM, once a deep scan's
// pass begins (the files lie 200 MiB in): exit 129, 143 and a word on
// --resume; resumed, it lists what an uninterrupted scan lists.
TEST(CliScan, CraftedSizesAndSignalsEndAScanThatResumes) {
    ScanLogSandbox sandbox;
    CScratchDir work;
    const std::string strImage = work.File("disk.img"), strErr = work.File("err");
    const std::string strCards = ReadFileBytes(twtest::FixtureImage("carving"));
    const std::string strZip = std::string("PK\3\4\x2D", 5) + std::string(13, '\0') +
                               std::string(8, '\xFF') + std::string("\0\0\x14\0\1\0\x10\0", 8) +
                               std::string(8, '\0') + "\xCE" + std::string(7, '\xFF');
    ASSERT_TRUE(twtest::CreateSparseFile(strImage, 256 << 20) &&
                twtest::WriteAt(strImage, 51200, strZip.data(), strZip.size()) &&
                twtest::WriteAt(strImage, 200 << 20, strCards.data(), strCards.size()));
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    CliRun whole, carved;
    for (const auto& [pRun, szMode] : {std::pair{&whole, "deep"}, std::pair{&carved, "carve"}}) {
        *pRun = RunCli({"scan", strImage, "--mode", szMode, "--list"}, "timeout -s KILL 120");
        EXPECT_EQ(pRun->nStatus, 0) << pRun->strErr;
        EXPECT_NE(pRun->strOut.find("\t100.zip\n"), std::string::npos) << szMode;
    }
    for (int nSignal : {SIGHUP, SIGTERM}) {
        unlink(strErr.c_str());
        const pid_t pid = fork();
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            freopen(strErr.c_str(), "w", stderr);
            setenv("TARNWICK_DEBUG", "1", 1);
            execl(TW_CLI_PATH, TW_CLI_PATH, "scan", strImage.c_str(), "--mode", "deep",
                  nSignal == SIGHUP ? "--list" : "--resume", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0;
             i < 6000 && ReadFileBytes(strErr).find("InitVirtualDbr") == std::string::npos; ++i)
            usleep(10000);
        kill(pid, nSignal);
        int nStatus = 0;
        ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
        EXPECT_EQ(WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1, 128 + nSignal);
        EXPECT_NE(ReadFileBytes(strErr).find("--resume' goes on from here"), std::string::npos);
    }
    const CliRun resumed = RunCli({"scan", strImage, "--mode", "deep", "--resume", "--list"});
    EXPECT_GT(whole.Lines().size(), 50u);
    EXPECT_EQ(resumed.strOut, whole.strOut);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}
