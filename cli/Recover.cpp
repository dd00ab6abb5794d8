#include "Recover.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "CliArgs.h"
#include "ScanFolder.h"
#include "Signals.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/Categories.h"
#include "engine/NodeInfo.h"
#include "engine/RecoveryOutcome.h"
#include "engine/SaveTarget.h"

namespace {

// The access and modification times of a record for utimensat; false when it
// holds neither.
bool NodeTimes(const _FILE_NODE_& node, struct timespec times[2]) {
    bool bAccess = GetFileNodeTime(node, NODE_TIME_ACCESS, times[0]);
    bool bWrite = GetFileNodeTime(node, NODE_TIME_WRITE, times[1]);
    if (!bAccess) times[0].tv_nsec = UTIME_OMIT;
    if (!bWrite) times[1].tv_nsec = UTIME_OMIT;
    return bAccess || bWrite;
}

// The folders made below DIR for the volume's own folders: the raw names of
// their path, to find their records once every file is saved.
struct MadeFolder {
    std::string strPath;                // on disk, UTF-8
    std::vector<std::string> vecNames;  // narrow names from the volume
};

// The record of a folder of the volume, found by walking down from the top.
bool FindFolderRecord(IFileRecoveryParse& engine, const std::vector<std::string>& vecNames,
                      _FILE_NODE_& out) {
    const _FILE_NODE_* pParent = nullptr;
    _FILE_NODE_ current;
    for (size_t nLevel = 0; nLevel < vecNames.size(); ++nLevel) {
        std::vector<_FILE_NODE_> vecChildren;
        if (engine.GetChildrenFileNode(pParent, static_cast<unsigned int>(nLevel), vecChildren) !=
            0)
            return false;
        auto it = std::find_if(vecChildren.begin(), vecChildren.end(), [&](const _FILE_NODE_& n) {
            return n.bIsDir &&
                   vecNames[nLevel] ==
                       std::string(n.szFileName, strnlen(n.szFileName, sizeof(n.szFileName)));
        });
        if (it == vecChildren.end()) return false;
        current = *it;
        pParent = &current;
    }
    if (!pParent) return false;
    out = current;
    return true;
}

// The target folder of one file, created with its missing parents.
unsigned int TargetFolder(const ListedFile& file, const RecoverOptions& options,
                          std::string& strFolder, std::vector<MadeFolder>& vecMade) {
    std::vector<std::string> vecMadeNow;
    std::vector<std::string> vecNames;
    if (options.bKeepPaths) {
        strFolder = options.strDest;
        std::wstring wstrParent = file.wstrParent;
        size_t nStart = 0;
        while (nStart < wstrParent.size()) {
            size_t nEnd = wstrParent.find(L'/', nStart);
            if (nEnd == std::wstring::npos) nEnd = wstrParent.size();
            if (nEnd > nStart) {
                std::string strName =
                    tw::WideToNarrow(wstrParent.substr(nStart, nEnd - nStart).c_str());
                vecNames.push_back(strName);
                strFolder += "/" + tw::NarrowToUtf8(MakeSafeFileName(strName.c_str()).c_str());
            }
            nStart = nEnd + 1;
        }
    } else {
        char szType[16];
        GetDirTypeByFileName(file.hit.szFileName, szType);
        strFolder = options.strDest + "/" + szType;
    }
    unsigned int nRet = MakeTargetDirs(strFolder, &vecMadeNow);
    for (const std::string& strMade : vecMadeNow) {
        if (!options.bKeepPaths || strMade.size() <= options.strDest.size()) continue;
        // How many of the volume's names this folder stands for.
        size_t nDepth = std::count(strMade.begin() + static_cast<long>(options.strDest.size()),
                                   strMade.end(), '/');
        if (nDepth > vecNames.size()) continue;
        vecMade.push_back(
            {strMade, std::vector<std::string>(vecNames.begin(),
                                               vecNames.begin() + static_cast<long>(nDepth))});
    }
    return nRet;
}

}  // namespace

