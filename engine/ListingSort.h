// The found files of a listing put in the order of their paths without holding
// them all: up to a memory bound they are kept, beyond it each full batch is
// sorted and written as a run file into a folder, and the runs are merged as
// the listing is read. What the command line lists, counts and recovers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/FileNode.h"

// One found file with its path on the scanned volume ("Documents/a.txt").
struct ListedFile {
    __SEARCH_FILE_INFO__ hit;
    std::wstring wstrParent;  // as the engine gives it, "/" after each folder
    std::string strPath;      // UTF-8, parent + name
};

class CListingSort {
public:
    static constexpr size_t kDefaultMemoryBound = 16u << 20;

    // Runs go into strFolder (the scan's own folder) as "listing.N.run";
    // with no folder everything is kept in memory.
    explicit CListingSort(std::string strFolder, size_t nMemoryBound = kDefaultMemoryBound);
    ~CListingSort();  // removes the runs it wrote
    CListingSort(const CListingSort&) = delete;
    CListingSort& operator=(const CListingSort&) = delete;

    // Takes one file. A run that cannot be written is given up and the files
    // stay in memory: the listing is whole either way.
    void Add(ListedFile&& file);
    // Hands each file to onFile in the order of NaturalLess of the paths, files
    // of the same path in the order they were added; a non-zero result of onFile
    // ends the walk. May be called again. 0, or the errno of a run that could
    // not be read back.
    unsigned int ForEach(const std::function<int(const ListedFile&)>& onFile);

    size_t Count() const { return m_nCount; }
    // The sum of the files' sizes (AddSizes: it stays at the largest value).
    unsigned long long TotalSize() const { return m_u64TotalSize; }
    size_t RunCount() const { return m_vecRuns.size(); }

    struct Entry {
        uint64_t u64Order;  // the order of arrival, for equal paths
        ListedFile file;
    };

private:
    void SpillBatch();
    void SortBatch();
    unsigned int MergeRuns(size_t nFirst, size_t nCount, const std::string& strOut);
    std::string RunPath(size_t nRun) const;

    std::string m_strFolder;
    size_t m_nMemoryBound;
    size_t m_nBatchBytes = 0;
    size_t m_nCount = 0;
    unsigned long long m_u64TotalSize = 0;
    size_t m_nRunNames = 0;
    bool m_bSpill = true;  // false without a folder, or once a run could not be written
    bool m_bBatchSorted = false;
    std::deque<Entry> m_batch;  // grows in blocks: no copy of it all on growth
    std::vector<std::string> m_vecRuns;
};

// The listing's order: NaturalLess of the paths, then the order of arrival.
bool ListedBefore(const CListingSort::Entry& a, const CListingSort::Entry& b);
