// The read policy of the medium, on images served through the failing FUSE
// harness: what fails is read around sector by sector, retried once and never
// again, and a medium that goes away is told from one with bad sectors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common/DiskReader.h"
#include "common/MediumSource.h"
#include "common/Types.h"
#include "support/FaultyMedium.h"
#include "support/ScanLogSandbox.h"

namespace {

struct Fixture {
    CScratchDir dir;
    std::vector<unsigned char> vecImage;
    std::string strImage;
    explicit Fixture(size_t nSectors)
        : vecImage(PatternBytes(nSectors * 512)), strImage(dir.Write("card.img", vecImage)) {}
};

// How often each sector was asked for on its own (a read of exactly one sector).
std::vector<int> SingleSectorReads(const std::string& strLog, size_t nSectors) {
    std::vector<int> vecCount(nSectors, 0);
    std::istringstream in(strLog);
    long long llOffset = 0;
    size_t nSize = 0;
    while (in >> llOffset >> nSize)
        if (nSize == 512 && static_cast<size_t>(llOffset / 512) < nSectors)
            ++vecCount[static_cast<size_t>(llOffset / 512)];
    return vecCount;
}

std::shared_ptr<CMediumSource> OpenMedium(const std::string& strPath) {
    unsigned int nErr = 0;
    std::shared_ptr<CMediumSource> p = CMediumSource::Open(strPath.c_str(), nErr);
    EXPECT_TRUE(p) << strPath << ": " << std::strerror(static_cast<int>(nErr));
    return p;
}

}  // namespace

// One bad 4 KiB page in a 64 KiB read: the other 120 sectors arrive, the page is
// zeros, each of its sectors was tried twice at most, and never again later.
TEST(MediumSource, ABadPageCostsItsOwnSectorsOnly) {
    Fixture fx(512);
    CFaultyMedium medium(fx.strImage, "8-15,300");
    ASSERT_TRUE(medium.Ok()) << medium.Why();
    std::shared_ptr<CMediumSource> pSource = OpenMedium(medium.Path());
    ASSERT_TRUE(pSource);
    std::vector<unsigned char> buf(128 * 512, 0xEE);
    MediumRead got;
    ASSERT_EQ(pSource->Read(0, buf.size(), buf.data(), got), TW_ERR_SHORT_READ);
    ASSERT_EQ(got.vecBad.size(), 1u);
    EXPECT_EQ(got.vecBad[0].u64First, 8u);
    EXPECT_EQ(got.vecBad[0].u64Count, 8u);
    EXPECT_EQ(got.nLeading, 8u * 512);
    EXPECT_FALSE(got.bEnded);
    std::vector<unsigned char> vecWant(fx.vecImage.begin(), fx.vecImage.begin() + buf.size());
    std::fill(vecWant.begin() + 8 * 512, vecWant.begin() + 16 * 512, 0);
    EXPECT_TRUE(buf == vecWant);
    std::vector<int> vecTries = SingleSectorReads(medium.ReadLog(), 512);
    for (int s = 8; s < 16; ++s) EXPECT_EQ(vecTries[s], 2) << "sector " << s;

    // Known unreadable: read around without asking the medium again.
    const std::string strBefore = medium.ReadLog();
    ASSERT_EQ(pSource->Read(4 * 512, 8 * 512, buf.data(), got), TW_ERR_SHORT_READ);
    EXPECT_EQ(got.nLeading, 4u * 512);
    EXPECT_TRUE(std::memcmp(buf.data(), fx.vecImage.data() + 4 * 512, 4 * 512) == 0);
    EXPECT_EQ(SingleSectorReads(medium.ReadLog().substr(strBefore.size()), 512)[8], 0);
    // A second bad place adds to the count; sectors met twice count once.
    ASSERT_EQ(pSource->Read(256 * 512, 128 * 512, buf.data(), got), TW_ERR_SHORT_READ);
    EXPECT_EQ(pSource->UnreadableSectors(), 9u);
    const std::vector<SectorRun> vecRuns = pSource->UnreadableRuns();
    ASSERT_EQ(vecRuns.size(), 2u);
    EXPECT_EQ(vecRuns[1].u64First, 300u);
    EXPECT_FALSE(pSource->IsGone());
    // Sectors known from an earlier scan are not read either.
    pSource->AddUnreadable({{400, 2}});
    ASSERT_EQ(pSource->Read(400 * 512, 4 * 512, buf.data(), got), TW_ERR_SHORT_READ);
    EXPECT_EQ(got.nLeading, 0u);
    EXPECT_TRUE(std::memcmp(buf.data() + 2 * 512, fx.vecImage.data() + 402 * 512, 2 * 512) == 0);
    EXPECT_EQ(pSource->UnreadableSectors(), 11u);
}

