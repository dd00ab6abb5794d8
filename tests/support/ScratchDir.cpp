#include "support/ScratchDir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

CScratchDir::CScratchDir() {
    const char* szTmp = getenv("TMPDIR");
    std::string strTemplate = std::string(szTmp && *szTmp ? szTmp : "/tmp") + "/tw-test-XXXXXX";
    if (!mkdtemp(&strTemplate[0])) throw std::runtime_error("mkdtemp failed");
    m_strPath = strTemplate;
}

CScratchDir::~CScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_strPath, ec);
}

std::string CScratchDir::File(const std::string& strName) const {
    return m_strPath + "/" + strName;
}

std::string CScratchDir::Write(const std::string& strName,
                               const std::vector<unsigned char>& vecData) const {
    std::string strPath = File(strName);
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(vecData.data()),
              static_cast<std::streamsize>(vecData.size()));
    if (!out) throw std::runtime_error("cannot write " + strPath);
    return strPath;
}

ScopedEnv::ScopedEnv(const char* szName, const char* szValue) : m_strName(szName) {
    const char* szOld = getenv(szName);
    m_bHad = szOld != nullptr;
    if (m_bHad) m_strOld = szOld;
    if (szValue)
        setenv(szName, szValue, 1);
    else
        unsetenv(szName);
}

ScopedEnv::~ScopedEnv() {
    if (m_bHad)
        setenv(m_strName.c_str(), m_strOld.c_str(), 1);
    else
        unsetenv(m_strName.c_str());
}

std::vector<unsigned char> PatternBytes(size_t nBytes) {
    std::vector<unsigned char> vec(nBytes);
    for (size_t i = 0; i < nBytes; ++i) {
        size_t s = i / 512;
        vec[i] = static_cast<unsigned char>((s * 131 + (i % 512) * 7 + s / 256) & 0xFF);
    }
    return vec;
}
