// The carving engine over an image of real files, and its records, skips,
// clipping, saving, preview and cancel.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "carving/CarvingTestData.h"
#include "carving/FileTypeRecovery.h"
#include "common/Platform.h"
#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"

using namespace carvetest;

namespace {

struct Item {
    unsigned long long u64Sector;
    std::string strKind, strExt, strHow, strName;
    unsigned long long u64Bytes;
};

std::vector<Item> ReadLayout(const std::string& strPath) {
    std::vector<Item> items;
    std::ifstream in(strPath);
    Item it;
    while (in >> it.u64Sector >> it.strKind >> it.strExt >> it.u64Bytes >> it.strHow >> it.strName)
        items.push_back(it);
    return items;
}

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
    std::vector<Item> items = ReadLayout(twtest::FixtureDir() + "/carving.layout");
    ASSERT_GT(items.size(), 40u);
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
        const Item& it = items[i];
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
        char szWant[64];
        std::snprintf(szWant, sizeof(szWant), "%llu.%s", it.u64Sector, it.strExt.c_str());
        EXPECT_STREQ(node.szFileName, szWant) << it.strName;
        EXPECT_EQ(node.nEngineType, 4u);
        EXPECT_EQ(node.nClusterBytes, 0xFFFFFFFFu);
        EXPECT_EQ(node.bDataHealth, 1u);
        ++carvedPerExt[it.strExt];

        std::string strWant;
        if (it.strHow == "exact") {
            std::string strName =
                it.strName.rfind("again_", 0) == 0 ? it.strName.substr(6) : it.strName;
            strWant = ReadFileBytes(twtest::FixtureFilesDir("carving") + "/" + strName);
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
        for (const Item& it : items) {
            if (it.strKind != "file") continue;
            if (it.u64Sector == entry.first) bListed = true;
            unsigned long long u64End = it.u64Sector + (it.u64Bytes + kSector - 1) / kSector;
            if (IsHeaderSized(it.strExt) && entry.first > it.u64Sector && entry.first < u64End)
                bInsideHeaderSized = true;
        }
        EXPECT_TRUE(bListed || bInsideHeaderSized) << entry.second.szFileName;
    }

    // The type search finds the carved pictures.
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(engine.SearchFileNode(L"*.jpg|*.png|", hits), 0u);
    size_t nPictures = 0;
    for (const _FILE_NODE_& node : nodes) {
        std::string strName = node.szFileName;
        std::string strExt = strName.substr(strName.rfind('.') + 1);
        if (strExt == "jpg" || strExt == "png") ++nPictures;
    }
    EXPECT_EQ(hits.size(), nPictures);
    EXPECT_TRUE(ReadFileBytes(strImage) == strBefore) << "the image was changed";
}

// Writes a JPEG of 1,000 bytes at sector 100 and a BMP of 1,000 bytes at 300.
Bytes SkipImage() {
    Bytes img(400 * kSector, 0);
    JpegHead(img, 100);
    std::memset(img.data() + 100 * kSector + 16, 0x41, 1000 - 18);
    img[100 * kSector + 998] = 0xFF;
    img[100 * kSector + 999] = 0xD9;
    std::memset(img.data() + 100 * kSector + 1000, 0, 24);
    size_t b = 300 * kSector;
    PutStr(img, b, "BM");
    PutLe32(img, b + 2, 1000);
    PutLe32(img, b + 14, 40);
    std::memset(img.data() + b + 54, 0x77, 1000 - 54);
    return img;
}

