// File-type signatures on files made by real tools (signatures/) and on the
// files of the carving fixture, some with a few bytes changed, each placed on
// a disk image so that the tests that read on (transport streams, compound
// files, ZIP-based documents) see the bytes that follow it on the device. The
// carving fixture's files are typed end to end in filetyperecovery_test.cpp.
#include "carving/FileTypeJudge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "carving/CarvingTestData.h"
#include "engine/Categories.h"

using namespace carvetest;

namespace {

using Patches = std::vector<std::pair<size_t, std::string>>;
using J = CFileTypeJudge;
constexpr EXTEND_NAME_TYPE kNone = FILE_TYPE_NONE;

// A fixture file ("signatures/NAME" or "carving.files/NAME") with bytes
// replaced at the offsets given; "" is a sector of zeros.
Bytes Sample(const std::string& strName, const Patches& patches = {}) {
    Bytes b(512, 0);
    if (!strName.empty()) twtest::ReadFileBytes(twtest::FixtureDir() + "/" + strName, b);
    EXPECT_FALSE(b.empty()) << strName;
    for (const auto& p : patches) Put(b, p.first, p.second);
    return b;
}
std::string Utf16(const char* sz) {
    std::string str;
    for (; *sz; ++sz) str += std::string(1, *sz) + '\0';
    return str + B("\0\0", 2);
}

// A file placed at sector kStart of a disk image, the sector before it given,
// and a reader on that image. The shared context points at the file.
class OnDisk {
public:
    static constexpr unsigned long long kStart = 16;

    explicit OnDisk(const Bytes& file, const Bytes& before = Bytes(512, 0)) {
        Bytes img((kStart - 1) * 512, 0);
        img.insert(img.end(), before.begin(), before.end());
        img.insert(img.end(), file.begin(), file.end());
        img.resize(img.size() + 64 * 512, 0);
        EXPECT_EQ(m_image.Open(img), 0u);
        std::memcpy(m_head, img.data() + kStart * 512, 512);
        Select();
    }
    // Sets the shared context as the carving engine does for an offered sector.
    void Select() const {
        CurrentCarveContext().m_pDiskReader = const_cast<CDiskReader*>(&m_image.reader);
        CurrentCarveContext().m_nBytesPerSector = 512;
        CurrentCarveContext().m_u64StartSector = CurrentCarveContext().m_u64CurrentSector = kStart;
        CurrentCarveContext().m_bIsNeedCheckTsFileRange = 1;
        CurrentCarveContext().m_bIsMtsFileHead = 0;
        CurrentCarveContext().m_tsFileRangeVec.clear();
    }
    ~OnDisk() { CurrentCarveContext().m_pDiskReader = nullptr; }

    EXTEND_NAME_TYPE Type() const { return J::GetDataBufType(m_head, 512); }
    int Matches(const char* szExt) {
        return J::IsFileTypeMatching(m_head, 512, szExt, &m_image.reader, 512, kStart);
    }
    const unsigned char* Head() const { return m_head; }
    const CDiskReader* Reader() const { return &m_image.reader; }

private:
    CImage m_image;
    unsigned char m_head[512];
};

const std::string kExe = "carving.files/tool.exe";   // PE header at 64
const std::string kSwf = "carving.files/clip.swf";   // uncompressed, version 5
const std::string kFla = "carving.files/movie.fla";  // directory at file sector 1

}  // namespace

