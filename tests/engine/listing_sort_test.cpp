// The listing's sort: the same order whether it is held in memory or spilled
// into runs, and runs that cannot be written or read back.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/ListingSort.h"
#include "support/ScratchDir.h"

namespace {

// Numbered names that sort by their number, names that differ only in case,
// a wide parent, and paths added more than once (told apart by their size).
std::vector<ListedFile> Files() {
    std::vector<ListedFile> files;
    const char* parents[] = {"", "DCIM/", "dcim/", "Fotos \u00e9t\u00e9/"};
    for (int i = 0; i < 300; ++i) {
        ListedFile file;
        std::memset(&file.hit, 0, sizeof(file.hit));
        const std::string strName =
            (i % 3 ? "IMG_" : "img_") + std::to_string((i * 37) % 110) + (i % 5 ? ".jpg" : ".JPG");
        std::strncpy(file.hit.szFileName, strName.c_str(), sizeof(file.hit.szFileName) - 1);
        file.hit.u64FileSize = static_cast<unsigned long long>(i);
        const std::string strParent = parents[i % 4];
        file.wstrParent = tw::Utf8ToWide(strParent.c_str());
        file.strPath = strParent + strName;
        files.push_back(file);
    }
    return files;
}

// What the listing gives: path and size (the order of arrival) of each file.
std::vector<std::string> Walk(CListingSort& sorted, unsigned int* pErr = nullptr) {
    std::vector<std::string> out;
    const unsigned int nErr = sorted.ForEach([&out](const ListedFile& file) {
        out.push_back(file.strPath + "|" + tw::WideToUtf8(file.wstrParent.c_str()) + "|" +
                      file.hit.szFileName + "|" + std::to_string(file.hit.u64FileSize));
        return 0;
    });
    if (pErr) *pErr = nErr;
    return out;
}

std::vector<std::string> RunFiles(const std::string& strFolder) {
    std::vector<std::string> names;
    if (DIR* pDir = opendir(strFolder.c_str())) {
        while (dirent* pEntry = readdir(pDir))
            if (std::strstr(pEntry->d_name, ".run")) names.push_back(pEntry->d_name);
        closedir(pDir);
    }
    return names;
}

}  // namespace

TEST(ListingSort, SpilledRunsGiveTheOrderOfTheStableNaturalSort) {
    // The expected order: a stable sort by NaturalLess of the order of arrival.
    std::vector<ListedFile> expected = Files();
    std::stable_sort(
        expected.begin(), expected.end(),
        [](const ListedFile& a, const ListedFile& b) { return NaturalLess(a.strPath, b.strPath); });
    std::vector<std::string> want;
    for (const ListedFile& file : expected)
        want.push_back(file.strPath + "|" + tw::WideToUtf8(file.wstrParent.c_str()) + "|" +
                       file.hit.szFileName + "|" + std::to_string(file.hit.u64FileSize));

    CScratchDir dir;
    // In memory; a few entries per run; one per run (more runs than are
    // merged at once, so runs are merged into runs as they come).
    for (size_t nBound : {size_t(64) << 20, size_t(4000), size_t(1)}) {
        SCOPED_TRACE(nBound);
        {
            CListingSort sorted(dir.Path(), nBound);
            for (ListedFile& file : Files()) sorted.Add(std::move(file));
            EXPECT_EQ(sorted.Count(), 300u);
            EXPECT_EQ(sorted.TotalSize(), 299u * 300u / 2);
            EXPECT_EQ(sorted.RunCount() > 0, nBound < 4096) << sorted.RunCount();
            EXPECT_LE(sorted.RunCount(), 32u);
            EXPECT_EQ(Walk(sorted), want);
            EXPECT_EQ(Walk(sorted), want);  // walked again: the same
            size_t nSeen = 0;
            sorted.ForEach([&nSeen](const ListedFile&) { return ++nSeen == 5 ? 1 : 0; });
            EXPECT_EQ(nSeen, 5u);
        }
        EXPECT_TRUE(RunFiles(dir.Path()).empty());
    }
}

TEST(ListingSort, RunsThatCannotBeWrittenOrReadBack) {
    // No folder to write runs to: everything stays in memory, in order.
    CScratchDir dir;
    std::vector<std::string> want;
    {
        CListingSort inMemory(dir.Path(), size_t(64) << 20);
        for (ListedFile& file : Files()) inMemory.Add(std::move(file));
        want = Walk(inMemory);
    }
    CListingSort unwritable(dir.File("missing"), 1);
    for (ListedFile& file : Files()) unwritable.Add(std::move(file));
    EXPECT_EQ(unwritable.RunCount(), 0u);
    EXPECT_EQ(Walk(unwritable), want);

    // A run cut short or removed under the listing: its errno, no crash.
    CListingSort cut(dir.Path(), 4000);
    for (ListedFile& file : Files()) cut.Add(std::move(file));
    std::vector<std::string> runs = RunFiles(dir.Path());
    ASSERT_GE(runs.size(), 2u);
    ASSERT_EQ(truncate(dir.File(runs[0]).c_str(), 100), 0);
    unsigned int nErr = 0;
    Walk(cut, &nErr);
    EXPECT_EQ(nErr, static_cast<unsigned int>(EIO));
    ASSERT_EQ(unlink(dir.File(runs[1]).c_str()), 0);
    Walk(cut, &nErr);
    EXPECT_EQ(nErr, static_cast<unsigned int>(ENOENT));
}
