// The found files of one scan as the result page shows them: each with its
// folder, kind, modification time, state and condition; two trees that group
// them (by kind and extension, and by folder); the filter; and the ticks,
// which both trees and every view share. Plain data, built off the window's
// thread; the Qt models (ResultModels.h) show it.
#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/FileNode.h"

// The first of the type lists (photo, music, document, video, archive, the
// combined one) holding "." + the lower-case extension anywhere, or -1; so
// ".ra" is found inside ".raw" of the photo list.
int FirstTypeListOf(const QString& strExt);

enum RESULT_TREE { TREE_TYPES = 0, TREE_FOLDERS = 1 };

// What the search field and the filters let through.
struct RESULT_FILTER {
    QString strName;  // a part of the name, any case; empty: every name
    uint64_t u64MinSize = 0;
    uint64_t u64MaxSize = UINT64_MAX;
    bool bDates = false;  // modified from llFrom to llTo (seconds since 1970), both included
    int64_t llFrom = 0;
    int64_t llTo = 0;
    bool bGoodOnly = false;  // only files whose condition is good
};

// One group of a tree: a kind or an extension, or a folder.
struct RESULT_GROUP {
    QString strName;        // as shown, without its count
    std::string strNarrow;  // a folder's name on the volume (narrow text)
    int nParent = -1;       // -1 for the invisible top of the tree
    int nRow = 0;           // its place among its parent's children shown
    int nCategory = -1;     // type tree: the kind (0 Photo ... 5 Other)
    bool bCarved = false;   // the folder of the files found by signature
    std::vector<int> vecChildren;
    std::vector<int> vecShownChildren;  // those with files the filter lets through
    std::vector<int> vecFiles;          // the files directly in it
    int nShown = 0;                     // files below it that the filter lets through
    int nTicked = 0;                    // of those, ticked
};

// One found file.
struct RESULT_FILE {
    QString strName;
    int64_t llModified;  // seconds since 1970; kNoTime when the record holds none
    int nFolder;         // its group in the folder tree
    int nType;           // its extension's group in the type tree
    uint8_t nState;      // NODE_STATE
    uint8_t nCondition;  // NODE_CONDITION
    bool bPicture;       // in the photo list: a thumbnail is made for it
};

class CResultSet {
public:
    static constexpr int64_t kNoTime = INT64_MIN;
    static constexpr const char* kCarvedFolder = "Found by signature";

    // The search hits with the parent path the engine gives each ("DCIM/",
    // empty at the top or for a carved file); strTop names the volume's top
    // folder. Hits without a name are left out, as the type tree always did.
    void Build(const std::vector<__SEARCH_FILE_INFO__>& hits,
               const std::vector<std::wstring>& vecParents, const QString& strTop);

    size_t FileCount() const { return m_vecFiles.size(); }
    const RESULT_FILE& File(int nFile) const { return m_vecFiles[static_cast<size_t>(nFile)]; }
    const __SEARCH_FILE_INFO__& Hit(int nFile) const {
        return (*m_pHits)[static_cast<size_t>(m_vecHitOf[static_cast<size_t>(nFile)])];
    }
    // "DCIM/100TEST", "" at the top, "Found by signature" for carved files.
    QString PathOf(int nFile) const;
    // The narrow names of the folders above a file on its volume, outermost
    // first (a carved file: the folder of the files found by signature).
    std::vector<std::string> FolderNamesOf(int nFile) const;
    // The tree's groups; group 0 is its invisible top.
    const std::vector<RESULT_GROUP>& Groups(RESULT_TREE nTree) const { return m_vecGroups[nTree]; }
    // The label shown: "Photo(3)", "jpg Files (2)", "100TEST (12)".
    QString GroupLabel(RESULT_TREE nTree, int nGroup) const;

    void SetFilter(const RESULT_FILTER& filter);
    const RESULT_FILTER& Filter() const { return m_filter; }
    bool IsShown(int nFile) const { return m_vecShown[static_cast<size_t>(nFile)] != 0; }
    // The files directly in a group that the filter lets through.
    std::vector<int> ShownFilesIn(RESULT_TREE nTree, int nGroup) const;

    bool IsTicked(int nFile) const { return m_vecTicked[static_cast<size_t>(nFile)] != 0; }
    void SetTicked(int nFile, bool bTicked);
    // Ticks or clears every file below the group that the filter lets through.
    void TickGroup(RESULT_TREE nTree, int nGroup, bool bTicked);
    // Checked when every file shown below it is ticked, unchecked when none
    // is (or none is shown), partly otherwise.
    int GroupCheckState(RESULT_TREE nTree, int nGroup) const;  // a Qt::CheckState
    size_t TickedCount() const { return m_nTicked; }
    uint64_t TickedBytes() const;  // at most UINT64_MAX
    std::vector<int> TickedFiles() const;

private:
    int AddGroup(RESULT_TREE nTree, int nParent, const QString& strName);
    // The group under nParent with that name, made when missing.
    int ChildGroup(RESULT_TREE nTree, int nParent, const QString& strName,
                   const std::string& strNarrow);
    // The shown and ticked counts of every group, from its files and children.
    void Recount();

    const std::vector<__SEARCH_FILE_INFO__>* m_pHits = nullptr;
    std::vector<int> m_vecHitOf;  // each file's place among the hits
    std::vector<RESULT_FILE> m_vecFiles;
    std::vector<RESULT_GROUP> m_vecGroups[2];
    RESULT_FILTER m_filter;
    std::vector<char> m_vecShown;
    std::vector<char> m_vecTicked;
    size_t m_nTicked = 0;
    unsigned __int128 m_u128TickedBytes = 0;  // no sum of 64-bit sizes wraps
};