TEST(FileTypeRecoveryTest, SkipsWalkedFilesAndOffersHeaderSizedOnesAgain) {
    ScanLogSandbox sandbox;
    CImage image;
    ASSERT_EQ(image.Open(SkipImage()), 0u);
    CFileTypeRecovery engine;
    ASSERT_EQ(engine.Init(image.WidePath().c_str(), L'C'), 0u);
    Bytes sector(kSector);
    unsigned int nRead = 0;
    unsigned long long u64Skip = 0, u64Files = 5;
    ASSERT_EQ(image.reader.ReadData(sector.data(), 1, 100, kSector, &nRead), 0u);
    EXPECT_EQ(engine.ParseFileBuf(sector.data(), kSector, 100, 0, 400, -1, &image.reader, kSector,
                                  u64Skip, u64Files),
              0u);
    EXPECT_EQ(u64Skip, 2u);
    EXPECT_EQ(u64Files, 6u);
    ASSERT_EQ(image.reader.ReadData(sector.data(), 1, 300, kSector, &nRead), 0u);
    EXPECT_EQ(engine.ParseFileBuf(sector.data(), kSector, 300, 0, 400, -1, &image.reader, kSector,
                                  u64Skip, u64Files),
              0u);
    EXPECT_EQ(u64Skip, 1u);
    ASSERT_EQ(image.reader.ReadData(sector.data(), 1, 200, kSector, &nRead), 0u);
    EXPECT_EQ(engine.ParseFileBuf(sector.data(), kSector, 200, 0, 400, -1, &image.reader, kSector,
                                  u64Skip, u64Files),
              87u);
    EXPECT_EQ(u64Skip, 1u);
    EXPECT_EQ(u64Files, 7u);

    std::vector<_FILE_NODE_> nodes;
    ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    ASSERT_EQ(nodes.size(), 2u);
    unsigned int nCount = 0;
    EXPECT_EQ(engine.GetChildrenFileCount(nullptr, 0, nCount), 0u);
    EXPECT_EQ(nCount, 2u);
    // A flat list: nothing below a record, nothing at another level.
    std::vector<_FILE_NODE_> none;
    EXPECT_EQ(engine.GetChildrenFileNode(&nodes[0], 1, none), 0u);
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 1, none), 0u);
    EXPECT_TRUE(none.empty());

    // A 1,000-byte file: 1,024 bytes read, exactly 1,000 written.
    CScratchDir out;
    for (const _FILE_NODE_& node : nodes) {
        EXPECT_EQ(node.u64FileSize, 1000u);
        std::string strGot = SaveToString(engine, node, out);
        std::string strWant(
            reinterpret_cast<const char*>(SkipImage().data()) + node.u64RecordSector * kSector,
            1000);
        EXPECT_TRUE(strGot == strWant) << node.szFileName;
    }
}

TEST(FileTypeRecoveryTest, HeaderSizesAndWalksStopAtTheAreaEnd) {
    ScanLogSandbox sandbox;
    Bytes img(64 * kSector, 0);
    // An AVI whose header claims 4 GB, and a JPEG without an end near the
    // area's end (sector 40 of an image of 64).
    PutStr(img, 10 * kSector, "RIFF");
    PutLe32(img, 10 * kSector + 4, 0xFFFFFFF0u);
    PutStr(img, 10 * kSector + 8, "AVI LIST");
    JpegHead(img, 36);
    Filler(img, 37, 27);
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    CFileTypeRecovery engine;
    ASSERT_EQ(engine.InitLogFile(L"File_Type_test", L'C', image.WidePath().c_str(), kSector, 40),
              0u);
    ASSERT_EQ(engine.GetAreaEndSector(), 40u);
    ASSERT_EQ(engine.CarveArea(0, 40), 0u);
    std::vector<_FILE_NODE_> nodes;
    ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    ASSERT_EQ(nodes.size(), 2u);
    for (const _FILE_NODE_& node : nodes) {
        EXPECT_EQ(node.u64FileSize, (40 - node.u64RecordSector) * kSector) << node.szFileName;
        CScratchDir out;
        unsigned int nRet = 1;
        std::string strGot = SaveToString(engine, node, out, &nRet);
        EXPECT_EQ(nRet, 0u);
        EXPECT_EQ(strGot.size(), node.u64FileSize);
    }
    // The sectors skipped stop at the area's end as well.
    Bytes sector(img.begin() + 36 * kSector, img.begin() + 37 * kSector);
    CDiskReader reader;
    ASSERT_EQ(reader.Init(image.WidePath().c_str(), 40), 0u);
    unsigned long long u64Skip = 0, u64Files = 0;
    ASSERT_EQ(engine.ParseFileBuf(sector.data(), kSector, 36, 0, 40, -1, &reader, kSector, u64Skip,
                                  u64Files),
              0u);
    EXPECT_EQ(u64Skip, 4u);
}

