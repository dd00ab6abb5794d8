// File size and end detection on synthetic images: end markers, structures
// followed by old data, walks that stop at foreign sectors, header sizes and
// directories. The files of the carving fixture are measured end to end in
// filetyperecovery_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "carving/CarvingTestData.h"
#include "carving/FileTypeJudge.h"

using namespace carvetest;

namespace {

using J = CFileTypeJudge;

struct Carved {
    int nRet = -1;
    std::string strName;
    unsigned long long u64Size = 0;
};

// Measures the file whose head is at the sector, as the carving engine asks.
Carved Measure(CImage& image, unsigned long long u64Sector) {
    Bytes head(kSector);
    unsigned int nRead = 0;
    EXPECT_EQ(
        image.reader.ReadData(head.data(), 1, static_cast<long long>(u64Sector), kSector, &nRead),
        0u);
    Carved c;
    char szName[256] = {0};
    c.nRet = J::ParseFileBuf(head.data(), kSector, u64Sector, 0, image.u64Sectors, -1, 0,
                             &image.reader, kSector, szName, nullptr, &c.u64Size);
    c.strName = szName;
    return c;
}

class FileTypeSizeTest : public ::testing::Test {
protected:
    void SetUp() override {
        J::InitCallBack(nullptr, nullptr, nullptr, 100);
        CurrentCarveContext().m_tsFileRangeVec.clear();
        CurrentCarveContext().m_bIsNeedCheckTsFileRange = 1;
    }
    // Makes the shared context point at the image's start.
    void Select(CImage& image) {
        CurrentCarveContext().m_pDiskReader = &image.reader;
        CurrentCarveContext().m_u64StartSector = CurrentCarveContext().m_u64CurrentSector = 0;
        CurrentCarveContext().m_nBytesPerSector = kSector;
    }
};

// Pictures whose end marker, zeros after it, lies in their head sector.
TEST_F(FileTypeSizeTest, PicturesEndInTheirHeadSector) {
    const struct {
        std::string strHead, strEnd;
        size_t nEnd;  // the file's size: where its end marker ends
    } cases[] = {
        {B("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x48", 16), "\xFF\xD9", 302},
        {"GIF89a", B("\0;", 2), 202},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strHead);
        Bytes img;
        Filler(img, 0, 20);
        Put(img, 0, c.strHead);
        Put(img, c.nEnd - 2, c.strEnd + std::string(kSector - c.nEnd, '\0'));
        CImage image;
        ASSERT_EQ(image.Open(img), 0u);
        Carved carved = Measure(image, 0);
        EXPECT_EQ(carved.nRet, 0);
        EXPECT_EQ(carved.u64Size, c.nEnd) << "measured as " << carved.strName;
    }
}

