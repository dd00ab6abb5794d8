// The listing's sort: the same order held in memory or spilled into runs, and
// runs that cannot be written or read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/ListingSort.h"
#include "support/ScratchDir.h"

namespace {

// Numbered names, names apart only in case, a wide parent, and paths added
// more than once (told apart by their size, the order of arrival).
std::vector<ListedFile> Files() {
    std::vector<ListedFile> files(300);
    const char* parents[] = {"", "DCIM/", "dcim/", "Fotos \u00e9t\u00e9/"};
    for (int i = 0; i < 300; ++i) {
        const std::string strName =
            (i % 3 ? "IMG_" : "img_") + std::to_string(i * 37 % 110) + ".jpg";
        std::strncpy(files[i].hit.szFileName, strName.c_str(), sizeof(files[i].hit.szFileName));
        files[i].hit.u64FileSize = static_cast<unsigned long long>(i);
        files[i].wstrParent = tw::Utf8ToWide(parents[i % 4]);
        files[i].strPath = parents[i % 4] + strName;
    }
    return files;
}

std::string Line(const ListedFile& file) {
    return file.strPath + "|" + tw::WideToUtf8(file.wstrParent.c_str()) + "|" +
           file.hit.szFileName + "|" + std::to_string(file.hit.u64FileSize);
}

std::vector<std::string> Walk(CListingSort& sorted, unsigned int& nErr) {
    std::vector<std::string> out;
    nErr = sorted.ForEach([&out](const ListedFile& file) { return out.push_back(Line(file)), 0; });
    return out;
}

std::vector<std::string> Runs(const std::string& strFolder) {
    std::vector<std::string> runs;
    for (const auto& entry : std::filesystem::directory_iterator(strFolder))
        runs.push_back(entry.path());
    return runs;
}

}  // namespace

TEST(ListingSort, SpilledRunsGiveTheOrderOfTheStableNaturalSort) {
    std::vector<ListedFile> expected = Files();
    std::stable_sort(
        expected.begin(), expected.end(),
        [](const ListedFile& a, const ListedFile& b) { return NaturalLess(a.strPath, b.strPath); });
    std::vector<std::string> want;
    for (const ListedFile& file : expected) want.push_back(Line(file));
    CScratchDir dir;
    unsigned int nErr = 1;
    // Held in memory; a few files a run; one a run (more runs than are merged
    // at once: runs are merged into runs as they come). No folder: in memory.
    for (size_t nBound : {size_t(64) << 20, size_t(4000), size_t(1), size_t(0)}) {
        SCOPED_TRACE(nBound);
        CListingSort sorted(nBound ? dir.Path() : dir.File("missing"), nBound ? nBound : 1);
        for (ListedFile& file : Files()) sorted.Add(std::move(file));
        EXPECT_EQ(sorted.TotalSize(), 299u * 300u / 2);
        EXPECT_EQ(sorted.RunCount() > 0, nBound > 0 && nBound < 4096) << sorted.RunCount();
        EXPECT_LE(sorted.RunCount(), 32u);
        EXPECT_EQ(Walk(sorted, nErr), want);
        EXPECT_EQ(Walk(sorted, nErr), want);  // walked again: the same
        EXPECT_EQ(nErr, 0u);
    }
    EXPECT_TRUE(Runs(dir.Path()).empty());  // each removed its runs

    // A run cut short, or removed under the listing: its errno, no crash.
    CListingSort cut(dir.Path(), 4000);
    for (ListedFile& file : Files()) cut.Add(std::move(file));
    const std::vector<std::string> runs = Runs(dir.Path());
    ASSERT_GE(runs.size(), 2u);
    ASSERT_EQ(truncate(runs[0].c_str(), 100), 0);
    Walk(cut, nErr);
    EXPECT_EQ(nErr, static_cast<unsigned int>(EIO));
    ASSERT_EQ(unlink(runs[1].c_str()), 0);
    Walk(cut, nErr);
    EXPECT_EQ(nErr, static_cast<unsigned int>(ENOENT));
}
