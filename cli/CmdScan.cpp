// tarnwick-cli scan: scans a disk, a partition or an image, lists what it
// found and recovers it into a folder.
#include <fcntl.h>
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
#include "CliOutput.h"
#include "Recover.h"
#include "ScanFolder.h"
#include "Signals.h"
#include "carving/FileTypeRecovery.h"
#include "common/ByteOrder.h"
#include "common/DebugLog.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "device/PartitionManager.h"
#include "engine/DestinationCheck.h"
#include "engine/Categories.h"
#include "engine/ListingSort.h"
#include "deepscan/FileRecoveryFactory.h"
#include "deepscan/ProfessionalRecovery.h"
#include "engine/NodeInfo.h"
#include "engine/SaveTarget.h"

namespace {

CProgressLine* g_pProgress = nullptr;

int ScanProgress(void*, int nPercent, int nScale, int, unsigned long long u64Cur,
                 unsigned long long u64Total, unsigned long long u64Files, wchar_t*) {
    // The user's cancel: a file being measured is dropped, not recorded cut
    // short, and a resumed scan measures it again.
    if (Interrupted()) return static_cast<int>(TW_ERR_CANCELLED);
    if (!g_pProgress || !g_pProgress->Enabled()) return 0;
    // A deep scan's fast pass weighs 9 of the 100 (its percent counts within
    // that share); the deep pass reports 10 to 110 with weight 90 (9 to 99
    // before the final report). A walk inside the last piece may report a
    // little past its share.
    const int nOverall = nScale > 0 && nScale < 100 ? nPercent * nScale / 100 : nPercent;
    const int nShown = std::min(100, std::max(0, nOverall));
    // The engine's own estimate is unsteady at the start: the time left is
    // worked out from the time spent, once there is enough of it.
    const long long llSpent = g_pProgress->Elapsed();
    std::string strLeft = "estimating";
    if (nShown >= 100) {
        strLeft = GetTimeString(0);
    } else if (nShown >= 1 && llSpent >= 1000) {
        strLeft = GetTimeString(llSpent * (100 - nShown) / nShown / 1000);
    }
    // An engine that walks a file system knows no sector position.
    std::string strSectors;
    if (u64Total > 0)
        strSectors = "  sectors " + std::to_string(u64Cur) + "/" + std::to_string(u64Total);
    char szPercent[8];
    std::snprintf(szPercent, sizeof(szPercent), "%3d%%", nShown);
    g_pProgress->Show("scanning " + std::string(szPercent) + strSectors + "  files " +
                      std::to_string(u64Files) + "  time left " + strLeft);
    return 0;
}

int RecoveryProgress(void*, int, int, int, wchar_t*) {
    return Interrupted() ? static_cast<int>(TW_ERR_CANCELLED) : 0;
}

int SearchProgress(void*, int nPercent, wchar_t*) {
    if (Interrupted()) return 1;
    if (g_pProgress) g_pProgress->Show("listing " + std::to_string(nPercent) + "%");
    return 0;
}

// The listing's memory bound: TARNWICK_LISTING_MEMORY (bytes) lowers it, so
// that tests can make a small listing spill into runs.
size_t ListingMemoryBound() {
    const char* szBytes = std::getenv("TARNWICK_LISTING_MEMORY");
    if (!szBytes || !*szBytes) return CListingSort::kDefaultMemoryBound;
    char* pEnd = nullptr;
    const unsigned long long u64 = std::strtoull(szBytes, &pEnd, 10);
    if (*pEnd != '\0' || u64 == 0) return CListingSort::kDefaultMemoryBound;
    return static_cast<size_t>(
        std::min<unsigned long long>(u64, CListingSort::kDefaultMemoryBound));
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
        case ENGINE_FAST_EXFAT:
            return "exfat";
        case ENGINE_FAST_EXT:
            return "ext";
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

struct Source {
    std::string strName;                     // as given
    std::string strFile;                     // the file read, UTF-8
    int nDiskNo = -1;                        // a logical disk "/dev/diskN"
    std::shared_ptr<CMediumSource> pMedium;  // opened once, read by everything
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

int SourceError(const std::string& strName, const std::string& strWhy) {
    std::fprintf(stderr, "tarnwick-cli scan: %s %s\n", strName.c_str(), strWhy.c_str());
    return CLI_EXIT_SOURCE;
}

// Only a regular file or a block device can be scanned: anything else is
// refused before it is opened (opening a FIFO would wait for a writer).
// Opens it once, for everything that reads it; 0 or an exit status.
int OpenSource(Source& source) {
    struct stat st;
    if (source.strFile.empty() || stat(source.strFile.c_str(), &st) != 0) {
        std::fprintf(stderr, "tarnwick-cli scan: cannot open %s: %s\n", source.strName.c_str(),
                     std::strerror(source.strFile.empty() ? ENOENT : errno));
        return CLI_EXIT_SOURCE;
    }
    if (S_ISDIR(st.st_mode))
        return SourceError(source.strName,
                           "is a folder; give a disk, a partition or an image file");
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        return SourceError(source.strName,
                           "is neither an image file nor a block device; nothing to scan");
    unsigned int nErr = 0;
    source.pMedium = CMediumSource::Open(source.strFile.c_str(), nErr);
    if (!source.pMedium) {
        std::fprintf(stderr, "tarnwick-cli scan: cannot open %s: %s\n", source.strName.c_str(),
                     std::strerror(static_cast<int>(nErr)));
        return CLI_EXIT_SOURCE;
    }
    // What was opened must still be what was looked at.
    if (fstat(source.pMedium->Handle(), &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)))
        return SourceError(source.strName, "changed while it was being opened");
    if (source.pMedium->Bytes() < 512)
        return SourceError(source.strName, "holds nothing to scan (" +
                                               FormatSize(source.pMedium->Bytes()) +
                                               ", less than one 512-byte sector)");
    return 0;
}

// DIR must be a folder, or one that can be made, and writable: refused
// before a scan that could last hours. 0 or an exit status.
int CheckDestinationFolder(const std::string& strDest) {
    const DESTINATION_STATUS status = CheckDestination(strDest);
    if (status.nProblem == DESTINATION_OK) return 0;
    std::fprintf(stderr, "tarnwick-cli scan: %s%s\n",
                 DescribeDestinationProblem(strDest, status).c_str(),
                 status.nProblem == DESTINATION_NOT_A_FOLDER ? "; --recover needs a folder" : "");
    return CLI_EXIT_USAGE;
}

// Digits only, from 1 on, small enough for any partition table.
bool ParsePartitionNumber(const std::string& strValue, long& lOut) {
    if (strValue.empty() || strValue.size() > 6) return false;
    lOut = 0;
    for (char c : strValue) {
        if (c < '0' || c > '9') return false;
        lOut = lOut * 10 + (c - '0');
    }
    return lOut >= 1;
}

// The partitions of a disk image or disk, as 'disks' numbers them.
std::vector<_PARTITION_ITEM_> ListPartitions(const Source& source) {
    std::vector<_PARTITION_ITEM_> items;
    CPartitionManager manager;
    manager.ResetCounter();
    manager.GetDiskPartitions(MediumTableReader(*source.pMedium), source.pMedium->Bytes(),
                              source.nDiskNo >= 0 ? source.nDiskNo : 0, items);
    return items;
}

// The bytes per sector that the boot sector of the volume at a sector gives
// (0 when it cannot be read), remembered per volume.
class CVolumeSectorSize {
public:
    explicit CVolumeSectorSize(const Source& source) : m_medium(*source.pMedium) {}
    unsigned int Get(uint64_t u64VolumeStart) {
        auto it = m_known.find(u64VolumeStart);
        if (it != m_known.end()) return it->second;
        unsigned char buf[512];
        unsigned int nBytes = 0;
        MediumRead got;
        if (u64VolumeStart < (1ULL << 54) &&
            m_medium.Read(u64VolumeStart * 512, sizeof(buf), buf, got) == 0)
            // exFAT gives the size as a power of two at 108, FAT and NTFS at 11.
            nBytes = std::memcmp(buf + 3, "EXFAT   ", 8) == 0
                         ? (buf[108] >= 9 && buf[108] <= 12 ? 1u << buf[108] : 0u)
                         : Le16(buf + 11);
        return m_known[u64VolumeStart] = nBytes;
    }

private:
    CMediumSource& m_medium;
    std::map<uint64_t, unsigned int> m_known;
};

std::string JsonTime(const _FILE_NODE_& node, NODE_TIME nWhich) {
    struct timespec ts;
    return GetFileNodeTime(node, nWhich, ts) ? JsonString(FormatUtcTime(ts)) : "null";
}

// 0, or the errno of a listing that could not be read back.
unsigned int PrintListing(const Source& source, CListingSort& files, bool bJson) {
    CVolumeSectorSize sectorSize(source);
    if (!bJson) std::printf("engine\tsize\thealth\tpath\n");
    return files.ForEach([&](const ListedFile& file) {
        const __SEARCH_FILE_INFO__& hit = file.hit;
        if (!bJson) {
            std::printf("%s\t%llu\t%u\t%s\n", EngineName(hit.nEngineType),
                        static_cast<unsigned long long>(hit.u64FileSize), hit.bDataHealth ? 1u : 0u,
                        Printable(file.strPath).c_str());
            return 0;
        }
        uint64_t u64First = 0;
        const std::string strFirst =
            GetFileNodeFirstSector(hit, sectorSize.Get(hit.u64PartitionStartSector), u64First)
                ? std::to_string(u64First)
                : "null";
        std::printf(
            "{\"engine\":\"%s\",\"size\":%llu,\"health\":%s,\"deleted\":%s,\"path\":%s,"
            "\"created\":%s,\"accessed\":%s,\"modified\":%s,\"first_sector\":%s}\n",
            EngineName(hit.nEngineType), static_cast<unsigned long long>(hit.u64FileSize),
            hit.bDataHealth ? "true" : "false", hit.bIsDeleted ? "true" : "false",
            JsonString(file.strPath).c_str(), JsonTime(hit, NODE_TIME_CREATE).c_str(),
            JsonTime(hit, NODE_TIME_ACCESS).c_str(), JsonTime(hit, NODE_TIME_WRITE).c_str(),
            strFirst.c_str());
        return 0;
    });
}

// Says how many sectors could not be read, with the first few runs (and, with
// --json, one object on standard output); false when all could be read.
bool ReportUnreadable(const CMediumSource& medium, bool bJson) {
    const uint64_t u64Sectors = medium.UnreadableSectors();
    if (u64Sectors == 0) return false;
    const size_t kShown = 5;
    const std::vector<SectorRun> vecRuns = medium.UnreadableRuns(bJson ? SIZE_MAX : kShown + 1);
    std::string strText, strJson;
    for (size_t i = 0; i < vecRuns.size(); ++i) {
        const SectorRun& run = vecRuns[i];
        const uint64_t u64Last = run.u64First + run.u64Count - 1;
        if (i < kShown) {
            strText += (i ? ", " : "") + std::to_string(run.u64First);
            if (run.u64Count > 1) strText += "-" + std::to_string(u64Last);
        } else if (i == kShown) {
            strText += ", ...";
        }
        strJson += std::string(i ? "," : "") + "[" + std::to_string(run.u64First) + "," +
                   std::to_string(u64Last) + "]";
    }
    std::fprintf(stderr, "tarnwick-cli scan: %llu %s could not be read (%s %s)\n",
                 static_cast<unsigned long long>(u64Sectors),
                 u64Sectors == 1 ? "sector" : "sectors", u64Sectors == 1 ? "sector" : "sectors",
                 strText.c_str());
    if (bJson)
        std::printf("{\"unreadable_sectors\":%llu,\"unreadable_ranges\":[%s]}\n",
                    static_cast<unsigned long long>(u64Sectors), strJson.c_str());
    return true;
}

// What one `scan` is asked to do, from its arguments.
struct ScanRequest {
    Source source;
    std::string strMode;  // "deep", "fast" or "carve"
    bool bDeep = false, bResume = false, bRecover = false, bJson = false, bList = false;
    bool bKeepResults = false, bForce = false;
    unsigned int nTypes = TW_CATEGORY_ALL;
    long lPartition = 0;  // 0: the whole source
    RecoverOptions recover;
    // The area scanned, in 512-byte sectors (set once the source is open).
    unsigned long long u64First = 0, u64Count = 0;
};

// The options, checked; 0 or the usage error's exit status.
int ParseScanRequest(const CCliArgs& args, ScanRequest& req) {
    if (args.Positional().size() != 1) return Usage("give exactly one SOURCE");
    req.source.strName = args.Positional()[0];
    req.strMode = args.Get("mode", "deep");
    if (req.strMode != "deep" && req.strMode != "fast" && req.strMode != "carve")
        return Usage("unknown --mode ", req.strMode);
    req.bDeep = req.strMode == "deep";
    req.bResume = args.Has("resume");
    if (req.bResume && !req.bDeep) return Usage("--resume goes with --mode deep");
    if (args.Has("types")) {
        std::string strBad;
        if (!ParseCategoryNames(args.Get("types").c_str(), req.nTypes, strBad))
            return Usage("unknown type in --types: ", "'" + strBad + "'");
    }
    if (args.Has("partition") && !ParsePartitionNumber(args.Get("partition"), req.lPartition))
        return Usage("--partition needs a number from 1 on, not ",
                     "'" + args.Get("partition") + "'");
    req.bRecover = args.Has("recover");
    req.bJson = args.Has("json");
    req.bList = args.Has("list");
    req.bKeepResults = args.Has("keep-results");
    req.bForce = args.Has("force");
    RecoverOptions& recover = req.recover;
    recover.strDest = args.Get("recover");
    recover.bKeepPaths = args.Has("keep-paths");
    recover.bJson = req.bJson;
    if (req.bRecover && recover.strDest.empty()) return Usage("--recover needs a folder");
    if (recover.bKeepPaths && !req.bRecover) return Usage("--keep-paths goes with --recover");
    while (recover.strDest.size() > 1 && recover.strDest.back() == '/') recover.strDest.pop_back();
    return 0;
}

// Opens the source and sets the area to scan (the partition asked for, or
// the whole source); 0 or the exit status of the failure, said.
int OpenScanArea(ScanRequest& req) {
    Source& source = req.source;
    if (ParseLogicalDisk(source.strName, source.nDiskNo)) {
        source.strFile = tw::ResolveDiskNode(source.nDiskNo);
    } else {
        source.strFile = source.strName;
    }
    if (int nRet = OpenSource(source)) return nRet;
    req.u64First = 0;
    req.u64Count = source.pMedium->SectorCount();
    if (req.lPartition <= 0) return 0;
    std::vector<_PARTITION_ITEM_> items = ListPartitions(source);
    if (static_cast<size_t>(req.lPartition) > items.size())
        return SourceError(source.strName, "has no partition " + std::to_string(req.lPartition) +
                                               " (it has " + std::to_string(items.size()) + ")");
    const _PARTITION_ITEM_& item = items[static_cast<size_t>(req.lPartition - 1)];
    req.u64First = item.u64StartSector;
    req.u64Count =
        item.u64EndSector >= item.u64StartSector ? item.u64EndSector - item.u64StartSector + 1 : 0;
    return 0;
}

// The recovery folder can be written and lies off the scanned device (unless
// forced); 0 or the exit status of the refusal, said.
int CheckRecoverFolder(const ScanRequest& req) {
    if (!req.bRecover) return 0;
    if (int nRet = CheckDestinationFolder(req.recover.strDest)) return nRet;
    if (!req.bForce && IsTargetOnSourceDevice(req.source.pMedium->Identity().strPath.c_str(),
                                              req.recover.strDest.c_str())) {
        std::fprintf(
            stderr,
            "tarnwick-cli scan: %s lies on %s, the device being scanned: writing there can "
            "overwrite the very files being recovered. Choose a folder on another disk "
            "(or give --force).\n",
            req.recover.strDest.c_str(), req.source.strName.c_str());
        return CLI_EXIT_USAGE;
    }
    return 0;
}

// The engine of the mode asked for, reading the medium opened and nothing
// else; pCarver is the carving engine in carve mode. 0 or the exit status of
// the failure, said.
int MakeScanEngine(const ScanRequest& req, std::unique_ptr<IFileRecoveryParse>& pEngine,
                   CFileTypeRecovery*& pCarver) {
    const Source& source = req.source;
    pCarver = nullptr;
    if (req.strMode == "carve") {
        pCarver = new CFileTypeRecovery();
        pEngine.reset(pCarver);
        const unsigned int nInit =
            pCarver->Init(source.pMedium, static_cast<long long>(req.u64First),
                          static_cast<long long>(req.u64Count), L'C');
        if (nInit != 0)
            return SourceError(source.strName, "cannot be carved: " + DescribeResult(nInit));
        return 0;
    }
    pEngine.reset(CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
        source.pMedium, static_cast<long long>(req.u64First), static_cast<long long>(req.u64Count),
        L'C', req.bDeep ? RECOVERY_TYPE_DEEP : RECOVERY_TYPE_FAST));
    if (auto* pDeep = req.bDeep ? dynamic_cast<CProfessionalRecovery*>(pEngine.get()) : nullptr) {
        if (!req.bResume) {
            pDeep->SetNotLoadLogFile();
        } else if (!pDeep->IsFindLogFile()) {
            std::fprintf(stderr,
                         "tarnwick-cli scan: no interrupted deep scan of %s to resume; scanning "
                         "it afresh\n",
                         source.strName.c_str());
        }
    }
    if (pEngine) return 0;
    if (req.bDeep) return SourceError(source.strName, "cannot be read for a deep scan");
    const size_t nParts = req.lPartition == 0 ? ListPartitions(source).size() : 0;
    if (nParts > 0)
        return SourceError(
            source.strName,
            "holds " + std::to_string(nParts) + (nParts == 1 ? " partition" : " partitions") +
                ", not one file system: pick one with --partition N (1 to " +
                std::to_string(nParts) + "); 'tarnwick-cli disks' lists them for disks");
    return SourceError(source.strName,
                       "holds no file system the fast mode can scan (FAT or NTFS), or "
                       "cannot be read; --mode carve finds files by their content");
}

// After the scan: a medium gone or an interrupt ends the command (said, with
// the way to resume a deep scan), as does a failed scan. -1 when the command
// goes on to the listing.
int EndOfScan(const ScanRequest& req, bool bDeep, bool bGone, unsigned int nScan,
              const CScanFolderCleanup& cleanup) {
    const Source& source = req.source;
    if (bGone) {
        std::string strWhat = "tarnwick-cli scan: " + source.strName + " went away at sector " +
                              std::to_string(source.pMedium->GoneAtSector()) + " (" +
                              source.pMedium->GoneReason() + ")";
        if (bDeep)
            strWhat += "; what was found so far is kept: 'tarnwick-cli scan " + source.strName +
                       " --resume' goes on from there once it is back";
        std::fprintf(stderr, "%s\n", strWhat.c_str());
        return CLI_EXIT_SOURCE;
    }
    if (Interrupted() && bDeep) {
        std::fprintf(stderr,
                     "tarnwick-cli scan: interrupted; 'tarnwick-cli scan %s --resume' goes on "
                     "from here\n",
                     source.strName.c_str());
        return InterruptedExitStatus();
    }
    if (Interrupted()) {
        if (req.bKeepResults)
            std::fprintf(stderr, "tarnwick-cli scan: interrupted; the results so far stay in %s\n",
                         cleanup.Folder().c_str());
        else
            std::fprintf(stderr, "tarnwick-cli scan: interrupted\n");
        return InterruptedExitStatus();
    }
    if (nScan != 0)
        return SourceError(source.strName, "cannot be scanned: " + DescribeResult(nScan));
    return -1;
}

// The files found, with the application's filter, into the listing (which
// puts them in the order of their paths); false when the search is
// interrupted. The hits are taken one by one: none is held besides the
// listing's own bounded batch.
bool ListFound(IFileRecoveryParse& engine, unsigned int nTypes, CListingSort& listing) {
    engine.InitSearchCallBack(SearchProgress, nullptr);
    engine.SearchFileNodeEach(
        BuildCategoryFilterW(nTypes).c_str(), [&engine, &listing](const __SEARCH_FILE_INFO__& hit) {
            if (Interrupted()) return 1;
            ListedFile file;
            file.hit = hit;
            wchar_t wszParent[1024] = {0};
            engine.GetFileNodeParentDirPath(&hit, wszParent, 1024);
            file.wstrParent = wszParent;
            file.strPath = tw::WideToUtf8(wszParent) + tw::NarrowToUtf8(hit.szFileName);
            listing.Add(std::move(file));
            return 0;
        });
    if (g_pProgress) g_pProgress->Clear();
    return !Interrupted();
}

// Lists, counts or recovers the files found, then says what could not be
// read; the command's exit status.
int ListOrRecover(const ScanRequest& req, IFileRecoveryParse& engine, CListingSort& files,
                  CProgressLine& progress) {
    const Source& source = req.source;
    unsigned int nRead = req.bList ? PrintListing(source, files, req.bJson) : 0;
    int nStatus = CLI_EXIT_OK;
    if (nRead == 0 && !req.bRecover) {
        std::fprintf(req.bList || req.bJson ? stderr : stdout, "Found %zu files (%s) on %s\n",
                     files.Count(), FormatSize(files.TotalSize()).c_str(), source.strName.c_str());
    } else if (nRead == 0) {
        nStatus = RecoverFiles(engine, files, req.recover, progress, Interrupted());
    }
    if (nRead != 0) {
        std::fprintf(stderr, "tarnwick-cli scan: cannot read the sorted listing back: %s\n",
                     std::strerror(static_cast<int>(nRead)));
        return CLI_EXIT_FAILURE;
    }
    if (source.pMedium->IsGone()) {
        std::fprintf(stderr, "tarnwick-cli scan: %s went away at sector %llu (%s)\n",
                     source.strName.c_str(),
                     static_cast<unsigned long long>(source.pMedium->GoneAtSector()),
                     source.pMedium->GoneReason().c_str());
        return CLI_EXIT_SOURCE;
    }
    // What could not be read is said last, where it is seen.
    if (ReportUnreadable(*source.pMedium, req.bJson) && nStatus == CLI_EXIT_OK)
        nStatus = CLI_EXIT_FAILURE;
    return nStatus;
}

// parse -> open the source -> make the engine -> scan -> list or recover.
int RunScan(const CCliArgs& args) {
    ScanRequest req;
    if (int nRet = ParseScanRequest(args, req)) return nRet;
    if (std::getenv("TARNWICK_DEBUG")) tw::SetLogSink(DebugToStderr);
    CProgressLine progress;
    g_pProgress = &progress;
    if (int nRet = OpenScanArea(req)) return nRet;
    if (int nRet = CheckRecoverFolder(req)) return nRet;
    if (!PrepareScanFolder()) return CLI_EXIT_SOURCE;
    // A deep scan to be resumed keeps the log it continues.
    if (!req.bResume)
        DeleteEarlierLogs(-1, req.u64First, req.u64Count, req.source.pMedium->Identity().strPath);
    // Fast and carve scans cannot be resumed: their folder goes at the end.
    CScanFolderCleanup cleanup(req.bKeepResults);
    InstallStopSignals();

    std::unique_ptr<IFileRecoveryParse> pEngine;
    CFileTypeRecovery* pCarver = nullptr;
    if (int nRet = MakeScanEngine(req, pEngine, pCarver)) return nRet;
    const bool bDeep = req.bDeep && dynamic_cast<CProfessionalRecovery*>(pEngine.get());
    pEngine->InitCallBack(ScanProgress, RecoveryProgress, nullptr, 100);
    const unsigned int nScan =
        pCarver ? pCarver->CarveArea(req.u64First, req.u64Count) : pEngine->ScanDevice(nullptr);
    progress.Clear();
    // The deep scan's own folder: kept when interrupted or cut short by the
    // medium going away, for --resume.
    const bool bGone = req.source.pMedium->IsGone();
    std::unique_ptr<CScanFolderCleanup> pDeepCleanup;
    if (bDeep)
        pDeepCleanup.reset(new CScanFolderCleanup(req.bKeepResults || Interrupted() || bGone));
    const int nEnd = EndOfScan(req, bDeep, bGone, nScan, cleanup);
    if (nEnd >= 0) return nEnd;

    // Beyond its memory bound the listing is sorted in runs in the scan's
    // own folder, removed with it (and by the listing when it ends).
    CListingSort files(cleanup.Folder(), ListingMemoryBound());
    if (!ListFound(*pEngine, req.nTypes, files)) return InterruptedExitStatus();
    return ListOrRecover(req, *pEngine, files, progress);
}

}  // namespace

