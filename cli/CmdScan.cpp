// tarnwick-cli scan: scans a disk, a partition or an image, lists what it
// found and recovers it into a folder.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "carving/FileTypeRecovery.h"
#include "common/DebugLog.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/LogFileManager.h"
#include "device/PartitionManager.h"
#include "engine/Categories.h"
#include "deepscan/FileRecoveryFactory.h"
#include "engine/SaveTarget.h"

namespace {

enum { CLI_EXIT_SOURCE = 3, CLI_EXIT_INTERRUPTED = 130 };

volatile sig_atomic_t g_bInterrupted = 0;
void OnInterrupt(int) {
    g_bInterrupted = 1;
}

bool g_bProgress = false;  // standard error is a terminal

void ClearProgress() {
    if (g_bProgress) std::fprintf(stderr, "\r\033[K");
}

int ScanProgress(void*, int nPercent, int nScale, int nSecondsLeft, unsigned long long u64Cur,
                 unsigned long long u64Total, unsigned long long u64Files, wchar_t*) {
    if (g_bInterrupted) return 1;
    if (g_bProgress) {
        std::string strLeft = nSecondsLeft >= 0 ? GetTimeString(nSecondsLeft) : "unknown";
        // An engine that walks a file system knows no sector position.
        std::string strSectors;
        if (u64Total > 0)
            strSectors = "  sectors " + std::to_string(u64Cur) + "/" + std::to_string(u64Total);
        // A walk inside the last piece may report a little past its share.
        int nShown = std::min(100, std::max(0, nPercent * nScale / 100));
        std::fprintf(stderr, "\r\033[Kscanning %3d%%%s  files %llu  time left %s", nShown,
                     strSectors.c_str(), u64Files, strLeft.c_str());
    }
    return 0;
}

int RecoveryProgress(void*, int, int, int, wchar_t*) {
    return g_bInterrupted ? static_cast<int>(TW_ERR_CANCELLED) : 0;
}

int SearchProgress(void*, int nPercent, wchar_t*) {
    if (g_bInterrupted) return 1;
    if (g_bProgress) std::fprintf(stderr, "\r\033[Klisting %3d%%", nPercent);
    return 0;
}

void DebugToStderr(const char* szLine) {
    std::fprintf(stderr, "debug: %s", szLine);
}

const char* EngineName(uint32_t nEngine) {
    switch (nEngine) {
        case ENGINE_FAST_NTFS:
            return "ntfs";
        case ENGINE_FAST_FAT:
            return "fat";
        case ENGINE_DEEP_NTFS:
            return "deep-ntfs";
        case ENGINE_DEEP_FAT:
            return "deep-fat";
        case ENGINE_CARVING:
            return "carving";
        default:
            return "unknown";
    }
}

std::string Describe(unsigned int nCode) {
    switch (nCode) {
        case TW_ERR_SHORT_READ:
            return "the data could not be read whole";
        case TW_ERR_CLUSTER_TOO_LARGE:
            return "cluster too large";
        case TW_ERR_BAD_ARGUMENT:
            return "no data to read";
        case TW_ERR_OUT_OF_MEMORY:
            return "out of memory";
        case TW_ERR_CANCELLED:
            return "interrupted";
        default:
            return std::strerror(static_cast<int>(nCode));
    }
}

// A name from a record, fit for one line of tab-separated output.
std::string Printable(std::string str) {
    for (char& c : str) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return str;
}

// Creates a folder and its missing parents (0755). 0 or errno.
unsigned int MakeDirs(const std::string& strDir) {
    for (size_t nPos = 1; nPos <= strDir.size(); ++nPos) {
        if (nPos != strDir.size() && strDir[nPos] != '/') continue;
        std::wstring wstrPart = tw::Utf8ToWide(strDir.substr(0, nPos).c_str());
        unsigned int nRet = CreateTargetDir(wstrPart.c_str());
        if (nRet != 0 && nPos == strDir.size()) return nRet;
    }
    return 0;
}

// The scan-log folder, or $HOME/.local/share/Tarnwick/ when it cannot be made.
bool PrepareScanFolder() {
    if (MakeDirs(tw::ScanLogDir()) != 0 || access(tw::ScanLogDir().c_str(), W_OK) != 0) {
        const char* szHome = std::getenv("HOME");
        if (!szHome || !*szHome) {
            std::fprintf(stderr, "tarnwick-cli scan: cannot create %s and HOME is not set\n",
                         tw::ScanLogDir().c_str());
            return false;
        }
        std::string strOld = tw::SupportDir();
        std::string strHome = std::string(szHome) + "/.local/share/Tarnwick/";
        setenv("TARNWICK_SUPPORT_DIR", strHome.c_str(), 1);
        if (MakeDirs(tw::ScanLogDir()) != 0) {
            std::fprintf(stderr, "tarnwick-cli scan: cannot create %s nor %s\n", strOld.c_str(),
                         tw::ScanLogDir().c_str());
            return false;
        }
        std::fprintf(stderr, "tarnwick-cli scan: cannot write to %s; keeping scan results in %s\n",
                     strOld.c_str(), strHome.c_str());
    }
    CLogFileManager& logs = CLogFileManager::GetInstance();
    logs.Init();
    logs.AddDirIndex();
    logs.SaveLogConfigFile();
    return true;
}

// A private folder whose "disk0" is the image, so that an image's partition
// is read through the disk form of the engines.
class CImageAsDisk {
public:
    ~CImageAsDisk() {
        if (!m_strDir.empty()) {
            unlink((m_strDir + "/disk0").c_str());
            rmdir(m_strDir.c_str());
        }
    }
    bool Set(const std::string& strImage) {
        char szTemplate[] = "/tmp/tarnwick-cli.XXXXXX";
        if (!mkdtemp(szTemplate)) return false;
        m_strDir = szTemplate;
        char szReal[PATH_MAX];
        if (!realpath(strImage.c_str(), szReal)) return false;
        if (symlink(szReal, (m_strDir + "/disk0").c_str()) != 0) return false;
        return setenv("TARNWICK_DISK_DIR", m_strDir.c_str(), 1) == 0;
    }

private:
    std::string m_strDir;
};

struct Source {
    std::string strName;  // as given
    std::string strFile;  // the file read, UTF-8
    int nDiskNo = -1;     // a logical disk "/dev/diskN"
};

bool ParseLogicalDisk(const std::string& strName, int& nDiskNo) {
    const std::string strPrefix = "/dev/disk";
    if (strName.compare(0, strPrefix.size(), strPrefix) != 0 || strName.size() == strPrefix.size())
        return false;
    int n = 0;
    for (size_t i = strPrefix.size(); i < strName.size(); ++i) {
        if (strName[i] < '0' || strName[i] > '9' || n > 100000) return false;
        n = n * 10 + (strName[i] - '0');
    }
    nDiskNo = n;
    return true;
}

int Usage(const char* szMessage, const std::string& strDetail = "") {
    std::fprintf(stderr, "tarnwick-cli scan: %s%s; try 'tarnwick-cli scan --help'\n", szMessage,
                 strDetail.c_str());
    return CLI_EXIT_USAGE;
}

int RunScan(const CCliArgs& args) {
    if (args.Positional().size() != 1) return Usage("give exactly one SOURCE");
    Source source;
    source.strName = args.Positional()[0];
    const std::string strMode = args.Get("mode", "fast");
    if (strMode == "deep")
        return Usage("--mode ", strMode + " is not available yet (use --mode fast or carve)");
    if (strMode != "fast" && strMode != "carve") return Usage("unknown --mode ", strMode);
    unsigned int nTypes = TW_CATEGORY_ALL;
    if (args.Has("types")) {
        std::string strBad;
        if (!ParseCategoryNames(args.Get("types").c_str(), nTypes, strBad))
            return Usage("unknown type in --types: ", "'" + strBad + "'");
    }
    long lPartition = 0;
    if (args.Has("partition")) {
        const std::string strValue = args.Get("partition");
        char* pEnd = nullptr;
        lPartition = std::strtol(strValue.c_str(), &pEnd, 10);
        if (strValue.empty() || *pEnd || lPartition < 1)
            return Usage("--partition needs a number from 1 on, not ", "'" + strValue + "'");
    }
    const bool bRecover = args.Has("recover");
    const std::string strDest = args.Get("recover");
    if (bRecover && strDest.empty()) return Usage("--recover needs a folder");
    if (std::getenv("TARNWICK_DEBUG")) tw::SetLogSink(DebugToStderr);
    g_bProgress = isatty(STDERR_FILENO) != 0;

    // The source.
    if (ParseLogicalDisk(source.strName, source.nDiskNo)) {
        source.strFile = tw::ResolveDiskNode(source.nDiskNo);
    } else {
        source.strFile = source.strName;
    }
    int fd = source.nDiskNo >= 0 ? tw::OpenDiskNode(source.nDiskNo)
                                 : tw::OpenReadOnly(source.strFile.c_str());
    if (fd < 0) {
        std::fprintf(stderr, "tarnwick-cli scan: cannot open %s: %s\n", source.strName.c_str(),
                     std::strerror(errno));
        return CLI_EXIT_SOURCE;
    }
    off_t llBytes = lseek(fd, 0, SEEK_END);
    unsigned long long u64First = 0, u64Count = llBytes > 0 ? llBytes / 512 : 0;
    if (lPartition > 0) {
        CPartitionManager manager;
        manager.ResetCounter();
        std::vector<_PARTITION_ITEM_> items;
        manager.GetDiskPartitions(fd, source.nDiskNo >= 0 ? source.nDiskNo : 0, items);
        if (static_cast<size_t>(lPartition) > items.size()) {
            close(fd);
            std::fprintf(stderr, "tarnwick-cli scan: %s has no partition %ld (it has %zu)\n",
                         source.strName.c_str(), lPartition, items.size());
            return CLI_EXIT_SOURCE;
        }
        const _PARTITION_ITEM_& item = items[static_cast<size_t>(lPartition - 1)];
        u64First = item.u64StartSector;
        u64Count = item.u64EndSector >= item.u64StartSector
                       ? item.u64EndSector - item.u64StartSector + 1
                       : 0;
    }
    close(fd);

    if (bRecover && !args.Has("force") &&
        IsTargetOnSourceDevice(source.strFile.c_str(), strDest.c_str())) {
        std::fprintf(
            stderr,
            "tarnwick-cli scan: %s lies on %s, the device being scanned: writing there can "
            "overwrite the very files being recovered. Choose a folder on another disk "
            "(or give --force).\n",
            strDest.c_str(), source.strName.c_str());
        return CLI_EXIT_USAGE;
    }
    if (!PrepareScanFolder()) return CLI_EXIT_SOURCE;

    struct sigaction act;
    std::memset(&act, 0, sizeof(act));
    act.sa_handler = OnInterrupt;
    sigemptyset(&act.sa_mask);
    sigaction(SIGINT, &act, nullptr);
    sigaction(SIGTERM, &act, nullptr);

    // The engine.
    CImageAsDisk imageDisk;
    std::unique_ptr<IFileRecoveryParse> pEngine;
    CFileTypeRecovery* pCarver = nullptr;  // carve mode: the carving engine alone
    CFileRecoveryFactory& factory = CFileRecoveryFactory::GetInstance();
    if (strMode == "carve") {
        pCarver = new CFileTypeRecovery();
        pEngine.reset(pCarver);
        unsigned int nInit = 0;
        if (source.nDiskNo < 0 && lPartition == 0) {
            nInit = pCarver->Init(tw::Utf8ToWide(source.strFile.c_str()).c_str(), L'C');
        } else if (source.nDiskNo >= 0 || imageDisk.Set(source.strFile)) {
            nInit = pCarver->Init(source.nDiskNo >= 0 ? source.nDiskNo : 0,
                                  static_cast<long long>(u64First),
                                  static_cast<long long>(u64Count), L'C');
        } else {
            nInit = static_cast<unsigned int>(errno);
        }
        if (nInit != 0) {
            std::fprintf(stderr, "tarnwick-cli scan: cannot carve %s: %s\n", source.strName.c_str(),
                         Describe(nInit).c_str());
            return CLI_EXIT_SOURCE;
        }
    } else if (source.nDiskNo >= 0) {
        pEngine.reset(factory.CreateFileRecoveryInstance(
            source.nDiskNo, static_cast<long long>(u64First), static_cast<long long>(u64Count),
            L'C', RECOVERY_TYPE_FAST));
    } else if (lPartition > 0) {
        if (!imageDisk.Set(source.strFile)) {
            std::fprintf(stderr, "tarnwick-cli scan: cannot prepare %s for reading: %s\n",
                         source.strName.c_str(), std::strerror(errno));
            return CLI_EXIT_SOURCE;
        }
        pEngine.reset(factory.CreateFileRecoveryInstance(0, static_cast<long long>(u64First),
                                                         static_cast<long long>(u64Count), L'C',
                                                         RECOVERY_TYPE_FAST));
    } else {
        std::wstring wstrPath = tw::Utf8ToWide(source.strFile.c_str());
        pEngine.reset(
            factory.CreateFileRecoveryInstance(wstrPath.c_str(), L'C', RECOVERY_TYPE_FAST));
    }
    if (!pEngine) {
        std::fprintf(stderr,
                     "tarnwick-cli scan: %s holds no file system the fast mode can scan (FAT or "
                     "NTFS), or cannot be read\n",
                     source.strName.c_str());
        return CLI_EXIT_SOURCE;
    }
    pEngine->InitCallBack(ScanProgress, RecoveryProgress, nullptr, 100);
    unsigned int nScan =
        pCarver ? pCarver->CarveArea(u64First, u64Count) : pEngine->ScanDevice(nullptr);
    ClearProgress();
    if (g_bInterrupted) {
        std::fprintf(stderr, "tarnwick-cli scan: interrupted; the results so far stay in %s\n",
                     CLogFileManager::GetInstance().GetLogFileDirPath().c_str());
        return CLI_EXIT_INTERRUPTED;
    }
    if (nScan != 0) {
        std::fprintf(stderr, "tarnwick-cli scan: cannot scan %s: %s\n", source.strName.c_str(),
                     Describe(nScan).c_str());
        return CLI_EXIT_SOURCE;
    }

    // The listing, with the application's filter.
    pEngine->InitSearchCallBack(SearchProgress, nullptr);
    std::vector<__SEARCH_FILE_INFO__> hits;
    pEngine->SearchFileNode(BuildCategoryFilterW(nTypes).c_str(), hits);
    ClearProgress();
    if (g_bInterrupted) return CLI_EXIT_INTERRUPTED;

    if (args.Has("list")) {
        std::printf("engine\tsize\thealth\tpath\n");
        for (const __SEARCH_FILE_INFO__& hit : hits) {
            wchar_t wszParent[1024] = {0};
            pEngine->GetFileNodeParentDirPath(&hit, wszParent, 1024);
            std::string strPath = tw::WideToUtf8(wszParent) + tw::NarrowToUtf8(hit.szFileName);
            std::printf("%s\t%llu\t%u\t%s\n", EngineName(hit.nEngineType),
                        static_cast<unsigned long long>(hit.u64FileSize), hit.bDataHealth ? 1u : 0u,
                        Printable(strPath).c_str());
        }
    }
    if (!bRecover) {
        unsigned long long u64Total = 0;
        for (const __SEARCH_FILE_INFO__& hit : hits) u64Total += hit.u64FileSize;
        std::fprintf(args.Has("list") ? stderr : stdout, "Found %zu files (%s) on %s\n",
                     hits.size(), GetFileSizeString(static_cast<long long>(u64Total)).c_str(),
                     source.strName.c_str());
        return CLI_EXIT_OK;
    }

    // Recovery: one type folder per kind, names that overwrite nothing.
    if (unsigned int nRet = MakeDirs(strDest)) {
        std::fprintf(stderr, "tarnwick-cli scan: cannot create %s: %s\n", strDest.c_str(),
                     std::strerror(static_cast<int>(nRet)));
        return CLI_EXIT_FAILURE;
    }
    std::wstring wstrDest = tw::Utf8ToWide(strDest.c_str());
    int nLevelOffset = 0;
    GetPathDirIndex(wstrDest.c_str(), nLevelOffset);
    size_t nSaved = 0, nFailed = 0;
    unsigned long long u64Saved = 0;
    for (size_t i = 0; i < hits.size() && !g_bInterrupted; ++i) {
        const __SEARCH_FILE_INFO__& hit = hits[i];
        if (g_bProgress) std::fprintf(stderr, "\r\033[Krecovering %zu of %zu", i + 1, hits.size());
        char szFolder[16];
        GetDirTypeByFileName(hit.szFileName, szFolder);
        std::wstring wstrFolder = wstrDest + L"/" + tw::Utf8ToWide(szFolder);
        std::wstring wstrTarget;
        unsigned int nRet = CreateTargetDir(wstrFolder.c_str());
        if (nRet == 0) nRet = GetUniqueChildPath(wstrFolder, hit.szFileName, wstrTarget);
        if (nRet == 0 && wstrTarget.size() >= 512) nRet = ENAMETOOLONG;
        if (nRet == 0) nRet = pEngine->SaveFileData(&hit, wstrTarget.c_str(), nLevelOffset);
        ClearProgress();
        std::string strTarget = wstrTarget.empty() ? tw::WideToUtf8(wstrFolder.c_str()) + "/" +
                                                         tw::NarrowToUtf8(hit.szFileName)
                                                   : tw::WideToUtf8(wstrTarget.c_str());
        if (nRet == 0) {
            ++nSaved;
            u64Saved += hit.u64FileSize;
            std::printf("Success\t%s\n", Printable(strTarget).c_str());
        } else {
            ++nFailed;
            std::printf("Failed\t%s\t%s\n", Printable(strTarget).c_str(), Describe(nRet).c_str());
        }
        std::fflush(stdout);
    }
    std::printf("Recovered %zu of %zu files (%s) into %s; %zu failed%s\n", nSaved, hits.size(),
                GetFileSizeString(static_cast<long long>(u64Saved)).c_str(), strDest.c_str(),
                nFailed, g_bInterrupted ? "; interrupted" : "");
    if (g_bInterrupted) return CLI_EXIT_INTERRUPTED;
    return nFailed ? CLI_EXIT_FAILURE : CLI_EXIT_OK;
}

}  // namespace

