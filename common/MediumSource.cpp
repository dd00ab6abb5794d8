#include "common/MediumSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>
#include "common/DebugLog.h"
#include "common/Platform.h"
#include "common/Types.h"

namespace {

const size_t kPieceBytes = 0x10000;  // one system call reads at most 64 KiB
const uint64_t kSector = CMediumSource::kSectorBytes;

// The outcome of a read that delivered all nBytes.
void DeliveredWhole(MediumRead& out, size_t nBytes) {
    out = MediumRead();
    out.nLeading = out.nEnd = nBytes;
}

// The errors of a device that is no longer there (unplugged, its server gone,
// no medium in the reader), as opposed to a sector that cannot be read.
bool IsGoneErrno(int nErr) {
    return nErr == ENODEV || nErr == ENXIO || nErr == ENOTCONN || nErr == ENOMEDIUM ||
           nErr == ESHUTDOWN;
}

// Adds the sectors [u64First, u64End) to a map of runs, merging neighbours;
// returns how many were not in it yet.
uint64_t AddRun(std::map<uint64_t, uint64_t>& mapRuns, uint64_t u64First, uint64_t u64End) {
    if (u64End <= u64First) return 0;
    auto it = mapRuns.upper_bound(u64First);
    if (it != mapRuns.begin() && std::prev(it)->second >= u64First) --it;
    uint64_t u64NewFirst = u64First, u64NewEnd = u64End, u64Known = 0;
    while (it != mapRuns.end() && it->first <= u64End) {
        const uint64_t u64A = std::max(u64First, it->first), u64B = std::min(u64End, it->second);
        if (u64B > u64A) u64Known += u64B - u64A;
        u64NewFirst = std::min(u64NewFirst, it->first);
        u64NewEnd = std::max(u64NewEnd, it->second);
        it = mapRuns.erase(it);
    }
    mapRuns[u64NewFirst] = u64NewEnd;
    return (u64End - u64First) - u64Known;
}

void AppendRun(std::vector<SectorRun>& vec, uint64_t u64First, uint64_t u64Count) {
    if (!vec.empty() && vec.back().u64First + vec.back().u64Count == u64First) {
        vec.back().u64Count += u64Count;
    } else {
        vec.push_back({u64First, u64Count});
    }
}

// The size of an open file or device now; false with errno when it cannot be
// told.
bool CurrentBytes(int fd, uint64_t& u64Bytes) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (S_ISREG(st.st_mode)) {
        u64Bytes = static_cast<uint64_t>(st.st_size);
        return true;
    }
    const off_t llEnd = lseek(fd, 0, SEEK_END);
    if (llEnd < 0) return false;
    u64Bytes = static_cast<uint64_t>(llEnd);
    return true;
}

}  // namespace

std::string SourceIdentity::Key() const {
    return std::string(bBlockDevice ? "block " : "file ") + std::to_string(u64Device) + " " +
           std::to_string(u64Inode) + " " + std::to_string(u64Bytes) + " " + strPath;
}

CMediumSource::CMediumSource(int fd, int nDiskNo, SourceIdentity identity, unsigned int nUnit)
    : m_nFd(fd), m_nDiskNo(nDiskNo), m_identity(std::move(identity)), m_nUnit(nUnit) {}

CMediumSource::~CMediumSource() {
    m_pReadAhead.reset();  // its thread reads through m_nFd
    if (m_nFd >= 0) close(m_nFd);
}

