#include "Recover.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "CliArgs.h"
#include "ScanFolder.h"
#include "Signals.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/RecoveryLayout.h"
#include "engine/RecoveryOutcome.h"
#include "engine/SaveTarget.h"

namespace {

// One file's save: where it went, how it ended, and what failed.
struct SavedFile {
    std::string strTarget;          // UTF-8; the intended name when none was made
    unsigned int nRet = 0;          // 0 or the error of the step that failed
    const char* szFailedOn = "";    // "folder", "name" or "data" when nRet is not 0
    RECOVERY_FILE_RESULT result{};  // what reached the disk
};

// Saves one file into its folder under the layout; a file written in part is
// kept, an empty failure removed, and a whole one gets its recorded times.
SavedFile SaveOne(IFileRecoveryParse& engine, CRecoveryLayout& layout, const ListedFile& file,
                  bool bKeepPaths, int nLevelOffset) {
    SavedFile saved;
    const std::vector<std::string> vecNoFolders;
    std::string strFolder;
    saved.szFailedOn = "folder";
    unsigned int nRet = layout.MakeTargetFolder(
        file.hit, bKeepPaths ? SplitParentPath(file.wstrParent) : vecNoFolders, strFolder);
    std::wstring wstrTarget;
    if (nRet == 0) {
        saved.szFailedOn = "name";
        nRet =
            GetUniqueChildPath(tw::Utf8ToWide(strFolder.c_str()), file.hit.szFileName, wstrTarget);
        if (nRet == 0 && wstrTarget.size() >= 512) nRet = ENAMETOOLONG;
    }
    if (nRet == 0) {
        saved.szFailedOn = "data";
        ResetSaveFailureOrigin();
        nRet = engine.SaveFileData(&file.hit, wstrTarget.c_str(), nLevelOffset);
    }
    const bool bDestinationFailed = std::strcmp(saved.szFailedOn, "data") != 0 ||
                                    GetLastSaveFailureOrigin() == SAVE_FAILURE_DESTINATION;
    saved.strTarget =
        wstrTarget.empty()
            ? strFolder + "/" + tw::NarrowToUtf8(MakeSafeFileName(file.hit.szFileName).c_str())
            : tw::WideToUtf8(wstrTarget.c_str());
    saved.result = SettleRecoveredFile(wstrTarget.empty() ? std::string() : saved.strTarget, nRet,
                                       bDestinationFailed, file.hit.u64FileSize);
    if (IsSavedWhole(saved.result)) SetRecoveredFileTimes(saved.strTarget, file.hit);
    saved.nRet = nRet;
    return saved;
}

// One line (or JSON object) on standard output for one file saved.
void PrintSaved(const ListedFile& file, const SavedFile& saved, bool bJson) {
    const RECOVERY_FILE_RESULT& result = saved.result;
    const unsigned long long u64Size = file.hit.u64FileSize;
    const char* szStatus = RecoveryOutcomeWord(result.nOutcome);
    if (bJson) {
        std::string strJsonStatus = szStatus;  // "success", "partial", "failed"
        strJsonStatus[0] = static_cast<char>(std::tolower(strJsonStatus[0]));
        std::string strLine =
            "{\"status\":\"" + strJsonStatus + "\",\"path\":" + JsonString(file.strPath) +
            ",\"target\":" + JsonString(saved.strTarget) + ",\"size\":" + std::to_string(u64Size) +
            ",\"written\":" + std::to_string(saved.nRet == 0 ? u64Size : result.u64Written);
        if (result.u64Unreadable > 0)
            strLine += ",\"unreadable\":" + std::to_string(result.u64Unreadable);
        if (saved.nRet != 0)
            strLine += ",\"error\":" + JsonString(RecoveryCause(result)) + ",\"failed_on\":\"" +
                       saved.szFailedOn + "\"";
        std::printf("%s}\n", strLine.c_str());
    } else if (saved.nRet == 0) {
        std::printf("%s\t%s\n", szStatus, Printable(saved.strTarget).c_str());
    } else {
        std::printf("%s\t%s\t%s\n", szStatus, Printable(saved.strTarget).c_str(),
                    RecoveryReason(result).c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int RecoverFiles(IFileRecoveryParse& engine, CListingSort& files, const RecoverOptions& options,
                 CProgressLine& progress, volatile const int& bInterrupted) {
    CRecoveryLayout layout(options.strDest, options.bKeepPaths);
    // Everything is made below DIR, as the user who asked (under sudo or pkexec).
    CSaveDestination dest;
    if (unsigned int nRet = dest.Open(options.strDest, tw::RequestingFsUser())) {
        std::fprintf(stderr, "tarnwick-cli scan: cannot create %s: %s\n", options.strDest.c_str(),
                     DescribeDestinationError(nRet).c_str());
        return CLI_EXIT_FAILURE;
    }
    int nLevelOffset = 0;
    GetPathDirIndex(tw::Utf8ToWide(options.strDest.c_str()).c_str(), nLevelOffset);
    size_t nSaved = 0, nPartial = 0, nFailed = 0, nDone = 0;
    unsigned long long u64Saved = 0;
    const size_t nFiles = files.Count();
    const unsigned int nRead = files.ForEach([&](const ListedFile& file) {
        if (bInterrupted) return 1;
        ++nDone;
        progress.Show("recovering " + std::to_string(nDone) + " of " + std::to_string(nFiles),
                      nDone == nFiles);
        const SavedFile saved = SaveOne(engine, layout, file, options.bKeepPaths, nLevelOffset);
        progress.Clear();
        if (saved.result.nOutcome == RECOVERY_RECOVERED) {
            ++nSaved;
            u64Saved = AddSizes(u64Saved, file.hit.u64FileSize);
        } else if (saved.result.nOutcome == RECOVERY_PARTIAL) {
            ++nPartial;
        } else {
            ++nFailed;
        }
        PrintSaved(file, saved, options.bJson);
        return 0;
    });
    if (nRead != 0) {
        std::fprintf(stderr, "tarnwick-cli scan: cannot read the sorted listing back: %s\n",
                     std::strerror(static_cast<int>(nRead)));
        ++nFailed;
    }
    // Folder times last: every file written into a folder changed its own.
    layout.SetFolderTimes(engine);
    std::string strSummary = "Recovered " + std::to_string(nSaved) + " of " +
                             std::to_string(nFiles) + " files (" + FormatSize(u64Saved) +
                             ") into " + options.strDest;
    if (nPartial || nFailed)
        strSummary +=
            "; " + std::to_string(nPartial) + " partial, " + std::to_string(nFailed) + " failed";
    if (bInterrupted) strSummary += "; interrupted";
    std::fprintf(options.bJson ? stderr : stdout, "%s\n", strSummary.c_str());
    if (bInterrupted) return InterruptedExitStatus();
    return (nPartial || nFailed) ? CLI_EXIT_FAILURE : CLI_EXIT_OK;
}
