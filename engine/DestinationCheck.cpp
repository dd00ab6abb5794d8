#include "engine/DestinationCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Platform.h"

DESTINATION_STATUS CheckDestination(const std::string& strDestUtf8) {
    DESTINATION_STATUS status;
    const tw::FsUser user = tw::RequestingFsUser();
    tw::CActAsUser as(user);
    status.bAsUser = as.Active();
    status.nUid = user.nUid;
    std::string strProbe = strDestUtf8;
    struct stat st;
    while (stat(strProbe.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            status.nProblem = DESTINATION_UNUSABLE;
            status.nErrno = errno;
            status.strFolder = strDestUtf8;
            return status;
        }
        const size_t nSlash = strProbe.find_last_of('/');
        strProbe = nSlash == std::string::npos ? "."
                   : nSlash == 0               ? "/"
                                               : strProbe.substr(0, nSlash);
    }
    status.strFolder = strProbe;
    if (!S_ISDIR(st.st_mode)) {
        status.nProblem = DESTINATION_NOT_A_FOLDER;
        status.nErrno = ENOTDIR;
        return status;
    }
    if (faccessat(AT_FDCWD, strProbe.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        status.nProblem = DESTINATION_NOT_WRITABLE;
        status.nErrno = errno;
        return status;
    }
    struct statvfs vfs;
    if (statvfs(strProbe.c_str(), &vfs) == 0) {
        status.bFreeKnown = true;
        status.u64FreeBytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
    }
    return status;
}

std::string DescribeDestinationProblem(const std::string& strDestUtf8,
                                       const DESTINATION_STATUS& status) {
    switch (status.nProblem) {
        case DESTINATION_UNUSABLE:
            return "cannot use " + strDestUtf8 + ": " + std::strerror(status.nErrno);
        case DESTINATION_NOT_A_FOLDER:
            return status.strFolder + " is not a folder";
        case DESTINATION_NOT_WRITABLE:
            return "cannot write to " + status.strFolder +
                   (status.bAsUser
                        ? " as the user who asked (uid " + std::to_string(status.nUid) + ")"
                        : std::string()) +
                   ": " + std::strerror(status.nErrno);
        default:
            return std::string();
    }
}
