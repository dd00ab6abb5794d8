// A private application-support folder for one test: TARNWICK_SUPPORT_DIR
// points into a fresh temporary folder holding "ScanLog/", and the scan-log
// store is re-read from it. Everything is removed and the variable restored
// when the sandbox ends.
#pragma once

#include <optional>
#include <string>

#include "support/ScratchDir.h"

class ScanLogSandbox {
public:
    ScanLogSandbox();
    ~ScanLogSandbox();

    const std::string& Root() const { return m_scratch.Path(); }  // no trailing "/"
    std::string ScanLog() const { return Root() + "/ScanLog/"; }
    // Re-reads the scan-log index (CLogFileManager::Init) and returns its result.
    unsigned int ReloadLogStore();

private:
    CScratchDir m_scratch;
    std::optional<ScopedEnv> m_env;
};

// Whole content of a file ("" when it cannot be read).
std::string ReadFileBytes(const std::string& strPath);
// Writes a file whole; false on failure.
bool WriteFileBytes(const std::string& strPath, const std::string& strData);