TEST(FileTypeRecoveryTest, SaveAndPreviewStayWithinTheLimitAndTheSize) {
    ScanLogSandbox sandbox;
    CImage image;
    Bytes img = PatternBytes(50 * kSector);
    ASSERT_EQ(image.Open(img), 0u);
    CFileTypeRecovery engine;
    ASSERT_EQ(engine.Init(image.WidePath().c_str(), L'C'), 0u);
    _FILE_NODE_ node;
    std::memset(&node, 0, sizeof(node));
    node.nEngineType = 4;
    node.u64RecordSector = 10;
    node.u64FileSize = 3000;
    std::strcpy(node.szFileName, "10.mp4");

    // Preview into a buffer smaller than the file: exactly the buffer, 100 last.
    std::vector<int> percents;
    auto Progress = [](void* p, int nPercent, int) {
        static_cast<std::vector<int>*>(p)->push_back(nPercent);
        return 0;
    };
    std::vector<unsigned char> buf(2000 + 16, 0xEE);
    int nLen = 2000;
    wchar_t wszPath[260] = {0};
    EXPECT_EQ(engine.PreView(&node, wszPath, buf.data(), nLen, Progress, &percents), 0u);
    EXPECT_EQ(nLen, 2000);
    EXPECT_EQ(std::memcmp(buf.data(), img.data() + 10 * kSector, 2000), 0);
    EXPECT_EQ(buf[2000], 0xEE);
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);

    // A picture previews to "tmp.jpg" in the scan-log folder.
    std::strcpy(node.szFileName, "10.JPG");
    nLen = 0;
    EXPECT_EQ(engine.PreView(&node, wszPath, nullptr, nLen, nullptr, nullptr), 0u);
    EXPECT_EQ(tw::WideToUtf8(wszPath), sandbox.ScanLog() + "tmp.jpg");
    EXPECT_TRUE(ReadFileBytes(sandbox.ScanLog() + "tmp.jpg") ==
                std::string(reinterpret_cast<const char*>(img.data()) + 10 * kSector, 3000));
    EXPECT_EQ(nLen, 0);

    // A record that runs past the reader's limit: 87, and nothing beyond the
    // limit (nor beyond the size) is written.
    node.u64RecordSector = 45;
    node.u64FileSize = 4000;
    CScratchDir out;
    unsigned int nRet = 0;
    std::string strGot = SaveToString(engine, node, out, &nRet);
    EXPECT_EQ(nRet, 87u);
    EXPECT_EQ(strGot.size(), 5u * kSector);
    EXPECT_TRUE(strGot ==
                std::string(reinterpret_cast<const char*>(img.data()) + 45 * kSector, 5 * kSector));
    EXPECT_EQ(engine.PreView(&node, wszPath, nullptr, nLen, nullptr, nullptr), 87u);
    EXPECT_EQ(ReadFileBytes(sandbox.ScanLog() + "tmp.jpg"), "") << "a failed preview is removed";
    EXPECT_EQ(engine.SaveFileData(nullptr, L"/tmp/x", 0), 87u);
    EXPECT_EQ(engine.PreView(nullptr, wszPath, buf.data(), nLen, nullptr, nullptr), 87u);
    EXPECT_TRUE(ReadFileBytes(image.strPath) ==
                std::string(reinterpret_cast<const char*>(img.data()), img.size()));
}

int CancelAfterCalls(void* pContext, int, int, int, unsigned long long, unsigned long long,
                     unsigned long long, wchar_t*) {
    int* pLeft = static_cast<int*>(pContext);
    return --*pLeft <= 0 ? -9527 : 0;
}

