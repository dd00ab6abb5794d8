#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "exfat/ExFatEntry.h"
#include "support/FatImages.h"
#include "support/Fixtures.h"

namespace {

// The deleted entry set of "Résumé ünïcödé 日本語.txt" as the card holds it:
// found by its first File Name entry, two entries after the File entry.
std::vector<unsigned char> DeletedSet(const std::string& strCard) {
    std::string strNeedle("\x41\x00", 2);
    for (char16_t u : std::u16string(u"Résumé ünïcödé "))
        strNeedle += {char(u & 0xFF), char(u >> 8)};
    const long long llAt = FindAligned(twtest::FixtureImage(strCard), strNeedle, 32);
    EXPECT_GE(llAt, 64) << strCard;
    std::vector<unsigned char> image;
    twtest::ReadFileBytes(twtest::FixtureImage(strCard), image);
    if (llAt < 64) return {};
    return std::vector<unsigned char>(image.begin() + llAt - 64, image.begin() + llAt + 64);
}

void Reseal(std::vector<unsigned char>& set) {
    const uint16_t nSum = ExFatSetChecksum(set.data(), set.size() / 32);
    set[2] = nSum & 0xFF;
    set[3] = nSum >> 8;
}

}  // namespace

TEST(ExFatEntry, ReadsARealDeletedSetAndRefusesEveryDamagedForm) {
    std::vector<unsigned char> set = DeletedSet("exfat_4k");
    ASSERT_EQ(set.size(), 128u);
    EXFAT_FILE_SET parsed;
    ASSERT_EQ(ParseExFatFileSet(set.data(), set.size(), 0, parsed), EXFAT_SET_OK);
    EXPECT_TRUE(parsed.bDeleted);
    EXPECT_EQ(parsed.nEntries, 4u);
    EXPECT_EQ(parsed.wstrName, L"Résumé ünïcödé 日本語.txt");
    for (size_t nCut = 0; nCut < set.size(); nCut += 8) {
        std::vector<unsigned char> part(set.begin(), set.begin() + nCut);
        EXPECT_EQ(ParseExFatFileSet(part.data(), part.size(), 0, parsed), EXFAT_SET_SHORT) << nCut;
    }
    const struct {
        size_t nOffset;
        unsigned char nValue;
        bool bReseal;
        ExFatSetResult nWant;
    } damage[] = {
        {70, 'X', false, EXFAT_SET_BAD},      // a name character: checksum
        {0, 0x85, false, EXFAT_SET_BAD},      // File entry in use, the rest deleted
        {0, 0x81, true, EXFAT_SET_NOT_FILE},  // the bitmap's entry
        {1, 1, true, EXFAT_SET_BAD},          // no name entry
        {1, 19, true, EXFAT_SET_BAD},         // more than 17 name entries
        {32, 0x41, true, EXFAT_SET_BAD},      // no Stream Extension
        {35, 40, true, EXFAT_SET_BAD},        // 40 units need three name entries
        {35, 0, true, EXFAT_SET_BAD},         // no name
        {96, 0x40, true, EXFAT_SET_BAD},      // a stream where a name belongs
        {47, 0x7F, true, EXFAT_SET_BAD},      // valid data past the data length
    };
    for (const auto& d : damage) {
        std::vector<unsigned char> c = set;
        c[d.nOffset] = d.nValue;
        if (d.bReseal) Reseal(c);
        EXPECT_EQ(ParseExFatFileSet(c.data(), c.size(), 0, parsed), d.nWant) << d.nOffset;
    }
    // Past the end of the buffer and at a misplaced offset.
    EXPECT_EQ(ParseExFatFileSet(set.data(), set.size(), 200, parsed), EXFAT_SET_SHORT);
    EXPECT_EQ(ParseExFatFileSet(set.data(), set.size(), 32, parsed), EXFAT_SET_NOT_FILE);
}

// Dates that do not exist, seconds past 58 and 10 ms parts past 199 are no time.
TEST(ExFatEntry, TimestampsThatAreNoRealTime) {
    const uint32_t nLeapDay = (44u << 25) | (2 << 21) | (29 << 16) | (23 << 11) | (59 << 5) | 29;
    _FILETIME ft;
    EXPECT_TRUE(ExFatTimeToFileTime(nLeapDay, 199, 0xC4, ft));  // 2024-02-29, UTC-15:00
    for (uint32_t nStamp :
         {nLeapDay - (1u << 25), nLeapDay + 1, (nLeapDay & ~(15u << 21)) | (13 << 21)})
        EXPECT_FALSE(ExFatTimeToFileTime(nStamp, 0, 0, ft)) << std::hex << nStamp;
    EXPECT_FALSE(ExFatTimeToFileTime(nLeapDay, 200, 0, ft));
    EXPECT_EQ(ft.dwLowDateTime | ft.dwHighDateTime, 0u);
}