extern const CliCommand g_cmdScan = {
    "scan",
    "scan a disk, a partition or an image; list and recover what it finds",
    "SOURCE",
    "SOURCE is a logical disk /dev/diskN (as 'disks' lists it) or an image file\n"
    "or device node; it is only ever read. Without --list or --recover, prints how\n"
    "many files were found. --list prints one tab-separated line per file: engine,\n"
    "size in bytes, health (1 intact, 0 damaged), path. --recover saves every\n"
    "listed file into DIR, one folder per kind (photo, audio, video, document,\n"
    "archive, others), under names that overwrite nothing, and prints 'Success' or\n"
    "'Failed' and the target for each, then a summary. Each scan keeps its results\n"
    "in a new numbered folder under the application-support folder's ScanLog/.\n"
    "Exit status: 0 all went well, 1 some files failed, 2 usage error, 3 the source\n"
    "cannot be opened or holds nothing the mode can scan, 130 interrupted.",
    {
        {"partition", "N", "scan the N-th partition of SOURCE (numbered as 'disks' prints)"},
        {"mode", "MODE",
         "fast (the file system's deleted files); carve (files found by their signatures "
         "in every sector); deep: not yet"},
        {"types", "LIST",
         "categories to list, comma-separated: photo,music,document,video,archive,other"},
        {"list", nullptr, "print one line per file found"},
        {"recover", "DIR", "save every listed file into DIR"},
        {"force", nullptr, "recover even onto the device being scanned"},
    },
    RunScan,
};
