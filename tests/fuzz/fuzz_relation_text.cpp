// A store's relation text as a damaged file may hold it: parsing stays inside
// the length, and what it makes writes back to a text giving the same map.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/ScanResultFileManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 1 << 20) return 0;
    // An exact-size copy: any read past the end is caught.
    std::vector<char> vecText(pData, pData + nSize);
    DirRelationMap map;
    CScanResultFileManager::GetDirRelationMap(vecText.data(), static_cast<int>(nSize), map);
    std::string strText = CScanResultFileManager::BuildRelationText(map);
    DirRelationMap again;
    CScanResultFileManager::GetDirRelationMap(strText.data(), static_cast<int>(strText.size()),
                                              again);
    // An empty list is written "[]" and reads back as [0]: compare the rest.
    for (auto& entry : map)
        if (entry.second.empty()) entry.second.push_back(0);
    if (again != map) abort();
    return 0;
}
