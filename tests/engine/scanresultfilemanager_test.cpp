#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/LogFileManager.h"
#include "engine/ScanResultFileManager.h"
#include "support/ScanLogSandbox.h"

namespace {

constexpr uint32_t kRoot = 2;  // id of the top directory in these tests

// Records one find the way an engine does; returns its record number.
uint32_t AddNode(CScanResultFileManager& store, const char* szName, bool bDir, uint32_t nDirId,
                 uint32_t nParentId, uint32_t nParentDepth, uint32_t nHealth = 1) {
    auto* pNode = static_cast<_FILE_NODE_*>(store.CreateFileNode(sizeof(_FILE_NODE_)));
    EXPECT_NE(pNode, nullptr);
    if (!pNode) return 0;
    pNode->nDriveLetter = 'C';
    pNode->bIsDir = bDir;
    pNode->bDataHealth = nHealth;
    pNode->nDirId = nDirId;
    pNode->u64FileSize = bDir ? 0 : 1000 + store.GetFileIndex();
    strncpy(pNode->szFileName, szName, sizeof(pNode->szFileName) - 1);
    pNode->nFileIndex = store.GetFileIndex();
    store.AddChildren(nParentId, nParentDepth, store.GetFileIndex(), nDirId,
                      bDir ? szName : nullptr);
    return store.GetFileIndex();
}

template <class T>
std::vector<std::string> Names(const std::vector<T>& vec) {
    std::vector<std::string> names;
    for (const auto& node : vec) names.emplace_back(node.szFileName);
    return names;
}

off_t FileSize(const std::string& strPath) {
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? st.st_size : -1;
}

class ScanResultStore : public ::testing::Test {
protected:
    ScanLogSandbox sandbox;
};

// Records past the first full buffer and records written after a read are kept
// in place: record n lies at (n - 1) * 344 and carries its own number.
TEST_F(ScanResultStore, RecordsPastTheBufferAndAfterAReadAreKept) {
    CScanResultFileManager store;
    ASSERT_EQ(store.Init(L"Fast_buffer"), 0u);
    // The store writes into the current scan folder, created searchable.
    std::string strDir = CLogFileManager::GetInstance().GetLogFileDirPath();
    EXPECT_EQ(store.GetNodeFilePath(), strDir + "Fast_buffer");
    struct stat st;
    ASSERT_EQ(stat(strDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    for (int i = 1; i <= 201; ++i) {
        std::string strName = "f" + std::to_string(i) + ".txt";
        EXPECT_EQ(AddNode(store, strName.c_str(), false, 100 + i, kRoot, 0), uint32_t(i));
    }
    store.FlushBufToFile();
    ASSERT_EQ(FileSize(store.GetNodeFilePath()), 201 * 344);
    std::string strNodes = ReadFileBytes(store.GetNodeFilePath());
    for (uint32_t n : {1u, 200u, 201u}) {
        _FILE_NODE_ node;
        memcpy(&node, strNodes.data() + (n - 1) * 344, sizeof(node));
        EXPECT_EQ(node.nFileIndex, n);
        EXPECT_EQ(std::string(node.szFileName), "f" + std::to_string(n) + ".txt");
    }
    uint32_t nCount = 99;
    EXPECT_EQ(store.GetChildrenFileCount(0, nCount), 0u);
    EXPECT_EQ(nCount, 201u);
    for (int i = 202; i <= 205; ++i)
        AddNode(store, ("late" + std::to_string(i) + ".txt").c_str(), false, 400 + i, kRoot, 0);
    store.FlushBufToFile();
    EXPECT_EQ(store.GetChildrenFileCount(0, nCount), 0u);
    EXPECT_EQ(nCount, 205u);
    std::vector<_FILE_NODE_> vec;
    EXPECT_EQ(store.GetChildrenFileNode(0, vec), 0u);
    ASSERT_EQ(vec.size(), 205u);
    EXPECT_EQ(std::string(vec.back().szFileName), "late205.txt");
}

// Top: b.txt, A.txt, Zdir/(sub/(deep.jpg), z1.doc), adir/(a1.txt); records in write order.
void BuildTree(CScanResultFileManager& store) {
    AddNode(store, "b.txt", false, 20, kRoot, 0);
    AddNode(store, "Zdir", true, 30, kRoot, 0);
    AddNode(store, "A.txt", false, 21, kRoot, 0);
    AddNode(store, "adir", true, 31, kRoot, 0);
    AddNode(store, "sub", true, 40, 30, 1);
    AddNode(store, "z1.doc", false, 41, 30, 1);
    AddNode(store, "deep.jpg", false, 50, 40, 2);
    AddNode(store, "a1.txt", false, 42, 31, 1);
}

TEST_F(ScanResultStore, ReopenedStoreListsTheSameChildrenInTheSameOrder) {
    // Files by name, then folders by name, each ignoring case; the same from
    // the fresh store and from the reopened one.
    auto expectLists = [](CScanResultFileManager& store) {
        std::vector<_FILE_NODE_> vec;
        ASSERT_EQ(store.GetChildrenFileNode(MakeDirKey(0, kRoot), vec), 0u);
        EXPECT_EQ(Names(vec), (std::vector<std::string>{"A.txt", "b.txt", "adir", "Zdir"}));
        EXPECT_EQ(vec[3].nDirId, 30u);
        vec.clear();
        ASSERT_EQ(store.GetChildrenFileNode(MakeDirKey(1, 30), vec), 0u);
        EXPECT_EQ(Names(vec), (std::vector<std::string>{"z1.doc", "sub"}));
    };
    {
        CScanResultFileManager store;
        ASSERT_EQ(store.Init(L"Fast_tree"), 0u);
        BuildTree(store);
        store.FlushBufToFile();
        expectLists(store);
        EXPECT_EQ(ReadFileBytes(store.GetRelationFilePath()),
                  " | 2 - [1,2,3,4] | 4294967326 - [5,6] | 4294967327 - [8] | 8589934632 - [7]");
        EXPECT_EQ(FileSize(store.GetDirInfoFilePath()), 3 * 264);
    }
    CScanResultFileManager store;
    ASSERT_EQ(store.Init(L"Fast_tree"), 0u);
    expectLists(store);
    std::vector<_FILE_NODE_> vec;
    ASSERT_EQ(store.GetChildrenFileNode(0, vec), 0u);  // key 0: the smallest key
    EXPECT_EQ(vec[3].nFileIndex, 2u);                  // Zdir

    uint32_t nCount = 0;
    EXPECT_EQ(store.GetChildrenFileCount(MakeDirKey(0, kRoot), nCount), 0u);
    EXPECT_EQ(nCount, 5u);
    EXPECT_EQ(store.GetChildrenFileCount(MakeDirKey(1, 30), nCount), 0u);
    EXPECT_EQ(nCount, 2u);

    // Parent paths come from the reloaded directory list.
    wchar_t wszPath[64];
    ASSERT_EQ(store.GetParentDirPath(&vec[0], wszPath, 64), 0);
    EXPECT_EQ(std::wstring(wszPath), L"");
    vec.clear();
    ASSERT_EQ(store.GetChildrenFileNode(MakeDirKey(2, 40), vec), 0u);
    ASSERT_EQ(vec.size(), 1u);
    EXPECT_EQ(vec[0].nFileIndex, 7u);  // deep.jpg
    ASSERT_EQ(store.GetParentDirPath(&vec[0], wszPath, 64), 0);
    EXPECT_EQ(std::wstring(wszPath), L"Zdir/sub/");
}

TEST_F(ScanResultStore, ParentsFallBackToTheNodeFileAndLoopsEnd) {
    CScanResultFileManager store;
    ASSERT_EQ(store.Init(L"Fast_parents"), 0u);
    // Directories recorded without names: only the node file knows them.
    AddNode(store, "top.txt", false, 9, kRoot, 0);
    auto* pDir = static_cast<_FILE_NODE_*>(store.CreateFileNode(344));
    pDir->bIsDir = 1;
    pDir->nDirId = 70;
    strcpy(pDir->szFileName, "DCIM");
    pDir->nFileIndex = store.GetFileIndex();
    store.AddChildren(kRoot, 0, store.GetFileIndex(), 70, nullptr);
    uint32_t nFile = AddNode(store, "IMG.JPG", false, 71, 70, 1);
    // 'self' lists itself as its own child; 'p' and 'q' list each other; the
    // parent of 'orphan.txt' is in neither list.
    uint32_t nSelf = AddNode(store, "self", true, 80, 80, 1);
    AddNode(store, "p", true, 90, 91, 1);
    AddNode(store, "q", true, 91, 90, 1);
    uint32_t nInQ = AddNode(store, "inq.txt", false, 92, 91, 2);
    uint32_t nOrphan = AddNode(store, "orphan.txt", false, 93, 555, 1);
    store.FlushBufToFile();

    const struct {
        uint32_t nIndex;
        uint32_t nCode;
        std::vector<std::string> parents;
    } cases[] = {{nFile, 0, {"DCIM"}}, {nSelf, 0, {}}, {nInQ, 0, {"q", "p"}}, {nOrphan, 87, {}}};
    for (const auto& c : cases) {
        _FILE_NODE_ node;
        memset(&node, 0, sizeof(node));
        node.nFileIndex = c.nIndex;
        std::vector<_FILE_NODE_> parents;
        EXPECT_EQ(store.GetParentFileNode(&node, parents), c.nCode) << c.nIndex;
        EXPECT_EQ(Names(parents), c.parents) << c.nIndex;
    }
    // Records added after a walk count at once: a folder and its file, and
    // 'inq.txt' listed again under a smaller key, which then comes first.
    AddNode(store, "NEW", true, 94, kRoot, 0);
    uint32_t nLate = AddNode(store, "late.txt", false, 95, 94, 1);
    store.AddChildren(80, 1, nInQ, 92, nullptr);
    for (auto [nIndex, strParent] : {std::pair{nLate, "NEW"}, {nInQ, "self"}}) {
        _FILE_NODE_ node{};
        node.nFileIndex = nIndex;
        std::vector<_FILE_NODE_> parents;
        EXPECT_EQ(store.GetParentFileNode(&node, parents), 0u);
        EXPECT_EQ(Names(parents), std::vector<std::string>{strParent}) << nIndex;
    }
}

// A chain of 20,000 folders: the parents of its deepest file come nearest
// first; folders and files recorded after a look-up (and after a flush) are
// found by the next look-up and reach the files at the next flush.
TEST_F(ScanResultStore, ParentsOfADeepChainAndOfRecordsMadeAfterALookUp) {
    constexpr uint32_t kDepth = 20000;
    CScanResultFileManager store;
    ASSERT_EQ(store.Init(L"Fast_chain"), 0u);
    for (uint32_t i = 1; i <= kDepth; ++i)
        AddNode(store, ("d" + std::to_string(i)).c_str(), true, 1000 + i, i == 1 ? kRoot : 999 + i,
                i - 1);
    _FILE_NODE_ file;
    memset(&file, 0, sizeof(file));
    file.nFileIndex = AddNode(store, "deep.txt", false, 0, 1000 + kDepth, kDepth);
    store.FlushBufToFile();
    std::vector<_FILE_NODE_> parents;
    ASSERT_EQ(store.GetParentFileNode(&file, parents), 0u);
    ASSERT_EQ(parents.size(), kDepth);
    EXPECT_EQ(std::string(parents.front().szFileName), "d" + std::to_string(kDepth));
    EXPECT_EQ(std::string(parents.back().szFileName), "d1");

    // A new folder under d2 and a file in it, after the look-up and the flush.
    AddNode(store, "late", true, 7, 1002, 2);
    _FILE_NODE_ late;
    memset(&late, 0, sizeof(late));
    late.nFileIndex = AddNode(store, "late.txt", false, 0, 7, 3);
    wchar_t wszPath[64];
    ASSERT_EQ(store.GetParentDirPath(&late, wszPath, 64), 0);
    EXPECT_EQ(std::wstring(wszPath), L"d1/d2/late/");
    store.FlushBufToFile();
    const std::string strRelation = ReadFileBytes(store.GetRelationFilePath());
    EXPECT_NE(strRelation.find(" | 12884901895 - [" + std::to_string(late.nFileIndex) + "]"),
              std::string::npos);
    EXPECT_EQ(FileSize(store.GetDirInfoFilePath()), off_t{(kDepth + 1) * 264});
}

TEST_F(ScanResultStore, RelationTextReloadsAndARewriteLeavesNoStaleTail) {
    std::string strRelation;
    {
        CScanResultFileManager store;
        ASSERT_EQ(store.Init(L"Fast_rel"), 0u);
        for (int i = 1; i <= 9; ++i)
            AddNode(store, ("r" + std::to_string(i) + ".txt").c_str(), false, 0, 7, 0);
        store.FlushBufToFile();
        strRelation = store.GetRelationFilePath();
    }
    ASSERT_TRUE(WriteFileBytes(strRelation, " | 7 - [3,4] | 7 - [9]"));
    {
        CScanResultFileManager store;
        ASSERT_EQ(store.Init(L"Fast_rel"), 0u);
        std::vector<_FILE_NODE_> vec;
        ASSERT_EQ(store.GetChildrenFileNode(7, vec), 0u);
        EXPECT_EQ(Names(vec), std::vector<std::string>{"r9.txt"});
        store.FlushBufToFile();
        // The map's text is shorter than what the file held: nothing else remains.
        EXPECT_EQ(ReadFileBytes(strRelation), " | 7 - [9]");
    }
    CScanResultFileManager store;
    ASSERT_EQ(store.Init(L"Fast_rel"), 0u);
    std::vector<_FILE_NODE_> vec;
    store.GetChildrenFileNode(0, vec);
    EXPECT_EQ(Names(vec), std::vector<std::string>{"r9.txt"});
}

TEST_F(ScanResultStore, SearchMatchesByExtensionAndOtherTypes) {
    CScanResultFileManager store;
    ASSERT_EQ(store.Init(L"Fast_search"), 0u);
    // Empty, the store finds nothing; one that never got its files says so.
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(store.SearchFileNodeInfo(L"*.jpg|*.other", hits), 1);
    EXPECT_TRUE(hits.empty());
    uint32_t nCount = 5;
    EXPECT_EQ(store.GetChildrenFileCount(0, nCount), 0u);
    EXPECT_EQ(nCount, 0u);
    CScanResultFileManager unopened;
    EXPECT_EQ(unopened.SearchFileNodeInfo(L"*.other", hits), 0);
    EXPECT_EQ(unopened.CreateFileNode(344), nullptr);

    AddNode(store, "x.JPG", false, 1, kRoot, 0);
    AddNode(store, "readme", false, 2, kRoot, 0);
    AddNode(store, "a.xyz", false, 3, kRoot, 0);
    AddNode(store, "a.mp3", false, 4, kRoot, 0);
    AddNode(store, "name.", false, 5, kRoot, 0);
    AddNode(store, "holiday.jpg", true, 6, kRoot, 0);    // a directory: never a hit
    AddNode(store, "IMG_1.JPG", false, 7, kRoot, 0, 0);  // damaged picture
    AddNode(store, "notes.txt", false, 8, kRoot, 0, 0);  // damaged, but no picture
    // Search flushes the pending records itself.
    EXPECT_EQ(store.SearchFileNodeInfo(L"*.jpg|", hits), 1);
    EXPECT_EQ(Names(hits), std::vector<std::string>{"x.JPG"});
    EXPECT_EQ(hits[0].nFileIndex, 1u);

    hits.clear();
    EXPECT_EQ(store.SearchFileNodeInfo(L"*.jpg|*.other", hits), 1);
    EXPECT_EQ(Names(hits), (std::vector<std::string>{"a.xyz", "name.", "readme", "x.JPG"}));

    hits.clear();
    EXPECT_EQ(store.SearchFileNodeInfo(L"*.txt", hits), 1);
    EXPECT_EQ(Names(hits), std::vector<std::string>{"notes.txt"});

    // The damaged picture is neither listed nor found, but counted.
    std::vector<_FILE_NODE_> vec;
    ASSERT_EQ(store.GetChildrenFileNode(0, vec), 0u);
    for (const auto& node : vec) EXPECT_STRNE(node.szFileName, "IMG_1.JPG");
    EXPECT_EQ(vec.size(), 7u);
    hits.clear();
    store.SearchFileNodeInfo(L"*.jpg|*.JPG|*.other", hits);
    for (const auto& hit : hits) EXPECT_STRNE(hit.szFileName, "IMG_1.JPG");
    store.GetChildrenFileCount(0, nCount);
    EXPECT_EQ(nCount, 7u);
}

// A search stops after the piece whose report the callback answers with 1.
TEST_F(ScanResultStore, SearchStopsWhenAsked) {
    CScanResultFileManager store;
    ASSERT_EQ(store.Init(L"Fast_progress"), 0u);
    for (int i = 0; i < 450; ++i) AddNode(store, "p.png", false, 10, kRoot, 0);
    int nReports = 0;
    store.InitSearchCallBack([](void* p, int, wchar_t*) { return ++*static_cast<int*>(p); },
                             &nReports);
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(store.SearchFileNodeInfo(L"*.png|", hits), 1);
    EXPECT_EQ(hits.size(), 200u);
    EXPECT_EQ(nReports, 1);
    // Streamed: the hits in record order, none held, until the sink says stop.
    store.InitSearchCallBack(nullptr, nullptr);
    std::vector<uint32_t> vecIndex;
    EXPECT_EQ(store.ForEachSearchHit(L"*.png|",
                                     [&vecIndex](const __SEARCH_FILE_INFO__& hit) {
                                         vecIndex.push_back(hit.nFileIndex);
                                         return vecIndex.size() == 250 ? 1 : 0;
                                     }),
              1);
    ASSERT_EQ(vecIndex.size(), 250u);
    for (uint32_t i = 0; i < 250; ++i) EXPECT_EQ(vecIndex[i], i + 1);
}

TEST_F(ScanResultStore, DamagedFilesNeverCrashTheStore) {
    std::string strNode, strRelation, strDirInfo;
    {
        CScanResultFileManager store;
        ASSERT_EQ(store.Init(L"Fast_damaged"), 0u);
        BuildTree(store);
        store.FlushBufToFile();
        strNode = store.GetNodeFilePath();
        strRelation = store.GetRelationFilePath();
        strDirInfo = store.GetDirInfoFilePath();
    }
    // The node file loses its tail; a record's name loses its terminator; the
    // relation names records that never existed; the directory file is cut.
    std::string strNodes = ReadFileBytes(strNode);
    strNodes.resize(5 * 344 + 100);
    memset(&strNodes[88], 'N', 256);
    ASSERT_TRUE(WriteFileBytes(strNode, strNodes));
    ASSERT_TRUE(WriteFileBytes(strRelation, " | 2 - [0,1,2,3,4,4000000000] | 4294967326 - [5,6"));
    ASSERT_TRUE(WriteFileBytes(strDirInfo, ReadFileBytes(strDirInfo).substr(0, 264 + 30)));

    CScanResultFileManager store;
    ASSERT_EQ(store.Init(L"Fast_damaged"), 0u);
    std::vector<_FILE_NODE_> vec;
    EXPECT_EQ(store.GetChildrenFileNode(0, vec), 0u);
    ASSERT_EQ(vec.size(), 4u);  // records 1-4; 0 and 4,000,000,000 do not exist
    for (const auto& node : vec) EXPECT_LT(strnlen(node.szFileName, 256), 256u);
    vec.clear();
    EXPECT_EQ(store.GetChildrenFileNode(MakeDirKey(1, 30), vec), 0u);
    EXPECT_EQ(Names(vec), std::vector<std::string>{"sub"});  // record 6 was cut away
    uint32_t nCount = 0;
    EXPECT_EQ(store.GetChildrenFileCount(0, nCount), 0u);
    EXPECT_EQ(nCount, 2u);
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(store.SearchFileNodeInfo(L"*.other", hits), 1);
    ASSERT_EQ(hits.size(), 1u);  // the name cut to 255 'N's has no extension
    EXPECT_EQ(std::string(hits[0].szFileName), std::string(255, 'N'));
}

}  // namespace