std::shared_ptr<CMediumSource> CMediumSource::Adopt(int fd, int nDiskNo, unsigned int& nErr) {
    nErr = 0;
    if (fd < 0) {
        nErr = static_cast<unsigned int>(errno);
        return nullptr;
    }
    struct stat st;
    uint64_t u64Bytes = 0;
    if (fstat(fd, &st) != 0 || !CurrentBytes(fd, u64Bytes)) {
        nErr = static_cast<unsigned int>(errno);
        close(fd);
        return nullptr;
    }
    SourceIdentity identity;
    identity.bBlockDevice = S_ISBLK(st.st_mode);
    identity.u64Device = identity.bBlockDevice ? st.st_rdev : st.st_dev;
    identity.u64Inode = identity.bBlockDevice ? 0 : st.st_ino;
    identity.u64Bytes = u64Bytes;
    std::shared_ptr<CMediumSource> pSource(
        new CMediumSource(fd, nDiskNo, std::move(identity), tw::DeviceReadUnit(fd)));
    // Fewer blocks than bytes: the image has holes worth asking about.
    pSource->m_bSparse =
        S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_blocks) * 512 < u64Bytes;
    return pSource;
}

std::shared_ptr<CMediumSource> CMediumSource::Open(const char* szUtf8Path, unsigned int& nErr) {
    std::shared_ptr<CMediumSource> pSource = Adopt(tw::OpenReadOnly(szUtf8Path), -1, nErr);
    if (pSource) {
        char szReal[PATH_MAX];
        pSource->m_identity.strPath = realpath(szUtf8Path, szReal) ? szReal : szUtf8Path;
    }
    return pSource;
}

std::shared_ptr<CMediumSource> CMediumSource::OpenDisk(int nDiskNo, unsigned int& nErr) {
    const std::string strNode = tw::ResolveDiskNode(nDiskNo);
    if (strNode.empty()) {
        nErr = ENOENT;
        return nullptr;
    }
    std::shared_ptr<CMediumSource> pSource = Open(strNode.c_str(), nErr);
    if (pSource) pSource->m_nDiskNo = nDiskNo;
    return pSource;
}

unsigned int CMediumSource::ReadDirect(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf,
                                       MediumRead& out) {
    DeliveredWhole(out, nBytes);
    if (nBytes == 0) return TW_OK;
    if (IsGone()) {
        std::memset(pBuf, 0, nBytes);
        out.nLeading = 0;
        return GoneError();
    }
    // Sectors known to be unreadable are not read again: the request is
    // served around them.
    std::vector<SectorRun> vecKnown;
    if (m_bHasBad.load(std::memory_order_acquire)) {
        const uint64_t u64First = u64Offset / kSector;
        const uint64_t u64End = (u64Offset + nBytes + kSector - 1) / kSector;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_mapBad.upper_bound(u64First);
        if (it != m_mapBad.begin()) --it;
        for (; it != m_mapBad.end() && it->first < u64End; ++it) {
            const uint64_t u64A = std::max(u64First, it->first);
            const uint64_t u64B = std::min(u64End, it->second);
            if (u64B > u64A) vecKnown.push_back({u64A, u64B - u64A});
        }
    }
    size_t nAt = 0;
    unsigned int nRet = TW_OK;
    for (const SectorRun& run : vecKnown) {
        const size_t nBadFrom =
            static_cast<size_t>(std::max<uint64_t>(run.u64First * kSector, u64Offset) - u64Offset);
        const size_t nBadTo = static_cast<size_t>(
            std::min<uint64_t>((run.u64First + run.u64Count) * kSector, u64Offset + nBytes) -
            u64Offset);
        if (nBadFrom > nAt) nRet = ReadSpan(u64Offset + nAt, nBadFrom - nAt, pBuf + nAt, nAt, out);
        if (nRet != TW_OK || out.bEnded) {
            std::memset(pBuf + nBadFrom, 0, nBytes - nBadFrom);
            nAt = nBytes;
            break;
        }
        std::memset(pBuf + nBadFrom, 0, nBadTo - nBadFrom);
        NoteMissing(nBadFrom, out);
        AppendRun(out.vecBad, run.u64First, run.u64Count);
        nAt = nBadTo;
    }
    if (nRet == TW_OK && !out.bEnded && nAt < nBytes)
        nRet = ReadSpan(u64Offset + nAt, nBytes - nAt, pBuf + nAt, nAt, out);
    if (nRet != TW_OK) return nRet;
    return out.vecBad.empty() && !out.bEnded ? TW_OK : TW_ERR_SHORT_READ;
}

