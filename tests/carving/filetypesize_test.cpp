// File size and end detection on synthetic images: end markers and the
// zero-fill rule, walks that stop at foreign sectors, header fields that run
// past their buffer, packet and track following, cancel.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "carving/CarvingTestData.h"
#include "carving/FileTypeJudge.h"

using namespace carvetest;

namespace {

struct Carved {
    int nRet = -1;
    std::string strName;
    EXTEND_NAME_TYPE nType = FILE_TYPE_NONE;
    unsigned long long u64Size = 0;
};

// Measures the file whose head is at the sector, as the carving engine asks.
Carved Measure(CImage& image, unsigned long long u64Sector, CDiskReader* pReader = nullptr) {
    Bytes head(kSector);
    unsigned int nRead = 0;
    EXPECT_EQ(
        image.reader.ReadData(head.data(), 1, static_cast<long long>(u64Sector), kSector, &nRead),
        0u);
    Carved c;
    char szName[256] = {0};
    c.nRet = CFileTypeJudge::ParseFileBuf(head.data(), kSector, u64Sector, 0, image.u64Sectors, -1,
                                          0, pReader ? pReader : &image.reader, kSector, szName,
                                          &c.nType, &c.u64Size);
    c.strName = szName;
    return c;
}

class FileTypeSizeTest : public ::testing::Test {
protected:
    void SetUp() override {
        CFileTypeJudge::InitCallBack(nullptr, nullptr, nullptr, 100);
        CFileTypeJudge::m_tsFileRangeVec.clear();
        CFileTypeJudge::m_bIsNeedCheckTsFileRange = 1;
    }
    CFileTypeJudge m_judge;  // owns the shared work buffer
};

TEST_F(FileTypeSizeTest, JpegEndInHeadSectorNeedsNoWalk) {
    Bytes img;
    JpegHead(img, 0);
    std::memset(img.data() + 16, 0x11, 200);
    img[300] = 0xFF;
    img[301] = 0xD9;
    std::memset(img.data() + 302, 0, kSector - 302);
    char szName[256];
    EXTEND_NAME_TYPE nType = 0;
    unsigned long long u64Size = 0;
    // No reader at all: the head alone decides.
    ASSERT_EQ(CFileTypeJudge::ParseFileBuf(img.data(), kSector, 20480, 0, 100000, -1, 0, nullptr,
                                           kSector, szName, &nType, &u64Size),
              0);
    EXPECT_STREQ(szName, "20480.jpg");
    EXPECT_EQ(nType, FILE_TYPE_JPG);
    EXPECT_EQ(u64Size, 302u);
}

TEST_F(FileTypeSizeTest, JpegFalseEndCarriesOnToLaterCandidate) {
    Bytes img;
    JpegHead(img, 0);
    Filler(img, 1, 230);
    // Chunk 1 (sectors 1-128): its first FF D9 is followed by text, and a
    // real-looking end later in the same chunk is not looked at.
    img[1 * kSector + 100] = 0xFF;
    img[1 * kSector + 101] = 0xD9;
    img[5 * kSector + 40] = 0xFF;
    img[5 * kSector + 41] = 0xD9;
    std::memset(img.data() + 5 * kSector + 42, 0, kSector - 42);
    // Chunk 2: an accepted end.
    img[200 * kSector + 50] = 0xFF;
    img[200 * kSector + 51] = 0xD9;
    std::memset(img.data() + 200 * kSector + 52, 0, kSector - 52);
    FatDirectorySector(img, 220);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    Carved c = Measure(image, 0);
    ASSERT_EQ(c.nRet, 0);
    EXPECT_EQ(c.u64Size, 200u * kSector + 52);

    // Without the later end the file runs to the directory sector.
    img[200 * kSector + 51] = 0x00;
    CImage image2;
    ASSERT_EQ(image2.Open(img), 0u);
    EXPECT_EQ(Measure(image2, 0).u64Size, 220u * kSector);
}

TEST_F(FileTypeSizeTest, WalkStopsAtForeignSectors) {
    // A TIFF has no end marker: the walk ends at the FAT directory sector at
    // index 3 of the first chunk.
    static const unsigned char kTif[] = {0x49, 0x49, 0x2A, 0x00};
    Bytes img;
    Filler(img, 0, 10);
    Put(img, 0, kTif, 4);
    FatDirectorySector(img, 4);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    Carved c = Measure(image, 0);
    ASSERT_EQ(c.nRet, 0);
    EXPECT_EQ(c.strName, "0.tif");
    EXPECT_EQ(c.u64Size, 512u + 3 * 512);

    // An NTFS boot sector, a file record and a PNG head end it the same way.
    const char* kForeign[] = {"\xEB\x52\x90NTFS    ", "FILE0", "\x89PNG\r\n\x1A\n"};
    for (const char* sz : kForeign) {
        Bytes img2;
        Filler(img2, 0, 10);
        Put(img2, 0, kTif, 4);
        PutStr(img2, 7 * kSector, sz);
        CImage image2;
        ASSERT_EQ(image2.Open(img2), 0u);
        EXPECT_EQ(Measure(image2, 0).u64Size, 7u * kSector) << sz;
    }
    // Nothing foreign: the walk ends at the end of the image.
    CImage image3;
    Bytes img3;
    Filler(img3, 0, 10);
    Put(img3, 0, kTif, 4);
    ASSERT_EQ(image3.Open(img3), 0u);
    EXPECT_EQ(Measure(image3, 0).u64Size, 10u * kSector);
}

TEST_F(FileTypeSizeTest, WalkNeverReadsPastTheReaderLimit) {
    Bytes img;
    JpegHead(img, 0);
    Filler(img, 1, 40);
    CImage image;
    ASSERT_EQ(image.Open(img, 25), 0u);
    EXPECT_EQ(Measure(image, 0).u64Size, 25u * kSector);
}

TEST_F(FileTypeSizeTest, ZipEndRecords) {
    static const unsigned char kLocal[] = {0x50, 0x4B, 0x03, 0x04};
    static const unsigned char kEnd[] = {0x50, 0x4B, 0x05, 0x06};
    // Two end records in one chunk, nothing foreign between: the later counts.
    Bytes img;
    Filler(img, 0, 8);
    Put(img, 0, kLocal, 4);
    Put(img, 2 * kSector + 10, kEnd, 4);
    Put(img, 3 * kSector + 100, kEnd, 4);
    PutLe16(img, 3 * kSector + 120, 0);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    Carved c = Measure(image, 0);
    EXPECT_EQ(c.strName, "0.zip");
    EXPECT_EQ(c.u64Size, 3u * kSector + 100 + 22);

    // The archive comment belongs to the file.
    PutLe16(img, 3 * kSector + 120, 17);
    CImage image2;
    ASSERT_EQ(image2.Open(img), 0u);
    EXPECT_EQ(Measure(image2, 0).u64Size, 3u * kSector + 100 + 22 + 17);

    // A neighbouring archive in the same chunk: its end record is not ours.
    Bytes img3;
    Filler(img3, 0, 8);
    Put(img3, 0, kLocal, 4);
    Put(img3, 2 * kSector + 10, kEnd, 4);
    PutLe16(img3, 2 * kSector + 30, 0);
    Put(img3, 4 * kSector, kLocal, 4);
    Put(img3, 5 * kSector + 300, kEnd, 4);
    PutLe16(img3, 5 * kSector + 320, 0);
    CImage image3;
    ASSERT_EQ(image3.Open(img3), 0u);
    EXPECT_EQ(Measure(image3, 0).u64Size, 2u * kSector + 10 + 22);
}

TEST_F(FileTypeSizeTest, HeaderSizesKeepTheirLimits) {
    Bytes bmp(kSector, 0);
    PutStr(bmp, 0, "BM");
    PutLe32(bmp, 2, 200u * 1000 * 1000);
    EXPECT_EQ(CFileTypeJudge::GetBMPFileBytesSize(bmp.data(), kSector), 134217728u);
    EXPECT_EQ(CFileTypeJudge::GetBMPFileBytesSize(bmp.data(), 5), 0u);
    Bytes swf(kSector, 0);
    PutStr(swf, 0, "FWS");
    PutLe32(swf, 4, 0x7FFFFFFF);
    EXPECT_EQ(CFileTypeJudge::GetSWFFileBytesSize(swf.data(), kSector), 268435456u);
    PutStr(swf, 0, "CWS");  // compressed: its size field is of the inflated file
    EXPECT_EQ(CFileTypeJudge::GetSWFFileBytesSize(swf.data(), kSector), 512u);
}

TEST_F(FileTypeSizeTest, AsfFilePropertiesOnlyWithinTheBuffer) {
    static const unsigned char kGuid[] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                          0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    Bytes asf(kSector, 0);
    Put(asf, 100, kGuid, 16);
    PutLe32(asf, 140, 19931);
    PutLe32(asf, 188, 2);
    EXPECT_EQ(CFileTypeJudge::GetASFFileBytesSize(asf.data(), kSector), 19931u);
    PutLe32(asf, 188, 3);  // broadcast
    EXPECT_EQ(CFileTypeJudge::GetASFFileBytesSize(asf.data(), kSector), 512u);
    // The object starts in the buffer but its flags lie beyond it.
    Bytes cut(kSector, 0);
    Put(cut, 450, kGuid, 16);
    EXPECT_EQ(CFileTypeJudge::GetASFFileBytesSize(cut.data(), kSector), 512u);
    EXPECT_EQ(CFileTypeJudge::GetASFFileBytesSize(asf.data(), 150), 512u);
}

TEST_F(FileTypeSizeTest, IconAndFontDirectoriesBeyondTheHeadSector) {
    // 40 icon entries: the directory needs 646 bytes and is read again from
    // the file's start.
    Bytes ico;
    PutLe32(ico, 0, 0x00010000);
    PutLe16(ico, 4, 40);
    uint32_t nOffset = 6 + 16 * 40;
    for (int i = 0; i < 40; ++i) {
        PutLe32(ico, 6 + 16 * i + 8, 100);
        PutLe32(ico, 6 + 16 * i + 12, nOffset);
        nOffset += 100;
    }
    Filler(ico, 2, 10);
    CImage image;
    ASSERT_EQ(image.Open(ico), 0u);
    CFileTypeJudge::m_pDiskReader = &image.reader;
    CFileTypeJudge::m_u64StartSector = 0;
    CFileTypeJudge::m_nBytesPerSector = kSector;
    EXPECT_EQ(CFileTypeJudge::GetICOFileBytesSize(ico.data(), kSector), nOffset);
    // A directory larger than 64 KiB is not believed: one sector.
    Bytes huge = ico;
    PutLe16(huge, 4, 5000);
    EXPECT_EQ(CFileTypeJudge::GetICOFileBytesSize(huge.data(), kSector), 512u);
    PutLe16(huge, 4, 0);
    EXPECT_EQ(CFileTypeJudge::GetICOFileBytesSize(huge.data(), kSector), 512u);

    Bytes ttf;
    PutBe32(ttf, 0, 0x00010000);
    PutBe16(ttf, 4, 50);
    uint32_t nMax = 0;
    for (int i = 0; i < 50; ++i) {
        uint32_t nOff = 12 + 16 * 50 + 40 * ((i * 7) % 50);
        PutBe32(ttf, 12 + 16 * i + 8, nOff);
        PutBe32(ttf, 12 + 16 * i + 12, 40);
        if (nOff + 40 > nMax) nMax = nOff + 40;
    }
    CImage font;
    ASSERT_EQ(font.Open(ttf), 0u);
    CFileTypeJudge::m_pDiskReader = &font.reader;
    EXPECT_EQ(CFileTypeJudge::GetTTFFileBytesSize(ttf.data(), kSector), nMax);
    PutBe16(ttf, 4, 0);
    EXPECT_EQ(CFileTypeJudge::GetTTFFileBytesSize(ttf.data(), kSector), 0u);
    // The directory cannot be read again: one sector.
    PutBe16(ttf, 4, 50);
    CFileTypeJudge::m_pDiskReader = nullptr;
    EXPECT_EQ(CFileTypeJudge::GetTTFFileBytesSize(ttf.data(), kSector), 512u);
}

TEST_F(FileTypeSizeTest, TransportStreamFollowsItsPackets) {
    // 60 packets from sector 1 on, zeros after them, then a directory sector.
    const int nPackets = 60;
    Bytes img(kSector, 0);
    for (int p = 0; p < nPackets; ++p) {
        size_t nOff = kSector + 188 * p;
        img.resize(nOff + 188, 0);
        img[nOff] = 0x47;
        img[nOff + 1] = 0x01;
        img[nOff + 2] = static_cast<unsigned char>(p);
        std::memset(img.data() + nOff + 4, 0x5A, 184);
    }
    img.resize(40 * kSector, 0);
    FatDirectorySector(img, 40);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    Carved c = Measure(image, 1);
    ASSERT_EQ(c.nRet, 0);
    EXPECT_EQ(c.strName, "1.ts");
    EXPECT_EQ(c.u64Size, 188u * nPackets);
    ASSERT_EQ(CFileTypeJudge::m_tsFileRangeVec.size(), 1u);
    EXPECT_EQ(CFileTypeJudge::m_tsFileRangeVec[0].u64StartSector, 1u);
    EXPECT_EQ(CFileTypeJudge::m_tsFileRangeVec[0].u64EndSector, 1u + 188 * nPackets / kSector);
}

TEST_F(FileTypeSizeTest, MidiTracksFollowedFromTheHeader) {
    // Three tracks; the first starts in the head sector and runs past it.
    Bytes img;
    PutStr(img, 0, "MThd");
    PutBe32(img, 4, 6);
    PutBe16(img, 8, 1);
    PutBe16(img, 10, 3);
    PutBe16(img, 12, 96);
    const uint32_t kLen[] = {900, 40, 1500};
    size_t nPos = 14;
    for (uint32_t nLen : kLen) {
        PutStr(img, nPos, "MTrk");
        PutBe32(img, nPos + 4, nLen);
        img.resize(nPos + 8 + nLen, 0x35);
        nPos += 8 + nLen;
    }
    size_t nEnd = nPos;
    img.resize(nEnd + 3000, 0x61);  // old data, then a foreign sector
    FatDirectorySector(img, 16);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    Carved c = Measure(image, 0);
    EXPECT_EQ(c.strName, "0.mid");
    EXPECT_EQ(c.u64Size, nEnd);
}

TEST_F(FileTypeSizeTest, CompoundFileSizeFromItsHeader) {
    // 110 FAT sectors: the last one is named by the first DIFAT sector.
    Bytes img(20 * kSector, 0);
    static const unsigned char kSig[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    Put(img, 0, kSig, 8);
    PutLe16(img, 30, 9);
    PutLe32(img, 44, 110);
    PutLe32(img, 68, 5);  // first DIFAT sector: file sector 5, device sector 6
    PutLe32(img, 72, 1);
    PutLe32(img, 6 * kSector + 0, 7);  // entry 0: FAT sector 7, device sector 8
    PutLe32(img, 6 * kSector + 508, 0xFFFFFFFE);
    for (int i = 0; i < 128; ++i) PutLe32(img, 8 * kSector + 4 * i, i < 100 ? i + 1 : 0xFFFFFFFF);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    CFileTypeJudge::m_pDiskReader = &image.reader;
    CFileTypeJudge::m_u64CurrentSector = 0;
    CFileTypeJudge::m_nBytesPerSector = kSector;
    const unsigned long long c = 110ull * 128 + 1;
    EXPECT_EQ(CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(img.data(), kSector),
              (c - 28) * kSector);

    // A chain that comes back to a sector it has read ends there.
    PutLe32(img, 72, 3);
    PutLe32(img, 6 * kSector + 508, 5);
    CImage loop;
    ASSERT_EQ(loop.Open(img), 0u);
    CFileTypeJudge::m_pDiskReader = &loop.reader;
    EXPECT_EQ(CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(img.data(), kSector),
              c * kSector);

    // Impossible headers give 0: bad sector shift, a FAT count the header's
    // own table cannot hold, too few FAT sectors for a DIFAT chain.
    Bytes bad = img;
    PutLe16(bad, 30, 10);
    EXPECT_EQ(CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(bad.data(), kSector), 0u);
    bad = img;
    PutLe32(bad, 72, 0);
    EXPECT_EQ(CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(bad.data(), kSector), 0u);
    bad = img;
    PutLe32(bad, 44, 50);
    EXPECT_EQ(CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(bad.data(), kSector), 0u);
}

TEST_F(FileTypeSizeTest, FileSystemSectors) {
    Bytes s(kSector, 0x20);
    auto Is = [&](const Bytes& b) { return CFileTypeJudge::IsFileSystemSector(b.data(), kSector); };
    EXPECT_EQ(Is(s), 0);
    for (const char* sz : {"FILE0", "INDX(", "\xEB\x58\x90MSWIN4.1", "\xEB\x52\x90NTFS    ",
                           "\xEB\x76\x90"
                           "EXFAT   "}) {
        Bytes b = s;
        PutStr(b, 0, sz);
        EXPECT_EQ(Is(b), 1) << sz;
    }
    Bytes rstr = s;
    PutStr(rstr, 0, "RSTR");
    EXPECT_EQ(Is(rstr), 0);
    static const unsigned char kNtfs[] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
    Put(rstr, 300, kNtfs, 8);
    EXPECT_EQ(Is(rstr), 1);
    Bytes fat;
    FatDirectorySector(fat, 0);
    EXPECT_EQ(Is(fat), 1);
    fat[200] = 1;  // a stray byte after the end of the directory
    EXPECT_EQ(Is(fat), 0);
    EXPECT_EQ(CFileTypeJudge::IsFileSystemSector(s.data(), 31), 0);
}

int CancelOnSecondCall(void* pContext, int, int, int, unsigned long long, unsigned long long,
                       unsigned long long, wchar_t*) {
    int* pCalls = static_cast<int*>(pContext);
    return ++*pCalls >= 2 ? -9527 : 0;
}

TEST_F(FileTypeSizeTest, CancelledWalkReturnsTheSizeReached) {
    Bytes img;
    JpegHead(img, 0);
    Filler(img, 1, 600);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    int nCalls = 0;
    CFileTypeJudge::InitCallBack(CancelOnSecondCall, nullptr, &nCalls, 90);
    Carved c = Measure(image, 0);
    EXPECT_EQ(c.nRet, -9527);
    EXPECT_EQ(nCalls, 2);
    EXPECT_EQ(c.u64Size, 512u + 128 * 512);
    CFileTypeJudge::InitCallBack(nullptr, nullptr, nullptr, 100);
}

TEST_F(FileTypeSizeTest, UncarvableHeadsAreRefused) {
    Bytes s(kSector, 0x33);
    char szName[256] = "";
    EXTEND_NAME_TYPE nType = 0;
    unsigned long long u64Size = 0;
    EXPECT_EQ(CFileTypeJudge::ParseFileBuf(s.data(), kSector, 7, 0, 10, -1, 0, nullptr, kSector,
                                           szName, &nType, &u64Size),
              87);
    // A ghost image is recognised but has no size routine.
    PutLe32(s, 0, 0x0000EFFE);
    EXPECT_EQ(CFileTypeJudge::ParseFileBuf(s.data(), kSector, 7, 0, 10, -1, 0, nullptr, kSector,
                                           szName, &nType, &u64Size),
              87);
    EXPECT_EQ(CFileTypeJudge::ParseFileBuf(nullptr, kSector, 7, 0, 10, -1, 0, nullptr, kSector,
                                           szName, &nType, &u64Size),
              87);
    EXPECT_EQ(CFileTypeJudge::ParseFileBuf(s.data(), kSector, 7, 0, 10, -1, 0, nullptr, 0, szName,
                                           &nType, &u64Size),
              87);
}

}  // namespace

namespace {

struct MarkerCase {
    const char* szName;
    std::string strHead;                                // bytes at the file's start
    std::vector<std::pair<size_t, std::string>> marks;  // bytes placed at file offsets
    unsigned long long u64Want;
};

std::string B(const char* p, size_t n) {
    return std::string(p, n);
}

TEST_F(FileTypeSizeTest, EndMarkersFoundInTheWalk) {
    const std::string kZero(1, '\0');
    const std::string kSevenZip = B("\x00\x07\x0B\x01\x00\x01\x23\x03\x01\x01\x05\x5D", 12);
    const std::string kRarEnd = B("\xC4\x3D\x7B\x00\x40\x07\x00", 7);
    const std::string kApeTag = B("APETAGEX\xD0\x07", 10);
    const std::vector<MarkerCase> cases = {
        {"mp4",
         B("\0\0\0\x18"
           "ftypisom\0\0\0\0isommp42\0\0\0\0\0\0\0\0",
           32),
         {{1124,
           "freeIsoMedia File Produced"
           "abc" +
               kZero}},
         1124 + 26 + 3},
        {"rmvb", ".RMF", {{1124, B("INDX\0\0\0\x14\0\0\0\0\0\0\0\x02\0\0\0\0", 20)}}, 1124 + 20},
        {"7z", B("7z\xBC\xAF\x27\x1C", 6), {{1124, kSevenZip}}, 1124 + 27},
        {"pdf trailer", "%PDF-1.4", {{1124, "trailer"}}, 1124 + 7},
        {"pdf end of line", "%PDF-1.4", {{900, "trailer"}, {1124, "%%EOF\r\n" + kZero}}, 1124 + 7},
        // The first end block is followed by text in its sector; the second
        // ends on a sector boundary.
        {"rar", B("Rar!\x1A\x07\x00", 7), {{1124, kRarEnd}, {2048 - 7, kRarEnd}}, 2048},
        // A video-only stream ends with the sequence end code, not the
        // program end code.
        {"mpeg",
         B("\0\0\x01\xB3\0\0\0\0\0\0\0\0\0\0\x01\xB8", 16),
         {{600, B("\0\0\x01\xB9", 4) + std::string(508, '\0')},
          {1124, B("\0\0\x01\xB7", 4) + std::string(1536 - 1128, '\0')}},
         1128},
        {"ape", "MAC ", {{1124, kApeTag}, {1324, kApeTag}}, 1324 + 32},
        {"mp3", B("ID3\x03\0\0\0\0\0\x10", 10), {{1124, "TAG"}}, 1124 + 128},
    };
    for (const MarkerCase& c : cases) {
        Bytes img;
        Filler(img, 0, 20);
        Put(img, 0, c.strHead.data(), c.strHead.size());
        for (const auto& mark : c.marks)
            Put(img, mark.first, mark.second.data(), mark.second.size());
        FatDirectorySector(img, 20);
        CImage image;
        ASSERT_EQ(image.Open(img), 0u);
        Carved carved = Measure(image, 0);
        EXPECT_EQ(carved.nRet, 0) << c.szName;
        EXPECT_EQ(carved.u64Size, c.u64Want) << c.szName << " measured as " << carved.strName;
    }
}

TEST_F(FileTypeSizeTest, PicturesEndInTheHeadOrAtTheFirstAcceptedMarker) {
    // A GIF trailer in the head sector: no walk.
    Bytes gif(kSector, 0);
    PutStr(gif, 0, "GIF89a");
    std::memset(gif.data() + 6, 0x21, 190);
    gif[200] = 0x00;
    gif[201] = 0x3B;
    EXPECT_EQ(CFileTypeJudge::GetGIFFileBytesSize(gif.data(), kSector), 202u);

    // A PNG whose first IEND is followed by text: the next accepted one ends it.
    static const unsigned char kIend[] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    static const unsigned char kSig[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes img;
    Filler(img, 0, 12);
    Put(img, 0, kSig, 8);
    Put(img, 700, kIend, 8);
    Put(img, 3 * kSector + 40, kIend, 8);
    std::memset(img.data() + 3 * kSector + 48, 0, kSector - 48);
    FatDirectorySector(img, 12);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    Carved c = Measure(image, 0);
    EXPECT_EQ(c.strName, "0.png");
    EXPECT_EQ(c.u64Size, 3u * kSector + 48);
}

TEST_F(FileTypeSizeTest, WordDocumentTagWhenTheHeaderGivesNothing) {
    // A compound header with an impossible sector shift: the walk looks for
    // the summary property set and the application name after it.
    Bytes img;
    Filler(img, 0, 20);
    static const unsigned char kCfb[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    Put(img, 0, kCfb, 8);
    PutLe16(img, 30, 7);
    static const unsigned char kProps[] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
    Put(img, 2 * kSector + 50, kProps, 6);
    static const unsigned char kApp[] = {'M', 'i', 'c', 'r', 'o',  's',  'o',  'f', 't',
                                         ' ', 'O', 'f', 'f', 'i',  'c',  'e',  ' ', 'W',
                                         'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};
    Put(img, 4 * kSector + 200, kApp, sizeof(kApp));
    FatDirectorySector(img, 20);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    CFileTypeJudge::m_pDiskReader = &image.reader;
    CFileTypeJudge::m_u64StartSector = 0;
    CFileTypeJudge::m_u64CurrentSector = 0;
    CFileTypeJudge::m_nBytesPerSector = kSector;
    EXPECT_EQ(CFileTypeJudge::GetOFFICE2003FileBytesSize(img.data(), kSector), 5u * kSector);
}

}  // namespace
