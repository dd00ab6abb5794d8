#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "common/Helpers.h"
#include "common/Platform.h"
#include "support/ScratchDir.h"

namespace {

// "卡片" (card) in GB18030 and UTF-8, and a character outside GB2312 that
// GB18030 encodes in four bytes (U+20BB7).
const char kCardGb[] = "\xBF\xA8\xC6\xAC";
const char kCardUtf8[] = "\xE5\x8D\xA1\xE7\x89\x87";
const wchar_t kCardWide[] = {0x5361, 0x7247, 0};
const wchar_t kRareWide[] = {0x20BB7, 0};
const char kRareGb[] = "\x95\x34\xB2\x35";

TEST(SizesAndDurations, EachUnitStartsAtItsBoundary) {
    const std::pair<long long, const char*> sizes[] = {
        {1023, "1023 Bytes"},     {1024, "1.00 KB"},      {(1LL << 20) - 1, "1024.00 KB"},
        {1LL << 20, "1.00 MB"},   {3LL << 29, "1.50 GB"}, {-5, "-5 Bytes"},
        {5LL << 50, "5120.00 TB"}};
    for (const auto& c : sizes) EXPECT_EQ(GetFileSizeString(c.first), c.second) << c.first;
    const std::pair<long long, const char*> times[] = {
        {59, "59 Sec"},          {60, "1 Min 0 Sec"},
        {3599, "59 Min 59 Sec"}, {3600, "1 Hour 0 Min"},
        {-1, "-1 Sec"},          {3600LL * 5000000000LL, "5000000000 Hour 0 Min"}};  // no wrap
    for (const auto& c : times) EXPECT_EQ(GetTimeString(c.first), c.second) << c.first;
}

TEST(Names, CaseFoldingTouchesOnlyAsciiLetters) {
    char sz[] = "AbZ@[`\xC6\xAC.JPG";
    EXPECT_EQ(Convert2Lowercase(GetCharLowerA(sz)), 12);
    EXPECT_STREQ(sz, "abz@[`\xC6\xAC.jpg");  // '@', '[' and GB bytes unchanged
}

TEST(Names, NaturalOrderComparesNumbersAsNumbers) {
    const struct {
        const char *szA, *szB;
        bool bIgnoreCase, bLess;
    } cases[] = {{"9.jpg", "10.jpg", false, true}, {"IMG_010", "img_9", true, false},
                 {"a2b", "A10b", true, true},      {"B.jpg", "a.jpg", false, true},
                 {"B.jpg", "a.jpg", true, false},  {"01", "1", false, true}};
    for (const auto& c : cases)
        EXPECT_EQ(NaturalLess(c.szA, c.szB, c.bIgnoreCase), c.bLess) << c.szA << " " << c.szB;
}

TEST(PathDepth, TheLastCharacterIsNotCounted) {
    const std::pair<const wchar_t*, int> cases[] = {
        {L"/a/b/", 2}, {L"/", 0}, {L"", 0}, {L"C:\\x\\y/z", 3}};
    for (const auto& c : cases) {
        int n = -1;
        EXPECT_EQ(GetPathDirIndex(c.first, n), 0);
        EXPECT_EQ(n, c.second) << c.second;
    }
}

TEST(Conversion, NamesConvertBothWaysAndBadInputIsReplaced) {
    // Two-byte and four-byte GB18030 (outside GB2312 and the 16-bit range): no '?'.
    const std::pair<std::wstring, std::string> cases[] = {{kCardWide, kCardGb},
                                                          {kRareWide, kRareGb}};
    wchar_t wszBuf[16];
    char szBuf[16];
    for (const auto& c : cases) {
        EXPECT_EQ(Unicode2Ansi(c.first.c_str()), c.second);
        EXPECT_EQ(Ansi2Unicode(c.second.c_str()), c.first);
        EXPECT_EQ(Unicode2Ansi(c.first.c_str(), szBuf, sizeof(szBuf)), 0);
        EXPECT_EQ(std::string(szBuf), c.second);
        EXPECT_EQ(Ansi2Unicode(c.second.c_str(), wszBuf, 16), 0);
        EXPECT_EQ(std::wstring(wszBuf), c.first);
    }
    EXPECT_EQ(Ansi2Unicode(kCardGb, wszBuf, 0), -1);
    // A name of four-byte characters is not cut by a 2 x length scratch size.
    std::wstring wstrLong(40, static_cast<wchar_t>(0x20BB7));
    EXPECT_EQ(Unicode2Ansi(wstrLong.c_str()).size(), 160u);
    // Narrow text is not UTF-8: the system form of a name differs.
    EXPECT_EQ(tw::NarrowToUtf8(kCardGb), kCardUtf8);
    EXPECT_EQ(tw::Utf8ToNarrow(kCardUtf8), kCardGb);
    EXPECT_EQ(tw::WideToUtf8(kCardWide), kCardUtf8);
    EXPECT_EQ(tw::Utf8ToWide(kCardUtf8), std::wstring(kCardWide));
    // A lone surrogate has no narrow form; a stray byte has no wide one.
    const wchar_t wszBad[] = {L'a', 0xD800, L'b', 0};
    EXPECT_EQ(Unicode2Ansi(wszBad), "a?b");
    EXPECT_EQ(Ansi2Unicode("a\377b"), (std::wstring{L'a', static_cast<wchar_t>(0xFFFD), L'b'}));
    EXPECT_EQ(Unicode2Ansi(static_cast<const wchar_t*>(nullptr)), "");
    EXPECT_EQ(Ansi2Unicode(static_cast<const char*>(nullptr)), L"");
}

// Nothing is written past the size given: the text-codec fuzz target checks
// that on every input, with buffers of the exact size.
TEST(Conversion, ResultsThatDoNotFitAreCutAtACharacterBoundary) {
    char szBuf[16];
    // Two-byte characters: only whole ones go in, with the terminator.
    for (long nSize = 1; nSize <= 6; ++nSize) {
        int n = inner_uni2str(szBuf, kCardWide, nSize, 3);
        EXPECT_EQ(n, std::min(4, static_cast<int>((nSize - 1) / 2) * 2)) << nSize;
        EXPECT_EQ(std::string(szBuf, n), std::string(kCardGb, n)) << nSize;
        EXPECT_EQ(szBuf[n], '\0');
    }
    // A four-byte character is never split.
    EXPECT_EQ(inner_uni2str(szBuf, kRareWide, 4, 2), 0);
    EXPECT_EQ(szBuf[0], '\0');
    wchar_t wszBuf[8];
    EXPECT_EQ(inner_str2uni(wszBuf, kCardGb, 2, 5), 1);
    EXPECT_EQ(std::wstring(wszBuf), std::wstring(kCardWide, 1));
    // The source length bounds the read, too: only "ab" of "abc" is taken.
    EXPECT_EQ(inner_str2uni(wszBuf, "abc", 8, 2), 2);
    EXPECT_EQ(std::wstring(wszBuf), L"ab");
    EXPECT_EQ(inner_uni2str(szBuf, L"abc", 8, 2), 2);
    EXPECT_STREQ(szBuf, "ab");
    EXPECT_EQ(inner_uni2str(szBuf, L"abc", 0, 4), -1);
    // The sized wrappers report a cut result as success, the text is cut.
    char szSmall[3];
    EXPECT_EQ(Unicode2Ansi(L"abcdef", szSmall, 3), 0);
    EXPECT_STREQ(szSmall, "ab");
}

class UniqueName : public ::testing::Test {
protected:
    // The narrow (GB18030) form of a path in the scratch directory.
    std::string Narrow(const std::string& strUtf8Name) const {
        return tw::Utf8ToNarrow(m_dir.File(strUtf8Name).c_str());
    }
    std::wstring Wide(const std::string& strUtf8Name) const {
        return tw::Utf8ToWide(m_dir.File(strUtf8Name).c_str());
    }
    CScratchDir m_dir;
};

TEST_F(UniqueName, CounterGoesBeforeTheLastExtension) {
    wchar_t wsz[512];
    EXPECT_EQ(GetRealFileName(Narrow("photo.jpg").c_str(), wsz, 512), 0);
    EXPECT_EQ(std::wstring(wsz), Wide("photo.jpg"));

    m_dir.Write("photo.jpg", {1});
    m_dir.Write("photo(1).jpg", {2});
    EXPECT_EQ(GetRealFileName(Narrow("photo.jpg").c_str(), wsz, 512), 0);
    EXPECT_EQ(std::wstring(wsz), Wide("photo(2).jpg"));

    m_dir.Write("a.tar.gz", {1});
    EXPECT_EQ(GetRealFileName(Narrow("a.tar.gz").c_str(), wsz, 512), 0);
    EXPECT_EQ(std::wstring(wsz), Wide("a.tar(1).gz"));

    ASSERT_EQ(mkdir(m_dir.File("b.c").c_str(), 0755), 0);
    m_dir.Write("b.c/README", {1});
    EXPECT_EQ(GetRealFileName(Narrow("b.c/README").c_str(), wsz, 512), 0);
    EXPECT_EQ(std::wstring(wsz), Wide("b.c/README(1)"));

    // A folder or a dangling link is in the way just as a file is.
    ASSERT_EQ(mkdir(m_dir.File("DCIM").c_str(), 0755), 0);
    EXPECT_EQ(GetRealFileName(Narrow("DCIM").c_str(), wsz, 512), 0);
    EXPECT_EQ(std::wstring(wsz), Wide("DCIM(1)"));
    ASSERT_EQ(symlink("/nonexistent/target", m_dir.File("link.txt").c_str()), 0);
    EXPECT_EQ(GetRealFileName(Narrow("link.txt").c_str(), wsz, 512), 0);
    EXPECT_EQ(std::wstring(wsz), Wide("link(1).txt"));
    // A file under its UTF-8 name is found from its narrow name.
    const std::string strCard = std::string(kCardUtf8) + ".jpg";
    m_dir.Write(strCard, {1});
    EXPECT_EQ(GetRealFileName(Narrow(strCard).c_str(), wsz, 512), 0);
    EXPECT_EQ(std::wstring(wsz), Wide(std::string(kCardUtf8) + "(1).jpg"));
}

TEST_F(UniqueName, AResultThatDoesNotFitIsRefused) {
    std::string strWanted = Narrow("photo.jpg");
    std::wstring wstrWant = Wide("photo.jpg");
    std::vector<wchar_t> vecBuf(wstrWant.size() + 8, L'G');
    // Exactly enough room: the name and its terminator.
    EXPECT_EQ(
        GetRealFileName(strWanted.c_str(), vecBuf.data(), static_cast<int>(wstrWant.size() + 1)),
        0);
    EXPECT_EQ(std::wstring(vecBuf.data()), wstrWant);
    EXPECT_EQ(vecBuf[wstrWant.size() + 1], L'G');
    // One less: refused, emptied, nothing written past the size.
    std::fill(vecBuf.begin(), vecBuf.end(), L'G');
    EXPECT_EQ(GetRealFileName(strWanted.c_str(), vecBuf.data(), static_cast<int>(wstrWant.size())),
              87);
    EXPECT_EQ(vecBuf[0], L'\0');
    for (size_t i = wstrWant.size(); i < vecBuf.size(); ++i) ASSERT_EQ(vecBuf[i], L'G');
    // The counter makes the name longer: room for the wanted name is not enough.
    m_dir.Write("photo.jpg", {1});
    EXPECT_EQ(
        GetRealFileName(strWanted.c_str(), vecBuf.data(), static_cast<int>(wstrWant.size() + 1)),
        87);
    EXPECT_EQ(GetRealFileName(strWanted.c_str(), vecBuf.data(), 0), 87);
}

TEST(FreeSpace, MissingFoldersAreCutBackToTheNearestExistingOne) {
    CScratchDir dir;
    std::string strPath = dir.Path() + "/new/deeper/";
    std::vector<char> vecBuf(strPath.begin(), strPath.end());
    vecBuf.push_back('\0');
    vecBuf.push_back('G');  // guard
    unsigned int nHigh = 1, nLow = 1;
    ASSERT_EQ(rsb_getFreeSpace(vecBuf.data(), static_cast<int>(strPath.size() + 1), &nHigh, &nLow),
              0);
    EXPECT_STREQ(vecBuf.data(), dir.Path().c_str());
    EXPECT_EQ(vecBuf.back(), 'G');
    EXPECT_GT((static_cast<unsigned long long>(nHigh) << 32) | nLow, 0u);

    // A buffer without a terminator inside its length is still worked on safely.
    std::string strUnterminated = dir.Path() + "/x";
    std::vector<char> vecRaw(strUnterminated.begin(), strUnterminated.end());
    vecRaw.push_back('G');
    ASSERT_EQ(
        rsb_getFreeSpace(vecRaw.data(), static_cast<int>(strUnterminated.size()), &nHigh, &nLow),
        0);
    EXPECT_EQ(std::string(vecRaw.data()), dir.Path());
    EXPECT_EQ(vecRaw.back(), 'G');

    char szRel[] = "relative/path";
    nHigh = nLow = 7;
    EXPECT_EQ(rsb_getFreeSpace(szRel, sizeof(szRel), &nHigh, &nLow), 0);
    EXPECT_EQ(nHigh, 0u);
    EXPECT_EQ(nLow, 0u);
    EXPECT_STREQ(szRel, "relative/path");

    char szMissingRoot[] = "/nonexistent-tw-root/x";
    EXPECT_EQ(rsb_getFreeSpace(szMissingRoot, sizeof(szMissingRoot), &nHigh, &nLow), 0);
    EXPECT_STREQ(szMissingRoot, "/");
}

TEST(Files, ReadDataReportsWhatArrivedBeforeTheEnd) {
    CScratchDir dir;
    std::vector<unsigned char> vecData = PatternBytes(70000);
    std::string strPath = dir.Write("f.bin", vecData);
    int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::vector<unsigned char> buf(100000, 0);
    unsigned int nRead = 0;
    EXPECT_EQ(ReadData(fd, buf.data(), 100000, &nRead), 30);
    EXPECT_EQ(nRead, 70000u);
    EXPECT_EQ(0, std::memcmp(buf.data(), vecData.data(), 70000));
    lseek(fd, 100, SEEK_SET);
    EXPECT_EQ(ReadData(fd, buf.data(), 69900, &nRead), 0);
    EXPECT_EQ(nRead, 69900u);
    EXPECT_EQ(0, std::memcmp(buf.data(), vecData.data() + 100, 69900));
    close(fd);
}

TEST(Clock, TheDayOfTheMonthIsTheThirdField) {
    SYSTEMTIME st;
    time_t tNow = time(nullptr);
    ASSERT_EQ(rsb_getSystemTime(&st), 0);
    struct tm tmUtc;
    gmtime_r(&tNow, &tmUtc);
    EXPECT_EQ(st.wYear, tmUtc.tm_year + 1900);
    EXPECT_EQ(st.wMonth, tmUtc.tm_mon + 1);
    if (st.wMinute == tmUtc.tm_min) EXPECT_EQ(st.wDay, tmUtc.tm_mday);  // not across midnight
    EXPECT_LE(st.wMilliseconds, 999);
    EXPECT_EQ(rsb_getLocalTime(nullptr), 87);
}

}  // namespace
