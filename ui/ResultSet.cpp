#include "ui/ResultSet.h"

#include <Qt>

#include <algorithm>
#include <cstring>
#include <map>

#include "carving/FileTypeJudge.h"
#include "common/Helpers.h"
#include "engine/Categories.h"
#include "engine/NodeInfo.h"
#include "engine/RecoveryLayout.h"
#include "engine/ScanResultFileManager.h"
#include "ui/TextCodec.h"

namespace {

const char* const kCategoryNames[6] = {"Photo", "Music", "Office", "Video", "Archive", "Other"};
enum { CAT_ARCHIVE = 4, CAT_OTHER = 5 };

int BrowserCategoryOf(const QString& strExt) {
    const int nList = FirstTypeListOf(strExt);
    return nList < 0 ? CAT_OTHER : nList == 5 ? CAT_ARCHIVE : nList;
}

}  // namespace

int FirstTypeListOf(const QString& strExt) {
    const QByteArray probe = ("." + strExt).toUtf8();
    if (probe.size() < 3) return -1;
    const char* const kLists[] = {szPictureTypeList, szMusicTypeList,   szDocumentTypeList,
                                  szVideoTypeList,   szArchiveTypeList, szDocumentArchiveTypeList};
    for (int i = 0; i < 6; ++i)
        if (std::strstr(kLists[i], probe.constData())) return i;
    return -1;
}

int CResultSet::AddGroup(RESULT_TREE nTree, int nParent, const QString& strName) {
    std::vector<RESULT_GROUP>& groups = m_vecGroups[nTree];
    RESULT_GROUP group;
    group.strName = strName;
    group.nParent = nParent;
    const int nGroup = static_cast<int>(groups.size());
    if (nParent >= 0) groups[static_cast<size_t>(nParent)].vecChildren.push_back(nGroup);
    groups.push_back(std::move(group));
    return nGroup;
}

void CResultSet::Build(const std::vector<__SEARCH_FILE_INFO__>& hits,
                       const std::vector<std::wstring>& vecParents, const QString& strTop) {
    m_pHits = &hits;
    m_vecHitOf.clear();
    m_vecFiles.clear();
    for (auto& groups : m_vecGroups) groups.clear();
    AddGroup(TREE_TYPES, -1, QString());
    AddGroup(TREE_FOLDERS, -1, QString());
    const int nTop = AddGroup(TREE_FOLDERS, 0, strTop);
    int nCarved = -1;

    // The type tree: per kind, the files by lower-case extension ("unKnow"
    // without one).
    std::map<QString, std::vector<int>> mapByExt[6];
    // The folder tree: a folder's child by its narrow name.
    std::map<std::pair<int, std::string>, int> mapChild;
    char szExt[256];
    for (size_t nHit = 0; nHit < hits.size(); ++nHit) {
        const __SEARCH_FILE_INFO__& hit = hits[nHit];
        QString strKey;
        int nCategory = CAT_OTHER;
        if (GetExtendName(hit.szFileName, szExt) != 0) {
            if (!hit.szFileName[0]) continue;
            strKey = "unKnow";
        } else {
            strKey = NarrowToQString(szExt).toLower();
            nCategory = BrowserCategoryOf(strKey);
        }
        const int nFile = static_cast<int>(m_vecFiles.size());
        m_vecHitOf.push_back(static_cast<int>(nHit));
        mapByExt[nCategory][strKey].push_back(nFile);

        RESULT_FILE file;
        file.strName = NameToQString(hit.szFileName);
        struct timespec ts;
        file.llModified = GetFileNodeTime(hit, NODE_TIME_WRITE, ts) ? ts.tv_sec : kNoTime;
        file.nState = static_cast<uint8_t>(GetFileNodeState(hit));
        file.nCondition = static_cast<uint8_t>(GetFileNodeCondition(hit));
        file.bPicture = IsExtensionInTypeList(NodeExtension(hit), szPictureTypeList);
        file.nType = -1;
        int nFolder = nTop;
        if (file.nState == NODE_STATE_CARVED) {
            if (nCarved < 0) {
                nCarved = AddGroup(TREE_FOLDERS, 0, kCarvedFolder);
                m_vecGroups[TREE_FOLDERS][static_cast<size_t>(nCarved)].bCarved = true;
            }
            nFolder = nCarved;
        } else if (nHit < vecParents.size()) {
            for (const std::string& strName : SplitParentPath(vecParents[nHit])) {
                auto it = mapChild.find({nFolder, strName});
                if (it == mapChild.end()) {
                    const int nNew =
                        AddGroup(TREE_FOLDERS, nFolder, NameToQString(strName.c_str()));
                    m_vecGroups[TREE_FOLDERS][static_cast<size_t>(nNew)].strNarrow = strName;
                    it = mapChild.emplace(std::make_pair(nFolder, strName), nNew).first;
                }
                nFolder = it->second;
            }
        }
        file.nFolder = nFolder;
        m_vecGroups[TREE_FOLDERS][static_cast<size_t>(nFolder)].vecFiles.push_back(nFile);
        m_vecFiles.push_back(std::move(file));
    }
    for (int nCategory = 0; nCategory < 6; ++nCategory) {
        if (mapByExt[nCategory].empty()) continue;
        const int nGroup = AddGroup(TREE_TYPES, 0, kCategoryNames[nCategory]);
        m_vecGroups[TREE_TYPES][static_cast<size_t>(nGroup)].nCategory = nCategory;
        for (auto& entry : mapByExt[nCategory]) {
            const int nExt = AddGroup(TREE_TYPES, nGroup, entry.first);
            RESULT_GROUP& ext = m_vecGroups[TREE_TYPES][static_cast<size_t>(nExt)];
            ext.nCategory = nCategory;
            for (int nFile : entry.second) m_vecFiles[static_cast<size_t>(nFile)].nType = nExt;
            ext.vecFiles = std::move(entry.second);
        }
    }
    // Folders in the order a person looks for them.
    std::vector<RESULT_GROUP>& folders = m_vecGroups[TREE_FOLDERS];
    for (RESULT_GROUP& folder : folders) {
        if (folder.nParent < 0 || folder.bCarved) continue;
        std::sort(folder.vecChildren.begin(), folder.vecChildren.end(), [&](int nA, int nB) {
            return NaturalLess(folders[static_cast<size_t>(nA)].strNarrow,
                               folders[static_cast<size_t>(nB)].strNarrow, true);
        });
    }
    m_vecShown.assign(m_vecFiles.size(), 1);
    m_vecTicked.assign(m_vecFiles.size(), 0);
    m_nTicked = 0;
    m_u128TickedBytes = 0;
    m_filter = RESULT_FILTER();
    Recount();
}

