// The FAT directory-table test and the single-entry checks on any bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/FatEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > (1 << 16)) return 0;
    const int nLen = static_cast<int>(nSize);
    bool bTable = IsFatFDTRecord(pData, nLen);
    // A table needs at least one entry and never starts with the end mark.
    if (bTable && (nLen < 32 || pData[0] == 0)) abort();
    for (int i = 0; i + 32 <= nLen; i += 32) {
        const FAT32_Entry* pEntry = reinterpret_cast<const FAT32_Entry*>(pData + i);
        bool bValid = IsFatEntyValid(pEntry, nLen - i);
        if (bTable && pData[i] && !bValid && !(i + 64 <= nLen && IsFatFileRecord(pData + i))) {
            // Every entry before the end mark of a table is valid on its own.
            bool bEnded = false;
            for (int k = 0; k < i; k += 32) bEnded = bEnded || pData[k] == 0;
            if (!bEnded) abort();
        }
        _FILETIME ft;
        Fat32GetFileCreateTime(pEntry, &ft);
        Fat32GetFileLastChangeTime(pEntry, &ft);
        (void)GetShortNameCheckSum(pEntry->szName);
    }
    if (nLen >= 64) (void)IsFatFileRecord(pData);
    return 0;
}