unsigned int CMediumSource::ReadSpan(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf,
                                     size_t nAt, MediumRead& out) {
    size_t nDone = 0;
    while (nDone < nBytes) {
        const size_t nPiece = std::min(kPieceBytes, nBytes - nDone);
        const ssize_t nGot =
            pread(m_nFd, pBuf + nDone, nPiece, static_cast<off_t>(u64Offset + nDone));
        if (nGot > 0) {
            nDone += static_cast<size_t>(nGot);
            if (m_u64FailedInRow.load(std::memory_order_relaxed) != 0) m_u64FailedInRow = 0;
            continue;
        }
        if (nGot < 0 && errno == EINTR) continue;
        unsigned int nRet = TW_OK;
        if (nGot == 0) {
            // The data ends here: the medium's end, unless it shrank.
            if (StillThere(u64Offset + nDone)) {
                NoteEnded(nAt + nDone, out);
            } else {
                nRet = GoneError();
            }
        } else if (IsGoneErrno(errno)) {
            const int nErr = errno;
            nRet = MarkGone(static_cast<unsigned int>(nErr), u64Offset + nDone,
                            std::string("the device reported: ") + std::strerror(nErr));
        } else {
            nRet = ReadUnits(u64Offset + nDone, nPiece, pBuf + nDone, nAt + nDone, out);
            if (nRet == TW_OK && !out.bEnded) {
                nDone += nPiece;
                continue;
            }
            if (nRet == TW_OK) return TW_OK;  // ReadUnits zero-filled to the end
        }
        std::memset(pBuf + nDone, 0, nBytes - nDone);
        NoteMissing(nAt + nDone, out);
        return nRet;
    }
    return TW_OK;
}

unsigned int CMediumSource::ReadUnits(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf,
                                      size_t nAt, MediumRead& out) {
    const uint64_t u64End = u64Offset + nBytes;
    bool bSizeChecked = false;
    uint64_t u64Pos = u64Offset;
    while (u64Pos < u64End) {
        const uint64_t u64UnitEnd = std::min(u64End, (u64Pos / m_nUnit + 1) * m_nUnit);
        const size_t nLen = static_cast<size_t>(u64UnitEnd - u64Pos);
        unsigned char* p = pBuf + (u64Pos - u64Offset);
        bool bRead = false, bEnded = false;
        int nErr = 0;
        // One retry: a sector that fails twice is given up.
        for (int nTry = 0; nTry < 2 && !bRead && !bEnded; ++nTry) {
            size_t nGot = 0;
            while (nGot < nLen) {
                const ssize_t n =
                    pread(m_nFd, p + nGot, nLen - nGot, static_cast<off_t>(u64Pos + nGot));
                if (n > 0) {
                    nGot += static_cast<size_t>(n);
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    if (n == 0) bEnded = true;
                    nErr = n < 0 ? errno : 0;
                    break;
                }
            }
            bRead = nGot == nLen;
            if (!bRead && IsGoneErrno(nErr))
                return MarkGone(static_cast<unsigned int>(nErr), u64Pos,
                                std::string("the device reported: ") + std::strerror(nErr));
        }
        if (bRead) {
            m_u64FailedInRow = 0;
            u64Pos = u64UnitEnd;
            continue;
        }
        if (bEnded || !bSizeChecked) {
            bSizeChecked = true;
            if (!StillThere(u64Pos)) return GoneError();
        }
        const size_t nFrom = nAt + static_cast<size_t>(u64Pos - u64Offset);
        if (bEnded) {
            std::memset(p, 0, static_cast<size_t>(u64End - u64Pos));
            NoteEnded(nFrom, out);
            return TW_OK;
        }
        std::memset(p, 0, nLen);
        NoteBad(u64Pos, nLen, nFrom, out);
        TwDebug("unreadable sector %llu: %s\n", static_cast<unsigned long long>(u64Pos / kSector),
                std::strerror(nErr));
        const uint64_t u64InRow = m_u64FailedInRow += (nLen + kSector - 1) / kSector;
        if (u64InRow >= kGoneAfterSectors)
            return MarkGone(ENODEV, u64Pos,
                            std::to_string(u64InRow) + " sectors in a row could not be read");
        u64Pos = u64UnitEnd;
    }
    return TW_OK;
}

