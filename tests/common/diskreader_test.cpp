#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/DebugLog.h"
#include "common/DiskReader.h"
#include "common/Platform.h"
#include "support/ScratchDir.h"

namespace {

std::vector<std::string> g_log;
void CollectLog(const char* szLine) {
    g_log.emplace_back(szLine);
}

// Presents a directory of image files as the disks of the machine.
class DiskDirEnv {
public:
    explicit DiskDirEnv(const std::string& strDir) {
        setenv("TARNWICK_DISK_DIR", strDir.c_str(), 1);
    }
    ~DiskDirEnv() { unsetenv("TARNWICK_DISK_DIR"); }
};

class DiskReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        tw::SetLogSink(CollectLog);
    }
    void TearDown() override { tw::SetLogSink(nullptr); }

    // disk0 of the scratch directory holds nSectors patterned sectors.
    std::vector<unsigned char> MakeDisk(size_t nSectors) {
        std::vector<unsigned char> vec = PatternBytes(nSectors * 512);
        m_dir.Write("disk0", vec);
        return vec;
    }

    CScratchDir m_dir;
};

TEST_F(DiskReaderTest, LimitIsTheFirstSectorThatMayNotBeRead) {
    std::vector<unsigned char> vecDisk = MakeDisk(64);
    DiskDirEnv env(m_dir.Path());
    CDiskReader reader;
    ASSERT_EQ(reader.Init(0, 40), 0u);
    EXPECT_EQ(reader.GetSectorLimit(), 40u);

    std::vector<unsigned char> buf(8 * 512, 0xEE);
    unsigned int nRead = 12345;
    // first + n == limit: allowed, and the bytes are those of sectors 32..39.
    ASSERT_EQ(reader.ReadData(buf.data(), 8, 32, 512, &nRead), 0u);
    EXPECT_EQ(nRead, 8u);
    EXPECT_EQ(0, std::memcmp(buf.data(), vecDisk.data() + 32 * 512, buf.size()));

    // One sector more: refused before anything is read or reported.
    std::fill(buf.begin(), buf.end(), 0xEE);
    nRead = 12345;
    EXPECT_EQ(reader.ReadData(buf.data(), 8, 33, 512, &nRead), 87u);
    EXPECT_EQ(nRead, 12345u);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 40, 512, &nRead), 87u);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 39, 512, &nRead), 0u);
}

TEST_F(DiskReaderTest, LargeReadComesInPiecesWithEveryByteInPlace) {
    std::vector<unsigned char> vecDisk = MakeDisk(320);
    DiskDirEnv env(m_dir.Path());
    CDiskReader reader;
    ASSERT_EQ(reader.Init(0, 320), 0u);
    // 300 sectors = 153,600 bytes: pieces of 65,536 + 65,536 + 22,528.
    std::vector<unsigned char> buf(300 * 512 + 16, 0xEE);
    unsigned int nRead = 0;
    ASSERT_EQ(reader.ReadData(buf.data(), 300, 7, 512, &nRead), 0u);
    EXPECT_EQ(nRead, 300u);
    EXPECT_EQ(0, std::memcmp(buf.data(), vecDisk.data() + 7 * 512, 300 * 512));
    for (size_t i = 300 * 512; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], 0xEE) << "wrote past the read";

    // A larger sector size addresses bytes by that size.
    std::vector<unsigned char> big(4 * 4096);
    ASSERT_EQ(reader.ReadData(big.data(), 4, 3, 4096, &nRead), 0u);
    EXPECT_EQ(nRead, 4u);
    EXPECT_EQ(0, std::memcmp(big.data(), vecDisk.data() + 3 * 4096, big.size()));
}

TEST_F(DiskReaderTest, DataEndingPartWayGivesShortReadWithWholeSectors) {
    std::vector<unsigned char> vecDisk = MakeDisk(10);
    DiskDirEnv env(m_dir.Path());
    CDiskReader reader;
    ASSERT_EQ(reader.Init(0, 1000), 0u);
    std::vector<unsigned char> buf(16 * 512, 0);
    unsigned int nRead = 999;
    EXPECT_EQ(reader.ReadData(buf.data(), 16, 0, 512, &nRead), 30u);
    EXPECT_EQ(nRead, 10u);
    EXPECT_EQ(0, std::memcmp(buf.data(), vecDisk.data(), 10 * 512));
    ASSERT_FALSE(g_log.empty());
    EXPECT_EQ(g_log.back(), "read 0\n");

    // Half a sector at the end is not counted as a sector.
    std::vector<unsigned char> vecOdd = PatternBytes(5 * 512 + 200);
    m_dir.Write("disk1", vecOdd);
    CDiskReader odd;
    ASSERT_EQ(odd.Init(1, 1000), 0u);
    EXPECT_EQ(odd.ReadData(buf.data(), 8, 0, 512, &nRead), 30u);
    EXPECT_EQ(nRead, 5u);
    EXPECT_EQ(0, std::memcmp(buf.data(), vecOdd.data(), vecOdd.size()));
}

