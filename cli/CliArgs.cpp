#include "CliArgs.h"

#include <cstring>

bool CCliArgs::Parse(int argc, char** argv, int nFirst, const std::vector<CliOption>& vecOptions,
                     std::string& strError) {
    m_options.clear();
    m_positional.clear();
    for (int i = nFirst; i < argc; ++i) {
        std::string strWord = argv[i];
        if (strWord.compare(0, 2, "--") != 0 || strWord == "--") {
            m_positional.push_back(strWord);
            continue;
        }
        std::string strName = strWord.substr(2);
        std::string strValue;
        bool bInlineValue = false;
        size_t nEq = strName.find('=');
        if (nEq != std::string::npos) {
            strValue = strName.substr(nEq + 1);
            strName.resize(nEq);
            bInlineValue = true;
        }
        const CliOption* pOption = nullptr;
        for (const CliOption& option : vecOptions) {
            if (strName == option.szName) pOption = &option;
        }
        if (!pOption) {
            strError = "unknown option '--" + strName + "'";
            return false;
        }
        if (pOption->szValueName && !bInlineValue) {
            if (i + 1 >= argc) {
                strError = "option '--" + strName + "' needs a value";
                return false;
            }
            strValue = argv[++i];
        } else if (!pOption->szValueName && bInlineValue) {
            strError = "option '--" + strName + "' takes no value";
            return false;
        }
        m_options[strName] = strValue;
    }
    return true;
}

std::string CCliArgs::Get(const std::string& strName, const std::string& strDefault) const {
    auto it = m_options.find(strName);
    return it == m_options.end() ? strDefault : it->second;
}
