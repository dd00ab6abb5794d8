// FAT directory-entry checks against directories written by mtools, against
// sectors that are not directories, and against hand-made entries.
#include "fat/FatEntry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/Fixtures.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ReadAll(const std::string& strPath) {
    Bytes data;
    twtest::ReadFileBytes(strPath, data);
    return data;
}

uint32_t Le(const unsigned char* p, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// Just enough of a FAT volume to list the sectors of its directories.
class FatVolume {
public:
    explicit FatVolume(const std::string& strPath) : m_img(ReadAll(strPath)) {
        if (m_img.size() < 512) return;
        const unsigned char* b = m_img.data();
        m_nSpc = b[13];
        m_nFirstFat = Le(b + 14, 2);
        const uint32_t nFatSize = Le(b + 22, 2) ? Le(b + 22, 2) : Le(b + 36, 4);
        m_bFat32 = Le(b + 22, 2) == 0;
        const uint32_t nRootSectors = (Le(b + 17, 2) * 32 + 511) / 512;
        m_nRootStart = m_nFirstFat + b[16] * nFatSize;
        m_nDataStart = m_nRootStart + nRootSectors;
        m_nRootSectors = nRootSectors;
        m_nRootCluster = Le(b + 44, 4);
    }
    bool Loaded() const { return m_img.size() > 512 && m_nSpc > 0; }
    const unsigned char* Sector(uint32_t n) const { return m_img.data() + 512ull * n; }

    // Sectors of the root directory, in order.
    std::vector<uint32_t> RootSectors() const {
        if (m_bFat32) return ChainSectors(m_nRootCluster);
        std::vector<uint32_t> v;
        for (uint32_t i = 0; i < m_nRootSectors; ++i) v.push_back(m_nRootStart + i);
        return v;
    }
    // Sectors of a subdirectory with the given 11-byte short name.
    std::vector<uint32_t> SubdirSectors(const std::vector<uint32_t>& parent,
                                        const char* szName11) const {
        for (uint32_t s : parent) {
            for (int i = 0; i < 16; ++i) {
                const unsigned char* e = Sector(s) + 32 * i;
                if (std::memcmp(e, szName11, 11) == 0 && (e[11] & 0x10)) {
                    return ChainSectors((Le(e + 20, 2) << 16) | Le(e + 26, 2));
                }
            }
        }
        return {};
    }
    uint32_t SectorsPerCluster() const { return m_nSpc; }

private:
    std::vector<uint32_t> ChainSectors(uint32_t nCluster) const {
        std::vector<uint32_t> v;
        const uint32_t nEnd = m_bFat32 ? 0x0FFFFFF8 : 0xFFF8;
        for (int n = 0; nCluster >= 2 && nCluster < nEnd && n < 100000; ++n) {
            for (uint32_t i = 0; i < m_nSpc; ++i)
                v.push_back(m_nDataStart + (nCluster - 2) * m_nSpc + i);
            const unsigned char* pFat = Sector(m_nFirstFat);
            nCluster =
                m_bFat32 ? Le(pFat + 4 * nCluster, 4) & 0x0FFFFFFF : Le(pFat + 2 * nCluster, 2);
        }
        return v;
    }

    Bytes m_img;
    uint32_t m_nSpc = 0, m_nFirstFat = 0, m_nRootStart = 0, m_nRootSectors = 0, m_nDataStart = 0,
             m_nRootCluster = 0;
    bool m_bFat32 = false;
};

std::string FixturePath(const std::string& strName) {
    return twtest::FixtureDir() + "/" + strName;
}

// A short entry with good dates (1 June 2005) and the archive bit.
Bytes ShortEntry(const char* szName11, uint8_t nAttr = 0x20) {
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
    return e;
}

// A long-name entry holding "abcde" with the given sequence and checksum.
Bytes LongEntry(uint8_t nSequence, uint8_t nCheckSum) {
    Bytes e(32, 0xFF);
    e[0] = nSequence;
    const char* sz = "abcde";
    for (int i = 0; i < 5; ++i) {
        e[1 + 2 * i] = sz[i];
        e[2 + 2 * i] = 0;
    }
    e[11] = 0x0F;
    e[12] = 0;
    e[13] = nCheckSum;
    e[14] = 0;
    e[15] = 0;
    e[26] = 0;
    e[27] = 0;
    return e;
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

}  // namespace

TEST(FatEntry, DirectorySectorsWrittenByMtoolsPass) {
    for (const char* szImage : {"fatdirs/fat16.img", "fatdirs/fat32.img"}) {
        SCOPED_TRACE(szImage);
        FatVolume vol(FixturePath(szImage));
        ASSERT_TRUE(vol.Loaded());
        std::vector<uint32_t> root = vol.RootSectors();
        std::vector<uint32_t> many = vol.SubdirSectors(root, "MANY       ");
        std::vector<uint32_t> deep = vol.SubdirSectors(many, "DEEP       ");
        ASSERT_GE(many.size(), 10u) << "the big directory spans several clusters";
        ASSERT_FALSE(deep.empty());

        int nPassed = 0, nDeleted = 0, nLongNames = 0, nChecksums = 0;
        for (const std::vector<uint32_t>* pDir : {&root, &many, &deep}) {
            Bytes stream;  // the directory's entries, for the checksum walk
            for (size_t i = 0; i < pDir->size(); ++i) {
                const unsigned char* s = vol.Sector((*pDir)[i]);
                stream.insert(stream.end(), s, s + 512);
                if (pDir != &root && i == 0) {
                    // A subdirectory starts with "." and "..": a first sector of its own kind.
                    EXPECT_TRUE(IsFatFileRecord(s));
                    continue;
                }
                if (s[0] == 0) {
                    EXPECT_FALSE(IsFatFDTRecord(s, 512));  // past the directory's end
                    continue;
                }
                EXPECT_TRUE(IsFatFDTRecord(s, 512)) << "sector " << (*pDir)[i];
                ++nPassed;
            }
            for (size_t off = 0; off + 32 <= stream.size() && stream[off]; off += 32) {
                const unsigned char* e = stream.data() + off;
                if (e[0] == 0xE5) ++nDeleted;
                if (e[11] != 0x0F) continue;
                ++nLongNames;
                size_t next = off + 32;
                while (next + 32 <= stream.size() && stream[next + 11] == 0x0F) next += 32;
                ASSERT_LT(next + 32, stream.size());
                if (stream[next] == 0xE5) continue;  // the deleted name lost its first byte
                EXPECT_EQ(e[13],
                          GetShortNameCheckSum(reinterpret_cast<const char*>(&stream[next])));
                ++nChecksums;
            }
        }
        EXPECT_GE(nPassed, 12);
        EXPECT_GE(nDeleted, 8);  // long-named and short entries deleted by mdel
        EXPECT_GE(nChecksums, 200);
        EXPECT_GT(nLongNames, nChecksums) << "some long names belong to deleted files";
        EXPECT_FALSE(IsFatFDTRecord(vol.Sector(0), 512)) << "the boot sector";
    }
}

TEST(FatEntry, SectorsOfOtherDataAreNotDirectories) {
    std::vector<std::string> files = {"picture.jpg", "picture.png", "picture.bmp",   "picture.gif",
                                      "picture.tif", "picture.psd", "document.docx", "data.db",
                                      "sound.wav",   "video.avi",   "archive.7z",    "best.gz"};
    int nSectors = 0;
    for (const std::string& strName : files) {
        Bytes data = ReadAll(FixturePath("signatures/" + strName));
        ASSERT_FALSE(data.empty()) << strName;
        data.resize((data.size() + 511) / 512 * 512, 0);
        for (size_t off = 0; off < data.size(); off += 512, ++nSectors) {
            EXPECT_FALSE(IsFatFDTRecord(data.data() + off, 512)) << strName << " at " << off;
        }
    }
    EXPECT_GT(nSectors, 100);

    Bytes zeros(4096, 0);
    EXPECT_FALSE(IsFatFDTRecord(zeros.data(), 512));
    EXPECT_FALSE(IsFatFDTRecord(zeros.data(), 4096));
    std::mt19937 rng(20240601);
    Bytes noise(512);
    for (int n = 0; n < 2000; ++n) {
        for (unsigned char& b : noise) b = static_cast<unsigned char>(rng());
        ASSERT_FALSE(IsFatFDTRecord(noise.data(), 512)) << "random sector " << n;
    }
    // Filler: entries whose two halves repeat.
    Bytes filler(32, 0);
    std::memcpy(filler.data(), "AAAAAAAAAAA", 11);
    filler[11] = 0x20;
    filler[12] = filler[13] = filler[14] = 1;
    filler[16] = 0x21;
    std::memcpy(&filler[17], &filler[1], 14);
    ASSERT_TRUE(Valid(filler)) << "a plausible entry on its own";
    EXPECT_FALSE(IsFatFDTRecord(Sector({filler}).data(), 512));
    EXPECT_FALSE(IsFatFDTRecord(nullptr, 512));
    EXPECT_FALSE(IsFatFileRecord(nullptr));
}

TEST(FatEntry, EntryRules) {
    EXPECT_TRUE(Valid(ShortEntry("REPORT  TXT")));
    EXPECT_FALSE(Valid(ShortEntry("REPORT  TXT", 0x00))) << "no archive bit";
    EXPECT_FALSE(Valid(ShortEntry("report  txt"))) << "lower case";
    EXPECT_FALSE(Valid(ShortEntry("REP.RT  TXT"))) << "a dot in the name";
    EXPECT_FALSE(Valid(ShortEntry("REPORT  TXT", 0x31))) << "read-only directory";
    EXPECT_FALSE(Valid(ShortEntry("REPORT  TXT", 0x60))) << "top attribute bits";
    EXPECT_FALSE(Valid(ShortEntry("REPORT  TXT", 0x28))) << "label bit on a file";

    Bytes old = ShortEntry("OLD     TXT");
    const uint16_t n1990 = (10 << 9) | (1 << 5) | 1;
    old[0x18] = n1990 & 0xFF;
    old[0x19] = n1990 >> 8;
    EXPECT_FALSE(Valid(old)) << "dated 1 January 1990";
    old[0] = 0xE5;
    EXPECT_TRUE(Valid(old)) << "a deleted entry skips the date test";
    old[1] = 'l';
    EXPECT_FALSE(Valid(old)) << "but not the name test";

    Bytes empty = ShortEntry("EMPTY   TXT");
    empty[0x1C] = 0;
    EXPECT_FALSE(Valid(empty)) << "size 0 with a cluster";
    Bytes dir = ShortEntry("FOLDER     ", 0x10);
    EXPECT_FALSE(Valid(dir)) << "a directory with a size";
    dir[0x1C] = 0;
    EXPECT_TRUE(Valid(dir));
    Bytes label = ShortEntry("MY LABEL   ", 0x08);
    EXPECT_FALSE(Valid(label));
    label[0x1A] = label[0x1C] = 0;
    EXPECT_TRUE(Valid(label));

    EXPECT_TRUE(Valid(LongEntry(0x52, 1)));
    EXPECT_FALSE(Valid(LongEntry(0x53, 1))) << "sequence 19";
    EXPECT_TRUE(Valid(LongEntry(0xE5, 1))) << "a deleted long-name entry";
    Bytes lfn = LongEntry(0x41, 1);
    lfn[26] = 1;
    EXPECT_FALSE(Valid(lfn)) << "a cluster in a long-name entry";

    // "." and ".." pass as a pair, but only with the second entry in reach.
    Bytes dots = Sector({ShortEntry(".          ", 0x10), ShortEntry("..         ", 0x10)});
    dots[0x1C] = dots[32 + 0x1C] = 0;
    EXPECT_TRUE(IsFatFileRecord(dots.data()));
    EXPECT_TRUE(IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(dots.data()), 64));
    EXPECT_FALSE(IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(dots.data()), 32));
}

