// Deep FAT parser benchmark: profat_bench IMAGE feeds every sector of the image
// through the parser as the deep-scan driver does and prints the time, the
// virtual boot records learned, the records made and the undealt sectors
// spilled to disk. profat_bench --dirs N feeds N directory first sectors of
// one volume (a card with N directories) and prints the time per directory.
// bench/profat.sh runs both against a plain read; without arguments nothing runs.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchRun.h"
#include "common/Platform.h"
#include "fat/ProfessionalFatRecovery.h"
#include "support/SectorFeeder.h"

namespace {

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

bool Open(CProfessionalFatRecovery& parser, const std::string& strImage) {
    return parser.Init(tw::Utf8ToWide(strImage.c_str()).c_str(), L'C') == 0 &&
           parser.ClearProfessionalVec(nullptr) == 0 && parser.InitVirtualDbrInfo() == 0;
}

}  // namespace

int main(int argc, char** argv) {
    CBenchRun run(argc, argv, "bench/profat.sh");
    if (!run.Run()) return 0;
    CProfessionalFatRecovery parser;
    if (std::strcmp(argv[1], "--dirs") == 0 && argc > 3) {
        // N directories of 8-sector clusters from cluster 3 on, data at sector 4096.
        const unsigned long nDirs = std::strtoul(argv[2], nullptr, 10);
        if (!Open(parser, argv[3])) return 1;
        unsigned char sector[512] = {0};
        const unsigned char kDot[12] = {'.', ' ', ' ', ' ', ' ', ' ',
                                        ' ', ' ', ' ', ' ', ' ', 0x10};
        std::memcpy(sector, kDot, 12);
        std::memcpy(sector + 32, kDot, 12);
        sector[33] = '.';
        const double dStart = Now();
        for (unsigned long i = 0; i < nDirs; ++i) {
            const uint32_t nCluster = 3 + i;
            sector[26] = nCluster & 0xFF, sector[27] = (nCluster >> 8) & 0xFF;
            sector[20] = (nCluster >> 16) & 0xFF, sector[21] = nCluster >> 24;
            parser.ParseFatFileRecord(sector, 4096 + (nCluster - 2) * 8ull);
        }
        const double dSeconds = Now() - dStart;
        std::printf("%lu %.3f %.3f %zu\n", nDirs, dSeconds, dSeconds * 1e9 / nDirs,
                    parser.GetVirtualDbrs().size());
        return 0;
    }
    if (!Open(parser, argv[1])) return 1;
    const double dStart = Now();
    if (!twtest::FeedFatParser(parser, argv[1])) return 1;
    const double dSeconds = Now() - dStart;
    std::printf("%.3f %zu %u %llu\n", dSeconds, parser.GetVirtualDbrs().size(),
                parser.GetLostFileCount(),
                static_cast<unsigned long long>(parser.GetUnDealSpilledCount()));
    return 0;
}
