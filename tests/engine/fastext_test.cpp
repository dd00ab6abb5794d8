#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "engine/FastExtRecovery.h"
#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/ScratchDir.h"

// The ext engine lists no files: every call succeeds with nothing, adds
// nothing to the caller's sums, and the image is only read.
TEST(FastExtRecovery, FindsNothingAndTouchesNothing) {
    const std::string strImage = twtest::FixtureImage("ext4");
    const std::string strSum = twtest::Sha1OfFile(strImage);
    CFastExtRecovery engine;
    ASSERT_EQ(engine.Init(tw::Utf8ToWide(strImage.c_str()).c_str(), L'C'), 0u);
    EXPECT_EQ(engine.ScanDevice(nullptr), 0u);
    EXPECT_EQ(engine.GetLostFileCount(), 0u);
    std::vector<_FILE_NODE_> children;
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 0, children), 0u);
    EXPECT_TRUE(children.empty());
    unsigned int nCount = 5;
    EXPECT_EQ(engine.GetChildrenFileCount(nullptr, 0, nCount), 0u);
    EXPECT_EQ(nCount, 5u);
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(engine.SearchFileNode(L"jpg", hits), 0u);
    EXPECT_TRUE(hits.empty());
    wchar_t wszPath[8] = L"stale";
    EXPECT_EQ(engine.GetFileNodeParentDirPath(nullptr, wszPath, 8), 0u);
    EXPECT_EQ(wszPath[0], L'\0');
    unsigned char buf[64];
    int nLength = sizeof(buf);
    wchar_t wszPreview[16] = {};
    EXPECT_EQ(engine.PreView(nullptr, wszPreview, buf, nLength, nullptr, nullptr), 0u);
    EXPECT_EQ(nLength, 0);
    CScratchDir dir;
    EXPECT_EQ(engine.SaveFileData(nullptr, tw::Utf8ToWide(dir.Path().c_str()).c_str(), 0), 0u);
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strSum);
}

// With no file known, the whole volume is one unused run, so a deep scan over
// the ext engine reads every sector.
TEST(FastExtRecovery, WholeVolumeIsOneUnusedRun) {
    const std::wstring wstrPath = tw::Utf8ToWide(twtest::FixtureImage("ext4").c_str());
    CFastExtRecovery engine;
    ASSERT_EQ(engine.Init(wstrPath.c_str(), L'C'), 0u);
    const unsigned long long u64Sectors = 8 * 1024 * 1024 / 512;
    unsigned long long u64Start = 0, u64Count = 99;
    EXPECT_EQ(engine.GetUnUsedSectorCount(u64Start, u64Count), 0u);
    EXPECT_EQ(u64Start, 0u);
    EXPECT_EQ(u64Count, u64Sectors);
    u64Start = 100;
    EXPECT_EQ(engine.GetUnUsedSectorCount(u64Start, u64Count), 0u);
    EXPECT_EQ(u64Count, u64Sectors - 100);
    u64Start = u64Sectors;
    EXPECT_EQ(engine.GetUnUsedSectorCount(u64Start, u64Count), 0u);
    EXPECT_EQ(u64Count, 0u);
}

namespace {
int OpenDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++n;
        closedir(dir);
    }
    return n;
}
}  // namespace

TEST(FastExtRecovery, InitKeepsOneDescriptorAndDestructorCloses) {
    twtest::TempDiskDir disks;
    ASSERT_TRUE(disks.AddDisk(2, twtest::FixtureImage("ext4")));
    const int nBefore = OpenDescriptors();
    {
        CFastExtRecovery engine;
        ASSERT_EQ(engine.Init(2, 2048, 4096, L'C'), 0u);
        const int fd = engine.GetHandle();
        ASSERT_GE(fd, 0);
        // Read-only and bounds: the factory's disk-form test.
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(OpenDescriptors(), nBefore + 1);
        // A second Init does not leak the first descriptor.
        ASSERT_EQ(engine.Init(2, 0, 10, L'C'), 0u);
        EXPECT_EQ(OpenDescriptors(), nBefore + 1);
        EXPECT_EQ(engine.GetSectorCount(), 10);
    }
    EXPECT_EQ(OpenDescriptors(), nBefore);

    CFastExtRecovery missing;
    EXPECT_NE(missing.Init(9, 0, 10, L'C'), 0u);
    EXPECT_EQ(missing.GetHandle(), -1);
    EXPECT_EQ(missing.Init(static_cast<const wchar_t*>(nullptr), L'C'), 87u);
}
