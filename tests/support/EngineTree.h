// What the engine tests share: an engine's listing walked as the result
// browser walks it or found by the search, and its callbacks' reports.
#pragma once

#include <map>
#include <string>
#include <vector>
#include "engine/IFileRecoveryParse.h"

namespace twtest {

std::wstring W(const std::string& strUtf8);

// A node met while browsing: its path ("dir/sub/name", UTF-8) and the level
// it was asked for at.
struct TreeNode {
    std::string strPath;
    _FILE_NODE_ node;
    unsigned int nLevel = 0;
};
// Every node below pDir (the top when null), each folder before what it
// holds; a tree deeper than 64 levels fails the test.
std::vector<TreeNode> BrowseTree(IFileRecoveryParse& e, const _FILE_NODE_* pDir = nullptr,
                                 unsigned int nLevel = 0, const std::string& strPrefix = "");
// The same by path; a path met twice fails the test.
std::map<std::string, TreeNode> TreeByPath(IFileRecoveryParse& e);
// Every file the search of all categories finds, under the path its parent
// path gives (nLevel is 0).
std::vector<TreeNode> SearchAll(IFileRecoveryParse& e);

// The reports of an engine's scan and recovery callbacks (scale 100). The
// scan callback answers nScanAnswer; the recovery callback answers "cancel"
// from its nCancelAt-th report on (0: never).
struct CallbackLog {
    std::vector<int> vecScanPercent, vecPercent, vecErrors;
    unsigned long long u64ScanFiles = 0;
    int nScanAnswer = 0, nCancelAt = 0;
    void Attach(IFileRecoveryParse& e);
};

}  // namespace twtest
