#include "ScanFolder.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Platform.h"
#include "common/StoreFiles.h"
#include "engine/LogFileManager.h"

namespace {

bool CanWriteScanLog() {
    return MakeDirTree(tw::ScanLogDir().c_str(), 0755) == 0 &&
           access(tw::ScanLogDir().c_str(), W_OK | X_OK) == 0;
}

}  // namespace

bool PrepareScanFolder() {
    if (!CanWriteScanLog()) {
        const std::string strOld = tw::SupportDir();
        const std::string strUser = tw::UserDataDir();
        if (strUser.empty() || strUser == strOld) {
            std::fprintf(stderr, "tarnwick-cli scan: cannot write to %s\n",
                         tw::ScanLogDir().c_str());
            return false;
        }
        setenv("TARNWICK_SUPPORT_DIR", strUser.c_str(), 1);
        if (!CanWriteScanLog()) {
            std::fprintf(stderr, "tarnwick-cli scan: cannot write to %s nor to %s\n",
                         strOld.c_str(), strUser.c_str());
            return false;
        }
        std::fprintf(stderr, "tarnwick-cli scan: cannot write to %s; keeping scan results in %s\n",
                     strOld.c_str(), strUser.c_str());
    }
    CLogFileManager& logs = CLogFileManager::GetInstance();
    logs.Init();
    logs.AddDirIndex();
    logs.SaveLogConfigFile();
    return true;
}

int DeleteEarlierLogs(int nDiskNo, uint64_t u64FirstSector, uint64_t u64SectorCount,
                      const std::string& strImagePath) {
    CLogFileManager& logs = CLogFileManager::GetInstance();
    std::vector<std::string> vecFolders;
    for (const _LOG_FILE_INFO_& info : logs.GetRecords()) {
        const std::string strPath(info.szImagePath,
                                  strnlen(info.szImagePath, sizeof(info.szImagePath)));
        // A medium opened by path is known by its path whatever number it had.
        const bool bSame = strImagePath.empty() ? info.nDiskNo == nDiskNo && strPath.empty()
                                                : strPath == strImagePath;
        if (bSame && info.u64FirstSector == u64FirstSector && info.u64SectorCount == u64SectorCount)
            vecFolders.emplace_back(info.szLogDir, strnlen(info.szLogDir, sizeof(info.szLogDir)));
    }
    int nDeleted = 0;
    for (const std::string& strFolder : vecFolders) {
        // A live scan's folder (another program's) stays.
        if (logs.IsHeldByAnother(strFolder.c_str())) continue;
        logs.DeleteLogFileDir(strFolder.c_str());
        ++nDeleted;
    }
    return nDeleted;
}

CScanFolderCleanup::CScanFolderCleanup(bool bKeep)
    : m_bKeep(bKeep), m_strFolder(CLogFileManager::GetInstance().GetLogFileDirPath()) {}

CScanFolderCleanup::~CScanFolderCleanup() {
    // A folder that holds nothing but its lock (a deep scan works in a folder
    // of its own) is not kept either.
    bool bEmpty = true;
    if (DIR* pDir = opendir(m_strFolder.c_str())) {
        while (struct dirent* pEntry = readdir(pDir)) {
            const std::string strName = pEntry->d_name;
            if (strName != "." && strName != ".." && strName != kLogHoldName) bEmpty = false;
        }
        closedir(pDir);
    }
    if (!m_bKeep || bEmpty) CLogFileManager::GetInstance().DeleteLogFileDir(m_strFolder.c_str());
}
