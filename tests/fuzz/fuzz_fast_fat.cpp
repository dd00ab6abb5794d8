// The fast FAT engine over a small card made from the fuzz input: a valid
// FAT12 or FAT32 boot sector, then the input as allocation tables, directories
// and data. Scans it, lists it, saves and previews what it found, and maps the
// free space; nothing may fault, hang or read outside its buffers.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "engine/LogFileManager.h"
#include "fat/FastFatRecovery.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

const size_t kSectors = 128;
const size_t kImageBytes = kSectors * 512;

// A little-endian integer of nBytes bytes.
void Put(unsigned char* b, size_t nOff, uint32_t v, int nBytes) {
    for (int i = 0; i < nBytes; ++i) b[nOff + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Boot sector: variant 0 FAT12 (root area of 32 entries), 1 FAT32 (root
// cluster 2); sectors per cluster 1, 2 or 4.
void MakeBootSector(unsigned char* b, unsigned nVariant, unsigned nSpc) {
    std::memset(b, 0, 512);
    std::memcpy(b, "\xEB\x3C\x90MSWIN4.1", 11);
    Put(b, 0x0B, 512, 2);
    b[0x0D] = static_cast<unsigned char>(nSpc);
    b[0x15] = 0xF8;
    if (nVariant == 0) {
        Put(b, 0x0E, 1, 2);  // reserved sectors
        b[0x10] = 2;         // tables
        Put(b, 0x11, 32, 2);
        Put(b, 0x13, kSectors, 2);
        Put(b, 0x16, 1, 2);
        std::memcpy(b + 0x36, "FAT12   ", 8);
    } else {
        Put(b, 0x0E, 2, 2);
        b[0x10] = 1;
        Put(b, 0x20, kSectors, 4);
        Put(b, 0x24, 1, 4);
        Put(b, 0x2C, 2, 4);
        std::memcpy(b + 0x52, "FAT32   ", 8);
    }
    b[510] = 0x55;
    b[511] = 0xAA;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 2) return 0;
    std::vector<unsigned char> image(kImageBytes, 0);
    const unsigned nVariant = pData[0] & 1;
    const unsigned nSpc = 1u << (pData[1] % 3);
    MakeBootSector(image.data(), nVariant, nSpc);
    size_t nBody = nSize - 2;
    if (nBody > kImageBytes - 512) nBody = kImageBytes - 512;
    std::memcpy(image.data() + 512, pData + 2, nBody);
    // A short input is also a truncated card.
    size_t nImage = 512 + nBody;
    if (nImage < 4096) nImage = 4096;

    const std::string strDir = fuzzsupport::FuzzDir("tw-fuzz-fat");
    const std::string strImage = strDir + "/card.img";
    if (!fuzzsupport::WriteImage(strImage, image, nImage)) abort();

    CFastFatRecovery engine;
    std::wstring wstrImage = tw::Utf8ToWide(strImage.c_str());
    if (engine.Init(wstrImage.c_str(), L'C') != 0) return 0;
    engine.ScanDevice(nullptr);
    std::vector<__SEARCH_FILE_INFO__> hits;
    engine.SearchFileNode(L"*.other*.jpg|*.txt", hits);
    std::vector<_FILE_NODE_> top;
    engine.GetChildrenFileNode(nullptr, 0, top);
    unsigned int nCount = 0;
    engine.GetChildrenFileCount(nullptr, 0, nCount);

    const std::wstring wstrOut = tw::Utf8ToWide((strDir + "/out").c_str());
    for (size_t i = 0; i < hits.size() && i < 4; ++i) {
        wchar_t wszParent[512];
        engine.GetFileNodeParentDirPath(&hits[i], wszParent, 512);
        engine.SaveFileData(&hits[i], wstrOut.c_str(), 0);
        unlink((strDir + "/out").c_str());
        unsigned char buf[1024];
        int nLength = sizeof(buf);
        wchar_t wszPreview[512] = {0};
        engine.PreView(&hits[i], wszPreview, buf, nLength, nullptr, nullptr);
    }
    for (const _FILE_NODE_& node : top) {
        if (!node.bIsDir) continue;
        const std::string strTree = strDir + "/tree";
        std::wstring wstrTree = tw::Utf8ToWide(strTree.c_str());
        int nSeparators = 0;
        for (size_t i = 0; i + 1 < strTree.size(); ++i) nSeparators += strTree[i] == '/';
        engine.SaveFileData(&node, wstrTree.c_str(), nSeparators - 1);
        RemoveDirTree(strTree.c_str());
        break;
    }
    engine.BuildBitMapInfo();
    unsigned long long u64Start = 0, u64Count = 0;
    for (int nRuns = 0; nRuns < 1000; ++nRuns) {
        engine.GetUnUsedSectorCount(u64Start, u64Count);
        if (u64Count == 0) break;
        u64Start += u64Count;
    }
    return 0;
}
