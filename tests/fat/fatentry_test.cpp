// FAT directory-entry checks against sectors that are not directories and
// against hand-made entries. Directory sectors written by mtools, long names
// and their checksums: the deep FAT cards (DeepFatCards in the deep FAT test),
// whose every file is found through these checks and recovered under its path.
#include "common/FatEntry.h"
#include "fat/FatRecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/Fixtures.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Patches = std::vector<std::pair<size_t, std::string>>;

Bytes ReadAll(const std::string& strName, size_t nMax = SIZE_MAX) {
    Bytes data;
    twtest::ReadFileBytes(twtest::FixtureDir() + "/" + strName, data, nMax);
    return data;
}

Bytes Patched(Bytes e, const Patches& patches) {
    for (const auto& p : patches) std::memcpy(&e[p.first], p.second.data(), p.second.size());
    return e;
}

// A short entry with good dates (1 June 2005), the archive bit, cluster 5 and
// 100 bytes, with some bytes replaced.
Bytes ShortEntry(const char* szName11, uint8_t nAttr = 0x20, const Patches& patches = {}) {
    Bytes e(32, 0);
    std::memcpy(e.data(), szName11, 11);
    e[11] = nAttr;
    const uint16_t nDate = ((2005 - 1980) << 9) | (6 << 5) | 1;
    for (int off : {0x10, 0x12, 0x18}) {
        e[off] = nDate & 0xFF;
        e[off + 1] = nDate >> 8;
    }
    e[0x1A] = 5;
    e[0x1C] = 100;
    return Patched(e, patches);
}

// A long-name entry holding "abcde" with the given sequence and checksum.
Bytes LongEntry(uint8_t nSequence, uint8_t nCheckSum, const Patches& patches = {}) {
    Bytes e(32, 0xFF);
    e[0] = nSequence;
    for (int i = 0; i < 5; ++i) {
        e[1 + 2 * i] = static_cast<unsigned char>('a' + i);
        e[2 + 2 * i] = 0;
    }
    e[11] = 0x0F;
    e[13] = nCheckSum;
    e[12] = e[14] = e[15] = e[26] = e[27] = 0;
    return Patched(e, patches);
}

bool Valid(const Bytes& e) {
    return IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(e.data()),
                          static_cast<int>(e.size()));
}

Bytes Sector(std::initializer_list<Bytes> entries) {
    Bytes s;
    for (const Bytes& e : entries) s.insert(s.end(), e.begin(), e.end());
    s.resize(512, 0);
    return s;
}
bool IsTable(const Bytes& s) {
    return IsFatFDTRecord(s.data(), static_cast<int>(s.size()));
}

}  // namespace

TEST(FatEntry, SectorsOfOtherDataAreNotDirectories) {
    int nSectors = 0;
    for (const char* szName :
         {"picture.jpg", "picture.png", "picture.bmp", "picture.gif", "picture.tif", "picture.psd",
          "document.docx", "data.db", "sound.wav", "video.avi", "archive.7z", "best.gz"}) {
        Bytes data = ReadAll(std::string("signatures/") + szName);
        ASSERT_FALSE(data.empty()) << szName;
        data.resize((data.size() + 511) / 512 * 512, 0);
        for (size_t off = 0; off < data.size(); off += 512, ++nSectors)
            EXPECT_FALSE(IsFatFDTRecord(&data[off], 512)) << szName << " at " << off;
    }
    EXPECT_GT(nSectors, 100);
    EXPECT_FALSE(IsTable(ReadAll("fat16.img", 512))) << "a boot sector";

    // A sector that starts with the end mark: fuzz_fat_fdt, on every input.
    std::mt19937 rng(20240601);
    Bytes noise(512);
    for (int n = 0; n < 2000; ++n) {
        for (unsigned char& b : noise) b = static_cast<unsigned char>(rng());
        ASSERT_FALSE(IsTable(noise)) << "random sector " << n;
    }
    // Filler: entries whose two halves repeat.
    Bytes filler(32, 0);
    std::memcpy(filler.data(), "AAAAAAAAAAA", 11);
    filler[11] = 0x20;
    filler[12] = filler[13] = filler[14] = 1;
    filler[16] = 0x21;
    std::memcpy(&filler[17], &filler[1], 14);
    ASSERT_TRUE(Valid(filler)) << "a plausible entry on its own";
    EXPECT_FALSE(IsTable(Sector({filler})));
}

