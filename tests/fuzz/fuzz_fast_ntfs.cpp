// The whole fast NTFS engine on a small volume whose MFT the fuzzer edits:
// set-up, the scan with its folder rebuild, browsing, preview, the cluster
// bitmap and the free extents. The MFT starts as deleted files and folders that
// hang off each other; the input is a list of byte edits (offset, value) into
// it. The records then get a valid update sequence, so that the parsers behind
// the fix-up are reached.
#include "common/Platform.h"
#include "ntfs/FastNtfsRecovery.h"
#include "tests/fuzz/NtfsFuzzVolume.h"
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace fuzzntfs;
using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strImage = FuzzDir("fuzz_fast_ntfs") + "/volume.img";
    std::vector<unsigned char> image = BuildVolume();
    const size_t nMft = kMftCluster * kSector;
    // The input: edits of (offset low, offset high, value) into the MFT.
    for (size_t i = 0; i + 3 <= nSize; i += 3) {
        size_t nAt = (pData[i] | (pData[i + 1] << 8)) % (kRecords * 1024);
        image[nMft + nAt] = pData[i + 2];
    }
    for (size_t i = 0; i < kRecords; ++i) ProtectRecord(image, nMft + i * 1024);
    if (!WriteImage(strImage, image, image.size())) return 0;
    {
        CFastNtfsRecovery engine;
        std::wstring wstrImage = tw::Utf8ToWide(strImage.c_str());
        if (engine.Init(wstrImage.c_str(), L'C') == 0 && engine.ScanDevice(nullptr) == 0) {
            int nBudget = 200;
            Browse(engine, nullptr, 0, nBudget);
        }
        if (engine.BuildBitMapInfo() == 0) {
            unsigned long long u64Sector = 0, u64Count = 0;
            for (int i = 0;
                 i < 1000 && engine.GetUnUsedSectorCount(u64Sector, u64Count) == 1 && u64Count; ++i)
                u64Sector += u64Count;
        }
    }
    RemoveStores("Fast_");
    return 0;
}