TEST(FatEntry, DirectoryTableRules) {
    Bytes a = ShortEntry("ALPHA   TXT"), b = ShortEntry("BETA    JPG"),
          c = ShortEntry("GAMMA   DOC");
    Bytes three = Sector({a, b, c});
    EXPECT_TRUE(IsFatFDTRecord(three.data(), 512));
    three[300] = 1;
    EXPECT_FALSE(IsFatFDTRecord(three.data(), 512)) << "a stray byte after the end mark";
    EXPECT_FALSE(IsFatFDTRecord(Sector({}).data(), 512)) << "ends at slot 0";
    Bytes full;
    for (int i = 0; i < 16; ++i) full.insert(full.end(), a.begin(), a.end());
    for (int i = 0; i < 16; ++i) full[32 * i + 5] = static_cast<unsigned char>('A' + i);
    std::unique_ptr<unsigned char[]> exact(
        new unsigned char[512]);  // exactly one sector on the heap
    std::memcpy(exact.get(), full.data(), 512);
    EXPECT_TRUE(IsFatFDTRecord(exact.get(), 512)) << "no end mark: every slot is an entry";
    // A "." entry in the last slot: its pair would lie past the buffer, which is not read.
    Bytes dot = ShortEntry(".          ", 0x10);
    dot[0x1A] = dot[0x1C] = 0;
    std::memcpy(exact.get() + 480, dot.data(), 32);
    EXPECT_FALSE(IsFatFDTRecord(exact.get(), 512));

    const unsigned char nSum = GetShortNameCheckSum("ALPHA   TXT");
    EXPECT_TRUE(IsFatFDTRecord(Sector({LongEntry(0x41, nSum), a}).data(), 512));
    EXPECT_FALSE(IsFatFDTRecord(Sector({LongEntry(0x41, nSum + 1), a}).data(), 512));
    Bytes deleted = a;
    deleted[0] = 0xE5;
    EXPECT_TRUE(IsFatFDTRecord(Sector({LongEntry(0x41, nSum + 1), deleted}).data(), 512))
        << "a deleted short entry's checksum is not compared";
    EXPECT_FALSE(
        IsFatFDTRecord(Sector({LongEntry(0x42, nSum), LongEntry(0x01, nSum + 1), a}).data(), 512))
        << "long-name parts with different checksums";

    Bytes blank = ShortEntry("AB CD   TXT");
    EXPECT_FALSE(IsFatFDTRecord(Sector({blank}).data(), 512)) << "a letter after a blank";
    Bytes wide = ShortEntry("\xb0\xa1\xb0\xa2    TXT");
    EXPECT_TRUE(IsFatFDTRecord(Sector({wide}).data(), 512)) << "two-byte characters";
    wide[1] = 'A';
    EXPECT_FALSE(IsFatFDTRecord(Sector({wide}).data(), 512)) << "half a two-byte character";
}