TEST_F(DiskReaderTest, NeverOpenedReaderFailsAtTheSeek) {
    CDiskReader reader;
    EXPECT_EQ(reader.GetHandle(), -1);
    unsigned char buf[512];
    unsigned int nRead = 77;
    // Limit 0: nothing may be read at all.
    EXPECT_EQ(reader.ReadData(buf, 1, 0, 512, &nRead), 87u);
    // A zero-sector request passes the limit and meets the closed descriptor.
    EXPECT_EQ(reader.ReadData(buf, 0, 0, 512, &nRead), static_cast<unsigned>(EBADF));
    EXPECT_EQ(nRead, 77u);
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0], "lseek failed 0\n");
}

TEST_F(DiskReaderTest, RefusesCountsThatCannotDescribeABuffer) {
    MakeDisk(4);
    DiskDirEnv env(m_dir.Path());
    CDiskReader reader;
    ASSERT_EQ(reader.Init(0, ~0ull), 0u);
    unsigned char buf[512];
    unsigned int nRead = 5;
    EXPECT_EQ(reader.ReadData(buf, -1, 2, 512, &nRead), 87u);
    EXPECT_EQ(reader.ReadData(buf, 1, 0, 0, &nRead), 87u);
    EXPECT_EQ(reader.ReadData(buf, 1, 0, -512, &nRead), 87u);
    // 2^23 sectors of 512 bytes is 2^32 bytes: the 32-bit count would wrap to 0.
    EXPECT_EQ(reader.ReadData(buf, 1 << 23, 0, 512, &nRead), 87u);
    // A byte offset beyond 64 bits.
    EXPECT_EQ(reader.ReadData(buf, 1, 1LL << 60, 512, &nRead), 87u);
    EXPECT_EQ(nRead, 5u);
    EXPECT_EQ(reader.ReadData(nullptr, 1, 0, 512, &nRead), 87u);
}

TEST_F(DiskReaderTest, FailedInitLeavesTheReaderAsItWas) {
    MakeDisk(4);
    DiskDirEnv env(m_dir.Path());
    CDiskReader reader;
    ASSERT_EQ(reader.Init(0, 4), 0u);
    int fd = reader.GetHandle();
    EXPECT_EQ(reader.Init(9, 100), static_cast<unsigned>(ENOENT));
    EXPECT_EQ(reader.GetHandle(), fd);
    EXPECT_EQ(reader.GetSectorLimit(), 4u);
    EXPECT_EQ(reader.Init(L"", 100), 87u);
    EXPECT_EQ(reader.Init(static_cast<const wchar_t*>(nullptr), 100), 87u);
}

TEST_F(DiskReaderTest, PathFormReadsAnImageWithANonAsciiName) {
    std::vector<unsigned char> vecImg = PatternBytes(20 * 512);
    // The image lies under a UTF-8 name; the wide path must reach it.
    std::string strPath = m_dir.Write("\xE5\x8D\xA1\xE7\x89\x87 card.img", vecImg);
    std::wstring wstrPath = tw::Utf8ToWide(strPath.c_str());
    CDiskReader reader;
    ASSERT_EQ(reader.Init(wstrPath.c_str(), 20), 0u);
    std::vector<unsigned char> buf(20 * 512);
    unsigned int nRead = 0;
    ASSERT_EQ(reader.ReadData(buf.data(), 20, 0, 512, &nRead), 0u);
    EXPECT_EQ(nRead, 20u);
    EXPECT_EQ(buf, vecImg);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 20, 512, &nRead), 87u);
    // Read-only: a write through the reader's descriptor is refused.
    EXPECT_EQ(write(reader.GetHandle(), "x", 1), -1);
    EXPECT_EQ(errno, EBADF);

    EXPECT_EQ(reader.Init(L"/nonexistent/tarnwick.img", 20), static_cast<unsigned>(ENOENT));
}

}  // namespace
