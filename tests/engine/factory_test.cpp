#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <memory>
#include <string>
#include <vector>
#include "common/DebugLog.h"
#include "common/Platform.h"
#include "ext/FastExtRecovery.h"
#include "deepscan/FileRecoveryFactory.h"
#include "deepscan/ProfessionalRecovery.h"
#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/ScratchDir.h"

namespace {

using Engine = std::unique_ptr<IFileRecoveryParse>;

Engine FromPath(const std::string& strPath, RECOVERY_TYPE nType = RECOVERY_TYPE_FAST) {
    const std::wstring wstrPath = tw::Utf8ToWide(strPath.c_str());
    return Engine(CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(wstrPath.c_str(),
                                                                                 L'C', nType));
}

Engine FromDisk(int nDisk, long long llFirst, long long llCount,
                RECOVERY_TYPE nType = RECOVERY_TYPE_FAST) {
    return Engine(CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
        nDisk, llFirst, llCount, L'C', nType));
}

// Collects the debug lines written while it lives.
class LogCapture {
public:
    LogCapture() {
        Lines().clear();
        tw::SetLogSink([](const char* sz) { Lines().emplace_back(sz); });
    }
    ~LogCapture() { tw::SetLogSink(nullptr); }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
};

// The first nBytes of a fixture image as a new file in dir; returns its path.
std::string CopyPrefix(const CScratchDir& dir, const std::string& strFixture,
                       const std::string& strName, size_t nBytes) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(twtest::ReadFileBytes(twtest::FixtureImage(strFixture), bytes, nBytes));
    EXPECT_GE(bytes.size(), nBytes);
    bytes.resize(nBytes);
    return dir.Write(strName, bytes);
}

}  // namespace

// Its scan of the image, which leaves it unchanged: the ext engine's test.
TEST(FileRecoveryFactory, FastRequestOnExtImageGivesTheExtEngine) {
    Engine engine = FromPath(twtest::FixtureImage("ext4"));
    auto* pExt = dynamic_cast<CFastExtRecovery*>(engine.get());
    ASSERT_NE(pExt, nullptr);
    // Bound to the whole image, read-only.
    EXPECT_EQ(pExt->GetFirstSector(), 0);
    EXPECT_EQ(pExt->GetSectorCount(), 8 * 1024 * 1024 / 512);
    ASSERT_GE(pExt->GetHandle(), 0);
    EXPECT_EQ(fcntl(pExt->GetHandle(), F_GETFL) & O_ACCMODE, O_RDONLY);
}

TEST(FileRecoveryFactory, UnrecognisedShortOrMissingSourcesGiveNothing) {
    CScratchDir dir;
    EXPECT_EQ(FromPath(dir.Write("zero.img", std::vector<unsigned char>(1 << 20, 0))), nullptr);

    // An intact ext superblock is not enough when 16,384 bytes cannot be read.
    EXPECT_EQ(FromPath(CopyPrefix(dir, "ext4", "short.img", 16383)), nullptr);
    EXPECT_EQ(FromPath(dir.Write("empty.img", {})), nullptr);
    // A name outside ASCII is opened.
    EXPECT_NE(dynamic_cast<CFastExtRecovery*>(
                  FromPath(CopyPrefix(dir, "ext4", "carte mémoire ü.img", 16384)).get()),
              nullptr);
    EXPECT_EQ(FromPath(dir.File("missing.img")), nullptr);
    EXPECT_EQ(CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(nullptr, L'C', 0),
              nullptr);
}

// A deep request gives the deep-scan driver whatever the volume holds.
TEST(FileRecoveryFactory, DeepRequestGivesTheDeepScan) {
    for (const char* szImage : {"ext4", "fat16"}) {
        std::unique_ptr<IFileRecoveryParse> pEngine(
            FromPath(twtest::FixtureImage(szImage), RECOVERY_TYPE_DEEP));
        EXPECT_NE(dynamic_cast<CProfessionalRecovery*>(pEngine.get()), nullptr) << szImage;
    }
}

TEST(FileRecoveryFactory, DiskFormProbesAtThePartitionStart) {
    CScratchDir dir;
    const std::string strDisk = dir.File("mbr.img");
    std::vector<twtest::Volume> primaries(1), logicals(2);
    primaries[0].strSourceImage = twtest::FixtureImage("fat12");
    primaries[0].nMbrType = 0x01;
    logicals[0].strSourceImage = twtest::FixtureImage("fat12");
    logicals[0].nMbrType = 0x06;
    logicals[1].strSourceImage = twtest::FixtureImage("ext4");
    logicals[1].nMbrType = 0x83;
    std::vector<twtest::Placed> placed;
    std::string strError;
    ASSERT_TRUE(twtest::WriteMbrDisk(strDisk, primaries, logicals, &placed, &strError)) << strError;
    ASSERT_EQ(placed.size(), 3u);
    const std::string strSum = twtest::Sha1OfFile(strDisk);

    twtest::TempDiskDir disks;
    ASSERT_TRUE(disks.AddDisk(3, strDisk));
    {
        const twtest::Placed& ext = placed[2];
        Engine engine = FromDisk(3, static_cast<long long>(ext.u64StartSector),
                                 static_cast<long long>(ext.u64Sectors));
        auto* pExt = dynamic_cast<CFastExtRecovery*>(engine.get());
        ASSERT_NE(pExt, nullptr);
        EXPECT_EQ(pExt->GetFirstSector(), static_cast<long long>(ext.u64StartSector));
        EXPECT_EQ(pExt->GetSectorCount(), static_cast<long long>(ext.u64Sectors));
        EXPECT_EQ(fcntl(pExt->GetHandle(), F_GETFL) & O_ACCMODE, O_RDONLY);

        // One sector off the partition start sees no file system.
        EXPECT_EQ(FromDisk(3, static_cast<long long>(ext.u64StartSector) + 1, 100), nullptr);
        // The MBR sector itself carries 0x55AA but is no boot sector.
        EXPECT_EQ(FromDisk(3, 0, 100), nullptr);
    }
    EXPECT_EQ(twtest::Sha1OfFile(strDisk), strSum);
}

TEST(FileRecoveryFactory, DiskFormLogsEachFailure) {
    CScratchDir dir;
    twtest::TempDiskDir disks;
    ASSERT_TRUE(disks.AddDisk(0, dir.Write("small.img", std::vector<unsigned char>(20000, 0))));
    LogCapture log;

    // No disk 7; a negative offset; one beyond 64 bits; 20,000 bytes, of which
    // only 15,904 remain at sector 8; zeros that read fully (nothing logged).
    const std::pair<int, long long> requests[] = {{7, 0}, {0, -1}, {0, 1LL << 60}, {0, 8}, {0, 0}};
    for (const auto& r : requests) EXPECT_EQ(FromDisk(r.first, r.second, 10), nullptr);
    EXPECT_EQ(LogCapture::Lines(), (std::vector<std::string>{"Open Failed\n", "lseek Failed\n",
                                                             "lseek Failed\n", "read Failed\n"}));
}