void CMediumSource::NoteBad(uint64_t u64Offset, size_t nBytes, size_t nAt, MediumRead& out) {
    const uint64_t u64First = u64Offset / kSector;
    const uint64_t u64End = (u64Offset + nBytes + kSector - 1) / kSector;
    NoteMissing(nAt, out);
    AppendRun(out.vecBad, u64First, u64End - u64First);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_u64BadSectors += AddRun(m_mapBad, u64First, u64End);
    m_bHasBad.store(true, std::memory_order_release);
}

void CMediumSource::NoteMissing(size_t nAt, MediumRead& out) const {
    if (nAt < out.nLeading) out.nLeading = nAt;
}

void CMediumSource::NoteEnded(size_t nAt, MediumRead& out) const {
    out.bEnded = true;
    if (nAt < out.nEnd) out.nEnd = nAt;
    NoteMissing(nAt, out);
}

unsigned int CMediumSource::MarkGone(unsigned int nErr, uint64_t u64Offset,
                                     const std::string& strWhy) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bGone.load(std::memory_order_relaxed)) {
        m_nGoneError = nErr;
        m_u64GoneAt = u64Offset / kSector;
        m_strGoneReason = strWhy;
        TwDebug("medium gone at sector %llu: %s\n", static_cast<unsigned long long>(m_u64GoneAt),
                strWhy.c_str());
        m_bGone.store(true, std::memory_order_release);
    }
    return m_nGoneError;
}

bool CMediumSource::StillThere(uint64_t u64Offset) {
    uint64_t u64Now = 0;
    if (!CurrentBytes(m_nFd, u64Now)) {
        const int nErr = errno;
        MarkGone(IsGoneErrno(nErr) ? static_cast<unsigned int>(nErr) : ENODEV, u64Offset,
                 std::string("its size cannot be read: ") + std::strerror(nErr));
        return false;
    }
    if (u64Now >= m_identity.u64Bytes) return true;
    MarkGone(ENODEV, u64Offset,
             "its size went from " + std::to_string(m_identity.u64Bytes) + " to " +
                 std::to_string(u64Now) + " bytes");
    return false;
}

unsigned int CMediumSource::GoneError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nGoneError;
}

uint64_t CMediumSource::GoneAtSector() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_u64GoneAt;
}

std::string CMediumSource::GoneReason() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strGoneReason;
}

uint64_t CMediumSource::UnreadableSectors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_u64BadSectors;
}

std::vector<SectorRun> CMediumSource::UnreadableRuns(size_t nMax) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<SectorRun> vec;
    for (auto it = m_mapBad.begin(); it != m_mapBad.end() && vec.size() < nMax; ++it)
        vec.push_back({it->first, it->second - it->first});
    return vec;
}

void CMediumSource::AddUnreadable(const std::vector<SectorRun>& vecRuns) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const SectorRun& run : vecRuns) {
        if (run.u64Count == 0 || run.u64First > UINT64_MAX - run.u64Count) continue;
        m_u64BadSectors += AddRun(m_mapBad, run.u64First, run.u64First + run.u64Count);
        m_bHasBad.store(true, std::memory_order_release);
    }
}

// ---- Read-ahead ---------------------------------------------------------------

namespace {
// The kernel is asked for the planned bytes this far ahead of the pass, again
// each time the pass has used a step of them (one request per step, not one
// per piece: asking for pages already cached costs a walk of the cache).
const uint64_t kAdviseAheadBytes = 8ull << 20;
const uint64_t kAdviseStepBytes = 2ull << 20;
}  // namespace

