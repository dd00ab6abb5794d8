// The update-sequence fix-up on arbitrary records of every record size.
#include <cstddef>
#include <cstdint>
#include <vector>
#include "ntfs/NtfsParse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 1) return 0;
    static const int kSectorSizes[] = {512, 1024, 2048, 4096};
    CNtfsParse parse;
    parse.Init(kSectorSizes[pData[0] % 4]);
    // Exactly one record of the size the sector size gives, as the engines hold it.
    std::vector<unsigned char> record(static_cast<size_t>(parse.GetRecordSize()), 0);
    for (size_t i = 1; i < nSize && i - 1 < record.size(); ++i) record[i - 1] = pData[i];
    parse.FileRecordFixUp(record.data());
    IsNtfsFileRecord(record.data(), static_cast<int>(record.size()));
    return 0;
}
