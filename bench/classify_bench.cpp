// Sector classification against reading: the same image read in 64 KiB pieces
// once plainly and once with every 512-byte sector offered to the signature
// table walk and to the FAT directory test.
//   tarnwick_bench_classify [MIB]   (default 256)
// Figures only; nothing here passes or fails. The image is read from the page
// cache on both passes (it is read once before timing), so the ratio shows the
// cost of classifying, not of the medium.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "common/FatEntry.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads the file in 64 KiB pieces; with bClassify each sector is classified.
double Pass(const char* szPath, bool bClassify, unsigned long long& u64Found) {
    int fd = open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::vector<unsigned char> buf(65536);
    const auto start = Clock::now();
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0) {
        if (!bClassify) continue;
        for (ssize_t off = 0; off + 512 <= n; off += 512) {
            if (CFileTypeJudge::GetDataBufType(buf.data() + off, 512) != FILE_TYPE_NONE) ++u64Found;
            if (IsFatFDTRecord(buf.data() + off, 512)) ++u64Found;
        }
    }
    close(fd);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const long long llMiB = argc > 1 ? std::atoll(argv[1]) : 256;
    char szPath[] = "/tmp/tw-classify-XXXXXX";
    int fd = mkstemp(szPath);
    if (fd < 0) return 1;
    // Mixed content: random bytes, text, zeros, and sectors that start like
    // pictures, archives and directory entries, so the tests run past their
    // first bytes.
    std::mt19937 rng(7);
    std::vector<unsigned char> chunk(65536);
    const char* heads[] = {"\xFF\xD8\xFF\xE0\x00\x10JFIF",
                           "PK\x03\x04",
                           "\x89PNG\r\n\x1A\n",
                           "REPORT  TXT ",
                           "G@\x11\x10",
                           "RIFF\x24\x10\x00\x00WAVEfmt "};
    for (long long i = 0; i < llMiB * 16; ++i) {
        for (size_t s = 0; s < chunk.size(); s += 512) {
            unsigned kind = rng() % 4;
            for (size_t k = 0; k < 512; ++k) {
                chunk[s + k] = kind == 0   ? static_cast<unsigned char>(rng())
                               : kind == 1 ? static_cast<unsigned char>('a' + (k * 7 + s) % 26)
                                           : 0;
            }
            if (kind == 3) {
                const std::string strHead = heads[rng() % 6];
                std::copy(strHead.begin(), strHead.end(), chunk.begin() + s);
            }
        }
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) return 1;
    }
    close(fd);

    unsigned long long u64Found = 0;
    Pass(szPath, false, u64Found);  // warm the page cache
    const double dRead = Pass(szPath, false, u64Found);
    const double dClassify = Pass(szPath, true, u64Found);
    unlink(szPath);
    std::printf("image %lld MiB, %llu sectors recognised\n", llMiB, u64Found);
    std::printf("read only:          %8.3f s  %9.1f MiB/s\n", dRead, llMiB / dRead);
    std::printf("read and classify:  %8.3f s  %9.1f MiB/s\n", dClassify, llMiB / dClassify);
    std::printf("classify cost per sector: %.0f ns\n",
                (dClassify - dRead) * 1e9 / (static_cast<double>(llMiB) * 2048));
    return 0;
}
