#include "support/ScanLogSandbox.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "engine/LogFileManager.h"

ScanLogSandbox::ScanLogSandbox() {
    m_env.emplace("TARNWICK_SUPPORT_DIR", Root().c_str());
    mkdir(ScanLog().c_str(), 0755);
    ReloadLogStore();
}

ScanLogSandbox::~ScanLogSandbox() {
    m_env.reset();  // the old folder comes back before the store re-reads it
    ReloadLogStore();
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