int RecoverFiles(IFileRecoveryParse& engine, const std::vector<ListedFile>& files,
                 const RecoverOptions& options, CProgressLine& progress,
                 volatile const int& bInterrupted) {
    std::vector<MadeFolder> vecMade;
    // Everything is made below DIR, as the user who asked (under sudo or pkexec).
    CSaveDestination dest;
    if (unsigned int nRet = dest.Open(options.strDest, tw::RequestingFsUser())) {
        std::fprintf(stderr, "tarnwick-cli scan: cannot create %s: %s\n", options.strDest.c_str(),
                     DescribeDestinationError(nRet).c_str());
        return CLI_EXIT_FAILURE;
    }
    int nLevelOffset = 0;
    GetPathDirIndex(tw::Utf8ToWide(options.strDest.c_str()).c_str(), nLevelOffset);
    size_t nSaved = 0, nPartial = 0, nFailed = 0;
    unsigned long long u64Saved = 0;
    for (size_t i = 0; i < files.size() && !bInterrupted; ++i) {
        const ListedFile& file = files[i];
        progress.Show("recovering " + std::to_string(i + 1) + " of " + std::to_string(files.size()),
                      i + 1 == files.size());
        std::string strFolder;
        const char* szFailedOn = "folder";
        unsigned int nRet = TargetFolder(file, options, strFolder, vecMade);
        std::wstring wstrTarget;
        if (nRet == 0) {
            szFailedOn = "name";
            nRet = GetUniqueChildPath(tw::Utf8ToWide(strFolder.c_str()), file.hit.szFileName,
                                      wstrTarget);
            if (nRet == 0 && wstrTarget.size() >= 512) nRet = ENAMETOOLONG;
        }
        if (nRet == 0) {
            szFailedOn = "data";
            ResetSaveFailureOrigin();
            nRet = engine.SaveFileData(&file.hit, wstrTarget.c_str(), nLevelOffset);
        }
        const bool bDestinationFailed = std::strcmp(szFailedOn, "data") != 0 ||
                                        GetLastSaveFailureOrigin() == SAVE_FAILURE_DESTINATION;
        const std::string strTarget =
            wstrTarget.empty()
                ? strFolder + "/" + tw::NarrowToUtf8(MakeSafeFileName(file.hit.szFileName).c_str())
                : tw::WideToUtf8(wstrTarget.c_str());
        // What reached the disk: a file written in part is kept, an empty
        // failure removed.
        const RECOVERY_FILE_RESULT result =
            SettleRecoveredFile(wstrTarget.empty() ? std::string() : strTarget, nRet,
                                bDestinationFailed, file.hit.u64FileSize);
        const std::string strCause = RecoveryCause(result);
        const unsigned long long u64Written = result.u64Written;
        struct timespec times[2];
        // A file saved whole, zeros where the medium failed, gets its times too.
        const bool bWhole = result.nOutcome == RECOVERY_RECOVERED ||
                            (result.u64Unreadable > 0 && u64Written == file.hit.u64FileSize);
        if (bWhole && NodeTimes(file.hit, times)) {
            const int fd = OpenTarget(strTarget, O_RDONLY);
            if (fd >= 0) {
                futimens(fd, times);
                close(fd);
            }
        }
        progress.Clear();
        const unsigned long long u64Size = file.hit.u64FileSize;
        const char* szStatus = RecoveryOutcomeWord(result.nOutcome);
        std::string strJsonStatus = szStatus;  // "success", "partial", "failed"
        strJsonStatus[0] = static_cast<char>(std::tolower(strJsonStatus[0]));
        if (result.nOutcome == RECOVERY_RECOVERED) {
            ++nSaved;
            u64Saved = AddSizes(u64Saved, u64Size);
        } else if (result.nOutcome == RECOVERY_PARTIAL) {
            ++nPartial;
        } else {
            ++nFailed;
        }
        if (options.bJson) {
            std::string strLine =
                "{\"status\":\"" + strJsonStatus + "\",\"path\":" + JsonString(file.strPath) +
                ",\"target\":" + JsonString(strTarget) + ",\"size\":" + std::to_string(u64Size) +
                ",\"written\":" + std::to_string(nRet == 0 ? u64Size : u64Written);
            if (result.u64Unreadable > 0)
                strLine += ",\"unreadable\":" + std::to_string(result.u64Unreadable);
            if (nRet != 0)
                strLine +=
                    ",\"error\":" + JsonString(strCause) + ",\"failed_on\":\"" + szFailedOn + "\"";
            std::printf("%s}\n", strLine.c_str());
        } else if (nRet == 0) {
            std::printf("%s\t%s\n", szStatus, Printable(strTarget).c_str());
        } else {
            std::printf("%s\t%s\t%s\n", szStatus, Printable(strTarget).c_str(),
                        RecoveryReason(result).c_str());
        }
        std::fflush(stdout);
    }
    // Folder times last: every file written into a folder changed its own.
    for (auto it = vecMade.rbegin(); it != vecMade.rend(); ++it) {
        _FILE_NODE_ node;
        struct timespec times[2];
        if (!FindFolderRecord(engine, it->vecNames, node) || !NodeTimes(node, times)) continue;
        const int fd = OpenTarget(it->strPath, O_RDONLY | O_DIRECTORY);
        if (fd < 0) continue;
        futimens(fd, times);
        close(fd);
    }
    std::string strSummary = "Recovered " + std::to_string(nSaved) + " of " +
                             std::to_string(files.size()) + " files (" + FormatSize(u64Saved) +
                             ") into " + options.strDest;
    if (nPartial || nFailed)
        strSummary +=
            "; " + std::to_string(nPartial) + " partial, " + std::to_string(nFailed) + " failed";
    if (bInterrupted) strSummary += "; interrupted";
    std::fprintf(options.bJson ? stderr : stdout, "%s\n", strSummary.c_str());
    if (bInterrupted) return InterruptedExitStatus();
    return (nPartial || nFailed) ? CLI_EXIT_FAILURE : CLI_EXIT_OK;
}
