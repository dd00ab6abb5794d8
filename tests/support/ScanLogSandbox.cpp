#include "support/ScanLogSandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "deepscan/LogFileManager.h"

ScanLogSandbox::ScanLogSandbox() : m_bHadEnv(false) {
    if (const char* szOld = getenv("TARNWICK_SUPPORT_DIR")) {
        m_bHadEnv = true;
        m_strOldEnv = szOld;
    }
    setenv("TARNWICK_SUPPORT_DIR", Root().c_str(), 1);
    mkdir(ScanLog().c_str(), 0755);
    ReloadLogStore();
}

ScanLogSandbox::~ScanLogSandbox() {
    if (m_bHadEnv)
        setenv("TARNWICK_SUPPORT_DIR", m_strOldEnv.c_str(), 1);
    else
        unsetenv("TARNWICK_SUPPORT_DIR");
    CLogFileManager::GetInstance().Init();
}

unsigned int ScanLogSandbox::ReloadLogStore() {
    return CLogFileManager::GetInstance().Init();
}

std::string ReadFileBytes(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteFileBytes(const std::string& strPath, const std::string& strData) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(strData.data(), static_cast<std::streamsize>(strData.size()));
    return static_cast<bool>(out);
}
