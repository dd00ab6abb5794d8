#include "support/ScratchDir.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
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
    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (!pFile) throw std::runtime_error("cannot create " + strPath);
    if (!vecData.empty()) std::fwrite(vecData.data(), 1, vecData.size(), pFile);
    std::fclose(pFile);
    return strPath;
}

std::vector<unsigned char> PatternBytes(size_t nBytes) {
    std::vector<unsigned char> vec(nBytes);
    for (size_t i = 0; i < nBytes; ++i) {
        size_t s = i / 512;
        vec[i] = static_cast<unsigned char>((s * 131 + (i % 512) * 7 + s / 256) & 0xFF);
    }
    return vec;
}