// Files whose type the carving fixture does not show, and near misses.
TEST(FileTypeJudge, FilesGetTheirTableTypeAndNearMissesNone) {
    const struct {
        std::string strFile;
        EXTEND_NAME_TYPE nType;
        Patches patches;
    } cases[] = {
        {"signatures/video.vob", 15, {}},
        {"signatures/video.flv", 27, {}},  // with sound
        {"signatures/video.swf", 26, {}},
        {"signatures/best.gz", 36, {}},
        {"signatures/fast.gz", 36, {}},
        {"signatures/default.gz", 36, {}},
        {"signatures/document.xlsx", 4, {}},
        {"signatures/document.pptx", 6, {}},
        {"signatures/border.docx", 1, {}},  // a part header across a read window's border
        {"carving.files/disk.gho", 9, {}},
        {kExe, 41, {}},
        {kSwf, 26, {{0, "CWS\x0a"}}},
        {kExe, 42, {{86, "\x02\x21"}}},
        {kExe, 43, {{86, "\x02\x31"}}},
        // Near misses.
        {"", kNone, {}},
        {"signatures/picture.jpg", kNone, {{3, B("\xDB\0\x43\0\0\0\0\0", 8)}}},  // no JFIF/Exif
        {"signatures/picture.ico", kNone, {{18, "\x28"}}},  // first data offset not 38
        {kExe, kNone, {{86, B("\x00\x01", 2)}}},            // not executable
        {kExe, kNone, {{60, B("\xE9\x01\0\0", 4)}, {489, B("PE\0\0\x4c\x01", 6)}}},  // too far
        {"signatures/best.gz", kNone, {{8, "\x09"}}},  // a foreign extra flag
        {kSwf, kNone, {{0, "CWS"}}},                   // compressed, version 5
        {kSwf, kNone, {{3, "\x07"}}},                  // uncompressed, version 7
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strFile + " with " + std::to_string(c.patches.size()) + " patches");
        OnDisk disk(Sample(c.strFile, c.patches));
        EXPECT_EQ(disk.Type(), c.nType);
    }
}

TEST(FileTypeJudge, CompoundDocumentsToldApartOnTheDevice) {
    const std::string kTail = B("\0\0\0\0\xC0\0\0\0\0\0\0\x46", 12);
    const struct {
        const char* szWhat;
        std::string strFile;
        Patches patches = {};
        EXTEND_NAME_TYPE nType;
        const char* szExt;
    } cases[] = {
        {"word by its file information block", kFla, {{512, B("\xEC\xA5\xC1\x00", 4)}}, 0, "doc"},
        {"spreadsheet by its BOF record",
         kFla,
         {{512, B("\x09\x08\x10\0\0\x06\x05\0", 8)}},
         3,
         "xls"},
        {"slides by the root class",
         kFla,
         {{1104, B("\x10\x8D\x81\x64\x9B\x4F\xCF\x11\x86\xEA\x00\xAA\x00\xB9\x29\xE8", 16)}},
         5,
         "ppt"},
        {"spreadsheet by the root class", kFla, {{1104, B("\x20\x08\x02\0", 4) + kTail}}, 3, "xlt"},
        {"word by the root class", kFla, {{1104, B("\x06\x09\x02\0", 4) + kTail}}, 0, "dot"},
        {"word by a lower-case stream name", kFla, {{1152, Utf16("worddocument")}}, 0, "wps"},
        {"slides by the stream name", kFla, {{1152, Utf16("PowerPoint Document")}}, 5, "pps"},
        {"other compound file", kFla, {}, 2, "ole"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szWhat);
        OnDisk disk(Sample(c.strFile, c.patches));
        EXPECT_EQ(J::IsOffice2003Type(disk.Head(), 512), c.nType);
        EXPECT_EQ(disk.Matches(c.szExt), 1);
        EXPECT_EQ(disk.Matches("fla"), 1);
        for (const char* szOther : {"doc", "xls", "ppt", "ole"}) {
            if (J::GetExtendNameType(szOther) != c.nType)
                EXPECT_EQ(disk.Matches(szOther), 0) << szOther;
        }
    }
    // A compound file whose following sectors cannot be read is a plain compound file.
    Bytes header = Sample("carving.files/word.doc");
    header.resize(512);
    OnDisk cut(header);
    CurrentCarveContext().m_u64CurrentSector = 1 << 20;
    EXPECT_EQ(J::IsOffice2003Type(cut.Head(), 512), 2u);
}