class CMediumSource::CReadAhead {
public:
    CReadAhead(CMediumSource& source, size_t nPieceBytes, size_t nDepth)
        : m_source(source), m_nPieceBytes(nPieceBytes), m_nDepth(nDepth) {
        m_thread = std::thread([this] { Run(); });
    }
    ~CReadAhead() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
        }
        m_cvReader.notify_all();
        m_cvPass.notify_all();
        m_thread.join();
    }

    void Plan(uint64_t u64Offset, uint64_t u64Bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (u64Offset < m_u64PlanEnd) {
            const uint64_t u64Cut = std::min(u64Bytes, m_u64PlanEnd - u64Offset);
            u64Offset += u64Cut;
            u64Bytes -= u64Cut;
        }
        if (u64Bytes == 0 || u64Offset > UINT64_MAX - u64Bytes) return;
        // A range that continues the last one extends it.
        if (!m_plan.empty() && m_plan.back().u64First + m_plan.back().u64Count == u64Offset)
            m_plan.back().u64Count += u64Bytes;
        else
            m_plan.push_back({u64Offset, u64Bytes});
        m_u64PlanEnd = u64Offset + u64Bytes;
        m_u64Queued += u64Bytes;
        if (ReaderHasWork()) m_cvReader.notify_one();
    }

    void PassedTo(uint64_t u64Offset) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_u64Pass = std::max(m_u64Pass, u64Offset);
        while (!m_pieces.empty() &&
               m_pieces.front()->u64Offset + m_pieces.front()->nBytes <= u64Offset) {
            // The piece being read is let go once its read ends.
            if (!m_pieces.front()->bReady) {
                m_cvPass.wait(lock, [&] { return m_pieces.front()->bReady; });
                continue;
            }
            m_u64Queued -= m_pieces.front()->nBytes;
            m_spare.push_back(std::move(m_pieces.front()));
            m_pieces.pop_front();
        }
        // Once full, the reader is woken when half the pieces are used, not
        // for each one (every wake is a switch of threads).
        if (m_pieces.size() <= m_nDepth / 2) m_bFull = false;
        while (!m_plan.empty() && m_plan.front().u64First < u64Offset) {
            SectorRun& range = m_plan.front();
            const uint64_t u64Cut = std::min(range.u64Count, u64Offset - range.u64First);
            range.u64First += u64Cut;
            range.u64Count -= u64Cut;
            m_u64Queued -= u64Cut;
            if (range.u64Count == 0) m_plan.pop_front();
        }
        if (ReaderHasWork()) m_cvReader.notify_one();
    }

    uint64_t Queued() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_u64Queued;
    }

    // Whether the pass found what it read in the kernel's cache: while it
    // does, the thread reads no pieces (they would be a second copy of bytes
    // the pass gets at once) and only asks the kernel ahead.
    void NoteCached(bool bCached) {
        if (m_bCached.load(std::memory_order_relaxed) == bCached) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bCached.store(bCached, std::memory_order_relaxed);
        if (ReaderHasWork()) m_cvReader.notify_one();
    }

    // Serves a read that pieces hold whole and that read without the medium
    // going away; false leaves it to a direct read. Without bWait, only
    // pieces read already serve it.
    bool Serve(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf, MediumRead& out,
               unsigned int& nRet, bool bWait) {
        if (nBytes == 0) return false;
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_pieces.empty()) return false;
        const uint64_t u64End = u64Offset + nBytes;
        auto it = std::find_if(m_pieces.begin(), m_pieces.end(), [&](const PiecePtr& p) {
            return p->u64Offset <= u64Offset && u64Offset < p->u64Offset + p->nBytes;
        });
        // The pieces from there must cover the read without a gap.
        Piece* used[16];
        size_t nUsed = 0;
        for (uint64_t u64At = u64Offset; u64At < u64End; ++it) {
            if (it == m_pieces.end() || (*it)->u64Offset > u64At || nUsed == 16) return false;
            if (!(*it)->bReady && !bWait) return false;
            used[nUsed++] = it->get();
            u64At = (*it)->u64Offset + (*it)->nBytes;
        }
        for (size_t i = 0; i < nUsed; ++i) {
            Piece* p = used[i];
            m_cvPass.wait(lock, [&] { return p->bReady || m_bStop; });
            if (!p->bReady || (p->nRet != TW_OK && p->nRet != TW_ERR_SHORT_READ)) return false;
        }
        DeliveredWhole(out, nBytes);
        for (size_t i = 0; i < nUsed; ++i) {
            const Piece* p = used[i];
            const uint64_t u64A = std::max(u64Offset, p->u64Offset);
            const uint64_t u64B = std::min(u64End, p->u64Offset + p->nBytes);
            const size_t nAt = static_cast<size_t>(u64A - u64Offset);
            std::memcpy(pBuf + nAt, p->data.data() + (u64A - p->u64Offset),
                        static_cast<size_t>(u64B - u64A));
            // What this piece could not deliver, as this read's own outcome.
            for (const SectorRun& run : p->got.vecBad) {
                const uint64_t u64BadA = std::max(run.u64First * kSector, u64A);
                const uint64_t u64BadB = std::min((run.u64First + run.u64Count) * kSector, u64B);
                if (u64BadB <= u64BadA) continue;
                AppendRun(out.vecBad, u64BadA / kSector,
                          (u64BadB + kSector - 1) / kSector - u64BadA / kSector);
                out.nLeading = std::min(out.nLeading, static_cast<size_t>(u64BadA - u64Offset));
            }
            const uint64_t u64PieceEnd = p->u64Offset + p->got.nEnd;
            if (p->got.bEnded && u64PieceEnd < u64B) {
                const size_t nEnd = static_cast<size_t>(std::max(u64PieceEnd, u64A) - u64Offset);
                if (!out.bEnded || nEnd < out.nEnd) out.nEnd = nEnd;
                out.bEnded = true;
                out.nLeading = std::min(out.nLeading, nEnd);
            }
        }
        nRet = out.vecBad.empty() && !out.bEnded ? TW_OK : TW_ERR_SHORT_READ;
        return true;
    }

