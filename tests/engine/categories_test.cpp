#include <gtest/gtest.h>

#include <string>
#include "engine/Categories.h"

namespace {
std::string Folder(const char* szName) {
    char szFolder[16];
    GetDirTypeByFileName(szName, szFolder);
    return szFolder;
}
}  // namespace

TEST(Categories, TypeFolderFollowsTheListOrder) {
    EXPECT_EQ(Folder("photo.jpg"), "photo");
    EXPECT_EQ(Folder("IMG_0001.JPG"), "photo");
    EXPECT_EQ(Folder("song.mp3"), "audio");
    EXPECT_EQ(Folder("x.rm"), "audio");  // music is tested before video
    EXPECT_EQ(Folder("clip.mpp"), "document");
    EXPECT_EQ(Folder("film.mkv"), "video");
    EXPECT_EQ(Folder("a.7z"), "archive");
    EXPECT_EQ(Folder("notes.rtf"), "archive");  // only the combined list holds .rtf
    EXPECT_EQ(Folder("README"), "others");
    EXPECT_EQ(Folder("a.c"), "others");  // probe ".c" is shorter than 3 characters
    EXPECT_EQ(Folder("name."), "others");
    EXPECT_EQ(Folder("data.xyz"), "others");
    EXPECT_EQ(Folder("dir.jpg/readme"), "others");  // the last dot decides
}

TEST(Categories, FilterAppendsTickedListsInListingOrder) {
    EXPECT_EQ(BuildCategoryFilter(0), "");
    EXPECT_EQ(BuildCategoryFilter(TW_CATEGORY_ARCHIVE),
              std::string(szArchiveTypeList) + szDocumentArchiveTypeList);
    EXPECT_EQ(BuildCategoryFilter(TW_CATEGORY_ALL),
              std::string(szPictureTypeList) + szMusicTypeList + szDocumentTypeList +
                  szVideoTypeList + szArchiveTypeList + szDocumentArchiveTypeList + "*.other");
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
