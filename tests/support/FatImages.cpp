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

std::multiset<std::string> FatListedPaths(const std::string& strName) {
    std::multiset<std::string> paths;
    for (const twtest::ManifestEntry& e : twtest::ReadManifest(strName))
        if (e.strStatus == "deleted" || e.strStatus == "overwritten") paths.insert(e.strListed);
    return paths;
}

std::string ReadFatOriginal(const std::string& strName, const std::string& strVolPath) {
    for (const twtest::ManifestEntry& e : twtest::ReadManifest(strName))
        if (e.strPath == strVolPath && !e.strSourceFile.empty())
            return ReadFileBytes(e.strSourceFile);
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
