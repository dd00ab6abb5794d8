#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>
#include "common/Platform.h"
#include "engine/SaveTarget.h"
#include "support/ScanLogSandbox.h"

namespace {

struct Calls {
    std::vector<int> vecPercent, vecError;
    std::vector<std::string> vecPath;
};
int Record(void* pContext, int nPercent, int nScale, int nError, wchar_t* wszPath) {
    Calls* pCalls = static_cast<Calls*>(pContext);
    EXPECT_EQ(nScale, 100);
    pCalls->vecPercent.push_back(nPercent);
    pCalls->vecError.push_back(nError);
    pCalls->vecPath.push_back(tw::WideToUtf8(wszPath));
    return 0;
}
std::wstring Wide(const std::string& str) {
    return tw::Utf8ToWide(str.c_str());
}

}  // namespace

TEST(SaveTarget, NamesFromTheMediumStayInsideTheDestination) {
    EXPECT_EQ(MakeSafeFileName("photo.jpg"), "photo.jpg");
    EXPECT_EQ(MakeSafeFileName("../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(MakeSafeFileName(".."), "_");
    EXPECT_EQ(MakeSafeFileName("."), "_");
    EXPECT_EQ(MakeSafeFileName(""), "_");
    EXPECT_EQ(MakeSafeFileName("a\tb\nc"), "a_b_c");
    // C1 controls and bidirectional overrides and isolates, in the narrow
    // codec; their neighbours and other text stay.
    const struct {
        const char* szUtf8;
        const char* szSafe;
    } names[] = {{"photo\u202Egpj.exe", "photo_gpj.exe"},
                 {"a\u0085b\u2066\u2069", "a_b__"},
                 {"\u2029\u00A0Zo\u00EB\u6587\u4EF6", nullptr}};
    for (const auto& n : names) {
        const std::string strSafe = MakeSafeFileName(tw::Utf8ToNarrow(n.szUtf8).c_str());
        EXPECT_EQ(tw::NarrowToUtf8(strSafe.c_str()), n.szSafe ? n.szSafe : n.szUtf8) << n.szUtf8;
    }

    CScratchDir dir;
    std::wstring wstrPath;
    ASSERT_EQ(GetUniqueChildPath(Wide(dir.Path()), "..", wstrPath), 0u);
    EXPECT_EQ(tw::WideToUtf8(wstrPath.c_str()), dir.Path() + "/_");
    ASSERT_TRUE(WriteFileBytes(dir.File("Zoë.jpg"), "x"));
    ASSERT_EQ(GetUniqueChildPath(Wide(dir.Path()), tw::Utf8ToNarrow("Zoë.jpg").c_str(), wstrPath),
              0u);
    EXPECT_EQ(tw::WideToUtf8(wstrPath.c_str()), dir.Path() + "/Zoë(1).jpg");
}

TEST(SaveTarget, WritesNoMoreThanTheFileAndReportsEachChunk) {
    CScratchDir dir;
    Calls calls;
    {
        CSaveTarget target(Record, &calls);
        ASSERT_EQ(target.Open(Wide(dir.File("out.bin")).c_str(), 10), 0u);
        const unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_EQ(target.Write(data, 8), 0u);
        EXPECT_EQ(target.Write(data, 8), 0u);  // only 2 more are wanted
        EXPECT_EQ(target.Remaining(), 0u);
        EXPECT_EQ(target.Finish(0), 0u);
    }
    EXPECT_EQ(ReadFileBytes(dir.File("out.bin")), std::string("\1\2\3\4\5\6\7\10\1\2", 10));
    EXPECT_EQ(calls.vecPercent, (std::vector<int>{80, 100}));
    EXPECT_EQ(calls.vecPath.back(), dir.File("out.bin"));
    struct stat st;
    ASSERT_EQ(stat(dir.File("out.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // A failure after the data is reported once more with its code.
    Calls again;
    CSaveTarget target(Record, &again);
    ASSERT_EQ(target.Open(Wide(dir.File("cut.bin")).c_str(), 3), 0u);
    const unsigned char abc[3] = {'a', 'b', 'c'};
    target.Write(abc, 3);
    EXPECT_EQ(target.Finish(30), 30u);
    EXPECT_EQ(again.vecError, (std::vector<int>{0, 30}));
}

// (An empty file reports 100 once: the FAT engine's chunk test.)
TEST(SaveTarget, FailedOpensAreReportedOnce) {
    CScratchDir dir;
    Calls failed;
    CSaveTarget nowhere(Record, &failed);
    unsigned int nRet = nowhere.Open(Wide(dir.File("no/such/folder/x")).c_str(), 5);
    EXPECT_EQ(nRet, static_cast<unsigned int>(ENOENT));
    EXPECT_EQ(nowhere.Finish(nRet), nRet);
    EXPECT_EQ(failed.vecError, std::vector<int>{ENOENT});
}

// The codes of the source and the destination overlap (30 is also EROFS): the
// origin of the last failure tells which side failed.
TEST(SaveTarget, AFailureKnowsWhetherTheSourceOrTheDestinationFailed) {
    CScratchDir dir;
    ASSERT_TRUE(WriteFileBytes(dir.File("file"), "x"));
    const unsigned char data[4] = {1, 2, 3, 4};
    struct Case {
        const char* szWhat;
        std::string strPath;
        unsigned int nSourceResult;  // what the engine's read gave
        SaveFailureOrigin nOrigin;
    } cases[] = {
        {"saved", dir.File("ok.bin"), 0, SAVE_FAILURE_NONE},
        {"source short", dir.File("short.bin"), TW_ERR_SHORT_READ, SAVE_FAILURE_SOURCE},
        {"no folder", dir.File("absent/x.bin"), 0, SAVE_FAILURE_DESTINATION},
        {"existing name", "/dev/full", 0, SAVE_FAILURE_DESTINATION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szWhat);
        ResetSaveFailureOrigin();
        CSaveTarget target(nullptr, nullptr);
        unsigned int nRet = target.Open(Wide(c.strPath).c_str(), sizeof data);
        if (nRet == 0) nRet = target.Write(data, sizeof data);
        if (nRet == 0) nRet = c.nSourceResult;
        target.Finish(nRet);
        EXPECT_EQ(GetLastSaveFailureOrigin(), c.nOrigin);
    }
    ResetSaveFailureOrigin();
    EXPECT_NE(CreateTargetDir(Wide(dir.File("file")).c_str()), 0u);
    EXPECT_EQ(GetLastSaveFailureOrigin(), SAVE_FAILURE_DESTINATION);
}

// A link swapped in between the choice of a name and the write is not
// followed, at the name or at a folder on the way (another thread keeps
// swapping), with the destination itself named through a link.
TEST(SaveTarget, ALinkRacedInIsNotFollowed) {
    CScratchDir dir;
    const std::string strDest = dir.File("dest/"), strVictim = dir.File("victim"),
                      strNamed = dir.File("named/");
    ASSERT_EQ(mkdir(strDest.c_str(), 0755) | mkdir(strVictim.c_str(), 0755) |
                  mkdir((strDest + "photo").c_str(), 0755),
              0);
    ASSERT_EQ(symlink(strDest.c_str(), dir.File("named").c_str()) |
                  symlink(strVictim.c_str(), (strDest + "link").c_str()),
              0);
    CSaveDestination dest;
    ASSERT_EQ(dest.Open(strNamed, tw::FsUser()), 0u);
    std::wstring wstrPath;
    ASSERT_EQ(GetUniqueChildPath(Wide(dir.File("named")), "a", wstrPath), 0u);
    ASSERT_EQ(symlink((strVictim + "/a").c_str(), (strDest + "a").c_str()), 0);
    CSaveTarget late(nullptr, nullptr);
    EXPECT_EQ(late.Finish(late.Open(wstrPath.c_str(), 1)), static_cast<unsigned int>(EEXIST));
    std::atomic<bool> bStop{false};
    std::thread swapper([&] {
        const char* const kMoves[][2] = {
            {"photo", "held"}, {"link", "photo"}, {"photo", "link"}, {"held", "photo"}};
        while (!bStop)
            for (const auto& m : kMoves) rename((strDest + m[0]).c_str(), (strDest + m[1]).c_str());
    });
    int nWritten = 0;
    // At least 400 tries against the swapper, and more until one lands: on a loaded
    // machine the swapper can win every one of the first 400.
    for (int i = 0; i < 400 || (nWritten == 0 && i < 200000); ++i) {
        CSaveTarget target(nullptr, nullptr);
        unsigned int nRet = MakeTargetDirs(strNamed + "photo", nullptr);
        if (nRet == 0) nRet = target.Open(Wide(strNamed + "photo/" + std::to_string(i)).c_str(), 1);
        if (nRet == 0) nRet = target.Write(reinterpret_cast<const unsigned char*>("x"), 1);
        nWritten += target.Finish(nRet) == 0;
    }
    bStop = true;
    swapper.join();
    EXPECT_GT(nWritten, 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(strVictim), {}), 0);
}