TEST(FileTypeJudge, ExtensionsMatchTheirData) {
    OnDisk jpg(Sample("signatures/picture.jpg"));
    EXPECT_EQ(jpg.Matches("jpg"), 1);
    EXPECT_EQ(jpg.Matches("JPEG"), 1);
    EXPECT_EQ(jpg.Matches("png"), 0);
    EXPECT_EQ(jpg.Matches("xyz"), 1) << "an unknown extension counts as matching";
    OnDisk pdf(Sample("carving.files/doc.pdf"));
    EXPECT_EQ(pdf.Matches("jpg"), 0) << "a PDF renamed x.jpg";
    EXPECT_EQ(pdf.Matches("pdf"), 1);
    OnDisk docx(Sample("signatures/document.docx"));
    EXPECT_EQ(docx.Matches("docx"), 1);
    EXPECT_EQ(docx.Matches("xlsx"), 0);
    EXPECT_EQ(docx.Matches("zip"), 1);
    OnDisk dll(Sample(kExe, {{86, "\x02\x21"}}));
    EXPECT_EQ(dll.Matches("dll"), 1);
    EXPECT_EQ(dll.Matches("exe"), 0);
    // The range check of transport streams is off while matching, and the
    // scan's own carving state is left as it was.
    OnDisk ts(Sample("signatures/video.ts"));
    CurrentCarveContext().m_tsFileRangeVec.push_back({OnDisk::kStart, OnDisk::kStart});
    EXPECT_EQ(ts.Type(), kNone);
    EXPECT_EQ(ts.Matches("ts"), 1);
    EXPECT_EQ(CurrentCarveContext().m_bIsNeedCheckTsFileRange, 1);
    EXPECT_EQ(CurrentCarveContext().m_tsFileRangeVec.size(), 1u);
    EXPECT_EQ(CurrentCarveContext().m_pDiskReader, ts.Reader());
}

// A carved ZIP archive is named by its first member, and measured whole.
TEST(FileTypeJudge, ZipContainersAreNamedByTheirFirstMember) {
    for (const char* szExt : {"odt", "ods", "odp", "odg", "epub", "jar", "apk"}) {
        const std::string strFile = std::string("signatures/container.") + szExt;
        const Bytes file = Sample(strFile);
        OnDisk disk(file);
        char szName[256] = {0};
        EXTEND_NAME_TYPE nType = kNone;
        unsigned long long u64Size = 0;
        ASSERT_EQ(
            J::ParseFileBuf(disk.Head(), 512, OnDisk::kStart, 0, 0, 0, 0,
                            CurrentCarveContext().m_pDiskReader, 512, szName, &nType, &u64Size),
            0)
            << strFile;
        EXPECT_STREQ(szName, (std::to_string(OnDisk::kStart) + "." + szExt).c_str());
        EXPECT_EQ(u64Size, file.size()) << strFile;
    }
}

TEST(FileTypeJudge, TransportStreamsReadOnAndSkipWhatWasFound) {
    Bytes ts = Sample("signatures/video.ts");
    OnDisk fresh(ts);
    EXPECT_EQ(fresh.Type(), 20u);

    // A stream that runs on from the sector before is not a new one while the
    // range check is on.
    Bytes before(512, 0);
    before[512 - 188] = 0x47;
    OnDisk inside(ts, before);
    EXPECT_EQ(inside.Type(), kNone);
    CurrentCarveContext().m_bIsNeedCheckTsFileRange = 0;
    EXPECT_EQ(inside.Type(), 20u);

    // A start sector inside a stream already carved.
    fresh.Select();
    CurrentCarveContext().m_tsFileRangeVec.push_back({OnDisk::kStart - 4, OnDisk::kStart});
    EXPECT_EQ(fresh.Type(), kNone);
    CurrentCarveContext().m_tsFileRangeVec.clear();

    // Fewer than 22 packets on the device.
    OnDisk cut(Bytes(ts.begin(), ts.begin() + 188 * 10));
    EXPECT_EQ(cut.Type(), kNone);
}