QString CResultSet::PathOf(int nFile) const {
    const std::vector<RESULT_GROUP>& folders = m_vecGroups[TREE_FOLDERS];
    int nGroup = File(nFile).nFolder;
    if (folders[static_cast<size_t>(nGroup)].bCarved) return kCarvedFolder;
    QString strPath;
    // Up to the volume's top folder (whose parent is the invisible top).
    while (nGroup > 0 && folders[static_cast<size_t>(nGroup)].nParent > 0) {
        const RESULT_GROUP& folder = folders[static_cast<size_t>(nGroup)];
        strPath = strPath.isEmpty() ? folder.strName : folder.strName + "/" + strPath;
        nGroup = folder.nParent;
    }
    return strPath;
}

std::vector<std::string> CResultSet::FolderNamesOf(int nFile) const {
    const std::vector<RESULT_GROUP>& folders = m_vecGroups[TREE_FOLDERS];
    int nGroup = File(nFile).nFolder;
    if (folders[static_cast<size_t>(nGroup)].bCarved) return {kCarvedFolder};
    std::vector<std::string> vecNames;
    while (nGroup > 0 && folders[static_cast<size_t>(nGroup)].nParent > 0) {
        vecNames.insert(vecNames.begin(), folders[static_cast<size_t>(nGroup)].strNarrow);
        nGroup = folders[static_cast<size_t>(nGroup)].nParent;
    }
    return vecNames;
}

QString CResultSet::GroupLabel(RESULT_TREE nTree, int nGroup) const {
    const RESULT_GROUP& group = m_vecGroups[nTree][static_cast<size_t>(nGroup)];
    if (nTree == TREE_TYPES && group.nParent == 0)
        return QString("%1(%2)").arg(group.strName).arg(group.nShown);
    if (nTree == TREE_TYPES) return QString("%1 Files (%2)").arg(group.strName).arg(group.nShown);
    return QString("%1 (%2)").arg(group.strName).arg(group.nShown);
}

