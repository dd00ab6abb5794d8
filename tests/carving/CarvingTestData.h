// Sector builders shared by the carving tests: a synthetic image made of
// 512-byte sectors, file heads of a few types and a FAT directory sector.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/DiskReader.h"
#include "common/Platform.h"
#include "support/ScratchDir.h"

namespace carvetest {

constexpr int kSector = 512;
typedef std::vector<unsigned char> Bytes;

inline void Put(Bytes& img, size_t nOff, const void* p, size_t n) {
    if (img.size() < nOff + n) img.resize(nOff + n, 0);
    std::memcpy(img.data() + nOff, p, n);
}
inline void PutStr(Bytes& img, size_t nOff, const char* sz) {
    Put(img, nOff, sz, std::strlen(sz));
}
inline void PutLe16(Bytes& img, size_t nOff, uint16_t v) {
    unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    Put(img, nOff, b, 2);
}
inline void PutLe32(Bytes& img, size_t nOff, uint32_t v) {
    unsigned char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    Put(img, nOff, b, 4);
}
inline void PutBe16(Bytes& img, size_t nOff, uint16_t v) {
    unsigned char b[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    Put(img, nOff, b, 2);
}
inline void PutBe32(Bytes& img, size_t nOff, uint32_t v) {
    unsigned char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
    Put(img, nOff, b, 4);
}

// Sectors of text that no signature test recognises and that are not zero.
inline void Filler(Bytes& img, size_t nFirstSector, size_t nSectors) {
    static const char kText[] = "card photo holiday report music video data ";
    size_t nFrom = nFirstSector * kSector;
    if (img.size() < nFrom + nSectors * kSector) img.resize(nFrom + nSectors * kSector, 0);
    for (size_t i = 0; i < nSectors * kSector; ++i)
        img[nFrom + i] = static_cast<unsigned char>(kText[i % (sizeof(kText) - 1)]);
}

// The start of a JFIF picture (no end marker).
inline void JpegHead(Bytes& img, size_t nSector) {
    static const unsigned char kHead[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',
                                          'I',  'F',  0x00, 0x01, 0x01, 0x00, 0x00, 0x48};
    Filler(img, nSector, 1);
    Put(img, nSector * kSector, kHead, sizeof(kHead));
}

// A sector of FAT directory entries: a folder, a file, a deleted file, then zeros.
inline void FatDirectorySector(Bytes& img, size_t nSector) {
    size_t nOff = nSector * kSector;
    if (img.size() < nOff + kSector) img.resize(nOff + kSector, 0);
    std::memset(img.data() + nOff, 0, kSector);
    const uint16_t nDate = ((2015 - 1980) << 9) | (6 << 5) | 1;
    const char* kNames[] = {"DCIM       ", "NOTES   TXT", "\xE5LDPIC  JPG"};
    const uint8_t kAttr[] = {0x10, 0x20, 0x20};
    for (int i = 0; i < 3; ++i) {
        size_t e = nOff + 32 * i;
        Put(img, e, kNames[i], 11);
        img[e + 11] = kAttr[i];
        PutLe16(img, e + 14, 0x6000);
        PutLe16(img, e + 16, nDate);
        PutLe16(img, e + 18, nDate);
        PutLe16(img, e + 22, 0x6000);
        PutLe16(img, e + 24, nDate);
        PutLe16(img, e + 26, static_cast<uint16_t>(3 + 4 * i));
        PutLe32(img, e + 28, i == 0 ? 0 : 1000u * i);
    }
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
        return reader.Init(tw::Utf8ToWide(strPath.c_str()).c_str(),
                           u64Limit ? u64Limit : u64Sectors);
    }
    std::wstring WidePath() const { return tw::Utf8ToWide(strPath.c_str()); }
};

}  // namespace carvetest