private:
    struct Piece {
        uint64_t u64Offset = 0;
        size_t nBytes = 0;
        std::vector<unsigned char> data;
        MediumRead got;
        unsigned int nRet = TW_OK;
        bool bReady = false;
    };
    using PiecePtr = std::unique_ptr<Piece>;

    // Pieces to read: the pass is not served from the cache, the plan has
    // bytes, and there is room.
    bool PieceDue() const {
        return !m_bCached.load(std::memory_order_relaxed) && !m_plan.empty() && !m_bFull &&
               m_pieces.size() < m_nDepth;
    }
    // The planned bytes the kernel was asked for run less than a step's
    // worth short of the distance ahead.
    bool AdviceDue() const {
        if (m_plan.empty()) return false;
        const uint64_t u64From = std::max(m_u64AdvisedEnd, m_plan.front().u64First);
        return u64From < m_u64PlanEnd &&
               u64From < m_u64Pass + (kAdviseAheadBytes - kAdviseStepBytes);
    }
    bool ReaderHasWork() const { return PieceDue() || AdviceDue(); }

    // The planned ranges up to the distance ahead, for the kernel to read.
    std::vector<SectorRun> TakeAdvice() {
        std::vector<SectorRun> vec;
        const uint64_t u64To = std::max(m_u64Pass, m_plan.front().u64First) + kAdviseAheadBytes;
        for (const SectorRun& range : m_plan) {
            const uint64_t u64A = std::max(range.u64First, m_u64AdvisedEnd);
            const uint64_t u64B = std::min(range.u64First + range.u64Count, u64To);
            if (range.u64First >= u64To) break;
            if (u64B > u64A) vec.push_back({u64A, u64B - u64A});
        }
        m_u64AdvisedEnd = std::max(m_u64AdvisedEnd, u64To);
        return vec;
    }

    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_cvReader.wait(lock, [&] { return m_bStop || ReaderHasWork(); });
            if (m_bStop) return;
            if (AdviceDue()) {
                const std::vector<SectorRun> vecAdvice = TakeAdvice();
                lock.unlock();
                for (const SectorRun& range : vecAdvice)
                    posix_fadvise(m_source.m_nFd, static_cast<off_t>(range.u64First),
                                  static_cast<off_t>(range.u64Count), POSIX_FADV_WILLNEED);
                lock.lock();
                continue;
            }
            SectorRun& range = m_plan.front();
            PiecePtr pPiece;
            if (m_spare.empty()) {
                pPiece.reset(new Piece);
            } else {
                pPiece = std::move(m_spare.back());
                m_spare.pop_back();
            }
            Piece* p = pPiece.get();
            p->u64Offset = range.u64First;
            p->nBytes = static_cast<size_t>(std::min<uint64_t>(range.u64Count, m_nPieceBytes));
            p->bReady = false;
            range.u64First += p->nBytes;
            range.u64Count -= p->nBytes;
            if (range.u64Count == 0) m_plan.pop_front();
            m_pieces.push_back(std::move(pPiece));
            if (m_pieces.size() >= m_nDepth) m_bFull = true;
            lock.unlock();
            if (p->data.size() < p->nBytes) p->data.resize(p->nBytes);
            p->nRet = m_source.ReadHole(p->u64Offset, p->nBytes, p->data.data(), p->got)
                          ? TW_OK
                          : m_source.ReadDirect(p->u64Offset, p->nBytes, p->data.data(), p->got);
            lock.lock();
            p->bReady = true;
            // A medium that went away is read no further ahead.
            if (m_source.IsGone()) {
                for (const SectorRun& left : m_plan) m_u64Queued -= left.u64Count;
                m_plan.clear();
            }
            m_cvPass.notify_all();
        }
    }

    CMediumSource& m_source;
    const size_t m_nPieceBytes;
    const size_t m_nDepth;
    mutable std::mutex m_mutex;
    std::condition_variable m_cvReader;  // the thread waits for work
    std::condition_variable m_cvPass;    // the pass waits for a piece
    std::deque<SectorRun> m_plan;        // byte ranges (first byte, bytes) not read yet
    uint64_t m_u64PlanEnd = 0;
    uint64_t m_u64Queued = 0;      // bytes planned or held in pieces
    uint64_t m_u64Pass = 0;        // where the pass reads
    uint64_t m_u64AdvisedEnd = 0;  // the kernel was asked for the plan before this
    std::atomic<bool> m_bCached{false};
    bool m_bFull = false;
    std::deque<PiecePtr> m_pieces;
    std::vector<PiecePtr> m_spare;
    bool m_bStop = false;
    std::thread m_thread;
};

