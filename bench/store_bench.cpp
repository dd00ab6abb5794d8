// Scan result store with many records: time to record them, to list one
// folder, to count and to search them all, and the process's memory meanwhile.
//   tarnwick_bench_store [RECORDS]   (default 100000)
// Figures only; nothing here passes or fails.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/LogFileManager.h"
#include "engine/ScanResultFileManager.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Resident and peak resident memory in KiB, from /proc/self/status.
void Memory(long& nRssKiB, long& nPeakKiB) {
    nRssKiB = nPeakKiB = -1;
    FILE* pFile = fopen("/proc/self/status", "r");
    if (!pFile) return;
    char szLine[256];
    while (fgets(szLine, sizeof(szLine), pFile)) {
        if (strncmp(szLine, "VmRSS:", 6) == 0) nRssKiB = atol(szLine + 6);
        if (strncmp(szLine, "VmHWM:", 6) == 0) nPeakKiB = atol(szLine + 6);
    }
    fclose(pFile);
}

// CPU time (user + system) of the process so far, in milliseconds: on a busy
// machine it says more than the wall clock.
double CpuMs() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double g_dCpuStart = 0;

void Report(const char* szStep, double dMs) {
    long nRss, nPeak;
    Memory(nRss, nPeak);
    double dCpu = CpuMs();
    printf("%-44s %8.1f ms wall %8.1f ms cpu   RSS %6ld KiB   peak %6ld KiB\n", szStep, dMs,
           dCpu - g_dCpuStart, nRss, nPeak);
    g_dCpuStart = dCpu;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t nRecords = argc > 1 ? static_cast<uint32_t>(atol(argv[1])) : 100000;
    const uint32_t nFolders = 100;
    const uint32_t nRootId = 2;

    char szRoot[] = "/tmp/tw-bench-XXXXXX";
    if (!mkdtemp(szRoot)) {
        perror("mkdtemp");
        return 1;
    }
    setenv("TARNWICK_SUPPORT_DIR", szRoot, 1);
    MakeDirTree((std::string(szRoot) + "/ScanLog").c_str(), 0755);
    CLogFileManager::GetInstance().Init();
    CLogFileManager::GetInstance().AddDirIndex();

    g_dCpuStart = CpuMs();
    Report("start", 0);
    {
        CScanResultFileManager store;
        if (store.Init(L"Fast_bench") != 0) {
            fprintf(stderr, "store could not be opened\n");
            return 1;
        }
        // nFolders folders under the top, then their files folder by folder, as
        // a walk of a file system records them; every fourth file a picture,
        // every tenth of no known type.
        const char* const aszExt[] = {".jpg", ".mp3", ".doc", ".avi", ".zip", ".xyz"};
        auto start = Clock::now();
        for (uint32_t i = 0; i < nRecords; ++i) {
            auto* pNode = static_cast<_FILE_NODE_*>(store.CreateFileNode(sizeof(_FILE_NODE_)));
            bool bDir = i < nFolders;
            pNode->bIsDir = bDir;
            pNode->bDataHealth = 1;
            pNode->nDirId = bDir ? 1000 + i : 100000 + i;
            pNode->nFileIndex = store.GetFileIndex();
            if (bDir) {
                snprintf(pNode->szFileName, sizeof(pNode->szFileName), "DIR%03u", i);
                store.AddChildren(nRootId, 0, store.GetFileIndex(), pNode->nDirId,
                                  pNode->szFileName);
            } else {
                const char* szExt = i % 4 == 0 ? ".jpg" : (i % 10 == 1 ? ".xyz" : aszExt[i % 5]);
                snprintf(pNode->szFileName, sizeof(pNode->szFileName), "FILE%07u%s", i, szExt);
                uint32_t nFolder = (i - nFolders) / ((nRecords - nFolders) / nFolders + 1);
                store.AddChildren(1000 + nFolder, 1, store.GetFileIndex(), pNode->nDirId, nullptr);
            }
        }
        store.FlushBufToFile();
        char szStep[64];
        snprintf(szStep, sizeof(szStep), "record %u and flush", nRecords);
        Report(szStep, MsSince(start));

        std::vector<_FILE_NODE_> vecChildren;
        start = Clock::now();
        store.GetChildrenFileNode(MakeDirKey(1, 1000 + 7), vecChildren);
        snprintf(szStep, sizeof(szStep), "list one folder (%zu files)", vecChildren.size());
        Report(szStep, MsSince(start));

        vecChildren.clear();
        start = Clock::now();
        store.GetChildrenFileNode(MakeDirKey(0, nRootId), vecChildren);
        snprintf(szStep, sizeof(szStep), "list the top (%zu folders)", vecChildren.size());
        Report(szStep, MsSince(start));

        uint32_t nCount = 0;
        start = Clock::now();
        store.GetChildrenFileCount(0, nCount);
        snprintf(szStep, sizeof(szStep), "count the whole tree (%u files)", nCount);
        Report(szStep, MsSince(start));

        std::vector<__SEARCH_FILE_INFO__> vecHits;
        start = Clock::now();
        store.SearchFileNodeInfo(L"*.jpg|", vecHits);
        snprintf(szStep, sizeof(szStep), "search pictures (%zu hits)", vecHits.size());
        Report(szStep, MsSince(start));

        // The listing of the command line and the application: every hit's
        // folder path, flushed first as the engines do before each request.
        start = Clock::now();
        wchar_t wszPath[1024];
        for (const __SEARCH_FILE_INFO__& hit : vecHits) {
            store.FlushBufToFile();
            store.GetParentDirPath(&hit, wszPath, 1024);
        }
        const double dPathsMs = MsSince(start);
        snprintf(szStep, sizeof(szStep), "folder paths of the hits (%.2f us each)",
                 vecHits.empty() ? 0.0 : dPathsMs * 1000.0 / static_cast<double>(vecHits.size()));
        Report(szStep, dPathsMs);

        std::vector<__SEARCH_FILE_INFO__>().swap(vecHits);
        start = Clock::now();
        store.SearchFileNodeInfo(L"*.other", vecHits);
        snprintf(szStep, sizeof(szStep), "search other types (%zu hits)", vecHits.size());
        Report(szStep, MsSince(start));

        std::vector<__SEARCH_FILE_INFO__>().swap(vecHits);
        start = Clock::now();
        CScanResultFileManager reopened;
        reopened.Init(L"Fast_bench");
        Report("reopen the store (reload the relation text)", MsSince(start));

        struct stat st;
        if (stat(store.GetNodeFilePath().c_str(), &st) == 0)
            printf("node file %lld bytes, relation file ", static_cast<long long>(st.st_size));
        if (stat(store.GetRelationFilePath().c_str(), &st) == 0)
            printf("%lld bytes\n", static_cast<long long>(st.st_size));
    }
    RemoveDirTree(szRoot);
    return 0;
}
