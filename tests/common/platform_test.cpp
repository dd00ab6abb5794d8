#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/Platform.h"
#include "support/ScanLogSandbox.h"
#include "support/ScratchDir.h"

namespace {

TEST(DiskNodes, DiskDirPresentsImagesAsDisks) {
    CScratchDir dir;
    dir.Write("disk0", PatternBytes(1024));
    dir.Write("disk12", PatternBytes(512));
    ScopedEnv env("TARNWICK_DISK_DIR", dir.Path().c_str());
    EXPECT_EQ(tw::ResolveDiskNode(0), dir.File("disk0"));
    EXPECT_EQ(tw::ResolveDiskNode(12), dir.File("disk12"));
    EXPECT_EQ(tw::ResolveDiskNode(1), "");
    EXPECT_EQ(tw::ResolveDiskNode(-1), "");
    {
        ScopedEnv slash("TARNWICK_DISK_DIR", (dir.Path() + "/").c_str());
        EXPECT_EQ(tw::ResolveDiskNode(0), dir.File("disk0"));
    }

    int fd = tw::OpenDiskNode(12);
    ASSERT_GE(fd, 0);
    unsigned char buf[600];
    EXPECT_EQ(read(fd, buf, sizeof(buf)), 512);
    // Read-only, and not inherited by programs the process starts.
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
    // A missing disk: the disk reader's test (ENOENT).
}

#ifndef __APPLE__
TEST(DiskNodes, LinuxDisksAreWholeDevicesInNameOrder) {
    ScopedEnv env("TARNWICK_DISK_DIR", nullptr);
    std::string strPrev;
    for (int n = 0; n < 128; ++n) {
        std::string strNode = tw::ResolveDiskNode(n);
        if (strNode.empty()) {
            EXPECT_EQ(tw::ResolveDiskNode(n + 1), "") << "numbering has a gap at " << n;
            break;
        }
        ASSERT_EQ(strNode.compare(0, 5, "/dev/"), 0) << strNode;
        std::string strName = strNode.substr(5);
        EXPECT_NE(strName.compare(0, 3, "ram"), 0) << strNode;
        EXPECT_NE(strName.compare(0, 4, "zram"), 0) << strNode;
        if (strName.compare(0, 4, "loop") == 0)
            EXPECT_EQ(access(("/sys/block/" + strName + "/loop/backing_file").c_str(), F_OK), 0)
                << "unbound loop device listed: " << strNode;
        EXPECT_LT(strPrev, strName);
        strPrev = strName;
    }
}
#endif

TEST(SupportDir, PlatformPlaceOrOverrideEndInSlash) {
#ifdef __APPLE__
    const std::string strDefault = "/Library/Application Support/Tarnwick/";
#else
    const std::string strDefault =
        geteuid() == 0 ? "/var/lib/tarnwick/" : "/home/u/.local/share/tarnwick/";
#endif
    ScopedEnv home("HOME", "/home/u");
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    const char* const cases[][2] = {{nullptr, strDefault.c_str()},
                                    {"", strDefault.c_str()},
                                    {"/tmp/tw support", "/tmp/tw support/"},
                                    {"/tmp/x/", "/tmp/x/"}};
    for (const auto& c : cases) {
        ScopedEnv env("TARNWICK_SUPPORT_DIR", c[0]);
        EXPECT_EQ(tw::SupportDir(), c[1]) << (c[0] ? c[0] : "unset");
        EXPECT_EQ(tw::ScanLogDir(), std::string(c[1]) + "ScanLog/");
    }
    // A user's own place: XDG_DATA_HOME, else under HOME, else none.
    const char* const users[][3] = {{"/d/x", "/home/u", "/d/x/tarnwick/"},
                                    {"", "/home/u/", "/home/u/.local/share/tarnwick/"},
                                    {nullptr, nullptr, ""}};
    for (const auto& c : users) {
        ScopedEnv xdg("XDG_DATA_HOME", c[0]);
        ScopedEnv user("HOME", c[1]);
        EXPECT_EQ(tw::UserDataDir(), c[2]) << (c[0] ? c[0] : "unset");
    }
}

TEST(RequestingUser, SudoOrPkexecNamesTheUserOfARootRun) {
    ASSERT_EQ(geteuid(), 0u) << "the tests run as root (make test), as the program does";
    const char* const cases[][4] = {
        // SUDO_UID, SUDO_GID, PKEXEC_UID, "uid:gid" or "" for none
        {"1234", "567", nullptr, "1234:567"},
        {nullptr, nullptr, nullptr, ""},
        {"0", "0", nullptr, ""},
        {"12x", "5", nullptr, ""},
        {nullptr, nullptr, "0", ""},
    };
    for (const auto& c : cases) {
        ScopedEnv sudo("SUDO_UID", c[0]), group("SUDO_GID", c[1]), pkexec("PKEXEC_UID", c[2]);
        uid_t nUid = 0;
        gid_t nGid = 0;
        const bool bFound = tw::RequestingUser(nUid, nGid);
        EXPECT_EQ(bFound ? std::to_string(nUid) + ":" + std::to_string(nGid) : "", c[3]);
    }
}

// The picture decoder's start, in a child: root given up for good (to nobody
// without a requesting user).
TEST(RequestingUser, RootIsGivenUpForGood) {
    CScratchDir dir;  // root's alone
    ASSERT_TRUE(WriteFileBytes(dir.File("secret"), "root only"));
    ScopedEnv sudo("SUDO_UID", nullptr), pkexec("PKEXEC_UID", nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        _exit(tw::DropRootForGood() && getuid() == 65534 && setuid(0) != 0 &&
              open(dir.File("secret").c_str(), O_RDONLY) < 0);
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_EQ(WEXITSTATUS(nStatus), 1);
}

TEST(TextCodec, ConcurrentUseGivesEveryThreadItsOwnResult) {
    // One descriptor per direction is shared; interleaved conversions must
    // not mix their state or output.
    const std::wstring wstrA(300, static_cast<wchar_t>(0x5361));
    const std::wstring wstrB(300, static_cast<wchar_t>(0x20BB7));
    const std::string strA = tw::WideToNarrow(wstrA.c_str());
    const std::string strB = tw::WideToNarrow(wstrB.c_str());
    std::vector<std::thread> vecThreads;
    std::vector<int> vecBad(4, 0);
    for (int t = 0; t < 4; ++t) {
        vecThreads.emplace_back([&, t] {
            const std::wstring& wstr = (t % 2) ? wstrB : wstrA;
            const std::string& str = (t % 2) ? strB : strA;
            for (int i = 0; i < 300; ++i) {
                if (tw::WideToNarrow(wstr.c_str()) != str) ++vecBad[t];
                if (tw::NarrowToWide(str.c_str()) != wstr) ++vecBad[t];
            }
        });
    }
    for (std::thread& th : vecThreads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(vecBad[t], 0) << "thread " << t;
}

}  // namespace

// "Log.txt" and "Out.txt" are written by a root process in a folder the user
// owns: a link or odd file planted at the name must not be written through.
TEST(PlainFiles, WritingRefusesLinksAndAnythingButAPlainFile) {
    CScratchDir dir;
    ASSERT_TRUE(WriteFileBytes(dir.File("victim"), "keep"));
    ASSERT_EQ(symlink(dir.File("victim").c_str(), dir.File("symlink").c_str()), 0);
    ASSERT_EQ(link(dir.File("victim").c_str(), dir.File("hardlink").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0644), 0);
    ASSERT_TRUE(WriteFileBytes(dir.File("plain"), "old\n"));
    struct Case {
        const char* szName;
        bool bOpens;
    } cases[] = {{"symlink", false}, {"hardlink", false}, {"fifo", false},
                 {"plain", true},    {"new", true},       {"", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        int fd = tw::OpenPlainFileForWriting(dir.File(c.szName).c_str(), O_APPEND);
        EXPECT_EQ(fd >= 0, c.bOpens);
        if (fd >= 0) {
            EXPECT_EQ(write(fd, "new\n", 4), 4);
            close(fd);
        }
    }
    EXPECT_EQ(ReadFileBytes(dir.File("victim")), "keep");
    EXPECT_EQ(ReadFileBytes(dir.File("plain")), "old\nnew\n");
    EXPECT_EQ(ReadFileBytes(dir.File("new")), "new\n");
}