bool CMediumSource::ReadCached(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf) {
    if (!m_bNoWait.load(std::memory_order_relaxed) || nBytes == 0 ||
        m_bHasBad.load(std::memory_order_acquire) || IsGone())
        return false;
    size_t nDone = 0;
    while (nDone < nBytes) {
        struct iovec iov = {pBuf + nDone, nBytes - nDone};
        const ssize_t n =
            preadv2(m_nFd, &iov, 1, static_cast<off_t>(u64Offset + nDone), RWF_NOWAIT);
        if (n > 0) {
            nDone += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A file system or kernel that cannot read this way is not asked again.
        if (n < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS))
            m_bNoWait.store(false, std::memory_order_relaxed);
        return false;
    }
    return true;
}

bool CMediumSource::ReadHole(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf,
                             MediumRead& out) {
    // Known-unreadable sectors and a medium gone are told by the usual path.
    if (!m_bSparse.load(std::memory_order_relaxed) || nBytes == 0 ||
        m_bHasBad.load(std::memory_order_acquire) || IsGone())
        return false;
    const uint64_t u64End = u64Offset + nBytes;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_holeMutex);
    // What the file system said is trusted briefly: an image still being
    // written fills its holes.
    if (now - m_holeAsked > std::chrono::seconds(1))
        m_u64HoleFrom = m_u64HoleEnd = m_u64DataFrom = m_u64DataEnd = 0;
    if (u64Offset >= m_u64DataFrom && u64Offset < m_u64DataEnd) return false;
    if (u64Offset < m_u64HoleFrom || u64Offset >= m_u64HoleEnd) {
        m_holeAsked = now;
        // lseek moves only the file position, which no read here uses.
        const off_t llHole = lseek(m_nFd, static_cast<off_t>(u64Offset), SEEK_HOLE);
        if (llHole < 0) {
            // Past the end, or a file system that cannot tell: read as usual.
            if (errno != ENXIO) m_bSparse = false;
            return false;
        }
        if (static_cast<uint64_t>(llHole) > u64Offset) {
            m_u64DataFrom = u64Offset;
            m_u64DataEnd = static_cast<uint64_t>(llHole);
            return false;
        }
        const off_t llData = lseek(m_nFd, static_cast<off_t>(u64Offset), SEEK_DATA);
        uint64_t u64HoleEnd = 0;
        struct stat st;
        if (llData >= 0)
            u64HoleEnd = static_cast<uint64_t>(llData);
        else if (errno == ENXIO && fstat(m_nFd, &st) == 0)
            u64HoleEnd = static_cast<uint64_t>(st.st_size);  // a hole to the end
        if (u64HoleEnd <= u64Offset) return false;
        m_u64HoleFrom = u64Offset;
        m_u64HoleEnd = u64HoleEnd;
    }
    // The end of the medium is told by a real read.
    if (u64End > m_u64HoleEnd || u64End > Bytes()) return false;
    std::memset(pBuf, 0, nBytes);
    DeliveredWhole(out, nBytes);
    return true;
}

