#include "support/Mounts.h"

#include "support/RunTool.h"

namespace twtest {

CMounts::~CMounts() {
    for (auto it = m_undo.rbegin(); it != m_undo.rend(); ++it) RunCommand(*it);
}

bool CMounts::Run(const std::string& strCommand, const std::string& strUndo, std::string& strWhy) {
    std::string strOut;
    if (RunCommand(strCommand + " 2>&1", &strOut) != 0) {
        strWhy = strCommand + ": " + strOut;
        return false;
    }
    strWhy = strOut;
    if (!strUndo.empty()) m_undo.push_back(strUndo);
    return true;
}

std::string CMounts::Loop(const std::string& strImage, bool bReadOnly, std::string& strWhy) {
    const std::string strLosetup = FindTool("losetup");
    if (strLosetup.empty()) return strWhy = "losetup is not installed", "";
    std::string strLoop;
    if (!Run(strLosetup + (bReadOnly ? " -r" : "") + " -f --show " + ShellQuote(strImage), "",
             strLoop)) {
        strWhy = strLoop;
        return "";
    }
    strLoop.erase(strLoop.find_last_not_of('\n') + 1);
    m_undo.push_back(strLosetup + " -d " + ShellQuote(strLoop));
    return strLoop;
}

bool CMounts::Tmpfs(const std::string& strDir, int nKiB, std::string& strWhy) {
    const std::string strQuoted = ShellQuote(strDir);
    return Run("mount -t tmpfs -o size=" + std::to_string(nKiB) + "k tmpfs " + strQuoted,
               "umount " + strQuoted + " || umount -l " + strQuoted, strWhy);
}

bool CMounts::ReadOnly(const std::string& strDir, std::string& strWhy) {
    const std::string strQuoted = ShellQuote(strDir);
    return Run("mount --bind " + strQuoted + " " + strQuoted,
               "umount " + strQuoted + " || umount -l " + strQuoted, strWhy) &&
           Run("mount -o remount,bind,ro " + strQuoted, "", strWhy);
}

}  // namespace twtest
