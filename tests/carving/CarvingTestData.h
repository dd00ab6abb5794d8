// Sector builders shared by the carving tests: a synthetic image made of
// 512-byte sectors, a JPEG head and old text; the carving fixture's layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/DiskReader.h"
#include "common/Platform.h"
#include "support/Fixtures.h"
#include "support/ScratchDir.h"

namespace carvetest {

constexpr int kSector = 512;
typedef std::vector<unsigned char> Bytes;

inline void Put(Bytes& img, size_t nOff, const std::string& str) {
    if (img.size() < nOff + str.size()) img.resize(nOff + str.size(), 0);
    std::memcpy(img.data() + nOff, str.data(), str.size());
}
// Bytes from a literal that holds zeros.
inline std::string B(const char* p, size_t n) {
    return std::string(p, n);
}
// An integer of nBytes bytes, little-endian unless bBig.
inline void PutInt(Bytes& img, size_t nOff, uint64_t v, int nBytes, bool bBig = false) {
    std::string str(nBytes, '\0');
    for (int i = 0; i < nBytes; ++i)
        str[bBig ? nBytes - 1 - i : i] = static_cast<char>(v >> (8 * i));
    Put(img, nOff, str);
}

// Sectors of text that no signature test recognises and that are not zero.
inline void Filler(Bytes& img, size_t nFirstSector, size_t nSectors) {
    static const char kText[] = "card photo holiday report music video data ";
    if (img.size() < (nFirstSector + nSectors) * kSector)
        img.resize((nFirstSector + nSectors) * kSector);
    for (size_t i = 0; i < nSectors * kSector; ++i)
        img[nFirstSector * kSector + i] =
            static_cast<unsigned char>(kText[i % (sizeof(kText) - 1)]);
}

// The start of a JFIF picture (no end marker) in a sector of text.
inline void JpegHead(Bytes& img, size_t nSector) {
    Filler(img, nSector, 1);
    Put(img, nSector * kSector,
        std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x48", 16));
}

// An item of carving.layout (tests/fixtures/build_carving.sh): a file, a FAT
// directory sector or free space, and how a file's size is found.
struct LayoutItem {
    unsigned long long u64Sector = 0, u64Bytes = 0;
    std::string strKind, strExt, strHow, strName;
    // The name the carving engine gives the file, and the file it was made from.
    std::string CarvedName() const { return std::to_string(u64Sector) + "." + strExt; }
    std::string Original() const {
        // Copies placed again ("again_", "slack_": with old data after) share the original.
        const bool bCopy = strName.rfind("again_", 0) == 0 || strName.rfind("slack_", 0) == 0;
        return twtest::FixtureFilesDir("carving") + "/" + (bCopy ? strName.substr(6) : strName);
    }
};
inline std::vector<LayoutItem> ReadLayout() {
    std::vector<LayoutItem> items;
    std::ifstream in(twtest::FixtureDir() + "/carving.layout");
    LayoutItem it;
    while (in >> it.u64Sector >> it.strKind >> it.strExt >> it.u64Bytes >> it.strHow >> it.strName)
        items.push_back(it);
    return items;
}

// An image file in a scratch folder with a reader over it.
struct CImage {
    CScratchDir dir;
    std::string strPath;
    CDiskReader reader;
    unsigned long long u64Sectors = 0;

    // Writes the bytes (padded to whole sectors) and opens the reader with the
    // limit given, or the image's end.
    unsigned int Open(Bytes img, unsigned long long u64Limit = 0) {
        img.resize((img.size() + kSector - 1) / kSector * kSector, 0);
        strPath = dir.Write("image.bin", img);
        u64Sectors = img.size() / kSector;
        return reader.Init(WidePath().c_str(), u64Limit ? u64Limit : u64Sectors);
    }
    std::wstring WidePath() const { return tw::Utf8ToWide(strPath.c_str()); }
};

}  // namespace carvetest
