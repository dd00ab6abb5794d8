// Set-up the engine fuzz targets share: support folder, image file, store
// clean-up, and walks over an engine's listing and free space.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "common/StoreFiles.h"
#include "engine/FileNode.h"
#include "engine/LogFileManager.h"

namespace fuzzsupport {

// A private support folder (with "ScanLog/") per process, removed at exit.
inline const std::string& FuzzDir(const char* szTarget) {
    static std::string s_strDir;
    if (!s_strDir.empty()) return s_strDir;
    std::string strTemplate = std::string("/tmp/") + szTarget + ".XXXXXX";
    std::vector<char> vecDir(strTemplate.begin(), strTemplate.end());
    vecDir.push_back(0);
    if (!mkdtemp(vecDir.data())) abort();
    s_strDir = vecDir.data();
    setenv("TARNWICK_SUPPORT_DIR", s_strDir.c_str(), 1);
    mkdir((s_strDir + "/ScanLog").c_str(), 0755);
    CLogFileManager::GetInstance().Init();
    atexit([] { RemoveDirTree(s_strDir.c_str()); });
    return s_strDir;
}

// A little-endian value at nOff.
template <typename T>
void Put(std::vector<unsigned char>& v, size_t nOff, T value) {
    std::memcpy(v.data() + nOff, &value, sizeof value);
}

// Patches the image with the input: 3 bytes of offset (in 4-byte steps), a
// length, the bytes; again while the input lasts.
inline void ApplyPatches(std::vector<unsigned char>& image, const uint8_t* pData, size_t nSize) {
    size_t i = 0;
    while (i + 4 <= nSize && !image.empty()) {
        const size_t nAt =
            ((size_t{pData[i]} << 16 | size_t{pData[i + 1]} << 8 | pData[i + 2]) * 4) %
            image.size();
        const size_t nLen = std::min<size_t>({pData[i + 3], nSize - i - 4, image.size() - nAt});
        std::memcpy(image.data() + nAt, pData + i + 4, nLen);
        i += 4 + nLen;
    }
}

// Writes the first nBytes of the image to strPath; false when it cannot.
inline bool WriteImage(const std::string& strPath, const std::vector<unsigned char>& image,
                       size_t nBytes) {
    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (!pFile) return false;
    std::fwrite(image.data(), 1, nBytes, pFile);
    std::fclose(pFile);
    return true;
}

// Removes the result files of the last run (names starting with szPrefix).
inline void RemoveStores(const char* szPrefix) {
    std::string strDir = CLogFileManager::GetInstance().GetLogFileDirPath();
    DIR* pDir = opendir(strDir.c_str());
    if (!pDir) return;
    while (dirent* pEntry = readdir(pDir))
        if (std::strncmp(pEntry->d_name, szPrefix, std::strlen(szPrefix)) == 0)
            unlink((strDir + pEntry->d_name).c_str());
    closedir(pDir);
}

// Walks the listing (nBudget nodes, 8 levels): parent paths and previews; with
// strOut, each file is also saved there and previewed under its own name.
template <class Engine>
void Browse(Engine& engine, const _FILE_NODE_* pDir, unsigned int nLevel, int& nBudget,
            const std::string& strOut = "") {
    std::vector<_FILE_NODE_> children;
    if (nLevel > 8 || engine.GetChildrenFileNode(pDir, nLevel, children) != 0) return;
    for (const _FILE_NODE_& child : children) {
        if (--nBudget < 0) return;
        if (child.bIsDir) {
            Browse(engine, &child, nLevel + 1, nBudget, strOut);
            continue;
        }
        wchar_t wszParent[512];
        engine.GetFileNodeParentDirPath(&child, wszParent, 512);
        _FILE_NODE_ node = child;
        if (!strOut.empty()) {
            engine.SaveFileData(&child, tw::Utf8ToWide(strOut.c_str()).c_str(), 0);
            unlink(strOut.c_str());
        } else {
            std::strcpy(node.szFileName, "f.txt");
        }
        unsigned char buf[4096];
        int nLength = sizeof buf;
        wchar_t wszPreview[256] = {0};
        engine.PreView(&node, wszPreview, buf, nLength, nullptr, nullptr);
    }
}

// Maps the free space and walks its extents (at most 1,000).
template <class Engine>
void WalkFreeSpace(Engine& engine) {
    engine.BuildBitMapInfo();
    unsigned long long u64Start = 0, u64Count = 0;
    for (int i = 0; i < 1000 && engine.GetUnUsedSectorCount(u64Start, u64Count) == 1 && u64Count;
         ++i)
        u64Start += u64Count;
}

}  // namespace fuzzsupport
