// Loop devices and mounts that a test makes, undone last first when the
// object goes, also when the test fails on the way.
#pragma once

#include <string>
#include <vector>

namespace twtest {

class CMounts {
public:
    CMounts() = default;
    CMounts(const CMounts&) = delete;
    CMounts& operator=(const CMounts&) = delete;
    ~CMounts();

    // Runs the command; once it succeeded, strUndo runs at the end. False,
    // with what it said in strWhy, when it fails.
    bool Run(const std::string& strCommand, const std::string& strUndo, std::string& strWhy);
    // A loop device bound to the image (read-only when asked): its path, or "".
    std::string Loop(const std::string& strImage, bool bReadOnly, std::string& strWhy);
    // A tmpfs of nKiB KiB mounted on the (existing) folder.
    bool Tmpfs(const std::string& strDir, int nKiB, std::string& strWhy);
    // The folder mounted on itself again, read-only.
    bool ReadOnly(const std::string& strDir, std::string& strWhy);

private:
    std::vector<std::string> m_undo;
};

}  // namespace twtest
