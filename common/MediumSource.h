// The medium being recovered: a device node or image file opened once,
// read-only, and shared by every engine of a scan. Every read of the medium
// goes through Read, which reads around what fails: a failed piece is read
// again unit by unit, each failing unit tried once more, so that only the
// sectors that cannot be read are lost (they come back as zeros and are
// remembered, never read again). A medium that is plainly gone (the device
// says so, its size shrank, or thousands of sectors in a row fail) stops
// being read at all: every later read fails at once with the reason kept.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A run of 512-byte sectors, absolute on the medium.
struct SectorRun {
    uint64_t u64First = 0;
    uint64_t u64Count = 0;
};

// What tells one medium from another whatever name it was given.
struct SourceIdentity {
    std::string strPath;  // canonical path, links resolved
    bool bBlockDevice = false;
    uint64_t u64Device = 0;  // a block device's number; a file's file system
    uint64_t u64Inode = 0;   // a file's inode (0 for a block device)
    uint64_t u64Bytes = 0;   // the size when opened
    // One line, equal for the same medium and different for any other.
    std::string Key() const;
};

// What one read could not deliver.
struct MediumRead {
    size_t nLeading = 0;            // bytes delivered before the first missing one
    std::vector<SectorRun> vecBad;  // unreadable sectors met, zeros in the buffer
    bool bEnded = false;            // the medium ended before the request did
    size_t nEnd = 0;                // bytes before the medium's end (all when it did not end)
};

class CMediumSource {
public:
    static constexpr uint32_t kSectorBytes = 512;
    // Unreadable sectors in a row after which the medium counts as gone.
    static constexpr uint64_t kGoneAfterSectors = 4096;

    // Opens a device node or image file (UTF-8 path) read-only. Null with
    // errno in nErr when it cannot be opened or sized.
    static std::shared_ptr<CMediumSource> Open(const char* szUtf8Path, unsigned int& nErr);
    // Logical disk N ("/dev/diskN"), resolved to its device once.
    static std::shared_ptr<CMediumSource> OpenDisk(int nDiskNo, unsigned int& nErr);
    ~CMediumSource();
    CMediumSource(const CMediumSource&) = delete;
    CMediumSource& operator=(const CMediumSource&) = delete;

    int Handle() const { return m_nFd; }
    // The logical disk it was opened as; -1 when opened by path.
    int DiskNo() const { return m_nDiskNo; }
    const SourceIdentity& Identity() const { return m_identity; }
    uint64_t Bytes() const { return m_identity.u64Bytes; }
    // Whole 512-byte sectors when opened.
    uint64_t SectorCount() const { return m_identity.u64Bytes / kSectorBytes; }

    // nBytes at byte offset u64Offset into pBuf; every byte not delivered is
    // zero. 0: all read. 30: some sectors could not be read (listed in
    // out.vecBad) or the medium ended first (out.bEnded). The gone code
    // (GoneError) once the medium is gone, then and for every later read.
    unsigned int Read(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf, MediumRead& out);

    // The medium went away: the errno that said so (ENODEV when it was its
    // size or a run of failures), the sector reached, and why, in words.
    bool IsGone() const { return m_bGone.load(std::memory_order_acquire); }
    unsigned int GoneError() const;
    uint64_t GoneAtSector() const;
    std::string GoneReason() const;

    // Sectors that could not be read, in all and as sorted runs (at most nMax).
    uint64_t UnreadableSectors() const;
    std::vector<SectorRun> UnreadableRuns(size_t nMax = SIZE_MAX) const;
    // Sectors known to be unreadable (from an earlier scan): never read again.
    void AddUnreadable(const std::vector<SectorRun>& vecRuns);

    // Read-ahead for a pass that reads byte ranges in ascending order: a
    // thread of the source reads the ranges planned (PlanReadAhead) ahead of
    // the pass, in pieces of at most nPieceBytes and at most nDepth pieces
    // ahead, through Read and so under its policy. Every Read that a ready
    // piece holds whole is served from it; the pass tells how far it got
    // (PassedTo) and what lies before is let go. Stopped by StopReadAhead or
    // the destructor. Nothing changes what a Read delivers, only when the
    // medium is read.
    void StartReadAhead(size_t nPieceBytes, size_t nDepth);
    // Appends [u64Offset, u64Offset + u64Bytes) to the plan; ranges before
    // the end of those planned already are ignored.
    void PlanReadAhead(uint64_t u64Offset, uint64_t u64Bytes);
    // The pass reads at u64Offset now: pieces and plan before it go.
    void PassedTo(uint64_t u64Offset);
    // Bytes planned from the pass's position on (0 without read-ahead).
    uint64_t PlannedAhead() const;
    void StopReadAhead();

private:
    class CReadAhead;
    CMediumSource(int fd, int nDiskNo, SourceIdentity identity, unsigned int nUnit);
    unsigned int ReadDirect(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf,
                            MediumRead& out);
    static std::shared_ptr<CMediumSource> Adopt(int fd, int nDiskNo, unsigned int& nErr);
    // The whole request from the kernel's cache without waiting for the
    // medium (no known unreadable sector in play); false when any of it is
    // not there or the read fails.
    bool ReadCached(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf);
    // An image file with holes (never-written space): a request that lies
    // whole in one is zeros without a read. False when any of it may hold
    // data, and always for devices and files without holes.
    bool ReadHole(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf, MediumRead& out);

    // A stretch with no known-unreadable sector in it.
    unsigned int ReadSpan(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf, size_t nAt,
                          MediumRead& out);
    // A failed piece again, one read unit at a time.
    unsigned int ReadUnits(uint64_t u64Offset, size_t nBytes, unsigned char* pBuf, size_t nAt,
                           MediumRead& out);
    void NoteBad(uint64_t u64Offset, size_t nBytes, size_t nAt, MediumRead& out);
    void NoteMissing(size_t nAt, MediumRead& out) const;
    void NoteEnded(size_t nAt, MediumRead& out) const;
    unsigned int MarkGone(unsigned int nErr, uint64_t u64Offset, const std::string& strWhy);
    // Whether the medium still has the size it had; false marks it gone.
    bool StillThere(uint64_t u64Offset);

    int m_nFd;
    int m_nDiskNo;
    SourceIdentity m_identity;
    unsigned int m_nUnit;  // bytes a retry reads: the device's own sector
    std::atomic<bool> m_bGone{false};
    std::atomic<bool> m_bHasBad{false};
    std::atomic<bool> m_bNoWait{true};  // reads that do not wait are possible here
    std::atomic<uint64_t> m_u64FailedInRow{0};
    mutable std::mutex m_mutex;             // guards what follows
    std::map<uint64_t, uint64_t> m_mapBad;  // first sector -> end sector
    uint64_t m_u64BadSectors = 0;
    unsigned int m_nGoneError = 0;
    uint64_t m_u64GoneAt = 0;
    std::string m_strGoneReason;
    std::unique_ptr<CReadAhead> m_pReadAhead;
    // The last hole and the last stretch of data the file system told of
    // (first byte, end); set only for files that had holes when opened.
    std::atomic<bool> m_bSparse{false};
    std::mutex m_holeMutex;
    uint64_t m_u64HoleFrom = 0, m_u64HoleEnd = 0;
    uint64_t m_u64DataFrom = 0, m_u64DataEnd = 0;
    std::chrono::steady_clock::time_point m_holeAsked;
};
