// The exFAT entry-set parser at every entry of arbitrary bytes, and the
// timestamp conversion.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>
#include "exfat/ExFatEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nLength) {
    // Exactly the input on the heap, so that ASan sees any read past it.
    const std::vector<unsigned char> buf(pData, pData + nLength);
    EXFAT_FILE_SET set;
    for (size_t nOffset = 0; nOffset < nLength + 64; nOffset += 32)
        ParseExFatFileSet(buf.data(), buf.size(), nOffset, set);
    if (nLength >= 6) {
        uint32_t nStamp;
        std::memcpy(&nStamp, pData, 4);
        _FILETIME ft;
        ExFatTimeToFileTime(nStamp, pData[4], pData[5], ft);
    }
    return 0;
}
