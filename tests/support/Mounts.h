// Loop devices and mounts a test makes, undone last first when the object
// goes, also when the test fails on the way.
#pragma once

#include <string>
#include <vector>

#include "support/RunTool.h"

namespace twtest {

class CMounts {
public:
    ~CMounts() {
        for (auto it = m_undo.rbegin(); it != m_undo.rend(); ++it) RunCommand(*it);
    }
    // Runs the command (its output in strWhy) and, once it succeeded, strUndo at the end.
    bool Run(const std::string& strCommand, const std::string& strUndo, std::string& strWhy) {
        strWhy.clear();
        const bool bDone = RunCommand(strCommand + " 2>&1", &strWhy) == 0;
        if (!bDone) strWhy.insert(0, strCommand + ": ");
        if (bDone && !strUndo.empty()) m_undo.push_back(strUndo);
        return bDone;
    }
    // A loop device bound to the image (with logical sectors of nSector
    // bytes): its path, or "".
    std::string Loop(const std::string& strImage, bool bReadOnly, std::string& strWhy,
                     int nSector = 512) {
        const std::string strLosetup = FindTool("losetup");
        if (!Run(strLosetup + (bReadOnly ? " -r" : "") + " -b " + std::to_string(nSector) +
                     " -f --show " + ShellQuote(strImage),
                 "", strWhy))
            return "";
        strWhy.erase(strWhy.find_last_not_of('\n') + 1);
        m_undo.push_back(strLosetup + " -d " + ShellQuote(strWhy));
        return strWhy;
    }
    // A tmpfs of nKiB KiB on the folder (read-only: the folder on itself).
    bool Mount(const std::string& strDir, int nKiB, bool bReadOnly, std::string& strWhy) {
        const std::string strAt = ShellQuote(strDir);
        return Run(bReadOnly
                       ? "mount --bind " + strAt + " " + strAt
                       : "mount -t tmpfs -o size=" + std::to_string(nKiB) + "k tmpfs " + strAt,
                   "umount " + strAt + " || umount -l " + strAt, strWhy) &&
               (!bReadOnly || Run("mount -o remount,bind,ro " + strAt, "", strWhy));
    }

private:
    std::vector<std::string> m_undo;
};

}  // namespace twtest
