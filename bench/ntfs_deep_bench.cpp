// Deep NTFS parser over one image: every sector is offered as the deep-scan
// driver offers it, each file record goes to the parser, then the second pass.
// Driven by bench/ntfs_deep.sh, which measures it beside a plain read of the
// image with /usr/bin/time.
//   tarnwick_bench_ntfs_deep IMAGE
// Figures only; nothing here passes or fails.
#include <chrono>
#include <cstdio>

#include "BenchRun.h"
#include "common/Platform.h"
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "support/SectorFeeder.h"

int main(int argc, char** argv) {
    CBenchRun run(argc, argv, "bench/ntfs_deep.sh");
    if (!run.Run()) return 0;
    using Clock = std::chrono::steady_clock;
    CProfessionalNtfsRecovery parser;
    auto t0 = Clock::now();
    if (parser.Init(tw::Utf8ToWide(argv[1]).c_str(), L'C') != 0 ||
        parser.InitProfessionalScan(nullptr) != 0)
        return 1;
    const size_t nRecord = static_cast<size_t>(parser.GetRecordSize());
    unsigned long long u64Records = 0;
    if (!twtest::FeedSectors(argv[1], [&](const unsigned char* p, size_t n, uint64_t s) {
            if (n >= nRecord && IsNtfsFileRecord(p, static_cast<int>(nRecord))) {
                ++u64Records;
                parser.ParseNtfsFileRecord(p, s);
            }
        }))
        return 1;
    auto t1 = Clock::now();
    unsigned int nRet = parser.ParseProfessionalRecordVec();
    auto t2 = Clock::now();
    std::printf("%llu file records fed, %u nodes made, %llu parent-record reads, result %u\n",
                u64Records, parser.GetLostFileCount(), parser.GetParentReads(), nRet);
    std::printf("pass over the sectors %.3f s; folders pass %.3f s\n",
                std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t2 - t1).count());
    return nRet == 0 ? 0 : 1;
}