TEST(FileTypeRecoveryTest, CancelDuringAWalkKeepsWhatWasCarved) {
    ScanLogSandbox sandbox;
    Bytes img(4 * kSector, 0);
    static const unsigned char kPng[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0,    0,
                                         0,    0,   'I', 'E', 'N',  'D',  0xAE, 0x42, 0x60, 0x82};
    Put(img, 2 * kSector, kPng, sizeof(kPng));
    JpegHead(img, 10);
    Filler(img, 11, 2000);  // a long walk: about 1 MB without an end
    CImage image;
    ASSERT_EQ(image.Open(img), 0u);
    const std::string strBefore = ReadFileBytes(image.strPath);
    CFileTypeRecovery engine;
    ASSERT_EQ(engine.Init(image.WidePath().c_str(), L'C'), 0u);
    int nLeft = 3;
    engine.InitCallBack(CancelAfterCalls, nullptr, &nLeft, 100);
    EXPECT_EQ(engine.CarveArea(0, image.u64Sectors), 0xFFFFDAC9u);
    std::vector<_FILE_NODE_> nodes;
    ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_STREQ(nodes[0].szFileName, "2.png");
    EXPECT_EQ(nodes[0].u64FileSize, sizeof(kPng));
    EXPECT_TRUE(ReadFileBytes(image.strPath) == strBefore);
    engine.InitCallBack(nullptr, nullptr, nullptr, 100);
}

}  // namespace

namespace {

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
    Bytes sector(img.begin() + 100 * kSector, img.begin() + 101 * kSector);
    unsigned long long u64Skip = 0, u64Files = 0;
    EXPECT_NE(engine.ParseFileBuf(sector.data(), kSector, 100, 0, 400, -1, &image.reader, kSector,
                                  u64Skip, u64Files),
              0u);
    EXPECT_EQ(u64Files, 0u);
    EXPECT_EQ(u64Skip, 1u);
    std::vector<_FILE_NODE_> nodes;
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    EXPECT_TRUE(nodes.empty());
}

}  // namespace

namespace {

TEST(FileTypeRecoveryTest, DiskFormsBindTheArea) {
    ScanLogSandbox sandbox;
    CImage image;
    const Bytes img = SkipImage();
    ASSERT_EQ(image.Open(img), 0u);
    twtest::TempDiskDir disks;
    ASSERT_TRUE(disks.AddDisk(3, image.strPath));
    // An area of sectors 50-299: the JPEG at 100 is found, the BMP at 300 is not.
    CFileTypeRecovery engine;
    ASSERT_EQ(engine.Init(3, 50, 250, L'D'), 0u);
    EXPECT_EQ(engine.GetAreaEndSector(), 300u);
    ASSERT_EQ(engine.CarveArea(50, 250), 0u);
    std::vector<_FILE_NODE_> nodes;
    ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_STREQ(nodes[0].szFileName, "100.jpg");
    EXPECT_EQ(nodes[0].nDriveLetter, static_cast<uint32_t>(L'D'));
    CScratchDir out;
    EXPECT_TRUE(SaveToString(engine, nodes[0], out) ==
                std::string(reinterpret_cast<const char*>(img.data()) + 100 * kSector, 1000));

    // The scan-log form reopens a store by its name and keeps what it holds.
    CFileTypeRecovery again;
    ASSERT_EQ(again.InitLogFile(L"File_Type_disk", L'C', 3, kSector, 400), 0u);
    ASSERT_EQ(again.CarveArea(0, 400), 0u);
    CFileTypeRecovery reopened;
    ASSERT_EQ(reopened.InitLogFile(L"File_Type_disk", L'C', 3, kSector, 400), 0u);
    nodes.clear();
    ASSERT_EQ(reopened.GetChildrenFileNode(nullptr, 0, nodes), 0u);
    EXPECT_EQ(nodes.size(), 2u);
}

}  // namespace