extern const CliCommand g_cmdScan = {
    "scan",
    "scan a disk, a partition or an image; list and recover what it finds",
    "SOURCE",
    "SOURCE is a logical disk /dev/diskN (as 'disks' lists it), an image file or a\n"
    "block device; it is only ever read. Folders, pipes, character devices and\n"
    "sources smaller than one sector are refused. Without --list or --recover,\n"
    "prints how many files were found. --list prints one tab-separated line per\n"
    "file: engine, size in bytes, health (1 intact, 0 damaged), path; names with\n"
    "numbers sort by their number. --recover saves every listed file into DIR, one\n"
    "folder per kind (photo, audio, video, document, archive, others) or, with\n"
    "--keep-paths, the scanned volume's own folders; names overwrite nothing, no\n"
    "link inside DIR is followed, the files get their recorded times and, under\n"
    "sudo or pkexec, are written as the user who asked. It prints 'Success',\n"
    "'Partial' (kept, with the bytes written) or 'Failed' and the target for\n"
    "each, then a summary. A scan keeps its results in\n"
    "a numbered folder under ScanLog/, removed when the command ends unless\n"
    "--keep-results is given; a listing too large for memory is sorted in\n"
    "pieces there.\n"
    "Sectors that cannot be read are skipped, counted and told ('N sectors could\n"
    "not be read'); a file crossing them is saved whole with zeros there, as\n"
    "'Partial'.\n"
    "Exit status: 0 all went well, 1 some files failed or came back in part, or\n"
    "some sectors could not be read, 2 usage error, 3 the source cannot be opened,\n"
    "holds nothing the mode can scan or went away during the scan, 130, 143 or 129\n"
    "interrupted by Ctrl-C, SIGTERM or SIGHUP (a deep scan keeps its log for\n"
    "--resume).",
    {
        {"partition", "N", "scan the N-th partition of SOURCE (numbered as 'disks' prints)"},
        {"mode", "MODE",
         "deep (the default: the file system's deleted files, then every free sector for "
         "lost folders, file records and signatures); fast (the file system's deleted files "
         "only); carve (files found by their signatures in every sector)"},
        {"resume", nullptr,
         "continue an interrupted deep scan of the same source and area instead of "
         "starting afresh"},
        {"types", "LIST",
         "categories to list, comma-separated, any case: photo, music (or audio), "
         "document, video, archive, other (or others)"},
        {"list", nullptr, "print one line per file found"},
        {"recover", "DIR", "save every listed file into DIR"},
        {"keep-paths", nullptr, "with --recover: recreate the volume's folders under DIR"},
        {"json", nullptr,
         "print one JSON object per line: per file found with --list, per file saved "
         "with --recover"},
        {"keep-results", nullptr, "keep the scan folder under ScanLog/ after the command"},
        {"force", nullptr, "recover even onto the device being scanned"},
    },
    RunScan,
};
