#include "support/EngineTree.h"

#include <gtest/gtest.h>

#include "common/Platform.h"
#include "engine/Categories.h"

namespace twtest {

std::wstring W(const std::string& strUtf8) {
    return tw::Utf8ToWide(strUtf8.c_str());
}

std::vector<TreeNode> BrowseTree(IFileRecoveryParse& e, const _FILE_NODE_* pDir,
                                 unsigned int nLevel, const std::string& strPrefix) {
    std::vector<TreeNode> tree;
    std::vector<_FILE_NODE_> children;
    EXPECT_LT(nLevel, 64u) << "the tree does not end";
    if (nLevel >= 64) return tree;
    EXPECT_EQ(e.GetChildrenFileNode(pDir, nLevel, children), 0u);
    for (const _FILE_NODE_& c : children) {
        tree.push_back({strPrefix + tw::NarrowToUtf8(c.szFileName), c, nLevel});
        if (!c.bIsDir) continue;
        const TreeNode dir = tree.back();
        for (TreeNode& n : BrowseTree(e, &dir.node, nLevel + 1, dir.strPath + "/"))
            tree.push_back(std::move(n));
    }
    return tree;
}

std::map<std::string, TreeNode> TreeByPath(IFileRecoveryParse& e) {
    std::map<std::string, TreeNode> byPath;
    for (TreeNode& n : BrowseTree(e))
        EXPECT_TRUE(byPath.emplace(n.strPath, n).second) << "listed twice: " << n.strPath;
    return byPath;
}

std::vector<TreeNode> SearchAll(IFileRecoveryParse& e) {
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(e.SearchFileNode(BuildCategoryFilterW(TW_CATEGORY_ALL).c_str(), hits), 0u);
    std::vector<TreeNode> found;
    for (const __SEARCH_FILE_INFO__& hit : hits) {
        wchar_t wszParent[1024] = {0};
        EXPECT_EQ(e.GetFileNodeParentDirPath(&hit, wszParent, 1024), 0u);
        found.push_back({tw::WideToUtf8(wszParent) + tw::NarrowToUtf8(hit.szFileName), hit, 0});
    }
    return found;
}

void CallbackLog::Attach(IFileRecoveryParse& e) {
    auto scan = [](void* p, int nPercent, int nScale, int, unsigned long long, unsigned long long,
                   unsigned long long u64Files, wchar_t*) {
        EXPECT_EQ(nScale, 100);
        auto* pLog = static_cast<CallbackLog*>(p);
        pLog->vecScanPercent.push_back(nPercent);
        pLog->u64ScanFiles = u64Files;
        return pLog->nScanAnswer;
    };
    auto recovery = [](void* p, int nPercent, int nScale, int nError, wchar_t*) {
        EXPECT_EQ(nScale, 100);
        auto* pLog = static_cast<CallbackLog*>(p);
        pLog->vecPercent.push_back(nPercent);
        pLog->vecErrors.push_back(nError);
        const bool bCancel =
            pLog->nCancelAt > 0 && static_cast<int>(pLog->vecErrors.size()) >= pLog->nCancelAt;
        return bCancel ? static_cast<int>(TW_ERR_CANCELLED) : 0;
    };
    e.InitCallBack(scan, recovery, this, 100);
}

}  // namespace twtest
