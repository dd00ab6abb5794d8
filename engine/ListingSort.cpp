#include "engine/ListingSort.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <queue>

#include "common/Helpers.h"

namespace {

// Runs merged at once: a run file held open each, with its read buffer.
constexpr size_t kMaxFanIn = 32;
constexpr size_t kRunBuffer = 64 * 1024;
// A path in a run longer than this is taken for a damaged run.
constexpr uint32_t kMaxStoredChars = 1u << 20;

// Heap bytes of one kept entry besides its own slot.
size_t StringBytes(const ListedFile& file) {
    return file.strPath.capacity() + file.wstrParent.capacity() * sizeof(wchar_t);
}

// One run, written: order, the two lengths, the path, the parent, the record.
// The file lives only as long as the sort, on the same machine: native layout.
bool WriteEntry(FILE* pFile, const CListingSort::Entry& entry) {
    const uint32_t nPath = static_cast<uint32_t>(entry.file.strPath.size());
    const uint32_t nParent = static_cast<uint32_t>(entry.file.wstrParent.size());
    return std::fwrite(&entry.u64Order, sizeof(entry.u64Order), 1, pFile) == 1 &&
           std::fwrite(&nPath, sizeof(nPath), 1, pFile) == 1 &&
           std::fwrite(&nParent, sizeof(nParent), 1, pFile) == 1 &&
           std::fwrite(entry.file.strPath.data(), 1, nPath, pFile) == nPath &&
           std::fwrite(entry.file.wstrParent.data(), sizeof(wchar_t), nParent, pFile) == nParent &&
           std::fwrite(&entry.file.hit, sizeof(entry.file.hit), 1, pFile) == 1;
}

// Reads a run back one entry at a time.
class CRunReader {
public:
    explicit CRunReader(const std::string& strPath)
        : m_pFile(std::fopen(strPath.c_str(), "rbe")), m_nErr(m_pFile ? 0 : errno) {
        if (m_pFile) std::setvbuf(m_pFile, nullptr, _IOFBF, kRunBuffer);
    }
    ~CRunReader() {
        if (m_pFile) std::fclose(m_pFile);
    }
    CRunReader(const CRunReader&) = delete;
    CRunReader& operator=(const CRunReader&) = delete;

    // False at the end of the run or on a failure (then Error() is set).
    bool Next() {
        if (!m_pFile || m_nErr) return false;
        uint32_t nPath = 0, nParent = 0;
        if (std::fread(&m_entry.u64Order, sizeof(m_entry.u64Order), 1, m_pFile) != 1)
            return Fail(std::ferror(m_pFile) ? EIO : 0);  // the end, or a failed read
        if (std::fread(&nPath, sizeof(nPath), 1, m_pFile) != 1 ||
            std::fread(&nParent, sizeof(nParent), 1, m_pFile) != 1 || nPath > kMaxStoredChars ||
            nParent > kMaxStoredChars)
            return Fail(EIO);
        m_entry.file.strPath.resize(nPath);
        m_entry.file.wstrParent.resize(nParent);
        if (std::fread(&m_entry.file.strPath[0], 1, nPath, m_pFile) != nPath ||
            std::fread(&m_entry.file.wstrParent[0], sizeof(wchar_t), nParent, m_pFile) != nParent ||
            std::fread(&m_entry.file.hit, sizeof(m_entry.file.hit), 1, m_pFile) != 1)
            return Fail(EIO);
        return true;
    }
    const CListingSort::Entry& Current() const { return m_entry; }
    unsigned int Error() const { return static_cast<unsigned int>(m_nErr); }

private:
    bool Fail(int nErr) {
        m_nErr = nErr;
        return false;
    }
    FILE* m_pFile;
    int m_nErr;
    CListingSort::Entry m_entry;
};

// Merges the runs (and the sorted kept entries) into one ordered stream.
unsigned int MergeSources(const std::vector<std::string>& vecRuns,
                          const std::deque<CListingSort::Entry>& kept,
                          const std::function<int(const CListingSort::Entry&)>& onEntry) {
    std::vector<std::unique_ptr<CRunReader>> vecReaders;
    for (const std::string& strRun : vecRuns) {
        vecReaders.emplace_back(new CRunReader(strRun));
        if (vecReaders.back()->Error()) return vecReaders.back()->Error();
    }
    size_t nKept = 0;  // the next kept entry
    // Source i < readers: a run; i == readers: the kept entries.
    const size_t nKeptSource = vecReaders.size();
    auto current = [&](size_t i) -> const CListingSort::Entry& {
        return i == nKeptSource ? kept[nKept] : vecReaders[i]->Current();
    };
    auto later = [&](size_t a, size_t b) { return ListedBefore(current(b), current(a)); };
    std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
    for (size_t i = 0; i < vecReaders.size(); ++i) {
        if (vecReaders[i]->Next())
            heap.push(i);
        else if (vecReaders[i]->Error())
            return vecReaders[i]->Error();
    }
    if (!kept.empty()) heap.push(nKeptSource);
    while (!heap.empty()) {
        const size_t i = heap.top();
        heap.pop();
        if (onEntry(current(i)) != 0) return 0;
        if (i == nKeptSource) {
            if (++nKept < kept.size()) heap.push(i);
        } else if (vecReaders[i]->Next()) {
            heap.push(i);
        } else if (vecReaders[i]->Error()) {
            return vecReaders[i]->Error();
        }
    }
    return 0;
}

}  // namespace

