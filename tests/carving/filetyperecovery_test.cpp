// The carving engine over an image of real files, and its records, skips,
// clipping, saving, preview and cancel.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "carving/CarvingTestData.h"
#include "carving/FileTypeRecovery.h"
#include "common/Platform.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"

using namespace carvetest;

namespace {

std::string SaveToString(CFileTypeRecovery& engine, const _FILE_NODE_& node, const CScratchDir& dir,
                         unsigned int* pRet = nullptr) {
    std::string strTarget = dir.File(node.szFileName);
    unsigned int nRet = engine.SaveFileData(&node, tw::Utf8ToWide(strTarget.c_str()).c_str(), 0);
    if (pRet) *pRet = nRet;
    return ReadFileBytes(strTarget);
}

// Types measured from a header: their inner sectors are offered again.
bool IsHeaderSized(const std::string& strExt) {
    for (const char* sz : {"wav", "avi", "wmv", "swf", "bmp", "cab", "ttf", "ico", "doc", "xls"})
        if (strExt == sz) return true;
    return false;
}

TEST(FileTypeRecoveryTest, CarvesAnImageOfRealFiles) {
    ScanLogSandbox sandbox;
    const std::string strImage = twtest::FixtureImage("carving");
    const std::string strBefore = ReadFileBytes(strImage);
    ASSERT_FALSE(strBefore.empty()) << "fixture missing: " << strImage;
    const std::vector<LayoutItem> items = ReadLayout();
    const unsigned long long u64Sectors = strBefore.size() / kSector;

    CFileTypeRecovery engine;
    ASSERT_EQ(engine.Init(tw::Utf8ToWide(strImage.c_str()).c_str(), L'C'), 0u);
    ASSERT_EQ(engine.CarveArea(0, u64Sectors), 0u);
    std::vector<_FILE_NODE_> nodes;
    ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    EXPECT_EQ(engine.GetLostFileCount(), nodes.size());
    std::map<unsigned long long, _FILE_NODE_> bySector;
    for (const _FILE_NODE_& node : nodes) bySector[node.u64RecordSector] = node;

    CScratchDir out;
    std::map<std::string, int> carvedPerExt;
    for (size_t i = 0; i < items.size(); ++i) {
        const LayoutItem& it = items[i];
        if (it.strKind != "file") continue;
        auto found = bySector.find(it.u64Sector);
        if (it.strHow == "none") {
            EXPECT_EQ(found, bySector.end()) << it.strName << " has no size routine";
            continue;
        }
        if (found == bySector.end()) {
            ADD_FAILURE() << it.strName << " not carved";
            continue;
        }
        const _FILE_NODE_& node = found->second;
        EXPECT_EQ(node.szFileName, it.CarvedName()) << it.strName;
        EXPECT_EQ(node.nEngineType, 4u);
        EXPECT_EQ(node.nClusterBytes, 0xFFFFFFFFu);
        EXPECT_EQ(node.bDataHealth, 1u);
        ++carvedPerExt[it.strExt];

        std::string strWant;
        if (it.strHow == "exact") {
            strWant = ReadFileBytes(it.Original());
        } else {
            // Up to the next foreign sector (a file or a directory sector), or the
            // image's end ("clipped": a header size beyond the image).
            unsigned long long u64Stop = u64Sectors;
            for (size_t j = i + 1; j < items.size() && it.strHow == "walk"; ++j) {
                if (items[j].strKind != "free") {
                    u64Stop = items[j].u64Sector;
                    break;
                }
            }
            strWant = strBefore.substr(it.u64Sector * kSector, (u64Stop - it.u64Sector) * kSector);
        }
        EXPECT_EQ(node.u64FileSize, strWant.size()) << it.strName;
        unsigned int nRet = 1;
        std::string strGot = SaveToString(engine, node, out, &nRet);
        EXPECT_EQ(nRet, 0u) << it.strName;
        EXPECT_TRUE(strGot == strWant)
            << it.strName << " differs (" << strGot.size() << " of " << strWant.size() << " bytes)";
    }
    EXPECT_GE(carvedPerExt.size(), 38u);

    // Every other record starts inside a file measured from its header, whose
    // inner sectors are offered again; none inside a walked file.
    for (const auto& entry : bySector) {
        bool bListed = false, bInsideHeaderSized = false;
        for (const LayoutItem& it : items) {
            if (it.strKind != "file") continue;
            if (it.u64Sector == entry.first) bListed = true;
            unsigned long long u64End = it.u64Sector + (it.u64Bytes + kSector - 1) / kSector;
            if (IsHeaderSized(it.strExt) && entry.first > it.u64Sector && entry.first < u64End)
                bInsideHeaderSized = true;
        }
        // Old text in free space is carved as plain text.
        const bool bText = std::string(entry.second.szFileName).find(".text") != std::string::npos;
        EXPECT_TRUE(bListed || bInsideHeaderSized || bText) << entry.second.szFileName;
    }

    EXPECT_TRUE(ReadFileBytes(strImage) == strBefore) << "the image was changed";
}

// A JPEG of 1,000 bytes at sector 100 and a BMP of 1,000 bytes at 300.
Bytes SkipImage() {
    Bytes img(400 * kSector, 0);
    JpegHead(img, 100);
    Put(img, 100 * kSector + 16, std::string(1000 - 18, 'A') + "\xFF\xD9" + std::string(24, '\0'));
    Put(img, 300 * kSector, "BM");
    PutInt(img, 300 * kSector + 2, 1000, 4);
    PutInt(img, 300 * kSector + 14, 40, 4);
    Put(img, 300 * kSector + 54, std::string(1000 - 54, '\xF7'));
    return img;
}
std::string Slice(const Bytes& img, unsigned long long u64Sector, size_t nBytes) {
    return std::string(reinterpret_cast<const char*>(img.data()) + u64Sector * kSector, nBytes);
}

// A file sized by a walk is skipped, one sized from its header is offered again.
TEST(FileTypeRecoveryTest, SkipsWalkedFilesAndOffersHeaderSizedOnesAgain) {
    ScanLogSandbox sandbox;
    CImage image;
    const Bytes img = SkipImage();
    ASSERT_EQ(image.Open(img), 0u);
    CFileTypeRecovery engine;
    ASSERT_EQ(engine.Init(image.WidePath().c_str(), L'C'), 0u);
    unsigned long long u64Skip = 0, u64Files = 5;
    const struct {
        unsigned long long u64Sector;
        unsigned int nRet;
        unsigned long long u64Skip, u64Files;
    } offers[] = {{100, 0, 2, 6}, {300, 0, 1, 7}, {200, 87, 1, 7}};
    for (const auto& o : offers) {
        EXPECT_EQ(engine.ParseFileBuf(&img[o.u64Sector * kSector], kSector, o.u64Sector, 0, 400, -1,
                                      &image.reader, kSector, u64Skip, u64Files),
                  o.nRet)
            << o.u64Sector;
        EXPECT_EQ(u64Skip, o.u64Skip) << o.u64Sector;
        EXPECT_EQ(u64Files, o.u64Files) << o.u64Sector;
    }

    std::vector<_FILE_NODE_> nodes, none;
    ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    ASSERT_EQ(nodes.size(), 2u);
    unsigned int nCount = 0;
    EXPECT_EQ(engine.GetChildrenFileCount(nullptr, 0, nCount), 0u);
    EXPECT_EQ(nCount, 2u);
    // A flat list: nothing below a record, nothing at another level.
    EXPECT_EQ(engine.GetChildrenFileNode(&nodes[0], 1, none), 0u);
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 1, none), 0u);
    EXPECT_TRUE(none.empty());
}

