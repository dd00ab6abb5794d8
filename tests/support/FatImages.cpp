#include "support/FatImages.h"

#include <filesystem>

#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"

const std::vector<std::string>& FatImageNames() {
    static const std::vector<std::string> names = {
        "fat12_1k", "fat12_512r", "fat16_2k", "fat16_8k", "fat32_512", "fat32_2k", "fat16_reuse"};
    return names;
}

std::vector<FatManifestRow> LoadFatManifest(const std::string& strName) {
    std::vector<FatManifestRow> rows;
    for (const twtest::ManifestEntry& e : twtest::ReadManifest(strName))
        rows.push_back({e.strStatus, e.strPath.substr(1), e.strListed.empty() ? "-" : e.strListed,
                        e.strSourceFile});
    return rows;
}

std::multiset<std::string> FatListedPaths(const std::string& strName) {
    std::multiset<std::string> paths;
    for (const FatManifestRow& row : LoadFatManifest(strName))
        if (row.strStatus == "deleted" || row.strStatus == "overwritten")
            paths.insert(row.strListed);
    return paths;
}

std::string ReadFatOriginal(const std::string& strName, const std::string& strVolPath) {
    for (const FatManifestRow& row : LoadFatManifest(strName))
        if (row.strVolPath == strVolPath && !row.strOriginal.empty())
            return ReadFileBytes(row.strOriginal);
    return "";
}

bool CopyFile(const std::string& strFrom, const std::string& strTo) {
    std::error_code ec;
    return std::filesystem::copy_file(strFrom, strTo,
                                      std::filesystem::copy_options::overwrite_existing, ec);
}

bool PatchFile(const std::string& strPath, uint64_t u64Offset, const std::string& strBytes) {
    return twtest::WriteAt(strPath, u64Offset, strBytes.data(), strBytes.size());
}

long long FindAligned(const std::string& strPath, const std::string& strBytes, int nAlign) {
    std::string strData = ReadFileBytes(strPath);
    for (size_t nPos = strData.find(strBytes); nPos != std::string::npos;
         nPos = strData.find(strBytes, nPos + 1)) {
        if (nPos % static_cast<size_t>(nAlign) == 0) return static_cast<long long>(nPos);
    }
    return -1;
}
