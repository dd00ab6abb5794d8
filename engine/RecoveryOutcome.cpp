#include "engine/RecoveryOutcome.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/IFileRecoveryParse.h"
#include "engine/SaveTarget.h"

const char* RecoveryOutcomeWord(RECOVERY_OUTCOME nOutcome) {
    switch (nOutcome) {
        case RECOVERY_RECOVERED:
            return "Success";
        case RECOVERY_PARTIAL:
            return "Partial";
        default:
            return "Failed";
    }
}

std::string DescribeResult(unsigned int nCode) {
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
            // An engine's own codes (NTFS: -1 no file record, -100 no data
            // attribute) are no errno.
            if (static_cast<int>(nCode) < 0)
                return "its record gives no data to read (" +
                       std::to_string(static_cast<int>(nCode)) + ")";
            return std::strerror(static_cast<int>(nCode));
    }
}

std::string DescribeDestinationError(unsigned int nCode) {
    if (nCode == ELOOP)
        return "a link is in the way (links inside the destination are not followed)";
    return std::strerror(static_cast<int>(nCode));
}

std::string RecoveryCause(const RECOVERY_FILE_RESULT& result) {
    if (result.nOutcome == RECOVERY_RECOVERED) return std::string();
    if (result.u64Unreadable > 0)
        return std::to_string(result.u64Unreadable) +
               " bytes could not be read from the medium; they are zeros in the file";
    // The codes of the source and the destination overlap (30 is also a
    // read-only file system): the origin says which one it was.
    return result.bDestination
               ? "cannot write the destination: " + DescribeDestinationError(result.nCode)
               : DescribeResult(result.nCode);
}

std::string RecoveryReason(const RECOVERY_FILE_RESULT& result) {
    if (result.nOutcome != RECOVERY_PARTIAL) return RecoveryCause(result);
    return std::to_string(result.u64Written) + " of " + std::to_string(result.u64Size) +
           " bytes written: " + RecoveryCause(result);
}

RECOVERY_FILE_RESULT SettleRecoveredFile(const std::string& strTargetUtf8, unsigned int nCode,
                                         bool bDestination, unsigned long long u64Size) {
    RECOVERY_FILE_RESULT result;
    result.nCode = nCode;
    result.bDestination = nCode != 0 && bDestination;
    result.u64Size = u64Size;
    if (nCode == 0) {
        result.u64Written = u64Size;
        return result;
    }
    const int fd = strTargetUtf8.empty() ? -1 : OpenTarget(strTargetUtf8, O_RDONLY);
    struct stat st;
    const bool bExists = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (fd >= 0) close(fd);
    if (bExists) result.u64Written = static_cast<unsigned long long>(st.st_size);
    if (bExists && result.u64Written == 0) RemoveTarget(strTargetUtf8);
    if (!result.bDestination) result.u64Unreadable = GetLastSaveUnreadableBytes();
    result.nOutcome = result.u64Written > 0 ? RECOVERY_PARTIAL : RECOVERY_FAILED;
    return result;
}

std::string FormatRecoveryCounts(size_t nRecovered, size_t nPartial, size_t nFailed) {
    return std::to_string(nRecovered) + " recovered, " + std::to_string(nPartial) + " partial, " +
           std::to_string(nFailed) + " failed";
}

bool IsSavedWhole(const RECOVERY_FILE_RESULT& result) {
    return result.nOutcome == RECOVERY_RECOVERED ||
           (result.u64Unreadable > 0 && result.u64Written == result.u64Size);
}
