// How the saving of one found file ended, and the words for it that the
// command line and the window both use.
#pragma once

#include <cstddef>
#include <string>

enum RECOVERY_OUTCOME { RECOVERY_RECOVERED, RECOVERY_PARTIAL, RECOVERY_FAILED };

struct RECOVERY_FILE_RESULT {
    RECOVERY_OUTCOME nOutcome = RECOVERY_RECOVERED;
    unsigned int nCode = 0;          // the save's result code
    bool bDestination = false;       // the failure came from writing the target
    unsigned long long u64Size = 0;  // the file's size
    unsigned long long u64Written = 0;
    // Bytes that are zeros in the file because the medium could not give them.
    unsigned long long u64Unreadable = 0;
};

// Whether the whole file reached the disk: recovered, or written to its end
// with zeros only where the medium could not give its bytes. Such a file gets
// its record's times.
bool IsSavedWhole(const RECOVERY_FILE_RESULT& result);

// "Success", "Partial", "Failed".
const char* RecoveryOutcomeWord(RECOVERY_OUTCOME nOutcome);
// A save's result code in words, as the source's side of a failure.
std::string DescribeResult(unsigned int nCode);
// Why the destination could not be written, in words.
std::string DescribeDestinationError(unsigned int nCode);
// Why a file was not recovered whole: "cannot write the destination: No space
// left on device", "the data could not be read whole", ...; "" when it was.
std::string RecoveryCause(const RECOVERY_FILE_RESULT& result);
// The cause, for a partial file after "N of M bytes written: ".
std::string RecoveryReason(const RECOVERY_FILE_RESULT& result);
// After a save of u64Size bytes to strTargetUtf8 ended with nCode: a failed
// save that left bytes is partial and keeps them; one that left an empty file
// has it removed (never through a link). nCode 0 is a recovered file. The
// bytes of the source that could not be read come from the save just made on
// this thread (GetLastSaveUnreadableBytes).
RECOVERY_FILE_RESULT SettleRecoveredFile(const std::string& strTargetUtf8, unsigned int nCode,
                                         bool bDestination, unsigned long long u64Size);
// "3 recovered, 1 partial, 2 failed".
std::string FormatRecoveryCounts(size_t nRecovered, size_t nPartial, size_t nFailed);
