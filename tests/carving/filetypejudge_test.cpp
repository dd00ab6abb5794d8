// File-type signatures on files made by real tools and on files built here from
// their published layouts, each placed on a disk image so that the tests that
// read on (transport streams, compound files, ZIP-based documents) see the
// bytes that follow on the device.
#include "carving/FileTypeJudge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/DiskReader.h"
#include "support/Fixtures.h"
#include "support/ScratchDir.h"

namespace {

using Bytes = std::vector<unsigned char>;
using J = CFileTypeJudge;
constexpr EXTEND_NAME_TYPE kNone = FILE_TYPE_NONE;

Bytes Sample(const std::string& strName) {
    Bytes data;
    twtest::ReadFileBytes(twtest::FixtureDir() + "/signatures/" + strName, data);
    EXPECT_FALSE(data.empty()) << strName;
    return data;
}

void Put(Bytes& b, size_t nOff, const void* p, size_t n) {
    if (n == 0) return;
    if (b.size() < nOff + n) b.resize(nOff + n, 0);
    std::memcpy(b.data() + nOff, p, n);
}
void Put(Bytes& b, size_t nOff, const char* sz) {
    Put(b, nOff, sz, std::strlen(sz));
}
void Le16(Bytes& b, size_t nOff, uint16_t v) {
    unsigned char x[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    Put(b, nOff, x, 2);
}
void Le32(Bytes& b, size_t nOff, uint32_t v) {
    Le16(b, nOff, static_cast<uint16_t>(v));
    Le16(b, nOff + 2, static_cast<uint16_t>(v >> 16));
}
void Be16(Bytes& b, size_t nOff, uint16_t v) {
    unsigned char x[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    Put(b, nOff, x, 2);
}

// A file placed at sector kStart of a disk image, the sector before it given,
// and a reader on that image. The shared context points at the file.
class OnDisk {
public:
    static constexpr unsigned long long kStart = 16;

    explicit OnDisk(const Bytes& file, const Bytes& before = Bytes()) {
        Bytes img(kStart * 512, 0);
        Put(img, (kStart - 1) * 512, before.data(), std::min<size_t>(before.size(), 512));
        img.insert(img.end(), file.begin(), file.end());
        img.resize((img.size() + 511) / 512 * 512 + 64 * 512, 0);
        std::string strPath = m_dir.Write("disk.img", img);
        std::wstring wstrPath(strPath.begin(), strPath.end());
        EXPECT_EQ(m_reader.Init(wstrPath.c_str(), img.size() / 512), 0u);
        std::memcpy(m_head, img.data() + kStart * 512, 512);
        Select();
    }
    // Sets the shared context as the carving engine does for an offered sector.
    void Select() const {
        J::m_pDiskReader = const_cast<CDiskReader*>(&m_reader);
        J::m_nBytesPerSector = 512;
        J::m_u64StartSector = J::m_u64CurrentSector = kStart;
        J::m_bIsNeedCheckTsFileRange = 1;
        J::m_bIsMtsFileHead = 0;
        J::m_tsFileRangeVec.clear();
    }
    ~OnDisk() { J::m_pDiskReader = nullptr; }

    EXTEND_NAME_TYPE Type() const { return J::GetDataBufType(m_head, 512); }
    int Matches(const char* szExt) {
        return J::IsFileTypeMatching(m_head, 512, szExt, &m_reader, 512, kStart);
    }
    const unsigned char* Head() const { return m_head; }
    CDiskReader* Reader() { return &m_reader; }

private:
    CScratchDir m_dir;
    CDiskReader m_reader;
    unsigned char m_head[512];
};

// ---- Files built from published layouts -------------------------------------

// A compound file: header, an 8-sector stream, the directory, the allocation table.
Bytes CompoundFile(const char* szStream, const Bytes& streamStart, uint32_t nClsid1 = 0,
                   const Bytes& clsid = Bytes()) {
    Bytes f(512 * 11, 0);
    const unsigned char sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    Put(f, 0, sig, 8);
    Le16(f, 24, 0x3E);
    Le16(f, 26, 3);
    Le16(f, 28, 0xFFFE);
    Le16(f, 30, 9);
    Le16(f, 32, 6);
    Le32(f, 44, 1);     // one allocation-table sector
    Le32(f, 48, 8);     // the directory at sector 8
    Le32(f, 56, 4096);  // mini-stream cutoff
    Le32(f, 60, 0xFFFFFFFE);
    Le32(f, 68, 0xFFFFFFFE);
    Le32(f, 76, 9);  // the table at sector 9
    for (int i = 1; i < 109; ++i) Le32(f, 76 + 4 * i, 0xFFFFFFFF);
    Put(f, 512, streamStart.data(), streamStart.size());
    const size_t nDir = 512 * 9;
    auto Entry = [&](int n, const char* szName, uint8_t nType, uint32_t nChild, uint32_t nStart,
                     uint32_t nSize) {
        size_t e = nDir + 128 * n;
        size_t nLen = std::strlen(szName);
        for (size_t i = 0; i < nLen; ++i) Le16(f, e + 2 * i, static_cast<uint8_t>(szName[i]));
        Le16(f, e + 64, static_cast<uint16_t>(2 * nLen + 2));
        f[e + 66] = nType;
        f[e + 67] = 1;
        Le32(f, e + 68, 0xFFFFFFFF);
        Le32(f, e + 72, 0xFFFFFFFF);
        Le32(f, e + 76, nChild);
        Le32(f, e + 116, nStart);
        Le32(f, e + 120, nSize);
    };
    Entry(0, "Root Entry", 5, 1, 0xFFFFFFFE, 0);
    Entry(1, szStream, 2, 0xFFFFFFFF, 0, 4096);
    if (nClsid1) {
        Le32(f, nDir + 80, nClsid1);
        Put(f, nDir + 84, clsid.data(), clsid.size());
    }
    const size_t nFat = 512 * 10;
    for (int i = 0; i < 7; ++i) Le32(f, nFat + 4 * i, i + 1);
    Le32(f, nFat + 28, 0xFFFFFFFE);
    Le32(f, nFat + 32, 0xFFFFFFFE);
    Le32(f, nFat + 36, 0xFFFFFFFD);
    for (int i = 10; i < 128; ++i) Le32(f, nFat + 4 * i, 0xFFFFFFFF);
    return f;
}
const Bytes kOfficeClsidTail = {0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
const Bytes kBiff8Bof = {0x09, 0x08, 0x10, 0x00, 0x00, 0x06, 0x05, 0x00};
const Bytes kWordFib = {0xEC, 0xA5, 0xC1, 0x00};

// A portable executable with the given characteristics.
Bytes PeImage(uint16_t nCharacteristics, uint32_t nHeader = 128) {
    Bytes f(1024, 0);
    Put(f, 0, "MZ");
    Le32(f, 60, nHeader);
    if (nHeader + 24 <= f.size()) {
        Put(f, nHeader, "PE\0\0", 4);
        Le16(f, nHeader + 4, 0x14C);
        Le16(f, nHeader + 22, nCharacteristics);
    }
    return f;
}

// MTS: 192-byte packets, a 4-byte time code before each transport packet; the
// first carries the program association section of a camera stream.
Bytes MtsStream(uint32_t nTimeCode) {
    Bytes f(192 * 8, 0xFF);
    for (int p = 0; p < 8; ++p) {
        size_t o = 192 * p;
        f[o] = nTimeCode >> 24;
        f[o + 1] = nTimeCode >> 16;
        f[o + 2] = nTimeCode >> 8;
        f[o + 3] = nTimeCode;
        f[o + 4] = 0x47;
    }
    const unsigned char pat[] = {0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
    Put(f, 5, pat, sizeof(pat));
    return f;
}

// TrueType: an offset table of three tables, the font header first after it.
Bytes TrueTypeFont() {
    Bytes f(512, 0);
    const unsigned char v[4] = {0, 1, 0, 0};
    Put(f, 0, v, 4);
    Be16(f, 4, 3);
    Be16(f, 6, 32);
    Be16(f, 8, 1);
    Be16(f, 10, 16);
    const char* tags[3] = {"OS/2", "head", "maxp"};
    for (int i = 0; i < 3; ++i) Put(f, 12 + 16 * i, tags[i]);
    Put(f, 60, v, 4);  // the font header's version 1.0
    return f;
}

Bytes Icon(uint32_t nFirstOffset) {
    Bytes f(512, 0);
    const unsigned char h[6] = {0, 0, 1, 0, 2, 0};
    Put(f, 0, h, 6);
    f[6] = f[7] = 16;
    Le32(f, 6 + 8, 200);
    Le32(f, 6 + 12, nFirstOffset);
    f[22] = f[23] = 32;
    Le32(f, 22 + 8, 300);
    Le32(f, 22 + 12, nFirstOffset + 200);
    return f;
}

Bytes Starting(std::initializer_list<unsigned char> head, const char* szAt = nullptr,
               size_t nAt = 0) {
    Bytes f(head);
    f.resize(512, 0x11);
    if (szAt) Put(f, nAt, szAt);
    return f;
}

}  // namespace

TEST(FileTypeJudge, FilesOfRealToolsGetTheirTableType) {
    const struct {
        const char* szFile;
        EXTEND_NAME_TYPE nType;
    } cases[] = {
        {"picture.jpg", 10},  {"picture.png", 30}, {"picture.gif", 31},  {"picture.bmp", 29},
        {"picture.tif", 32},  {"picture.ico", 46}, {"picture.psd", 28},  {"video.mp4", 18},
        {"video.mov", 17},    {"video.3gp", 16},   {"video.avi", 22},    {"video.mkv", 19},
        {"video.flv", 27},    {"video.mpg", 15},   {"video.vob", 15},    {"video.ts", 20},
        {"video.wmv", 24},    {"video.swf", 26},   {"video.rm", 23},     {"video.mxf", 48},
        {"sound.wav", 21},    {"sound.mp3", 12},   {"sound.mmf", 14},    {"archive.zip", 35},
        {"best.gz", 36},      {"fast.gz", 36},     {"default.gz", 36},   {"noname.gz", 36},
        {"archive.7z", 34},   {"data.db", 39},     {"document.docx", 1}, {"document.xlsx", 4},
        {"document.pptx", 6}, {"border.docx", 1},
    };
    for (const auto& c : cases) {
        OnDisk disk(Sample(c.szFile));
        EXPECT_EQ(disk.Type(), c.nType) << c.szFile;
    }
    // The straddling part header really sits across the first window border.
    Bytes border = Sample("border.docx");
    ASSERT_GT(border.size(), 2050u);
    EXPECT_EQ(std::memcmp(&border[2046], "PK\3\4", 4), 0);
}

TEST(FileTypeJudge, FilesBuiltFromPublishedLayouts) {
    const struct {
        const char* szWhat;
        Bytes file;
        EXTEND_NAME_TYPE nType;
    } cases[] = {
        {"midi", Starting({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 1, 0, 96}, "MTrk", 14), 13},
        {"ape", Starting({'M', 'A', 'C', ' ', 0x96, 0x0F}), 25},
        {"mts", MtsStream(0), 47},
        {"mp2 frame", Starting({0xFF, 0xFD, 0xE4, 0x00}), 11},
        {"rar", Starting({'R', 'a', 'r', '!', 0x1A, 0x07, 0x00, 0xCF, 0x90, 0x73}), 37},
        {"cab", Starting({'M', 'S', 'C', 'F', 0, 0, 0, 0, 0x00, 0x10, 0, 0}), 33},
        {"exe", PeImage(0x0102), 41},
        {"dll", PeImage(0x2102), 42},
        {"sys", PeImage(0x3102), 43},
        {"gho", Starting({0xFE, 0xEF, 0x00, 0x00, 0x02}), 9},
        {"dbx", Starting({0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F}), 40},
        {"pst", Starting({'!', 'B', 'D', 'N', 0, 0, 0, 0}, "SM", 8), 38},
        {"ttf", TrueTypeFont(), 45},
        {"pdf", Starting({'%', 'P', 'D', 'F', '-', '1', '.', '4', '\n'}), 8},
        {"exif jpeg", Starting({0xFF, 0xD8, 0xFF, 0xE1, 0x12, 0x34}, "Exif", 6), 10},
        {"compressed swf", Starting({'C', 'W', 'S', 10}), 26},
        {"icon", Icon(38), 46},
        // Every compound file meets the 'fla' row before the document rows.
        {"word compound", CompoundFile("WordDocument", kWordFib), 44},
        {"plain compound", CompoundFile("Contents", Bytes()), 44},
    };
    for (const auto& c : cases) {
        OnDisk disk(c.file);
        EXPECT_EQ(disk.Type(), c.nType) << c.szWhat;
    }
}

TEST(FileTypeJudge, NearMissesAreNotRecognised) {
    const struct {
        const char* szWhat;
        Bytes file;
    } cases[] = {
        {"jpeg without JFIF or Exif", Starting({0xFF, 0xD8, 0xFF, 0xDB, 0, 0x43})},
        {"icon with a wrong data offset", Icon(40)},
        {"pe that is not executable", PeImage(0x0100)},
        {"pe header too far", PeImage(0x0102, 489)},
        {"gzip with a foreign extra flag", Starting({0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 9, 3})},
        {"compressed swf of version 5", Starting({'C', 'W', 'S', 5})},
        {"uncompressed swf of version 7", Starting({'F', 'W', 'S', 7})},
        {"zeros", Bytes(512, 0)},
    };
    for (const auto& c : cases) {
        OnDisk disk(c.file);
        EXPECT_EQ(disk.Type(), kNone) << c.szWhat;
    }
}

TEST(FileTypeJudge, CompoundDocumentsToldApartOnTheDevice) {
    const struct {
        const char* szWhat;
        Bytes file;
        EXTEND_NAME_TYPE nType;
        const char* szExt;
    } cases[] = {
        {"word by its file information block", CompoundFile("WordDocument", kWordFib), 0, "doc"},
        {"spreadsheet by its BOF record", CompoundFile("Workbook", kBiff8Bof), 3, "xls"},
        {"slides by the root class",
         CompoundFile("Pictures", Bytes(), 0x64818D10,
                      {0x9B, 0x4F, 0xCF, 0x11, 0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8}),
         5, "ppt"},
        {"spreadsheet by the root class",
         CompoundFile("Data", Bytes(), 0x00020820, kOfficeClsidTail), 3, "xlt"},
        {"word by the root class", CompoundFile("Data", Bytes(), 0x00020906, kOfficeClsidTail), 0,
         "dot"},
        {"word by the stream name", CompoundFile("worddocument", Bytes()), 0, "wps"},
        {"slides by the stream name", CompoundFile("PowerPoint Document", Bytes()), 5, "pps"},
        {"other compound file", CompoundFile("Contents", Bytes()), 2, "ole"},
    };
    for (const auto& c : cases) {
        OnDisk disk(c.file);
        EXPECT_EQ(J::IsOffice2003Type(disk.Head(), 512), c.nType) << c.szWhat;
        EXPECT_EQ(disk.Matches(c.szExt), 1) << c.szWhat;
        EXPECT_EQ(disk.Matches("fla"), 1) << c.szWhat;
        for (const char* szOther : {"doc", "xls", "ppt", "ole"}) {
            if (J::GetExtendNameType(szOther) != c.nType) {
                EXPECT_EQ(disk.Matches(szOther), 0) << c.szWhat << " as " << szOther;
            }
        }
    }
    // A compound file whose following sectors cannot be read is a plain compound file.
    Bytes header = CompoundFile("WordDocument", kWordFib);
    header.resize(512);
    OnDisk cut(header);
    J::m_u64CurrentSector = 1 << 20;
    EXPECT_EQ(J::IsOffice2003Type(cut.Head(), 512), 2u);
}

TEST(FileTypeJudge, ExtensionsMatchTheirData) {
    OnDisk jpg(Sample("picture.jpg"));
    EXPECT_EQ(jpg.Matches("jpg"), 1);
    EXPECT_EQ(jpg.Matches("JPEG"), 1);
    EXPECT_EQ(jpg.Matches("png"), 0);
    EXPECT_EQ(jpg.Matches("xyz"), 1) << "an unknown extension counts as matching";
    OnDisk pdf(Starting({'%', 'P', 'D', 'F', '-', '1', '.', '7'}));
    EXPECT_EQ(pdf.Matches("jpg"), 0) << "a PDF renamed x.jpg";
    EXPECT_EQ(pdf.Matches("pdf"), 1);
    OnDisk docx(Sample("document.docx"));
    EXPECT_EQ(docx.Matches("docx"), 1);
    EXPECT_EQ(docx.Matches("xlsx"), 0);
    EXPECT_EQ(docx.Matches("zip"), 1);
    EXPECT_EQ(docx.Matches("mso07"), 0) << "no test answers 7";
    OnDisk dll(PeImage(0x2102));
    EXPECT_EQ(dll.Matches("dll"), 1);
    EXPECT_EQ(dll.Matches("exe"), 0);
    // The range check of transport streams is off while matching.
    J::m_bIsNeedCheckTsFileRange = 1;
    jpg.Matches("ts");
    EXPECT_EQ(J::m_bIsNeedCheckTsFileRange, 0);
}

TEST(FileTypeJudge, TransportStreamsReadOnAndSkipWhatWasFound) {
    Bytes ts = Sample("video.ts");
    ASSERT_GE(ts.size(), 22u * 188);
    OnDisk fresh(ts);
    EXPECT_EQ(fresh.Type(), 20u);

    // A stream that runs on from the sector before is not a new one while the
    // range check is on.
    Bytes before(512, 0);
    before[512 - 188] = 0x47;
    OnDisk inside(ts, before);
    EXPECT_EQ(inside.Type(), kNone);
    J::m_bIsNeedCheckTsFileRange = 0;
    EXPECT_EQ(inside.Type(), 20u);

    // A start sector inside a stream already carved.
    fresh.Select();
    J::m_tsFileRangeVec.push_back({OnDisk::kStart - 4, OnDisk::kStart});
    EXPECT_EQ(fresh.Type(), kNone);
    J::m_tsFileRangeVec.clear();

    // Fewer than 22 packets on the device.
    Bytes shortTs(ts.begin(), ts.begin() + 188 * 10);
    OnDisk cut(shortTs);
    EXPECT_EQ(cut.Type(), kNone);
}

TEST(FileTypeJudge, MtsHeadsAndPacketsInsideAStream) {
    OnDisk head(MtsStream(0x00123456));
    EXPECT_EQ(J::IsMtsType(head.Head(), 512), 47u);
    EXPECT_EQ(J::m_uMtsPreIndex, 0x10);
    J::m_bIsMtsFileHead = 1;  // right after a stream was carved
    EXPECT_EQ(J::IsMtsType(head.Head(), 512), kNone);
    OnDisk start(MtsStream(0));
    J::m_bIsMtsFileHead = 1;
    EXPECT_EQ(J::IsMtsType(start.Head(), 512), 47u) << "a zero time code starts a stream";
}

TEST(FileTypeJudge, TableOrderNamesAndLookUps) {
    int nRows = 0;
    while (J::szExtendNameAndType[nRows].szExtendName) ++nRows;
    EXPECT_EQ(nRows, 87);
    EXPECT_EQ(J::szExtendNameAndType[87].nType, kNone);
    EXPECT_EQ(J::szExtendNameAndType[87].pfnIsType, nullptr);
    // A carved file takes the extension of the first row carrying its type.
    auto FirstExtension = [](EXTEND_NAME_TYPE nType) -> std::string {
        for (const _EXTEND_NAME_ITEM_* p = J::szExtendNameAndType; p->szExtendName; ++p) {
            if (p->nType == nType) return p->szExtendName;
        }
        return "";
    };
    const std::pair<EXTEND_NAME_TYPE, const char*> first[] = {
        {44, "fla"},  {2, "ole"},  {0, "doc"},  {4, "xlsx"}, {46, "ico"},
        {15, "mpeg"}, {10, "jpg"}, {24, "wmv"}, {36, "gz"},  {41, "exe"}};
    for (const auto& f : first) EXPECT_EQ(FirstExtension(f.first), f.second) << f.first;

    EXPECT_EQ(J::GetExtendNameType("JPEG"), 10u);
    EXPECT_EQ(J::GetExtendNameType("xyz"), kNone);
    EXPECT_EQ(J::GetExtendNameType("Xlsm"), 4u);
    EXPECT_EQ(J::GetExtendNameType(nullptr), kNone);
    EXPECT_EQ(J::ReturnFileType("Word/document.xml", 17), 1u);
    EXPECT_EQ(J::ReturnFileType("word", 4), kNone) << "needs a fifth byte";
    EXPECT_EQ(J::ReturnFileType("PPT/", 4), 6u);
    EXPECT_EQ(J::ReturnFileType("xl/", 3), 4u);
    EXPECT_EQ(J::ReturnFileType("docProps/app.xml", 16), kNone);
}