TEST(FatEntry, EntryRules) {
    const std::string k1990("\x21\x14", 2);  // 1 January 1990
    const struct {
        Bytes entry;
        bool bValid;
        const char* szWhy;
    } cases[] = {
        {ShortEntry("REPORT  TXT"), true, "a file"},
        {ShortEntry("REPORT  TXT", 0x00), false, "no archive bit"},
        {ShortEntry("report  txt"), false, "lower case"},
        {ShortEntry("REP.RT  TXT"), false, "a dot in the name"},
        {ShortEntry("AB\x05     TXT"), false, "a control character"},
        {ShortEntry("REPORT  TXT", 0x31), false, "read-only directory"},
        {ShortEntry("REPORT  TXT", 0x60), false, "top attribute bits"},
        {ShortEntry("REPORT  TXT", 0x28), false, "label bit on a file"},
        {ShortEntry("OLD     TXT", 0x20, {{0x18, k1990}}), false, "dated 1990"},
        {ShortEntry("OLD     TXT", 0x20, {{0x18, k1990}, {0, "\xE5"}}), true,
         "a deleted entry skips the date test"},
        {ShortEntry("OLD     TXT", 0x20, {{0x18, k1990}, {0, "\xE5l"}}), false,
         "but not the name test"},
        {ShortEntry("EMPTY   TXT", 0x20, {{0x1C, std::string(1, '\0')}}), false,
         "size 0 with a cluster"},
        {ShortEntry("FOLDER     ", 0x10), false, "a directory with a size"},
        {ShortEntry("FOLDER     ", 0x10, {{0x1C, std::string(1, '\0')}}), true, "a directory"},
        {ShortEntry("MY LABEL   ", 0x08), false, "a label with a cluster"},
        {ShortEntry("MY LABEL   ", 0x08,
                    {{0x1A, std::string(4, '\0')}, {0x1C, std::string(1, '\0')}}),
         true, "a label"},
        {LongEntry(0x52, 1), true, "a long-name entry"},
        {LongEntry(0x53, 1), false, "sequence 19"},
        {LongEntry(0xE5, 1), true, "a deleted long-name entry"},
        {LongEntry(0x41, 1, {{26, "\x01"}}), false, "a cluster in a long-name entry"},
    };
    for (const auto& c : cases) EXPECT_EQ(Valid(c.entry), c.bValid) << c.szWhy;

    // "." and ".." pass as a pair, but only with the second entry in reach.
    Bytes dots = Sector({ShortEntry(".          ", 0x10), ShortEntry("..         ", 0x10)});
    dots[0x1C] = dots[32 + 0x1C] = 0;
    EXPECT_TRUE(IsFatFileRecord(dots.data()));
    EXPECT_TRUE(IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(dots.data()), 64));
    EXPECT_FALSE(IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(dots.data()), 32));
}

TEST(FatEntry, DirectoryTableRules) {
    const Bytes a = ShortEntry("ALPHA   TXT");
    const unsigned char nSum = GetShortNameCheckSum("ALPHA   TXT");
    Bytes three = Sector({a, ShortEntry("BETA    JPG"), ShortEntry("GAMMA   DOC")});
    EXPECT_TRUE(IsTable(three));
    three[300] = 1;
    EXPECT_FALSE(IsTable(three)) << "a stray byte after the end mark";
    const struct {
        Bytes sector;
        bool bTable;
        const char* szWhy;
    } cases[] = {
        {Sector({LongEntry(0x41, nSum), a}), true, "a long name and its short entry"},
        {Sector({LongEntry(0x41, nSum + 1), a}), false, "a wrong checksum"},
        {Sector({LongEntry(0x41, nSum + 1), Patched(a, {{0, "\xE5"}})}), true,
         "a deleted short entry's checksum is not compared"},
        {Sector({LongEntry(0x42, nSum), LongEntry(0x01, nSum + 1), a}), false,
         "long-name parts with different checksums"},
        {Sector({ShortEntry("AB CD   TXT")}), false, "a letter after a blank"},
        {Sector({ShortEntry("\xb0\xa1\xb0\xa2    TXT")}), true, "two-byte characters"},
        {Sector({ShortEntry("\xb0\x41\xb0\xa2    TXT")}), false, "half a two-byte character"},
    };
    for (const auto& c : cases) EXPECT_EQ(IsTable(c.sector), c.bTable) << c.szWhy;

    // Exactly one sector on the heap, no end mark: every slot is an entry.
    std::unique_ptr<unsigned char[]> exact(new unsigned char[512]);
    for (int i = 0; i < 16; ++i) {
        std::memcpy(exact.get() + 32 * i, a.data(), 32);
        exact[32 * i + 5] = static_cast<unsigned char>('A' + i);
    }
    EXPECT_TRUE(IsFatFDTRecord(exact.get(), 512));
}

