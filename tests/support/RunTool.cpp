#include "support/RunTool.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace twtest {

std::string FindTool(const std::string& strName) {
    std::string strDirs;
    if (const char* szPath = std::getenv("PATH")) strDirs = szPath;
    strDirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::stringstream ss(strDirs);
    std::string strDir;
    while (std::getline(ss, strDir, ':')) {
        if (strDir.empty()) continue;
        std::string strPath = strDir + "/" + strName;
        if (access(strPath.c_str(), X_OK) == 0) return strPath;
    }
    return std::string();
}

std::string ShellQuote(const std::string& str) {
    std::string strOut = "'";
    for (char c : str) {
        if (c == '\'') {
            strOut += "'\\''";
        } else {
            strOut += c;
        }
    }
    return strOut + "'";
}

int RunCommand(const std::string& strCommand, std::string* pOut) {
    FILE* pPipe = popen(strCommand.c_str(), "r");
    if (!pPipe) return -1;
    char szBuf[4096];
    size_t n;
    while ((n = std::fread(szBuf, 1, sizeof(szBuf), pPipe)) > 0) {
        if (pOut) pOut->append(szBuf, n);
    }
    int nStatus = pclose(pPipe);
    if (nStatus == -1 || !WIFEXITED(nStatus)) return -1;
    return WEXITSTATUS(nStatus);
}

}  // namespace twtest
