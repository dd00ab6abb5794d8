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

// Only the combined archive list holds ".rtf"; no category, no filter.
TEST(Categories, FilterOfTheArchiveCategoryTakesBothItsLists) {
    EXPECT_EQ(BuildCategoryFilter(0), "");
    EXPECT_EQ(BuildCategoryFilter(TW_CATEGORY_ARCHIVE),
              std::string(szArchiveTypeList) + szDocumentArchiveTypeList);
}

TEST(Categories, ParsesTypeWords) {
    const struct {
        const char* szList;
        unsigned int nWant;  // the categories; 0 when refused
        const char* szBad;
    } cases[] = {
        {"photo,music,document,video,archive,other", TW_CATEGORY_ALL, ""},
        {"video", TW_CATEGORY_VIDEO, ""},
        {" Photo , AUDIO,\tOthers ", TW_CATEGORY_PHOTO | TW_CATEGORY_MUSIC | TW_CATEGORY_OTHER, ""},
        {"photo,pictures", 0, "pictures"},
        {"photo, ", 0, ""},
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        unsigned int nCategories = 0;
        std::string strBad;
        EXPECT_EQ(ParseCategoryNames(c.szList, nCategories, strBad), c.nWant != 0) << c.szList;
        if (c.nWant) EXPECT_EQ(nCategories, c.nWant) << c.szList;
        EXPECT_EQ(strBad, c.szBad) << c.szList;
    }
}
