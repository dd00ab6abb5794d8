#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/LogFileManager.h"
#include "support/ScanLogSandbox.h"

namespace {

// A volume whose free space never changes, so the fingerprint is stable.
constexpr char kStableDevice[] = "/proc";

bool Exists(const std::string& strPath) {
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

_LOG_FILE_INFO_ MakeInfo(int nDisk, uint64_t u64First, uint64_t u64Count, uint64_t u64Free,
                         const std::string& strDir) {
    _LOG_FILE_INFO_ info;
    memset(&info, 0, sizeof(info));
    info.nDiskNo = nDisk;
    info.u64FirstSector = u64First;
    info.u64SectorCount = u64Count;
    info.u64FreeBytes = u64Free;
    strncpy(info.szLogDir, strDir.c_str(), sizeof(info.szLogDir) - 1);
    return info;
}

std::string ConfigBytes(uint64_t u64Index, const std::vector<_LOG_FILE_INFO_>& vecInfo) {
    std::string strData(reinterpret_cast<const char*>(&u64Index), 8);
    for (const auto& info : vecInfo)
        strData.append(reinterpret_cast<const char*>(&info), sizeof(info));
    return strData;
}

class LogStore : public ::testing::Test {
protected:
    ScanLogSandbox sandbox;
    CLogFileManager& logs = CLogFileManager::GetInstance();
    std::string Config() const { return sandbox.ScanLog() + "config"; }
};

TEST_F(LogStore, InterruptedSaveIsRepaired) {
    ASSERT_EQ(mkdir((sandbox.ScanLog() + "6/").c_str(), 0755), 0);
    std::string strData = ConfigBytes(6, {MakeInfo(1, 2048, 100, 7, sandbox.ScanLog() + "6/")});
    ASSERT_TRUE(WriteFileBytes(sandbox.ScanLog() + "config.tmp", strData));
    unlink(Config().c_str());  // the sandbox's first load made an empty one
    EXPECT_EQ(sandbox.ReloadLogStore(), 0u);
    EXPECT_EQ(logs.GetDirIndex(), 6u);
    EXPECT_EQ(logs.GetRecords().size(), 1u);
    EXPECT_TRUE(Exists(Config()));
    EXPECT_FALSE(Exists(sandbox.ScanLog() + "config.tmp"));
    EXPECT_EQ(ReadFileBytes(Config()), strData);
}

TEST_F(LogStore, FirstRunGetsFolderOneAndTheSameAreaSavedTwiceKeepsOneRecord) {
    EXPECT_EQ(logs.GetLogFileDirPath(), sandbox.ScanLog() + "0/");
    logs.AddDirIndex();
    const std::string strDir = logs.GetLogFileDirPath();
    EXPECT_EQ(strDir, sandbox.ScanLog() + "1/");
    char szSmall[8];
    EXPECT_EQ(logs.GetLogFileDirPath(szSmall, sizeof(szSmall)), 87);
    char szPath[512];
    EXPECT_EQ(logs.GetLogFileDirPath(szPath, sizeof(szPath)), 0);
    EXPECT_EQ(std::string(szPath), strDir);

    ASSERT_EQ(
        logs.SaveLogFileInfo(kStableDevice, 1, 2048, 1000, 0, 1000, 10, 10, 3, strDir.c_str(), ""),
        0);
    ASSERT_EQ(logs.SaveLogFileInfo(kStableDevice, 1, 2048, 1000, 500, 500, 600, 600, 9,
                                   strDir.c_str(), ""),
              0);
    ASSERT_EQ(logs.GetRecords().size(), 1u);
    EXPECT_EQ(logs.GetRecords()[0].u64RegionStart, 500u);
    EXPECT_EQ(logs.GetRecords()[0].u64FileCount, 9u);

    // The index file holds the number and the record; it reloads the same.
    EXPECT_EQ(ReadFileBytes(Config()).size(), 8u + 592u);
    EXPECT_FALSE(Exists(sandbox.ScanLog() + "config.tmp"));
    ASSERT_EQ(sandbox.ReloadLogStore(), 0u);
    EXPECT_EQ(logs.GetDirIndex(), 1u);
    ASSERT_EQ(logs.GetRecords().size(), 1u);
    const _LOG_FILE_INFO_& saved = logs.GetRecords()[0];
    EXPECT_EQ(saved.nDiskNo, 1);
    EXPECT_EQ(saved.u64FirstSector, 2048u);
    EXPECT_EQ(saved.u64SectorCount, 1000u);
    EXPECT_EQ(saved.u64RegionDone, 600u);
    EXPECT_EQ(std::string(saved.szLogDir), strDir);

    // Another area gets a record of its own; an image never looks for one.
    logs.SaveLogFileInfo(kStableDevice, 1, 4096, 1000, 0, 0, 0, 0, 0, strDir.c_str(), "");
    logs.SaveLogFileInfo("", 128, 0, 64, 0, 0, 0, 0, 0, strDir.c_str(), "/tmp/card.img");
    EXPECT_EQ(logs.GetRecords().size(), 3u);
    EXPECT_EQ(std::string(logs.GetRecords()[2].szImagePath), "/tmp/card.img");
    EXPECT_EQ(logs.GetRecords()[2].u64FreeBytes, 0u);
    EXPECT_EQ(ReadFileBytes(Config()).size(), 8u + 3 * 592u);
}

TEST_F(LogStore, ChangedFreeSpaceMakesAnEarlierScanStale) {
    std::string strOld = sandbox.ScanLog() + "1/";
    ASSERT_EQ(mkdir(strOld.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileBytes(strOld + "Fast_x", "records"));
    // Recorded with a fingerprint the volume no longer has.
    ASSERT_TRUE(WriteFileBytes(Config(), ConfigBytes(1, {MakeInfo(1, 2048, 1000, 777, strOld)})));
    sandbox.ReloadLogStore();

    _LOG_FILE_INFO_ info;
    EXPECT_EQ(logs.LoadRecoveryLogInfo(kStableDevice, 1, 2048, 1000, &info), 0);
    EXPECT_FALSE(Exists(strOld));
    EXPECT_TRUE(logs.GetRecords().empty());

    // Saved now, it is found again with the same fingerprint and its folder loaded.
    logs.AddDirIndex();
    logs.AddDirIndex();
    std::string strNew = logs.GetLogFileDirPath();
    ASSERT_TRUE(Exists(strNew));  // made by AddDirIndex
    logs.SaveLogFileInfo(kStableDevice, 1, 2048, 1000, 0, 1000, 0, 0, 4, strNew.c_str(), "");
    logs.AddDirIndex();
    EXPECT_EQ(logs.LoadRecoveryLogInfo(kStableDevice, 1, 2048, 1000, &info), 1);
    EXPECT_TRUE(logs.IsLoaded());
    EXPECT_EQ(logs.GetLogFileDirPath(), strNew);
    EXPECT_EQ(info.u64FileCount, 4u);
    EXPECT_EQ(logs.LoadRecoveryLogInfo(kStableDevice, 2, 2048, 1000, &info), 0);
    EXPECT_FALSE(logs.IsLoaded());

    // Saving over a record of other free bytes replaces it and its folder.
    ASSERT_TRUE(WriteFileBytes(Config(), ConfigBytes(3, {MakeInfo(1, 2048, 1000, 777, strNew)})));
    sandbox.ReloadLogStore();
    std::string strNext = sandbox.ScanLog() + "4/";
    logs.SaveLogFileInfo(kStableDevice, 1, 2048, 1000, 0, 0, 0, 0, 0, strNext.c_str(), "");
    EXPECT_FALSE(Exists(strNew));
    ASSERT_EQ(logs.GetRecords().size(), 1u);
    EXPECT_EQ(std::string(logs.GetRecords()[0].szLogDir), strNext);
}

TEST_F(LogStore, DeletionRemovesLinksAndStaysInsideTheScanLogFolder) {
    // Outside the scan-log folder: must survive every deletion below.
    std::string strOutside = sandbox.Root() + "/keep";
    ASSERT_EQ(mkdir(strOutside.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileBytes(strOutside + "/precious.jpg", "data"));

    std::string strDir = sandbox.ScanLog() + "5/";
    ASSERT_EQ(mkdir(strDir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((strDir + "nested").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((strDir + "nested/deeper").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileBytes(strDir + "nested/deeper/f", "x"));
    ASSERT_TRUE(WriteFileBytes(strDir + "Pro_Fat_1", "x"));
    ASSERT_EQ(symlink(strOutside.c_str(), (strDir + "link_to_dir").c_str()), 0);
    ASSERT_EQ(symlink((strOutside + "/precious.jpg").c_str(), (strDir + "nested/ln").c_str()), 0);
    logs.SaveLogFileInfo("", 128, 0, 1, 0, 0, 0, 0, 0, strDir.c_str(), "/i.img");
    ASSERT_EQ(logs.GetRecords().size(), 1u);

    EXPECT_EQ(logs.DeleteLogFileDir(strDir.c_str()), 0);
    EXPECT_TRUE(logs.GetRecords().empty());
    EXPECT_FALSE(Exists(strDir));
    EXPECT_EQ(ReadFileBytes(strOutside + "/precious.jpg"), "data");

    // A scan folder that is itself a link: the link goes, its target stays.
    std::string strLinkDir = sandbox.ScanLog() + "6";
    ASSERT_EQ(symlink(strOutside.c_str(), strLinkDir.c_str()), 0);
    logs.DeleteLogFileDir((strLinkDir + "/").c_str());
    EXPECT_FALSE(Exists(strLinkDir));
    EXPECT_EQ(ReadFileBytes(strOutside + "/precious.jpg"), "data");

    // A damaged index naming a folder elsewhere deletes nothing there.
    logs.SaveLogFileInfo("", 128, 0, 1, 0, 0, 0, 0, 0, (strOutside + "/").c_str(), "/j.img");
    logs.DeleteLogFileDir((strOutside + "/").c_str());
    logs.DeleteLogFileDir((sandbox.ScanLog() + "../keep/").c_str());
    EXPECT_TRUE(logs.GetRecords().empty());
    EXPECT_EQ(ReadFileBytes(strOutside + "/precious.jpg"), "data");

    // A folder that does not exist: nothing changes.
    EXPECT_EQ(logs.DeleteLogFileDir((sandbox.ScanLog() + "77/").c_str()), 0);
}

TEST_F(LogStore, NewFolderNumberClearsWhatWasThereAndPrefixesAreFound) {
    std::string strDir = sandbox.ScanLog() + "1/";
    ASSERT_EQ(mkdir(strDir.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileBytes(strDir + "Pro_Fat_2048_2025539 5", ""));
    ASSERT_TRUE(WriteFileBytes(strDir + "Fast_2048_x", ""));
    char szName[256];
    EXPECT_EQ(logs.GetLogFileNameByFileType(strDir.c_str(), kLogPrefixProFat, szName, 256), 0);
    EXPECT_STREQ(szName, "Pro_Fat_2048_2025539 5");
    EXPECT_EQ(logs.GetLogFileNameByFileType(strDir.c_str(), kLogPrefixProNtfs, szName, 256), 0);
    EXPECT_STREQ(szName, "");
    char szShort[6];
    logs.GetLogFileNameByFileType(strDir.c_str(), kLogPrefixFast, szShort, sizeof(szShort));
    EXPECT_STREQ(szShort, "Fast_");
    EXPECT_EQ(logs.GetLogFileNameByFileType((sandbox.ScanLog() + "9/").c_str(), "x", szName, 256),
              0);
    EXPECT_STREQ(szName, "");

    logs.AddDirIndex();  // number 1: the leftover folder is emptied and taken
    EXPECT_EQ(logs.GetLogFileDirPath(), strDir);
    EXPECT_FALSE(Exists(strDir + "Fast_2048_x"));
}

// A folder another program holds (a live scan) is neither taken nor deleted,
// and its record stays; one whose holder ended is. Records of folders that are
// gone are dropped.
TEST_F(LogStore, AFolderALiveScanHoldsIsLeftAlone) {
    const std::string strHeld = sandbox.ScanLog() + "1/";
    ASSERT_EQ(mkdir(strHeld.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileBytes(strHeld + "File_Type_x", "records"));
    ASSERT_TRUE(WriteFileBytes(Config(), ConfigBytes(0, {MakeInfo(1, 0, 100, 0, strHeld),
                                                         MakeInfo(2, 0, 100, 0, "/gone/9/")})));
    int held[2], end[2];
    ASSERT_EQ(pipe(held), 0);
    ASSERT_EQ(pipe(end), 0);
    const pid_t pid = fork();
    if (pid == 0) {  // the other program: holds folder 1 until told to end
        const int fd = open((strHeld + kLogHoldName).c_str(), O_RDWR | O_CREAT, 0644);
        char c = 0;
        if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(held[1], "h", 1) != 1) _exit(1);
        _exit(read(end[0], &c, 1) == 1 ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(held[0], &c, 1), 1);
    sandbox.ReloadLogStore();
    ASSERT_EQ(logs.GetRecords().size(), 1u);  // "/gone/9/" is dropped
    EXPECT_TRUE(logs.IsHeldByAnother(strHeld.c_str()));
    logs.AddDirIndex();
    EXPECT_EQ(logs.GetLogFileDirPath(), sandbox.ScanLog() + "2/");
    logs.DeleteLogFileDir(strHeld.c_str());
    EXPECT_TRUE(Exists(strHeld + "File_Type_x"));
    _LOG_FILE_INFO_ info;
    EXPECT_EQ(logs.LoadRecoveryLogInfo(kStableDevice, 1, 0, 100, &info), 0);  // not resumed
    EXPECT_FALSE(logs.IsLoaded());
    EXPECT_EQ(logs.GetRecords().size(), 1u);
    ASSERT_EQ(write(end[1], "e", 1), 1);
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_FALSE(logs.IsHeldByAnother(strHeld.c_str()));
    logs.DeleteLogFileDir(strHeld.c_str());
    EXPECT_FALSE(Exists(strHeld));
    sandbox.ReloadLogStore();
    EXPECT_TRUE(logs.GetRecords().empty());
}

}  // namespace
