// Feeds the sectors of an image to a deep parser in device order, read in
// 64 KiB pieces, the way the deep-scan driver offers them. Header only, so the
// benchmarks can use it too.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include "common/FatEntry.h"

namespace twtest {

// fnSector(sector, bytes readable from it within the piece, absolute sector)
// for every sector of [u64First, u64First + u64Count) (count 0: to the end).
// False when the image cannot be opened or read.
inline bool FeedSectors(const std::string& strImage,
                        const std::function<void(const unsigned char*, size_t, uint64_t)>& fnSector,
                        uint64_t u64First = 0, uint64_t u64Count = 0,
                        uint32_t nBytesPerSector = 512) {
    int fd = open(strImage.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<unsigned char> piece(65536);
    uint64_t u64Sector = u64First;
    bool bOk = true;
    for (;;) {
        size_t nWant = piece.size();
        if (u64Count) {
            uint64_t u64Left = (u64First + u64Count - u64Sector) * nBytesPerSector;
            if (u64Left == 0) break;
            if (u64Left < nWant) nWant = static_cast<size_t>(u64Left);
        }
        ssize_t n = pread(fd, piece.data(), nWant, static_cast<off_t>(u64Sector * nBytesPerSector));
        if (n < 0) bOk = false;
        if (n <= 0) break;
        const size_t nSectors = static_cast<size_t>(n) / nBytesPerSector;
        for (size_t i = 0; i < nSectors; ++i)
            fnSector(piece.data() + i * nBytesPerSector, (nSectors - i) * nBytesPerSector,
                     u64Sector + i);
        if (nSectors == 0) break;
        u64Sector += nSectors;
    }
    close(fd);
    return bOk;
}

// The deep FAT parser's share of a pass: directory first sectors and other
// directory tables, then the end of the pass.
template <typename Parser>
bool FeedFatParser(Parser& parser, const std::string& strImage, uint64_t u64First = 0,
                   uint64_t u64Count = 0) {
    bool bOk = FeedSectors(
        strImage,
        [&parser](const unsigned char* p, size_t, uint64_t u64Sector) {
            if (IsFatFileRecord(p))
                parser.ParseFatFileRecord(p, u64Sector);
            else if (IsFatFDTRecord(p, 512))
                parser.ParseFDTFileRecord(p, u64Sector);
        },
        u64First, u64Count);
    parser.DealProfessionalRecordVec();
    return bOk;
}

}  // namespace twtest