// Gone, three ways: the device says so, its size shrinks, or thousands of
// sectors in a row fail. Every later read fails at once with the same code.
TEST(MediumSource, AMediumThatWentAwayIsToldFromBadSectors) {
    {
        Fixture fx(1024);
        CFaultyMedium medium(fx.strImage, "", 128 * 512);
        ASSERT_TRUE(medium.Ok()) << medium.Why();
        std::shared_ptr<CMediumSource> pSource = OpenMedium(medium.Path());
        std::vector<unsigned char> buf(128 * 512);
        MediumRead got;
        EXPECT_EQ(pSource->Read(0, buf.size(), buf.data(), got), 0u);
        EXPECT_EQ(pSource->Read(512 * 512, buf.size(), buf.data(), got),
                  static_cast<unsigned>(ENOTCONN));
        EXPECT_TRUE(pSource->IsGone());
        EXPECT_EQ(pSource->GoneAtSector(), 512u);
        EXPECT_EQ(pSource->Read(0, 512, buf.data(), got), static_cast<unsigned>(ENOTCONN));
        EXPECT_EQ(pSource->UnreadableSectors(), 0u);
    }
    {
        Fixture fx(6000);
        CFaultyMedium medium(fx.strImage, "100-5999");
        ASSERT_TRUE(medium.Ok()) << medium.Why();
        std::shared_ptr<CMediumSource> pSource = OpenMedium(medium.Path());
        std::vector<unsigned char> buf(128 * 512);
        MediumRead got;
        unsigned int nRet = 0;
        uint64_t u64At = 0;
        for (; u64At < 6000 && nRet != ENODEV; u64At += 128)
            nRet = pSource->Read(u64At * 512, buf.size(), buf.data(), got);
        EXPECT_EQ(nRet, static_cast<unsigned>(ENODEV));
        EXPECT_EQ(pSource->UnreadableSectors(), CMediumSource::kGoneAfterSectors);
        EXPECT_EQ(pSource->GoneAtSector(), 100 + CMediumSource::kGoneAfterSectors - 1);
        EXPECT_NE(pSource->GoneReason().find("in a row"), std::string::npos);
    }
    {
        Fixture fx(64);
        std::shared_ptr<CMediumSource> pSource = OpenMedium(fx.strImage);
        ASSERT_EQ(truncate(fx.strImage.c_str(), 16 * 512), 0);
        std::vector<unsigned char> buf(8 * 512);
        MediumRead got;
        EXPECT_EQ(pSource->Read(0, buf.size(), buf.data(), got), 0u);
        EXPECT_EQ(pSource->Read(32 * 512, buf.size(), buf.data(), got),
                  static_cast<unsigned>(ENODEV));
        EXPECT_NE(pSource->GoneReason().find("from 32768 to 8192 bytes"), std::string::npos);
    }
}

// Read-ahead changes when the medium is read, never what a read delivers: over
// a failing medium, reads that fall inside one piece, straddle two, lie off the
// plan or run past the end give the bytes and outcome of the same read made
// directly; the planned ranges went to the medium in pieces ahead of the reads.
TEST(MediumSource, ReadAheadDeliversWhatADirectReadDoes) {
    Fixture fx(1000);
    CFaultyMedium medium(fx.strImage, "8-15,300,990");
    ASSERT_TRUE(medium.Ok()) << medium.Why();
    std::shared_ptr<CMediumSource> pAhead = OpenMedium(medium.Path());
    std::shared_ptr<CMediumSource> pDirect = OpenMedium(medium.Path());
    ASSERT_TRUE(pAhead && pDirect);
    pAhead->StartReadAhead(64 * 512, 3);
    pAhead->PlanReadAhead(0, 400 * 512);
    pAhead->PlanReadAhead(600 * 512, 500 * 512);   // past the end at sector 1000
    ASSERT_TRUE(medium.WaitForReadAt(128 * 512));  // three pieces ahead, unasked
    // (offset, sectors): in a piece, across pieces and the bad sectors, off the
    // plan, a skip forward, across the medium's end.
    const std::pair<uint64_t, size_t> reads[] = {{0, 40},   {40, 40},  {60, 80}, {290, 20},
                                                 {450, 10}, {620, 64}, {980, 30}};
    for (const auto& r : reads) {
        SCOPED_TRACE("sector " + std::to_string(r.first));
        pAhead->PassedTo(r.first * 512);
        std::vector<unsigned char> ahead(r.second * 512, 0xEE), direct(r.second * 512, 0xDD);
        MediumRead gotAhead, gotDirect;
        EXPECT_EQ(pAhead->Read(r.first * 512, ahead.size(), ahead.data(), gotAhead),
                  pDirect->Read(r.first * 512, direct.size(), direct.data(), gotDirect));
        EXPECT_TRUE(ahead == direct);
        EXPECT_EQ(gotAhead.nLeading, gotDirect.nLeading);
        EXPECT_EQ(gotAhead.bEnded, gotDirect.bEnded);
        EXPECT_EQ(gotAhead.nEnd, gotDirect.nEnd);
        ASSERT_EQ(gotAhead.vecBad.size(), gotDirect.vecBad.size());
        for (size_t i = 0; i < gotAhead.vecBad.size(); ++i) {
            EXPECT_EQ(gotAhead.vecBad[i].u64First, gotDirect.vecBad[i].u64First);
            EXPECT_EQ(gotAhead.vecBad[i].u64Count, gotDirect.vecBad[i].u64Count);
        }
    }
    pAhead->StopReadAhead();
    EXPECT_EQ(pAhead->UnreadableSectors(), pDirect->UnreadableSectors());
    EXPECT_EQ(pAhead->PlannedAhead(), 0u);
}