TEST(FatEntry, Times) {
    const uint16_t nAccess = ((2024 - 1980) << 9) | (2 << 5) | 29;
    const uint16_t nWrite = ((2079 - 1980) << 9) | (12 << 5) | 31;
    const Bytes e =
        ShortEntry("TIMES   TXT", 0x20,
                   {{0x12, {static_cast<char>(nAccess), static_cast<char>(nAccess >> 8)}},
                    {0x18, {static_cast<char>(nWrite), static_cast<char>(nWrite >> 8)}}});
    auto Expect = [&e](void (*pfn)(const FAT32_Entry*, _FILETIME*), int y, int m, int d) {
        struct tm t = {};
        t.tm_year = y - 1900;
        t.tm_mon = m - 1;
        t.tm_mday = d;
        const unsigned long long u64 = static_cast<unsigned long long>(mktime(&t));
        _FILETIME ft = {};
        pfn(reinterpret_cast<const FAT32_Entry*>(e.data()), &ft);
        EXPECT_EQ(ft.dwLowDateTime, static_cast<uint32_t>(u64)) << y;
        EXPECT_EQ(ft.dwHighDateTime, static_cast<uint32_t>(u64 >> 32)) << y;
    };
    Expect(Fat32GetFileCreateTime, 2005, 6, 1);
    Expect(Fat32GetFileLastAccessTime, 2024, 2, 29);
    Expect(Fat32GetFileLastChangeTime, 2079, 12, 31);
}

// A record's FAT times are the local wall clock of their day, summer time or
// not: the time of day in 2-second steps, the creation time's 10 ms count
// adding the odd second, a time word out of range read as midnight.
TEST(FatEntry, RecordTimesAreTheLocalTimeOfDay) {
    const char* szOldTz = std::getenv("TZ");
    const std::string strOldTz = szOldTz ? szOldTz : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    auto Word = [](uint16_t n) {
        return std::string{static_cast<char>(n), static_cast<char>(n >> 8)};
    };
    const uint16_t nSummer = ((2021 - 1980) << 9) | (6 << 5) | 15;
    const uint16_t nWinter = ((2021 - 1980) << 9) | (1 << 5) | 15;
    const Bytes e = ShortEntry("TIMES   TXT", 0x20,
                               {{0x0D, std::string(1, static_cast<char>(150))},
                                {0x0E, Word((23 << 11) | (59 << 5) | 29)},  // 23:59:58
                                {0x10, Word(nWinter)},
                                {0x12, Word(nSummer)},
                                {0x16, Word((10 << 11) | (20 << 5) | 15)},  // 10:20:30
                                {0x18, Word(nSummer)}});
    _FILE_NODE_ node = {};
    FatSetTimes(node, e.data());
    auto Seconds = [](const _FILETIME& ft) {
        return (static_cast<long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    };
    EXPECT_EQ(Seconds(node.ftLastWriteTime), 1623745230LL);   // 08:20:30 UTC
    EXPECT_EQ(Seconds(node.ftCreateTime), 1610751598LL + 1);  // 22:59:59 UTC
    EXPECT_EQ(Seconds(node.ftLastAccessTime), 1623708000LL);  // 00:00 CEST
    const Bytes bad = Patched(e, {{0x16, Word(25 << 11)}});   // hour 25
    FatSetTimes(node, bad.data());
    EXPECT_EQ(Seconds(node.ftLastWriteTime), 1623708000LL);
    // The day the clock goes forward: midnight is CET, 10:20:30 is CEST.
    const uint16_t nChange = ((2021 - 1980) << 9) | (3 << 5) | 28;
    const Bytes change = Patched(e, {{0x18, Word(nChange)}});
    FatSetTimes(node, change.data());
    EXPECT_EQ(Seconds(node.ftLastWriteTime), 1616919630LL);  // 08:20:30 UTC
    if (szOldTz)
        setenv("TZ", strOldTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