// A JPEG without an end near the end of an area of 40 sectors (in an image of
// 64) ends with the area, and so do the sectors skipped and the bytes saved (87
// for a record past the area).
TEST(FileTypeRecoveryTest, WalksAndSavesStopAtTheAreaEnd) {
    ScanLogSandbox sandbox;
    Bytes img(64 * kSector, 0);
    JpegHead(img, 36);
    Filler(img, 37, 27);
    CImage image;
    ASSERT_EQ(image.Open(img, 40), 0u);
    CFileTypeRecovery engine;
    ASSERT_EQ(engine.InitLogFile(L"File_Type_test", L'C', image.WidePath().c_str(), kSector, 40),
              0u);
    ASSERT_EQ(engine.CarveArea(0, 40), 0u);
    std::vector<_FILE_NODE_> nodes;
    ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].u64FileSize, 4u * kSector);
    CScratchDir out;
    unsigned int nRet = 1;
    EXPECT_TRUE(SaveToString(engine, nodes[0], out, &nRet) == Slice(img, 36, 4 * kSector));
    EXPECT_EQ(nRet, 0u);
    unsigned long long u64Skip = 0, u64Files = 0;
    ASSERT_EQ(engine.ParseFileBuf(&img[36 * kSector], kSector, 36, 0, 40, -1, &image.reader,
                                  kSector, u64Skip, u64Files),
              0u);
    EXPECT_EQ(u64Skip, 4u);
    nodes[0].u64RecordSector = 38;
    nodes[0].u64FileSize = 4000;
    std::strcpy(nodes[0].szFileName, "38.mp4");
    EXPECT_TRUE(SaveToString(engine, nodes[0], out, &nRet) == Slice(img, 38, 2 * kSector));
    EXPECT_EQ(nRet, 87u);
    EXPECT_TRUE(ReadFileBytes(image.strPath) == Slice(img, 0, img.size()));
}