TEST(FileTypeJudge, MtsHeadsAndPacketsInsideAStream) {
    OnDisk head(Sample("carving.files/camera.mts", {{0, B("\x00\x12\x34\x56", 4)}}));
    EXPECT_EQ(J::IsMtsType(head.Head(), 512), 47u);
    CurrentCarveContext().m_bIsMtsFileHead = 1;  // right after a stream was carved
    EXPECT_EQ(J::IsMtsType(head.Head(), 512), kNone);
    OnDisk start(Sample("carving.files/camera.mts"));
    CurrentCarveContext().m_bIsMtsFileHead = 1;
    EXPECT_EQ(J::IsMtsType(start.Head(), 512), 47u) << "a zero time code starts a stream";
}

// The first-byte dispatch answers as the walk of the whole table in its order
// would, for every file of the fixtures and for each of them under every first
// byte (a lead byte missing from the dispatch loses its type).
TEST(FileTypeJudge, DispatchAnswersAsTheWholeTable) {
    auto tableType = [](const unsigned char* p) {
        for (const _EXTEND_NAME_ITEM_* pRow = J::ExtendNameTable(); pRow->szExtendName; ++pRow) {
            if (!pRow->pfnIsType || pRow->pfnIsType == &J::IsTextType) continue;
            const EXTEND_NAME_TYPE nType = pRow->pfnIsType(p, 512);
            if (nType != kNone) return nType;
        }
        return kNone;
    };
    int nTyped = 0;
    for (const char* szDir : {"signatures", "carving.files"}) {
        for (const auto& entry :
             std::filesystem::directory_iterator(twtest::FixtureDir() + "/" + szDir)) {
            const std::string strName = std::string(szDir) + "/" + entry.path().filename().string();
            SCOPED_TRACE(strName);
            OnDisk disk(Sample(strName));
            EXPECT_EQ(disk.Type(), tableType(disk.Head()));
            if (disk.Type() != kNone) ++nTyped;
            unsigned char head[512];
            std::memcpy(head, disk.Head(), sizeof(head));
            for (int b = 0; b < 256; ++b) {
                head[0] = static_cast<unsigned char>(b);
                ASSERT_EQ(J::GetDataBufType(head, 512), tableType(head)) << "first byte " << b;
            }
        }
    }
    EXPECT_GT(nTyped, 40);
}

// Every registered extension lies in the category list its format names
// (the first list holding it, in the order of the type folders), so that a
// carved file is listed and saved under the box its format says.
TEST(FileTypeJudge, RegisteredCategoriesAreTheListsCategories) {
    const struct {
        unsigned int nCategory;
        const char* szList;
    } kLists[] = {
        {TW_CATEGORY_PHOTO, szPictureTypeList},   {TW_CATEGORY_MUSIC, szMusicTypeList},
        {TW_CATEGORY_VIDEO, szVideoTypeList},     {TW_CATEGORY_DOCUMENT, szDocumentTypeList},
        {TW_CATEGORY_ARCHIVE, szArchiveTypeList}, {TW_CATEGORY_ARCHIVE, szDocumentArchiveTypeList}};
    int nRows = 0;
    for (const _EXTEND_NAME_ITEM_* pRow = J::ExtendNameTable(); pRow->szExtendName; ++pRow) {
        unsigned int nListed = TW_CATEGORY_OTHER;
        for (const auto& list : kLists) {
            if (IsExtensionInTypeList(pRow->szExtendName, list.szList)) {
                nListed = list.nCategory;
                break;
            }
        }
        EXPECT_EQ(pRow->nCategory, nListed) << pRow->szExtendName;
        EXPECT_EQ(J::GetExtendNameType(pRow->szExtendName), pRow->nType) << pRow->szExtendName;
        ++nRows;
    }
    EXPECT_EQ(nRows, J::ExtendNameRowCount());
    EXPECT_GT(nRows, 90);
}