unsigned int CMediumSource::Read(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf,
                                 MediumRead& out) {
    unsigned int nRet = TW_OK;
    if (ReadHole(u64Offset, nBytes, pBuf, out)) return TW_OK;
    if (m_pReadAhead) {
        // A read the kernel holds in its cache is copied once, straight into
        // the caller's buffer; only what it does not hold waits for a piece
        // or the medium. Every byte such a read delivers was read whole, so
        // the outcome is that of a direct read.
        if (m_pReadAhead->Serve(u64Offset, nBytes, pBuf, out, nRet, false)) return nRet;
        if (ReadCached(u64Offset, nBytes, pBuf)) {
            DeliveredWhole(out, nBytes);
            m_pReadAhead->NoteCached(true);
            return TW_OK;
        }
        m_pReadAhead->NoteCached(false);
        if (m_pReadAhead->Serve(u64Offset, nBytes, pBuf, out, nRet, true)) return nRet;
    }
    return ReadDirect(u64Offset, nBytes, pBuf, out);
}

void CMediumSource::StartReadAhead(size_t nPieceBytes, size_t nDepth) {
    m_pReadAhead.reset();
    if (nPieceBytes == 0 || nDepth == 0) return;
    m_pReadAhead.reset(new CReadAhead(*this, nPieceBytes, nDepth));
}

void CMediumSource::PlanReadAhead(uint64_t u64Offset, uint64_t u64Bytes) {
    if (m_pReadAhead) m_pReadAhead->Plan(u64Offset, u64Bytes);
}

void CMediumSource::PassedTo(uint64_t u64Offset) {
    if (m_pReadAhead) m_pReadAhead->PassedTo(u64Offset);
}

uint64_t CMediumSource::PlannedAhead() const {
    return m_pReadAhead ? m_pReadAhead->Queued() : 0;
}

void CMediumSource::StopReadAhead() {
    m_pReadAhead.reset();
}
