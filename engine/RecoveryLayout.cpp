#include "engine/RecoveryLayout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/Platform.h"
#include "engine/Categories.h"
#include "engine/NodeInfo.h"
#include "engine/SaveTarget.h"

namespace {

// The record of a folder of the volume, found by walking down from the top.
bool FindFolderRecord(IFileRecoveryParse& engine, const std::vector<std::string>& vecNames,
                      _FILE_NODE_& out) {
    const _FILE_NODE_* pParent = nullptr;
    _FILE_NODE_ current;
    for (size_t nLevel = 0; nLevel < vecNames.size(); ++nLevel) {
        std::vector<_FILE_NODE_> vecChildren;
        if (engine.GetChildrenFileNode(pParent, static_cast<unsigned int>(nLevel), vecChildren) !=
            0)
            return false;
        auto it = std::find_if(vecChildren.begin(), vecChildren.end(), [&](const _FILE_NODE_& n) {
            return n.bIsDir &&
                   vecNames[nLevel] ==
                       std::string(n.szFileName, strnlen(n.szFileName, sizeof(n.szFileName)));
        });
        if (it == vecChildren.end()) return false;
        current = *it;
        pParent = &current;
    }
    if (!pParent) return false;
    out = current;
    return true;
}

bool SetTimesOf(const std::string& strPath, int nFlags, const _FILE_NODE_& node) {
    struct timespec times[2];
    if (!GetFileNodeTimes(node, times)) return false;
    const int fd = OpenTarget(strPath, nFlags);
    if (fd < 0) return false;
    const bool bSet = futimens(fd, times) == 0;
    close(fd);
    return bSet;
}

}  // namespace

CRecoveryLayout::CRecoveryLayout(std::string strDestUtf8, bool bKeepPaths)
    : m_strDest(std::move(strDestUtf8)), m_bKeepPaths(bKeepPaths) {}

unsigned int CRecoveryLayout::MakeTargetFolder(const _FILE_NODE_& node,
                                               const std::vector<std::string>& vecFolders,
                                               std::string& strFolder) {
    strFolder = m_strDest;
    if (m_bKeepPaths) {
        for (const std::string& strName : vecFolders)
            strFolder += "/" + tw::NarrowToUtf8(MakeSafeFileName(strName.c_str()).c_str());
    } else {
        char szType[16];
        GetDirTypeByFileName(node.szFileName, szType);
        strFolder += "/";
        strFolder += szType;
    }
    std::vector<std::string> vecMadeNow;
    const unsigned int nRet = MakeTargetDirs(strFolder, &vecMadeNow);
    if (!m_bKeepPaths) return nRet;
    for (const std::string& strMade : vecMadeNow) {
        if (strMade.size() <= m_strDest.size()) continue;
        // How many of the volume's names this folder stands for.
        const size_t nDepth = static_cast<size_t>(
            std::count(strMade.begin() + static_cast<long>(m_strDest.size()), strMade.end(), '/'));
        if (nDepth > vecFolders.size()) continue;
        m_vecMade.push_back(
            {strMade, std::vector<std::string>(vecFolders.begin(),
                                               vecFolders.begin() + static_cast<long>(nDepth))});
    }
    return nRet;
}

void CRecoveryLayout::SetFolderTimes(IFileRecoveryParse& engine) const {
    for (auto it = m_vecMade.rbegin(); it != m_vecMade.rend(); ++it) {
        _FILE_NODE_ node;
        if (FindFolderRecord(engine, it->vecNames, node))
            SetTimesOf(it->strPath, O_RDONLY | O_DIRECTORY, node);
    }
}

std::vector<std::string> SplitParentPath(const std::wstring& wstrParent) {
    std::vector<std::string> vecNames;
    size_t nStart = 0;
    while (nStart < wstrParent.size()) {
        size_t nEnd = wstrParent.find(L'/', nStart);
        if (nEnd == std::wstring::npos) nEnd = wstrParent.size();
        if (nEnd > nStart)
            vecNames.push_back(tw::WideToNarrow(wstrParent.substr(nStart, nEnd - nStart).c_str()));
        nStart = nEnd + 1;
    }
    return vecNames;
}

bool SetRecoveredFileTimes(const std::string& strTargetUtf8, const _FILE_NODE_& node) {
    return SetTimesOf(strTargetUtf8, O_RDONLY, node);
}
