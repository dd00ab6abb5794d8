#include "engine/Categories.h"

#include <cstring>
#include <cwchar>

const char szDocumentArchiveTypeList[] =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|"
    "*.ppsm|*.odp|*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|"
    "*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";
const char szOtherTypeKey[] = "*.other";

const TW_CATEGORY_INFO g_twCategories[6] = {
    {TW_CATEGORY_PHOTO, "Photo", "photo"},       {TW_CATEGORY_MUSIC, "Music", "music"},
    {TW_CATEGORY_VIDEO, "Video", "video"},       {TW_CATEGORY_DOCUMENT, "Document", "document"},
    {TW_CATEGORY_ARCHIVE, "Archive", "archive"}, {TW_CATEGORY_OTHER, "Other", "other"},
};

std::string BuildCategoryFilter(unsigned int nCategories) {
    std::string strKey;
    if (nCategories & TW_CATEGORY_PHOTO) strKey += szPictureTypeList;
    if (nCategories & TW_CATEGORY_MUSIC) strKey += szMusicTypeList;
    if (nCategories & TW_CATEGORY_DOCUMENT) strKey += szDocumentTypeList;
    if (nCategories & TW_CATEGORY_VIDEO) strKey += szVideoTypeList;
    if (nCategories & TW_CATEGORY_ARCHIVE) {
        strKey += szArchiveTypeList;
        strKey += szDocumentArchiveTypeList;
    }
    if (nCategories & TW_CATEGORY_OTHER) strKey += szOtherTypeKey;
    return strKey;
}

std::wstring BuildCategoryFilterW(unsigned int nCategories) {
    // The lists are ASCII: a byte-for-character copy is exact.
    std::string strKey = BuildCategoryFilter(nCategories);
    return std::wstring(strKey.begin(), strKey.end());
}

bool ParseCategoryNames(const char* szList, unsigned int& nCategories, std::string& strBad) {
    nCategories = 0;
    strBad.clear();
    if (!szList) return false;
    // The type folders' names are accepted too: "audio" and "others".
    static const struct {
        const char* szWord;
        unsigned int nCategory;
    } aliases[] = {{"audio", TW_CATEGORY_MUSIC}, {"others", TW_CATEGORY_OTHER}};
    const char* p = szList;
    for (;;) {
        const char* pEnd = std::strchr(p, ',');
        std::string strWord(p, pEnd ? static_cast<size_t>(pEnd - p) : std::strlen(p));
        const size_t nFirst = strWord.find_first_not_of(" \t");
        strWord = nFirst == std::string::npos
                      ? std::string()
                      : strWord.substr(nFirst, strWord.find_last_not_of(" \t") - nFirst + 1);
        std::string strLower = strWord;
        for (char& c : strLower) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        unsigned int nFound = 0;
        for (const TW_CATEGORY_INFO& info : g_twCategories) {
            if (strLower == info.szCliName) nFound = info.nCategory;
        }
        for (const auto& alias : aliases) {
            if (strLower == alias.szWord) nFound = alias.nCategory;
        }
        if (nFound == 0) {
            strBad = strWord;
            return false;
        }
        nCategories |= nFound;
        if (!pEnd) return true;
        p = pEnd + 1;
    }
}

void GetDirTypeByFileName(const char* szName, char* szFolder) {
    std::strcpy(szFolder, "others");
    if (!szName) return;
    const char* pDot = std::strrchr(szName, '.');
    if (!pDot) return;
    std::string strProbe = pDot;  // "." + extension
    for (char& c : strProbe) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (strProbe.size() < 3) return;
    struct {
        const char* szList1;
        const char* szList2;
        const char* szFolder;
    } const order[] = {
        {szPictureTypeList, nullptr, "photo"},
        {szMusicTypeList, nullptr, "audio"},
        {szVideoTypeList, nullptr, "video"},
        {szDocumentTypeList, nullptr, "document"},
        {szArchiveTypeList, szDocumentArchiveTypeList, "archive"},
    };
    for (const auto& entry : order) {
        if (std::strstr(entry.szList1, strProbe.c_str()) ||
            (entry.szList2 && std::strstr(entry.szList2, strProbe.c_str()))) {
            std::strcpy(szFolder, entry.szFolder);
            return;
        }
    }
}