// Files whose structure gives their end, followed directly by old data that
// holds false end markers: each ends where its structure ends.
std::string Be32s(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string Le32s(uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
std::string Box(const char* szType, const std::string& strBody) {
    return Be32s(static_cast<uint32_t>(8 + strBody.size())) + szType + strBody;
}
std::string OggPage(char nFlags, uint32_t nSerial, const std::string& strBody) {
    return B("OggS\0", 5) + nFlags + std::string(8, '\0') + Le32s(nSerial) + std::string(8, '\0') +
           char(1) + char(strBody.size()) + strBody;
}

TEST_F(FileTypeSizeTest, StructureEndsBeforeOldData) {
    const std::string strFrame = B("\xFF\xFB\x90\x00", 4) + std::string(413, '\x55');
    const std::string strApe = "APETAGEX" + Le32s(2000) + Le32s(32 + 10) + Le32s(1) +
                               Le32s(0xA0000000) + std::string(8, '\0');
    const struct {
        const char* szName;
        std::string strFile;
    } cases[] = {
        {"jpg with a thumbnail and restart markers",
         B("\xFF\xD8\xFF\xE1\x00\x12", 6) + B("Exif\0\0", 6) +
             B("\xFF\xD8\xFF\xDB\x00\x02\xFF\xD9", 8) + "ab" + B("\xFF\xDA\x00\x02", 4) +
             B("\x12\xFF\x00\x34\xFF\xD3\x56\xFF\xFF\xD9", 10)},
        {"mp4 with a 64-bit media box", Box("ftyp", B("isom\0\0\0\0isom", 12)) +
                                            Box("moov", std::string(40, 'm')) + Be32s(1) + "mdat" +
                                            Be32s(0) + Be32s(16 + 700) + std::string(700, '\xFF')},
        {"zip with a data descriptor and a comment",
         B("PK\3\4\x14\0\x08\0\0\0\0\0\0\0", 14) + std::string(12, '\0') + Le32s(1) + "a" +
             "old card photos" + "PK\x07\x08" + Le32s(0) + Le32s(15) + Le32s(15) + B("PK\1\2", 4) +
             std::string(24, '\0') + B("\1\0\0\0\0\0", 6) + std::string(12, '\0') + "a" +
             B("PK\5\6\0\0\0\0\1\0\1\0", 12) + Le32s(47) + Le32s(62) + B("\5\0", 2) + "hello"},
        {"mp3 with APE and ID3v1 tags", B("ID3\3\0\0\0\0\0\0", 10) + strFrame + strFrame +
                                            strFrame + strApe + B("Title\0tone", 10) +
                                            std::string(32, '\0') + "TAG" + std::string(125, 'x')},
        {"ogg of two streams", OggPage(2, 7, "\1vorbis") + OggPage(2, 8, "\x80theora") +
                                   OggPage(0, 7, "audio") + OggPage(4, 8, "end of video") +
                                   OggPage(4, 7, "end of audio")},
        {"mpeg program stream without an end code",
         B("\0\0\1\xBA\x44\0\4\0\4\1\1\x89\xC3\xF8", 14) +
             B("\0\0\1\xBB\0\x06\x80\0\1\x04\xE1\xFF", 12) + B("\0\0\1\xE0\x01\x00", 6) +
             std::string(256, '\xAA') + B("\0\0\1\xBA\x44\0\4\0\4\1\1\x89\xC3\xF8", 14)},
        {"text ended by binary data", std::string(700, 't') + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        // Old data after the file: printable bytes, a second stream's first page, false end
        // markers, bytes that are no text.
        Bytes img(2 * kSector, 0);
        Put(img, 2 * kSector, c.strFile);
        Put(img, 2 * kSector + c.strFile.size(),
            "Zq\xF1" + OggPage(2, 9, "\1vorbis") + B("\xFF\xD9\0;PK\5\6TAG\xF0\x01\0\0\1\xB9", 17));
        img.resize(img.size() + 3 * kSector, '\xF1');
        CImage image;
        ASSERT_EQ(image.Open(img), 0u);
        Carved carved = Measure(image, 2);
        EXPECT_EQ(carved.nRet, 0);
        EXPECT_EQ(carved.u64Size, c.strFile.size()) << "measured as " << carved.strName;
    }
}

// An XCF whose 20,000 layers share one hierarchy of 63 levels of 1,000 tiles
// each ends within the image; in a 1 GiB reach, a stop is heard while the
// walk stays in one window.
TEST_F(FileTypeSizeTest, LoopingPointersEndTheWalk) {
    Bytes xcf;
    Put(xcf, 0, B("gimp xcf file\0", 14));  // then size, type, no properties
    const uint32_t nLayer = 34 + 4 * 20000 + 8, nHier = nLayer + 32, nLevel = nHier + 268;
    for (uint32_t i = 0; i < 20000; ++i) PutInt(xcf, 34 + 4 * i, nLayer, 4, true);
    PutInt(xcf, nLayer + 24, nHier, 4, true);
    PutInt(xcf, nHier + 8, 1, 4, true);  // one byte per pixel
    for (uint32_t i = 0; i < 63; ++i) PutInt(xcf, nHier + 12 + 4 * i, nLevel, 4, true);
    PutInt(xcf, nLevel, 64000, 4, true);  // 1,000 tiles of 64 x 64
    PutInt(xcf, nLevel + 4, 64, 4, true);
    for (uint32_t i = 0; i < 1000; ++i) PutInt(xcf, nLevel + 8 + 4 * i, nLevel + 4012, 4, true);
    xcf.resize(1 << 17, 0);  // one whole window
    CImage image, big;
    ASSERT_EQ(image.Open(xcf), 0u);
    ASSERT_EQ(big.Open(xcf, 1 << 21), 0u);
    EXPECT_LE(Measure(image, 0).u64Size, xcf.size());
    int nCalls = 0;
    J::InitCallBack(
        [](void* p, int, int, int, unsigned long long, unsigned long long, unsigned long long,
           wchar_t*) { return ++*static_cast<int*>(p) > 1 ? -9527 : 0; },
        nullptr, &nCalls, 100);
    EXPECT_EQ(Measure(big, 0).nRet, -9527);
}

// A TIFF has no end marker: its walk ends at a sector that starts another
// file or belongs to a file system, or at the image's end.
TEST_F(FileTypeSizeTest, WalkStopsAtForeignSectors) {
    const struct {
        const char* szWhat;
        std::string strAt7;  // placed at the start of sector 7
        unsigned long long u64WantSectors;
    } cases[] = {
        {"NTFS boot sector", "\xEB\x52\x90NTFS    ", 7},
        {"FAT32 boot sector", "\xEB\x58\x90MSWIN4.1", 7},
        {"exFAT boot sector", "\xEB\x76\x90\x45XFAT   ", 7},
        {"file record", "FILE0", 7},
        {"index record", "INDX(", 7},
        {"log restart page", "RSTR" + std::string(296, ' ') + B("N\0T\0F\0S\0", 8), 7},
        {"PNG head", "\x89PNG\r\n\x1A\n", 7},
        {"script head", "#!/bin/sh\n", 7},
        {"restart page of no NTFS log", "RSTR", 40},
        {"nothing foreign", "", 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szWhat);
        Bytes img;
        Filler(img, 0, 40);
        Put(img, 0, B("II*\0", 4));
        Put(img, 7 * kSector, c.strAt7);
        CImage image;
        ASSERT_EQ(image.Open(img), 0u);
        Carved carved = Measure(image, 0);
        ASSERT_EQ(carved.nRet, 0);
        EXPECT_EQ(carved.strName, "0.tif");
        EXPECT_EQ(carved.u64Size, c.u64WantSectors * kSector);
    }
}

// Header fields that are not the file's size (a compressed SWF's is the
// inflated file's, a broadcast ASF's is not set, an ASF object that runs past
// the buffer is not read): one sector is carved.
TEST_F(FileTypeSizeTest, HeaderSizesThatAreNotTheFiles) {
    Bytes swf(kSector, 0);
    Put(swf, 0, "CWS");
    PutInt(swf, 4, 0x7FFFFFFF, 4);
    EXPECT_EQ(J::GetSWFFileBytesSize(swf.data(), kSector), 512u);
    Bytes asf(kSector, 0);
    Put(asf, 100, B("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16));
    PutInt(asf, 140, 19931, 4);
    EXPECT_EQ(J::GetASFFileBytesSize(asf.data(), 150), 512u);
    PutInt(asf, 188, 3, 4);  // broadcast
    EXPECT_EQ(J::GetASFFileBytesSize(asf.data(), kSector), 512u);
}

TEST_F(FileTypeSizeTest, IconAndFontDirectoriesBeyondTheHeadSector) {
    // 40 icon entries: the directory needs 646 bytes and is read again from
    // the file's start.
    Bytes ico;
    PutInt(ico, 0, 0x00010000, 4);
    PutInt(ico, 4, 40, 2);
    uint32_t nOffset = 6 + 16 * 40;
    for (int i = 0; i < 40; ++i, nOffset += 100) {
        PutInt(ico, 6 + 16 * i + 8, 100, 4);
        PutInt(ico, 6 + 16 * i + 12, nOffset, 4);
    }
    Filler(ico, 2, 10);
    CImage image;
    ASSERT_EQ(image.Open(ico), 0u);
    Select(image);
    EXPECT_EQ(J::GetICOFileBytesSize(ico.data(), kSector), nOffset);
    // A directory larger than 64 KiB, or empty, is not believed: one sector.
    for (int nCount : {5000, 0}) {
        PutInt(ico, 4, nCount, 2);
        EXPECT_EQ(J::GetICOFileBytesSize(ico.data(), kSector), 512u) << nCount;
    }

    Bytes ttf;
    PutInt(ttf, 0, 0x00010000, 4, true);
    PutInt(ttf, 4, 50, 2, true);
    uint32_t nMax = 0;
    for (int i = 0; i < 50; ++i) {
        uint32_t nOff = 12 + 16 * 50 + 40 * ((i * 7) % 50);
        PutInt(ttf, 12 + 16 * i + 8, nOff, 4, true);
        PutInt(ttf, 12 + 16 * i + 12, 40, 4, true);
        nMax = std::max(nMax, nOff + 40);
    }
    CImage font;
    ASSERT_EQ(font.Open(ttf), 0u);
    Select(font);
    EXPECT_EQ(J::GetTTFFileBytesSize(ttf.data(), kSector), nMax);
    PutInt(ttf, 4, 0, 2, true);
    EXPECT_EQ(J::GetTTFFileBytesSize(ttf.data(), kSector), 0u);
}

TEST_F(FileTypeSizeTest, CompoundFileSizeFromItsHeader) {
    // 110 FAT sectors: the last one is named by the first DIFAT sector.
    Bytes img(20 * kSector, 0);
    Put(img, 0, B("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
    PutInt(img, 30, 9, 2);
    PutInt(img, 44, 110, 4);
    PutInt(img, 68, 5, 4);  // first DIFAT sector: file sector 5, device sector 6
    PutInt(img, 72, 1, 4);
    PutInt(img, 6 * kSector, 7, 4);  // entry 0: FAT sector 7, device sector 8
    PutInt(img, 6 * kSector + 508, 0xFFFFFFFE, 4);
    for (int i = 0; i < 128; ++i) PutInt(img, 8 * kSector + 4 * i, i < 100 ? i + 1 : 0xFFFFFFFF, 4);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    Select(image);
    const unsigned long long c = 110ull * 128 + 1;
    EXPECT_EQ(J::GetOFFICE2003FileBytesSizeByFileHead(img.data(), kSector), (c - 28) * kSector);

    // A chain that comes back to a sector it has read ends there.
    PutInt(img, 72, 3, 4);
    PutInt(img, 6 * kSector + 508, 5, 4);
    CImage loop;
    ASSERT_EQ(loop.Open(img), 0u);
    Select(loop);
    EXPECT_EQ(J::GetOFFICE2003FileBytesSizeByFileHead(img.data(), kSector), c * kSector);

    // Impossible headers give 0: bad sector shift, a FAT count the header's
    // own table cannot hold, too few FAT sectors for a DIFAT chain.
    for (auto [nOff, nValue, nBytes] :
         {std::tuple<int, uint32_t, int>{30, 10, 2}, {72, 0, 4}, {44, 50, 4}}) {
        Bytes bad = img;
        PutInt(bad, nOff, nValue, nBytes);
        EXPECT_EQ(J::GetOFFICE2003FileBytesSizeByFileHead(bad.data(), kSector), 0u) << nOff;
    }
}

TEST_F(FileTypeSizeTest, WordDocumentTagWhenTheHeaderGivesNothing) {
    // A compound header with an impossible sector shift: the walk looks for
    // the summary property set and the application name after it.
    Bytes img;
    Filler(img, 0, 20);
    Put(img, 0, B("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
    PutInt(img, 30, 7, 2);
    Put(img, 2 * kSector + 50, B("\x01\x00\xFE\xFF\x03\x0A", 6));
    Put(img, 4 * kSector + 200, "Microsoft Office Word \xCE\xC4\xB5\xB5");
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    Select(image);
    EXPECT_EQ(J::GetOFFICE2003FileBytesSize(img.data(), kSector), 5u * kSector);
}

}  // namespace