bool ListedBefore(const CListingSort::Entry& a, const CListingSort::Entry& b) {
    if (a.file.strPath != b.file.strPath) return NaturalLess(a.file.strPath, b.file.strPath);
    return a.u64Order < b.u64Order;
}

CListingSort::CListingSort(std::string strFolder, size_t nMemoryBound)
    : m_strFolder(std::move(strFolder)),
      m_nMemoryBound(nMemoryBound),
      m_bSpill(!m_strFolder.empty()) {}

CListingSort::~CListingSort() {
    for (const std::string& strRun : m_vecRuns) unlink(strRun.c_str());
}

std::string CListingSort::RunPath(size_t nRun) const {
    return m_strFolder + (m_strFolder.back() == '/' ? "" : "/") + "listing." +
           std::to_string(nRun) + ".run";
}

void CListingSort::Add(ListedFile&& file) {
    m_u64TotalSize = AddSizes(m_u64TotalSize, file.hit.u64FileSize);
    m_nBatchBytes += sizeof(Entry) + StringBytes(file);
    m_batch.push_back(Entry{m_nCount++, std::move(file)});
    m_bBatchSorted = false;
    if (m_bSpill && m_nBatchBytes > m_nMemoryBound) SpillBatch();
}

void CListingSort::SortBatch() {
    if (!m_bBatchSorted) std::sort(m_batch.begin(), m_batch.end(), ListedBefore);
    m_bBatchSorted = true;
}

// Writes the batch, sorted, as a new run; a failed write keeps it in memory
// and ends spilling. Too many runs are merged into one.
void CListingSort::SpillBatch() {
    SortBatch();
    const std::string strRun = RunPath(m_nRunNames++);
    const int fd = open(strRun.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    FILE* pFile = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!pFile && fd >= 0) close(fd);
    bool bWritten = pFile != nullptr;
    if (pFile) {
        std::setvbuf(pFile, nullptr, _IOFBF, kRunBuffer);
        for (size_t i = 0; i < m_batch.size() && bWritten; ++i)
            bWritten = WriteEntry(pFile, m_batch[i]);
        bWritten = std::fclose(pFile) == 0 && bWritten;
    }
    if (!bWritten) {
        if (fd >= 0) unlink(strRun.c_str());
        m_bSpill = false;
        return;
    }
    m_vecRuns.push_back(strRun);
    m_batch.clear();
    m_nBatchBytes = 0;
    if (m_vecRuns.size() >= kMaxFanIn &&
        MergeRuns(0, m_vecRuns.size(), RunPath(m_nRunNames++)) != 0)
        m_bSpill = false;  // the runs stay as they are, and no more are made
}

// Merges runs [nFirst, nFirst + nCount) into the run strOut, which takes their place.
unsigned int CListingSort::MergeRuns(size_t nFirst, size_t nCount, const std::string& strOut) {
    const std::vector<std::string> vecIn(m_vecRuns.begin() + static_cast<long>(nFirst),
                                         m_vecRuns.begin() + static_cast<long>(nFirst + nCount));
    const int fd = open(strOut.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return static_cast<unsigned int>(errno);
    FILE* pFile = fdopen(fd, "wb");
    if (!pFile) {
        const int nErr = errno;
        close(fd);
        unlink(strOut.c_str());
        return static_cast<unsigned int>(nErr);
    }
    std::setvbuf(pFile, nullptr, _IOFBF, kRunBuffer);
    bool bWritten = true;
    unsigned int nRet = MergeSources(vecIn, {}, [&](const Entry& entry) {
        bWritten = WriteEntry(pFile, entry);
        return bWritten ? 0 : 1;
    });
    bWritten = std::fclose(pFile) == 0 && bWritten;
    if (nRet == 0 && !bWritten) nRet = EIO;
    if (nRet != 0) {
        unlink(strOut.c_str());
        return nRet;
    }
    for (const std::string& strRun : vecIn) unlink(strRun.c_str());
    m_vecRuns.erase(m_vecRuns.begin() + static_cast<long>(nFirst),
                    m_vecRuns.begin() + static_cast<long>(nFirst + nCount));
    m_vecRuns.insert(m_vecRuns.begin() + static_cast<long>(nFirst), strOut);
    return 0;
}

unsigned int CListingSort::ForEach(const std::function<int(const ListedFile&)>& onFile) {
    SortBatch();
    if (m_vecRuns.empty()) {
        for (const Entry& entry : m_batch)
            if (onFile(entry.file) != 0) break;
        return 0;
    }
    return MergeSources(m_vecRuns, m_batch,
                        [&onFile](const Entry& entry) { return onFile(entry.file); });
}