int CancelAfterCalls(void* pContext, int, int, int, unsigned long long, unsigned long long,
                     unsigned long long, wchar_t*) {
    return --*static_cast<int*>(pContext) <= 0 ? -9527 : 0;
}

TEST(FileTypeRecoveryTest, CancelDuringAWalkKeepsWhatWasCarved) {
    ScanLogSandbox sandbox;
    Bytes img(4 * kSector, 0);
    const std::string kPng("\x89PNG\r\n\x1A\n\0\0\0\0IEND\xAE\x42\x60\x82", 20);
    Put(img, 2 * kSector, kPng);
    JpegHead(img, 10);
    Filler(img, 11, 2000);  // a long walk: about 1 MB without an end
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    CFileTypeRecovery engine;
    ASSERT_EQ(engine.Init(image.WidePath().c_str(), L'C'), 0u);
    int nLeft = 3;
    engine.InitCallBack(CancelAfterCalls, nullptr, &nLeft, 100);
    EXPECT_EQ(engine.CarveArea(0, image.u64Sectors), 0xFFFFDAC9u);
    engine.InitCallBack(nullptr, nullptr, nullptr, 100);
    std::vector<_FILE_NODE_> nodes;
    ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_STREQ(nodes[0].szFileName, "2.png");
    EXPECT_EQ(nodes[0].u64FileSize, kPng.size());
    EXPECT_TRUE(ReadFileBytes(image.strPath) == Slice(img, 0, img.size()));
}

// Each engine keeps its judge's state: the transport streams one scan has
// carved do not hide them from another scan of the same medium, and the
// thread is left with none of it.
TEST(FileTypeRecoveryTest, TwoScansKeepTheirOwnCarvingState) {
    ScanLogSandbox sandbox;
    Bytes img(2 * kSector, 0);
    const std::string strTs = ReadFileBytes(twtest::FixtureDir() + "/signatures/video.ts");
    ASSERT_GE(strTs.size(), 188u * 30);
    Put(img, 2 * kSector, strTs);
    img.resize((img.size() / kSector + 4) * kSector, 0);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    CFileTypeRecovery first, second;
    ASSERT_EQ(first.Init(image.WidePath().c_str(), L'C'), 0u);
    ASSERT_EQ(second.Init(image.WidePath().c_str(), L'C'), 0u);
    for (CFileTypeRecovery* pEngine : {&first, &second}) {
        ASSERT_EQ(pEngine->CarveArea(0, image.u64Sectors), 0u);
        std::vector<_FILE_NODE_> nodes;
        ASSERT_EQ(pEngine->GetChildrenFileNode(nullptr, 0, nodes), 0u);
        ASSERT_EQ(nodes.size(), 1u);
        EXPECT_STREQ(nodes[0].szFileName, "2.ts");
        EXPECT_EQ(nodes[0].u64FileSize, strTs.size() / 188 * 188);
    }
    EXPECT_TRUE(CurrentCarveContext().m_tsFileRangeVec.empty());
    EXPECT_TRUE(ReadFileBytes(image.strPath) == Slice(img, 0, img.size()));
}

TEST(FileTypeRecoveryTest, AStoreThatCannotRecordIsReported) {
    ScanLogSandbox sandbox;
    // The scan-log folder is a plain file: no store can be made in it.
    std::filesystem::remove_all(sandbox.ScanLog());
    ASSERT_TRUE(WriteFileBytes(sandbox.Root() + "/ScanLog", "x"));
    sandbox.ReloadLogStore();
    const Bytes img = SkipImage();
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    CFileTypeRecovery engine;
    EXPECT_NE(engine.Init(image.WidePath().c_str(), L'C'), 0u);
    unsigned long long u64Skip = 0, u64Files = 0;
    EXPECT_NE(engine.ParseFileBuf(&img[100 * kSector], kSector, 100, 0, 400, -1, &image.reader,
                                  kSector, u64Skip, u64Files),
              0u);
    EXPECT_EQ(u64Files, 0u);
    EXPECT_EQ(u64Skip, 1u);
    std::vector<_FILE_NODE_> nodes;
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    EXPECT_TRUE(nodes.empty());
}

}  // namespace
