// The fast FAT engine over a card of a valid FAT12 or FAT32 boot sector and the
// input as tables, directories and data: scan, search, listing, saves, previews
// and free space.
#include "fat/FastFatRecovery.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace fuzzsupport;

namespace {

const size_t kSectors = 128;
const size_t kImageBytes = kSectors * 512;

// Boot sector: variant 0 FAT12 (root area of 32 entries), 1 FAT32 (root
// cluster 2); sectors per cluster 1, 2 or 4.
void MakeBootSector(std::vector<unsigned char>& b, unsigned nVariant, unsigned nSpc) {
    std::memcpy(b.data(), "\xEB\x3C\x90MSWIN4.1", 11);
    Put<uint16_t>(b, 0x0B, 512);
    b[0x0D] = static_cast<unsigned char>(nSpc);
    b[0x15] = 0xF8;
    if (nVariant == 0) {
        Put<uint16_t>(b, 0x0E, 1);  // reserved sectors
        b[0x10] = 2;                // tables
        Put<uint16_t>(b, 0x11, 32);
        Put<uint16_t>(b, 0x13, kSectors);
        Put<uint16_t>(b, 0x16, 1);
        std::memcpy(b.data() + 0x36, "FAT12   ", 8);
    } else {
        Put<uint16_t>(b, 0x0E, 2);
        b[0x10] = 1;
        Put<uint32_t>(b, 0x20, kSectors);
        Put<uint32_t>(b, 0x24, 1);
        Put<uint32_t>(b, 0x2C, 2);
        std::memcpy(b.data() + 0x52, "FAT32   ", 8);
    }
    b[510] = 0x55;
    b[511] = 0xAA;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 2) return 0;
    std::vector<unsigned char> image(kImageBytes, 0);
    MakeBootSector(image, pData[0] & 1, 1u << (pData[1] % 3));
    size_t nBody = nSize - 2;
    if (nBody > kImageBytes - 512) nBody = kImageBytes - 512;
    std::memcpy(image.data() + 512, pData + 2, nBody);
    // A short input is also a truncated card.
    size_t nImage = 512 + nBody;
    if (nImage < 4096) nImage = 4096;

    const std::string strDir = FuzzDir("tw-fuzz-fat");
    const std::string strImage = strDir + "/card.img";
    if (!WriteImage(strImage, image, nImage)) abort();

    CFastFatRecovery engine;
    if (engine.Init(tw::Utf8ToWide(strImage.c_str()).c_str(), L'C') != 0) return 0;
    engine.ScanDevice(nullptr);
    std::vector<__SEARCH_FILE_INFO__> hits;
    engine.SearchFileNode(L"*.other*.jpg|*.txt", hits);
    unsigned int nCount = 0;
    engine.GetChildrenFileCount(nullptr, 0, nCount);
    int nBudget = 16;
    Browse(engine, nullptr, 0, nBudget, strDir + "/out");
    std::vector<_FILE_NODE_> top;
    engine.GetChildrenFileNode(nullptr, 0, top);
    for (const _FILE_NODE_& node : top) {
        if (!node.bIsDir) continue;
        const std::string strTree = strDir + "/tree";
        int nSeparators = 0;
        for (size_t i = 0; i + 1 < strTree.size(); ++i) nSeparators += strTree[i] == '/';
        engine.SaveFileData(&node, tw::Utf8ToWide(strTree.c_str()).c_str(), nSeparators - 1);
        RemoveDirTree(strTree.c_str());
        break;
    }
    WalkFreeSpace(engine);
    return 0;
}
