// The scan-log index file "config", as a damaged file may hold it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/LogFileManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    std::vector<unsigned char> vecData(pData, pData + nSize);
    uint64_t u64Index = 0;
    std::vector<_LOG_FILE_INFO_> vecInfo;
    unsigned int nResult = ParseLogConfigData(vecData.data(), nSize, u64Index, vecInfo);
    if (nSize == 0) {
        if (nResult != 87 || !vecInfo.empty()) abort();
        return 0;
    }
    size_t nExpected = nSize > 8 ? (nSize - 8 + sizeof(_LOG_FILE_INFO_) - 1) / 592 : 0;
    if (nResult != 0 || vecInfo.size() != nExpected) abort();
    for (const _LOG_FILE_INFO_& info : vecInfo) {
        if (strnlen(info.szLogDir, sizeof(info.szLogDir)) >= sizeof(info.szLogDir)) abort();
        if (strnlen(info.szImagePath, sizeof(info.szImagePath)) >= sizeof(info.szImagePath))
            abort();
    }
    return 0;
}