TEST(FatEntry, NamesAndTimes) {
    EXPECT_TRUE(IsInvalidShortFileName("A:B     TXT"));
    EXPECT_TRUE(IsInvalidShortFileName("AB\x05     TXT"));
    EXPECT_FALSE(
        IsInvalidShortFileName("\xe5"
                               "BC     TXT"));

    Bytes e = ShortEntry("TIMES   TXT");
    const uint16_t nCreate = ((2005 - 1980) << 9) | (6 << 5) | 1;
    const uint16_t nAccess = ((2024 - 1980) << 9) | (2 << 5) | 29;
    const uint16_t nWrite = ((2079 - 1980) << 9) | (12 << 5) | 31;
    for (auto [off, v] :
         {std::pair<int, uint16_t>{0x10, nCreate}, {0x12, nAccess}, {0x18, nWrite}}) {
        e[off] = v & 0xFF;
        e[off + 1] = v >> 8;
    }
    struct tm t = {};
    auto Expect = [&](void (*pfn)(const FAT32_Entry*, _FILETIME*), int y, int m, int d) {
        t = {};
        t.tm_year = y - 1900;
        t.tm_mon = m - 1;
        t.tm_mday = d;
        const unsigned long long u64 = static_cast<unsigned long long>(mktime(&t));
        _FILETIME ft = {};
        pfn(reinterpret_cast<const FAT32_Entry*>(e.data()), &ft);
        EXPECT_EQ(ft.dwLowDateTime, static_cast<uint32_t>(u64));
        EXPECT_EQ(ft.dwHighDateTime, static_cast<uint32_t>(u64 >> 32));
    };
    Expect(Fat32GetFileCreateTime, 2005, 6, 1);
    Expect(Fat32GetFileLastAccessTime, 2024, 2, 29);
    Expect(Fat32GetFileLastChangeTime, 2079, 12, 31);
}
