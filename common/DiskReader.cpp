#include "common/DiskReader.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/DebugLog.h"
#include "common/Platform.h"
#include "common/Types.h"

namespace {
const size_t kPieceBytes = 0x10000;  // one system call reads at most 64 KiB
}

CDiskReader::CDiskReader() : m_nFd(-1), m_u64SectorLimit(0) {}

CDiskReader::~CDiskReader() {
    Close();
}

void CDiskReader::Close() {
    if (m_nFd != -1) close(m_nFd);
    m_nFd = -1;
}

unsigned int CDiskReader::Adopt(int fd, unsigned long long u64SectorLimit) {
    if (fd < 0) return static_cast<unsigned int>(errno);
    Close();
    m_nFd = fd;
    m_u64SectorLimit = u64SectorLimit;
    return TW_OK;
}

unsigned int CDiskReader::Init(int nDiskNo, unsigned long long u64SectorLimit) {
    return Adopt(tw::OpenDiskNode(nDiskNo), u64SectorLimit);
}

unsigned int CDiskReader::Init(const wchar_t* wszPath, unsigned long long u64SectorLimit) {
    if (!wszPath || !*wszPath) return TW_ERR_BAD_ARGUMENT;
    return Adopt(tw::OpenReadOnly(tw::WideToUtf8(wszPath).c_str()), u64SectorLimit);
}

unsigned int CDiskReader::ReadData(unsigned char* pBuf, int nSectors, long long llFirstSector,
                                   int nBytesPerSector, unsigned int* pSectorsRead) {
    // The end of the request, in the unsigned arithmetic the limit uses.
    const unsigned long long u64End =
        static_cast<unsigned long long>(static_cast<long long>(nSectors)) +
        static_cast<unsigned long long>(llFirstSector);
    if (u64End > m_u64SectorLimit) return TW_ERR_BAD_ARGUMENT;
    // A count or sector size that cannot describe a buffer is refused rather
    // than turned into a wrapped byte count.
    if (!pBuf || nSectors < 0 || nBytesPerSector <= 0) return TW_ERR_BAD_ARGUMENT;
    const unsigned long long u64Bytes = static_cast<unsigned long long>(nSectors) *
                                        static_cast<unsigned long long>(nBytesPerSector);
    if (u64Bytes > 0xFFFFFFFFull) return TW_ERR_BAD_ARGUMENT;
    long long llOffset;
    if (__builtin_mul_overflow(llFirstSector, static_cast<long long>(nBytesPerSector), &llOffset))
        return TW_ERR_BAD_ARGUMENT;

    if (lseek(m_nFd, static_cast<off_t>(llOffset), SEEK_SET) == static_cast<off_t>(-1)) {
        int nErr = errno;
        TwDebug("lseek failed %lld\n", llOffset);
        return static_cast<unsigned int>(nErr);
    }
    size_t nDone = 0;
    while (nDone < u64Bytes) {
        size_t nPiece = static_cast<size_t>(u64Bytes) - nDone;
        if (nPiece > kPieceBytes) nPiece = kPieceBytes;
        ssize_t nGot = read(m_nFd, pBuf + nDone, nPiece);
        if (nGot < 0 && errno == EINTR) continue;
        if (nGot <= 0) {
            long long llErr = nGot < 0 ? errno : 0;
            TwDebug("read %lld\n", llErr);
            if (pSectorsRead)
                *pSectorsRead =
                    static_cast<unsigned int>(nDone / static_cast<size_t>(nBytesPerSector));
            return TW_ERR_SHORT_READ;
        }
        nDone += static_cast<size_t>(nGot);
    }
    if (pSectorsRead) *pSectorsRead = static_cast<unsigned int>(nSectors);
    return TW_OK;
}