// From an image in the kernel's cache, reads with read-ahead are copied
// straight from the cache: the same bytes as a direct read, and sectors known
// to be unreadable (from an earlier scan) are still served as zeros and listed,
// never read.
TEST(MediumSource, ReadAheadFromTheCacheKeepsTheReadPolicy) {
    Fixture fx(2048);
    std::shared_ptr<CMediumSource> pSource = OpenMedium(fx.strImage);
    ASSERT_TRUE(pSource);
    pSource->StartReadAhead(64 * 512, 4);
    pSource->PlanReadAhead(0, 2048 * 512);
    std::vector<unsigned char> buf(128 * 512);
    MediumRead got;
    for (uint64_t u64At = 0; u64At < 1024; u64At += 128) {
        pSource->PassedTo(u64At * 512);
        std::fill(buf.begin(), buf.end(), 0xEE);
        ASSERT_EQ(pSource->Read(u64At * 512, buf.size(), buf.data(), got), 0u);
        EXPECT_TRUE(std::equal(buf.begin(), buf.end(), fx.vecImage.begin() + u64At * 512));
    }
    pSource->StopReadAhead();
    std::shared_ptr<CMediumSource> pKnown = OpenMedium(fx.strImage);
    ASSERT_TRUE(pKnown);
    pKnown->AddUnreadable({{1100, 3}});
    pKnown->StartReadAhead(64 * 512, 4);  // nothing planned: no piece can serve it
    std::fill(buf.begin(), buf.end(), 0xEE);
    ASSERT_EQ(pKnown->Read(1024 * 512, buf.size(), buf.data(), got),
              static_cast<unsigned>(TW_ERR_SHORT_READ));
    ASSERT_EQ(got.vecBad.size(), 1u);
    EXPECT_EQ(got.vecBad[0].u64First, 1100u);
    EXPECT_EQ(got.vecBad[0].u64Count, 3u);
    EXPECT_EQ(got.nLeading, 76u * 512);
    std::vector<unsigned char> want(fx.vecImage.begin() + 1024 * 512,
                                    fx.vecImage.begin() + 1152 * 512);
    std::fill(want.begin() + 76 * 512, want.begin() + 79 * 512, 0);
    EXPECT_TRUE(buf == want);
    EXPECT_EQ(pKnown->UnreadableSectors(), 3u);
}

// An image with holes (never-written stretches): reads in a hole, across its
// edges and across the image's end deliver what the file holds, zeros where it
// has none, with and without read-ahead.
TEST(MediumSource, AnImageWithHolesReadsAsItsBytes) {
    CScratchDir dir;
    const size_t nBytes = 4 << 20;
    std::vector<unsigned char> vecImage(nBytes, 0);
    const std::vector<unsigned char> vecData = PatternBytes(192 << 10);
    const std::string strImage = dir.Write("sparse.img", {});
    const int fd = ::open(strImage.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(nBytes)), 0);
    for (size_t nAt : {size_t(0), size_t(1) << 20, nBytes - (192 << 10)}) {
        ASSERT_EQ(::pwrite(fd, vecData.data(), vecData.size(), static_cast<off_t>(nAt)),
                  static_cast<ssize_t>(vecData.size()));
        std::copy(vecData.begin(), vecData.end(), vecImage.begin() + nAt);
    }
    ::close(fd);
    for (bool bAhead : {false, true}) {
        SCOPED_TRACE(bAhead ? "read-ahead" : "direct");
        std::shared_ptr<CMediumSource> pSource = OpenMedium(strImage);
        ASSERT_TRUE(pSource);
        if (bAhead) {
            pSource->StartReadAhead(128 << 10, 4);
            pSource->PlanReadAhead(0, nBytes);
        }
        // (offset, bytes): data, a hole's edges from both sides, inside a hole,
        // the last data, across the end.
        const std::pair<size_t, size_t> reads[] = {
            {0, 64 << 10},          {160 << 10, 64 << 10}, {512 << 10, 64 << 10},
            {960 << 10, 128 << 10}, {2 << 20, 1 << 20},    {nBytes - (64 << 10), 128 << 10}};
        for (const auto& r : reads) {
            SCOPED_TRACE("offset " + std::to_string(r.first));
            pSource->PassedTo(r.first);
            std::vector<unsigned char> buf(r.second, 0xEE);
            MediumRead got;
            const bool bPastEnd = r.first + r.second > nBytes;
            EXPECT_EQ(pSource->Read(r.first, buf.size(), buf.data(), got),
                      bPastEnd ? TW_ERR_SHORT_READ : 0u);
            const size_t nIn = std::min(r.second, nBytes - r.first);
            EXPECT_EQ(got.nEnd, nIn);
            EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + nIn, vecImage.begin() + r.first));
            EXPECT_TRUE(
                std::all_of(buf.begin() + nIn, buf.end(), [](unsigned char c) { return c == 0; }));
        }
    }
}
