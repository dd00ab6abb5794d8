// Run-list decoding of an arbitrary attribute, then the volume check and the
// joining of pieces on what was decoded.
#include <cstddef>
#include <cstdint>
#include <vector>
#include "ntfs/NtfsParse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    // Exactly the bytes given, so that any read past them is caught.
    std::vector<unsigned char> attr(pData, pData + nSize);
    std::vector<__RUNLIST__> runs;
    CNtfsParse::GetRunList(attr.data(), attr.size(), runs);
    CheckRunsInVolume(runs, nSize ? pData[0] * 1000ull : 0,
                      nSize > 1 ? 512ull << (pData[1] % 12) : 512);
    std::vector<__RUNLIST__> joined = runs;
    AppendRunExtent(joined, runs);
    RunListClusters(joined);
    return 0;
}
