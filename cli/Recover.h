// tarnwick-cli scan --recover: saving the listed files into a folder.
#pragma once

#include <string>
#include <vector>

#include "CliOutput.h"
#include "engine/IFileRecoveryParse.h"
#include "engine/ListingSort.h"      // ListedFile
#include "engine/RecoveryOutcome.h"  // DescribeResult

struct RecoverOptions {
    std::string strDest;      // DIR, UTF-8
    bool bKeepPaths = false;  // the volume's folders instead of the type folders
    bool bJson = false;       // one JSON object per file instead of text lines
};

// Saves every file, prints one line (or JSON object) per file and a summary.
// Times from the records are set on the files (and, with keep-paths, on the
// folders). Nothing is made through a link inside DIR nor over an existing
// name; under sudo or pkexec everything is made as that user.
// Returns the exit status: 0, 1 when a file failed or came back in part, that
// of the signal when interrupted (bInterrupted is polled; cli/Signals.h).
// A listing that cannot be read back ends the saving with its errno's message.
int RecoverFiles(IFileRecoveryParse& engine, CListingSort& files, const RecoverOptions& options,
                 CProgressLine& progress, volatile const int& bInterrupted);
