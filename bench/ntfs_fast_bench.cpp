// Fast NTFS scan of one image: the MFT walk with the folder rebuild, then the
// free-space map. Driven by bench/ntfs_fast.sh, which builds the image and
// measures this program and a plain read of the image with /usr/bin/time.
//   tarnwick_bench_ntfs_fast IMAGE
// Figures only; nothing here passes or fails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchRun.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "ntfs/FastNtfsRecovery.h"

int main(int argc, char** argv) {
    CBenchRun run(argc, argv, "bench/ntfs_fast.sh");
    if (!run.Run()) return 0;
    using Clock = std::chrono::steady_clock;
    std::wstring wstrImage = tw::Utf8ToWide(argv[1]);
    CFastNtfsRecovery engine;
    auto t0 = Clock::now();
    unsigned int nRet = engine.Init(wstrImage.c_str(), L'C');
    if (nRet != 0) {
        std::fprintf(stderr, "Init failed: %u\n", nRet);
        return 1;
    }
    nRet = engine.ScanDevice(nullptr);
    auto t1 = Clock::now();
    unsigned int nBitmap = engine.BuildBitMapInfo();
    unsigned long long u64Sector = 0, u64Count = 0, u64Free = 0, u64Runs = 0;
    while (nBitmap == 0) {
        engine.GetUnUsedSectorCount(u64Sector, u64Count);
        if (u64Count == 0) break;
        u64Free += u64Count;
        u64Sector += u64Count;
        ++u64Runs;
    }
    auto t2 = Clock::now();
    std::printf("scan result %u, %u records made, %u damaged records, %llu parent records read\n",
                nRet, engine.GetLostFileCount(), engine.GetDamagedRecordCount(),
                engine.GetParentRecordReads());
    std::printf("scan %.3f s; free map %.3f s (%llu free runs, %llu free sectors)\n",
                std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t2 - t1).count(), u64Runs, u64Free);
    return nRet == 0 ? 0 : 1;
}
