// The deep FAT parser on a disk made from the input, every sector offered also
// as a directory table; then the end of the pass, listing, saving and preview.
// Input: a byte of length and memory budget (odd: spill file), then pieces of
// (sector, flags, cluster) and up to 96 bytes; flag 1 writes "." and "..".
#include <algorithm>

#include "common/FatEntry.h"
#include "fat/ProfessionalFatRecovery.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 1 || nSize > 16384) return 0;
    const uint64_t u64Budget = (pData[0] & 1) ? 0 : (64ull << 20);
    const size_t nSectors = 1 + (pData[0] >> 1);
    std::vector<unsigned char> disk(nSectors * 512, 0);
    for (size_t nPos = 1; nPos + 4 <= nSize;) {
        unsigned char* pSector = disk.data() + (pData[nPos] % nSectors) * 512;
        const unsigned nFlags = pData[nPos + 1];
        const unsigned char nLow = pData[nPos + 2], nHigh = pData[nPos + 3];
        nPos += 4;
        size_t nOff = 0;
        if (nFlags & 1) {
            static const unsigned char kDot[32] = {'.', ' ', ' ',  ' ',  ' ',  ' ', ' ',
                                                   ' ', ' ', ' ',  ' ',  0x10, 0,   0,
                                                   0,   0,   0xC1, 0x50, 0xC1, 0x50};
            std::memcpy(pSector, kDot, 32);
            std::memcpy(pSector + 32, kDot, 32);
            pSector[33] = '.';
            pSector[26] = nLow, pSector[27] = nHigh;
            pSector[32 + 26] = static_cast<unsigned char>(nFlags >> 1);
            nOff = 64;
        }
        const size_t nTake = std::min<size_t>(nSize - nPos, 96);
        std::memcpy(pSector + nOff, pData + nPos, nTake);
        nPos += nTake;
    }
    const std::string strDir = FuzzDir("tw-fuzz-profat");
    const std::string strImage = strDir + "/disk.img";
    if (!WriteImage(strImage, disk, disk.size())) abort();

    CProfessionalFatRecovery parser;
    if (parser.Init(tw::Utf8ToWide(strImage.c_str()).c_str(), L'C') != 0) return 0;
    parser.ClearProfessionalVec(nullptr);
    parser.InitVirtualDbrInfo();
    parser.SetUnDealMemoryBudget(u64Budget);
    for (size_t i = 0; i < nSectors; ++i) {
        const unsigned char* p = disk.data() + i * 512;
        if (IsFatFileRecord(p))
            parser.ParseFatFileRecord(p, i);
        else
            parser.ParseFDTFileRecord(p, i);
    }
    parser.DealProfessionalRecordVec();
    int nBudget = 64;
    Browse(parser, nullptr, 0, nBudget, strDir + "/out");
    std::vector<__SEARCH_FILE_INFO__> hits;
    parser.SearchFileNode(L"*.other*.jpg|*.txt", hits);
    RemoveStores("Pro_Fat_");
    return 0;
}
