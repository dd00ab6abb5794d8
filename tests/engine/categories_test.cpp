#include <gtest/gtest.h>

#include <string>
#include <utility>
#include "engine/Categories.h"

namespace {
std::string Folder(const char* szName) {
    char szFolder[16];
    GetDirTypeByFileName(szName, szFolder);
    return szFolder;
}
}  // namespace

// Music is tested before video (".rm"), only the combined list holds ".rtf",
// a probe such as ".c" is shorter than 3 characters, and the last dot decides.
TEST(Categories, TypeFolderFollowsTheListOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {"photo.jpg", "photo"},      {"IMG_0001.JPG", "photo"}, {"song.mp3", "audio"},
        {"x.rm", "audio"},           {"clip.mpp", "document"},  {"film.mkv", "video"},
        {"a.7z", "archive"},         {"notes.rtf", "archive"},  {"README", "others"},
        {"a.c", "others"},           {"name.", "others"},       {"data.xyz", "others"},
        {"dir.jpg/readme", "others"}};
    for (const auto& c : cases) EXPECT_EQ(Folder(c.first), c.second) << c.first;
}

TEST(Categories, FilterAppendsTickedListsInListingOrder) {
    EXPECT_EQ(BuildCategoryFilter(0), "");
    EXPECT_EQ(BuildCategoryFilter(TW_CATEGORY_ARCHIVE),
              std::string(szArchiveTypeList) + szDocumentArchiveTypeList);
    std::wstring wstrKey = BuildCategoryFilterW(TW_CATEGORY_PHOTO | TW_CATEGORY_OTHER);
    std::string strKey = BuildCategoryFilter(TW_CATEGORY_PHOTO | TW_CATEGORY_OTHER);
    EXPECT_EQ(wstrKey, std::wstring(strKey.begin(), strKey.end()));
    EXPECT_EQ(wstrKey.substr(0, 6), L"*.bmp|");
    EXPECT_EQ(wstrKey.substr(wstrKey.size() - 14), L"*.icns|*.other");
}

TEST(Categories, ParsesTypeWords) {
    unsigned int nCategories = 0;
    std::string strBad;
    ASSERT_TRUE(
        ParseCategoryNames("photo,music,document,video,archive,other", nCategories, strBad));
    EXPECT_EQ(nCategories, static_cast<unsigned int>(TW_CATEGORY_ALL));
    ASSERT_TRUE(ParseCategoryNames("video", nCategories, strBad));
    EXPECT_EQ(nCategories, static_cast<unsigned int>(TW_CATEGORY_VIDEO));
    EXPECT_FALSE(ParseCategoryNames("photo,pictures", nCategories, strBad));
    EXPECT_EQ(strBad, "pictures");
    EXPECT_FALSE(ParseCategoryNames("photo,", nCategories, strBad));
    EXPECT_EQ(strBad, "");
    EXPECT_FALSE(ParseCategoryNames("", nCategories, strBad));
}
