#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "engine/EngineBase.h"
#include "support/ScanLogSandbox.h"

namespace {

// An engine whose every record holds 'A' bytes and whose reads fail after
// nFailAfter bytes with 30.
class CStubEngine : public CEngineBase {
public:
    uint64_t nFailAfter = ~0ull;
    using IFileRecoveryParse::Init;
    unsigned int Init(const std::shared_ptr<CMediumSource>&, long long, long long,
                      wchar_t) override {
        return 0;
    }
    unsigned int ScanDevice(const wchar_t*) override { return 0; }
    unsigned int GetUnUsedSectorCount(unsigned long long&, unsigned long long&) override {
        return 0;
    }
    unsigned int BuildBitMapInfo() override { return 0; }

protected:
    unsigned int StreamNodeData(const _FILE_NODE_&, uint64_t u64Wanted,
                                const DataSink& sink) override {
        std::vector<unsigned char> vecA(512, 'A');
        for (uint64_t u64Done = 0; u64Done < u64Wanted; u64Done += 512) {
            if (u64Done >= nFailAfter) return TW_ERR_SHORT_READ;
            unsigned int nRet = sink(vecA.data(), std::min<uint64_t>(512, u64Wanted - u64Done));
            if (nRet) return nRet;
        }
        return 0;
    }
};

_FILE_NODE_ Node(const char* szName, uint64_t u64Size) {
    _FILE_NODE_ node;
    std::memset(&node, 0, sizeof node);
    std::strncpy(node.szFileName, szName, sizeof node.szFileName - 1);
    node.u64FileSize = u64Size;
    return node;
}

}  // namespace

TEST(EngineBase, AFreshStoreNeverTakesTheNameOfAnotherScansResults) {
    SYSTEMTIME st = {2025, 5, 3, 6, 9, 5, 0, 0};
    EXPECT_EQ(FormatStoreName("File_Type_", 2048, st), "File_Type_2048_2025539 5");
    CScratchDir dir;
    const std::string strDir = dir.Path() + "/";
    EXPECT_EQ(NextFreeStoreName(strDir, "Fast_0_x"), "Fast_0_x");
    ASSERT_TRUE(WriteFileBytes(strDir + "Fast_0_x", "old"));
    EXPECT_EQ(NextFreeStoreName(strDir, "Fast_0_x"), "Fast_0_x_1");
    // Any one of the three files of a set makes its name taken.
    ASSERT_TRUE(WriteFileBytes(strDir + "Fast_0_x_1_DirInfo", "old"));
    EXPECT_EQ(NextFreeStoreName(strDir, "Fast_0_x"), "Fast_0_x_2");
    EXPECT_EQ(ReadFileBytes(strDir + "Fast_0_x"), "old");
}

TEST(EngineBase, PreviewGoesToAFileOnlyForPicturesAndAFailureLeavesNoPath) {
    // Whole patterns only, the last one of a list without its '|' too.
    EXPECT_TRUE(IsExtensionInTypeList("raw", szPictureTypeList));
    EXPECT_TRUE(IsExtensionInTypeList("snd", szMusicTypeList));
    EXPECT_FALSE(IsExtensionInTypeList("ra", szPictureTypeList));
    EXPECT_FALSE(IsExtensionInTypeList("", szPictureTypeList));
    ScanLogSandbox sandbox;
    CStubEngine engine;
    unsigned char buf[4096];
    wchar_t wszPath[256];
    struct Case {
        const char* szName;
        uint64_t nFailAfter;
        unsigned int nResult;
        bool bFile;  // a preview file stays, its path returned
        int nLength;
    } cases[] = {
        {"photo.JPG", ~0ull, 0, true, 0},
        {"photo.jpg", 1024, TW_ERR_SHORT_READ, false, 0},
        // Extensions that occur inside the picture list but are none of its patterns.
        {"main.c", ~0ull, 0, false, 2000},
        {"x.ps", ~0ull, 0, false, 2000},
        {"song.ra", ~0ull, 0, false, 2000},
        {"main.c", 1024, TW_ERR_SHORT_READ, false, 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        engine.nFailAfter = c.nFailAfter;
        _FILE_NODE_ node = Node(c.szName, 2000);
        int nLength = sizeof buf;
        wcscpy(wszPath, L"stale");
        EXPECT_EQ(engine.PreView(&node, wszPath, buf, nLength, nullptr, nullptr), c.nResult);
        EXPECT_EQ(nLength, c.nLength);
        std::string strPath = tw::WideToUtf8(wszPath);
        const std::string strTmp = sandbox.ScanLog() + "tmp.jpg";
        EXPECT_EQ(strPath, c.bFile ? strTmp : "");
        EXPECT_EQ(access(strTmp.c_str(), F_OK) == 0, c.bFile);
        if (c.bFile) EXPECT_EQ(ReadFileBytes(strTmp), std::string(2000, 'A'));
        unlink(strTmp.c_str());
    }
}
