#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/DebugLog.h"
#include "common/DiskReader.h"
#include "common/Platform.h"
#include "support/DiskImage.h"

namespace {

std::vector<std::string> g_log;

// Disk images named diskN in a folder presented as the machine's disks; the
// debug lines written meanwhile are collected.
class DiskReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        tw::SetLogSink([](const char* szLine) { g_log.emplace_back(szLine); });
    }
    void TearDown() override { tw::SetLogSink(nullptr); }

    // Disk N holds the pattern; an opened reader on it with the given limit.
    std::vector<unsigned char> MakeDisk(CDiskReader& reader, size_t nBytes,
                                        unsigned long long u64Limit, int nDisk = 0) {
        std::vector<unsigned char> vec = PatternBytes(nBytes);
        EXPECT_TRUE(twtest::CreateSparseFile(m_disks.Path() + "/disk" + std::to_string(nDisk), 0));
        EXPECT_TRUE(twtest::WriteAt(m_disks.Path() + "/disk" + std::to_string(nDisk), 0, vec.data(),
                                    vec.size()));
        EXPECT_EQ(reader.Init(nDisk, u64Limit), 0u);
        return vec;
    }

    twtest::TempDiskDir m_disks;
    CScratchDir m_dir;
};

TEST_F(DiskReaderTest, LimitIsTheFirstSectorThatMayNotBeRead) {
    CDiskReader reader;
    std::vector<unsigned char> vecDisk = MakeDisk(reader, 64 * 512, 40);
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
}

TEST_F(DiskReaderTest, LargeReadComesInPiecesWithEveryByteInPlace) {
    CDiskReader reader;
    std::vector<unsigned char> vecDisk = MakeDisk(reader, 320 * 512, 320);
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
    // 10 sectors, then 5 sectors and half of one: the half is not counted.
    for (size_t nBytes : {10 * 512, 5 * 512 + 200}) {
        SCOPED_TRACE(nBytes);
        CDiskReader reader;
        std::vector<unsigned char> vecDisk = MakeDisk(reader, nBytes, 1000);
        std::vector<unsigned char> buf(16 * 512, 0);
        unsigned int nRead = 999;
        EXPECT_EQ(reader.ReadData(buf.data(), 16, 0, 512, &nRead), 30u);
        EXPECT_EQ(nRead, nBytes / 512);
        EXPECT_EQ(0, std::memcmp(buf.data(), vecDisk.data(), nBytes));
        ASSERT_FALSE(g_log.empty());
        EXPECT_EQ(g_log.back(), "read 0\n");
    }
}

TEST_F(DiskReaderTest, BadRequestsAndFailedOpensChangeNothing) {
    CDiskReader closed;
    EXPECT_EQ(closed.GetHandle(), -1);
    unsigned char buf[512];
    unsigned int nRead = 77;
    // Limit 0: nothing may be read; a zero-sector request meets the closed descriptor.
    EXPECT_EQ(closed.ReadData(buf, 1, 0, 512, &nRead), 87u);
    EXPECT_EQ(closed.ReadData(buf, 0, 0, 512, &nRead), static_cast<unsigned>(EBADF));
    EXPECT_EQ(nRead, 77u);
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0], "lseek failed 0\n");

    CDiskReader reader;
    MakeDisk(reader, 4 * 512, ~0ull);
    EXPECT_EQ(reader.ReadData(buf, -1, 2, 512, &nRead), 87u);
    EXPECT_EQ(reader.ReadData(buf, 1, 0, 0, &nRead), 87u);
    EXPECT_EQ(reader.ReadData(buf, 1, 0, -512, &nRead), 87u);
    // 2^23 sectors of 512 bytes is 2^32 bytes: the 32-bit count would wrap to 0.
    EXPECT_EQ(reader.ReadData(buf, 1 << 23, 0, 512, &nRead), 87u);
    EXPECT_EQ(reader.ReadData(buf, 1, 1LL << 60, 512, &nRead), 87u);  // beyond 64 bits
    EXPECT_EQ(reader.ReadData(nullptr, 1, 0, 512, &nRead), 87u);
    EXPECT_EQ(nRead, 77u);

    // A failed Init leaves the reader as it was.
    ASSERT_EQ(reader.Init(0, 4), 0u);
    const int fd = reader.GetHandle();
    EXPECT_EQ(reader.Init(9, 100), static_cast<unsigned>(ENOENT));
    EXPECT_EQ(reader.Init(L"", 100), 87u);
    EXPECT_EQ(reader.Init(static_cast<const wchar_t*>(nullptr), 100), 87u);
    EXPECT_EQ(reader.GetHandle(), fd);
    EXPECT_EQ(reader.GetSectorLimit(), 4u);
}

TEST_F(DiskReaderTest, PathFormReadsAnImageWithANonAsciiNameReadOnly) {
    std::vector<unsigned char> vecImg = PatternBytes(20 * 512);
    std::string strPath = m_dir.Write("\xE5\x8D\xA1\xE7\x89\x87 card.img", vecImg);
    CDiskReader reader;
    ASSERT_EQ(reader.Init(tw::Utf8ToWide(strPath.c_str()).c_str(), 20), 0u);
    std::vector<unsigned char> buf(20 * 512);
    unsigned int nRead = 0;
    ASSERT_EQ(reader.ReadData(buf.data(), 20, 0, 512, &nRead), 0u);
    EXPECT_EQ(nRead, 20u);
    EXPECT_EQ(buf, vecImg);
    EXPECT_EQ(write(reader.GetHandle(), "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(reader.Init(L"/nonexistent/tarnwick.img", 20), static_cast<unsigned>(ENOENT));
}

}  // namespace