void CResultSet::SetFilter(const RESULT_FILTER& filter) {
    m_filter = filter;
    for (size_t i = 0; i < m_vecFiles.size(); ++i) {
        const RESULT_FILE& file = m_vecFiles[i];
        const uint64_t u64Size = Hit(static_cast<int>(i)).u64FileSize;
        bool bShown = u64Size >= filter.u64MinSize && u64Size <= filter.u64MaxSize;
        if (bShown && filter.bDates)
            bShown = file.llModified != kNoTime && file.llModified >= filter.llFrom &&
                     file.llModified <= filter.llTo;
        if (bShown && filter.bGoodOnly) bShown = file.nCondition == NODE_CONDITION_GOOD;
        if (bShown && !filter.strName.isEmpty())
            bShown = file.strName.contains(filter.strName, Qt::CaseInsensitive);
        m_vecShown[i] = bShown ? 1 : 0;
    }
    Recount();
}

std::vector<int> CResultSet::ShownFilesIn(RESULT_TREE nTree, int nGroup) const {
    std::vector<int> vecShown;
    for (int nFile : m_vecGroups[nTree][static_cast<size_t>(nGroup)].vecFiles)
        if (IsShown(nFile)) vecShown.push_back(nFile);
    return vecShown;
}

void CResultSet::SetTicked(int nFile, bool bTicked) {
    char& cTicked = m_vecTicked[static_cast<size_t>(nFile)];
    if ((cTicked != 0) == bTicked) return;
    cTicked = bTicked ? 1 : 0;
    const uint64_t u64Size = Hit(nFile).u64FileSize;
    const int nStep = bTicked ? 1 : -1;
    m_nTicked += static_cast<size_t>(static_cast<long>(nStep));
    m_u128TickedBytes = bTicked ? m_u128TickedBytes + u64Size : m_u128TickedBytes - u64Size;
    for (RESULT_TREE nTree : {TREE_TYPES, TREE_FOLDERS}) {
        if (!IsShown(nFile)) break;
        int nGroup = nTree == TREE_TYPES ? File(nFile).nType : File(nFile).nFolder;
        for (; nGroup >= 0; nGroup = m_vecGroups[nTree][static_cast<size_t>(nGroup)].nParent)
            m_vecGroups[nTree][static_cast<size_t>(nGroup)].nTicked += nStep;
    }
}

void CResultSet::TickGroup(RESULT_TREE nTree, int nGroup, bool bTicked) {
    std::vector<int> vecStack{nGroup};
    while (!vecStack.empty()) {
        const RESULT_GROUP& group = m_vecGroups[nTree][static_cast<size_t>(vecStack.back())];
        vecStack.pop_back();
        for (int nFile : group.vecFiles)
            if (IsShown(nFile)) SetTicked(nFile, bTicked);
        vecStack.insert(vecStack.end(), group.vecChildren.begin(), group.vecChildren.end());
    }
}

int CResultSet::GroupCheckState(RESULT_TREE nTree, int nGroup) const {
    const RESULT_GROUP& group = m_vecGroups[nTree][static_cast<size_t>(nGroup)];
    if (group.nTicked == 0) return Qt::Unchecked;
    return group.nTicked == group.nShown ? Qt::Checked : Qt::PartiallyChecked;
}

uint64_t CResultSet::TickedBytes() const {
    return m_u128TickedBytes > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(m_u128TickedBytes);
}

std::vector<int> CResultSet::TickedFiles() const {
    std::vector<int> vecTicked;
    vecTicked.reserve(m_nTicked);
    for (size_t i = 0; i < m_vecTicked.size(); ++i)
        if (m_vecTicked[i]) vecTicked.push_back(static_cast<int>(i));
    return vecTicked;
}

void CResultSet::Recount() {
    for (RESULT_TREE nTree : {TREE_TYPES, TREE_FOLDERS}) {
        std::vector<RESULT_GROUP>& groups = m_vecGroups[nTree];
        for (RESULT_GROUP& group : groups) {
            group.nShown = group.nTicked = 0;
            for (int nFile : group.vecFiles) {
                group.nShown += IsShown(nFile);
                group.nTicked += IsShown(nFile) && IsTicked(nFile);
            }
        }
        // A parent is made before its children: children first, upwards.
        for (size_t i = groups.size(); i-- > 1;) {
            RESULT_GROUP& parent = groups[static_cast<size_t>(groups[i].nParent)];
            parent.nShown += groups[i].nShown;
            parent.nTicked += groups[i].nTicked;
        }
        // A group with nothing to show is left out of the tree.
        for (RESULT_GROUP& group : groups) {
            group.vecShownChildren.clear();
            for (int nChild : group.vecChildren) {
                RESULT_GROUP& child = groups[static_cast<size_t>(nChild)];
                if (child.nShown == 0) continue;
                child.nRow = static_cast<int>(group.vecShownChildren.size());
                group.vecShownChildren.push_back(nChild);
            }
        }
    }
}
