// The whole fast NTFS engine (scan, folder rebuild, browsing, preview, free
// extents) on the volume of NtfsFuzzVolume.h with its MFT edited by the input.
#include "ntfs/FastNtfsRecovery.h"
#include "tests/fuzz/NtfsFuzzVolume.h"

using namespace fuzzntfs;
using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strImage = FuzzDir("fuzz_fast_ntfs") + "/volume.img";
    std::vector<unsigned char> image = BuildVolume();
    // The input: edits of (offset low, offset high, value) into the MFT.
    for (size_t i = 0; i + 3 <= nSize; i += 3) {
        size_t nAt = (pData[i] | (pData[i + 1] << 8)) % (kRecords * 1024);
        image[kMftCluster * kSector + nAt] = pData[i + 2];
    }
    ProtectRecords(image);
    if (!WriteImage(strImage, image, image.size())) return 0;
    {
        CFastNtfsRecovery engine;
        std::wstring wstrImage = tw::Utf8ToWide(strImage.c_str());
        if (engine.Init(wstrImage.c_str(), L'C') == 0 && engine.ScanDevice(nullptr) == 0) {
            int nBudget = 200;
            Browse(engine, nullptr, 0, nBudget);
        }
        WalkFreeSpace(engine);
    }
    RemoveStores("Fast_");
    return 0;
}
