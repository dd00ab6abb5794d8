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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string& strImage = FuzzImagePath("fuzz_fast_ntfs");
    std::vector<unsigned char> image = BuildVolume();
    const size_t nMft = kMftCluster * kSector;
    // The input: edits of (offset low, offset high, value) into the MFT.
    for (size_t i = 0; i + 3 <= nSize; i += 3) {
        size_t nAt = (pData[i] | (pData[i + 1] << 8)) % (kRecords * 1024);
        image[nMft + nAt] = pData[i + 2];
    }
    for (size_t i = 0; i < kRecords; ++i) ProtectRecord(image, nMft + i * 1024);
    FILE* pFile = fopen(strImage.c_str(), "wb");
    if (!pFile) return 0;
    fwrite(image.data(), 1, image.size(), pFile);
    fclose(pFile);

    {
        CFastNtfsRecovery engine;
        std::wstring wstrImage = tw::Utf8ToWide(strImage.c_str());
        if (engine.Init(wstrImage.c_str(), L'C') == 0 && engine.ScanDevice(nullptr) == 0) {
            // Browse three levels, previewing every file into a buffer.
            std::vector<std::pair<_FILE_NODE_, unsigned int>> queue;
            std::vector<_FILE_NODE_> top;
            engine.GetChildrenFileNode(nullptr, 0, top);
            for (const _FILE_NODE_& n : top) queue.push_back({n, 1});
            std::vector<unsigned char> buf(4096);
            for (size_t i = 0; i < queue.size() && i < 200; ++i) {
                const _FILE_NODE_& n = queue[i].first;
                if (n.bIsDir) {
                    if (queue[i].second > 3) continue;
                    std::vector<_FILE_NODE_> children;
                    engine.GetChildrenFileNode(&n, queue[i].second, children);
                    for (const _FILE_NODE_& c : children) queue.push_back({c, queue[i].second + 1});
                    continue;
                }
                int nLength = static_cast<int>(buf.size());
                wchar_t wszPreview[260] = {0};
                _FILE_NODE_ copy = n;
                std::strcpy(copy.szFileName, "x.dat");  // into the buffer, never a file
                engine.PreView(&copy, wszPreview, buf.data(), nLength, nullptr, nullptr);
            }
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
