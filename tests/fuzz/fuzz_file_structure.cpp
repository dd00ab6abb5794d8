// The structure walks on damaged files: the first byte picks a walk and how
// much of the file the area holds; the file is the rest of the input, after
// the walk's signature when it does not begin with it. A size must never pass
// the area's end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "carving/FileTypeStructure.h"
#include "common/DiskReader.h"
#include "common/Platform.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

struct Walk {
    const char* szMagic;
    size_t nMagic;
    uint64_t (*pfn)(CFileBytes&);
};

const Walk kWalks[] = {
    {"\xFF\xD8", 2, [](CFileBytes& f) { return GetJpegStructSize(f); }},
    {"\x89PNG\r\n\x1A\n", 8, GetPngStructSize},
    {"GIF89a", 6, GetGifStructSize},
    {"PK\x03\x04", 4, GetZipStructSize},
    {"ID3\x04\x00\x00\x00\x00\x00\x00", 10, GetMp3StructSize},
    {"\x00\x00\x00\x18"
     "ftypisom",
     12, [](CFileBytes& f) { return GetIsoBoxStructSize(f, "moov"); }},
    {"\x00\x00\x00\x18"
     "ftypheic",
     12, [](CFileBytes& f) { return GetIsoBoxStructSize(f, "meta"); }},
    {"\x00\x00\x01\xBA", 4, GetMpegPsStructSize},
    {"\x1A\x45\xDF\xA3", 4, GetMkvStructSize},
    {"OggS\x00\x02", 6, GetOggStructSize},
    {"fLaC\x00\x00\x00\x22", 8, GetFlacStructSize},
    {"gimp xcf file\x00", 14, GetXcfStructSize},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    constexpr size_t kSector = 512;
    if (nSize < 2) return 0;
    const Walk& walk = kWalks[pData[0] % (sizeof(kWalks) / sizeof(kWalks[0]))];
    std::vector<unsigned char> vecFile(pData + 1, pData + nSize);
    if (vecFile.size() < walk.nMagic || std::memcmp(vecFile.data(), walk.szMagic, walk.nMagic))
        vecFile.insert(vecFile.begin(), walk.szMagic, walk.szMagic + walk.nMagic);
    vecFile.resize((vecFile.size() + kSector - 1) / kSector * kSector, 0);
    const uint64_t u64Sectors = vecFile.size() / kSector;

    const std::string strPath = fuzzsupport::FuzzDir("tw-fuzz-structure") + "/file";
    CDiskReader reader;
    if (!fuzzsupport::WriteImage(strPath, vecFile, vecFile.size()) ||
        reader.Init(tw::Utf8ToWide(strPath.c_str()).c_str(), u64Sectors) != 0)
        abort();
    // The whole area, and a budget that ends inside the file.
    for (uint64_t u64Budget : {~static_cast<uint64_t>(0), static_cast<uint64_t>(pData[0]) * 97}) {
        CFileBytes bytes(&reader, static_cast<int>(kSector), 0, u64Budget);
        const uint64_t u64Size = walk.pfn(bytes);
        if (u64Size > bytes.Reach()) abort();
    }
    return 0;
}
