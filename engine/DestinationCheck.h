// Whether found files can be saved under a folder, checked before a recovery
// starts: the folder, or the nearest existing one above a folder still to be
// made, must be a folder that can be written, by the user who asked when the
// program runs for one (under sudo or pkexec).
#pragma once

#include <string>

enum DESTINATION_PROBLEM {
    DESTINATION_OK,
    DESTINATION_UNUSABLE,      // the path cannot be looked at
    DESTINATION_NOT_A_FOLDER,  // it, or the nearest existing part, is no folder
    DESTINATION_NOT_WRITABLE,
};

struct DESTINATION_STATUS {
    DESTINATION_PROBLEM nProblem = DESTINATION_OK;
    int nErrno = 0;
    std::string strFolder;  // the folder (or other file) that was looked at
    bool bAsUser = false;   // looked at as the user who asked, uid nUid
    unsigned int nUid = 0;
    bool bFreeKnown = false;
    unsigned long long u64FreeBytes = 0;  // what an unprivileged writer may use there
};

DESTINATION_STATUS CheckDestination(const std::string& strDestUtf8);
// What is wrong, in words: "cannot write to /media/x: Read-only file system";
// "" when nothing is.
std::string DescribeDestinationProblem(const std::string& strDestUtf8,
                                       const DESTINATION_STATUS& status);
