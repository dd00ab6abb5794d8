// The file categories the user picks from, shared by the application and the
// command line: their extension lists, the listing filter built from the ticked
// ones, and the type folder a recovered file is saved into.
#pragma once

#include <string>
#include "engine/ScanResultFileManager.h"

// The five category extension lists (szPictureTypeList, szMusicTypeList,
// szDocumentTypeList, szVideoTypeList, szArchiveTypeList) are the store's.

// Documents and archives together; belongs to the user interface's Archive box.
extern const char szDocumentArchiveTypeList[];
// The Other box: files of no listed type.
extern const char szOtherTypeKey[];

// One bit per category box.
enum : unsigned int {
    TW_CATEGORY_PHOTO = 1u << 0,
    TW_CATEGORY_MUSIC = 1u << 1,
    TW_CATEGORY_VIDEO = 1u << 2,
    TW_CATEGORY_DOCUMENT = 1u << 3,
    TW_CATEGORY_ARCHIVE = 1u << 4,
    TW_CATEGORY_OTHER = 1u << 5,
    TW_CATEGORY_ALL = (1u << 6) - 1,
};

// The category boxes in the order the application shows them.
struct TW_CATEGORY_INFO {
    unsigned int nCategory;  // one TW_CATEGORY_* bit
    const char* szLabel;     // "Photo", "Music", ...
    const char* szCliName;   // "photo", "music", ... (the command line's --types words)
};
extern const TW_CATEGORY_INFO g_twCategories[6];

// The listing filter for the ticked categories: their lists appended in the
// order Photo, Music, Document, Video, Archive (its list, then the combined
// document-and-archive list), Other ("*.other"). Empty when none is ticked.
std::string BuildCategoryFilter(unsigned int nCategories);
std::wstring BuildCategoryFilterW(unsigned int nCategories);

// Parses a comma-separated list of --types words ("photo,music") into
// category bits, ignoring case and the blanks around each word; the type
// folders' names "audio" and "others" are taken too. Returns false, with the
// offending word in strBad, for an unknown or empty word.
bool ParseCategoryNames(const char* szList, unsigned int& nCategories, std::string& strBad);

// Writes the type folder for a file name into szFolder (at least 16 bytes):
// "photo", "audio", "video", "document", "archive" or "others", decided by the
// first list (in that order) holding "." + the lower-cased extension.
void GetDirTypeByFileName(const char* szName, char* szFolder);
