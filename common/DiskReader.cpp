#include "common/DiskReader.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include "common/DebugLog.h"
#include "common/Platform.h"
#include "common/Types.h"

namespace {

thread_local CZeroFillReads* t_pZeroFill = nullptr;

// Removes [uA, uB) from a list of address ranges; returns how many bytes of
// it the list held.
uint64_t CutRange(std::vector<std::pair<uintptr_t, uintptr_t>>& vec, uintptr_t uA, uintptr_t uB) {
    uint64_t u64Cut = 0;
    std::vector<std::pair<uintptr_t, uintptr_t>> vecKept;
    for (const auto& range : vec) {
        const uintptr_t uFrom = std::max(range.first, uA), uTo = std::min(range.second, uB);
        if (uTo <= uFrom) {
            vecKept.push_back(range);
            continue;
        }
        u64Cut += uTo - uFrom;
        if (range.first < uFrom) vecKept.emplace_back(range.first, uFrom);
        if (uTo < range.second) vecKept.emplace_back(uTo, range.second);
    }
    vec.swap(vecKept);
    return u64Cut;
}

}  // namespace

CDiskReader::CDiskReader() : m_u64SectorLimit(0) {}

CDiskReader::~CDiskReader() = default;

unsigned int CDiskReader::Adopt(std::shared_ptr<CMediumSource> pSource, unsigned int nErr,
                                unsigned long long u64SectorLimit) {
    if (!pSource) return nErr;
    m_pSource = std::move(pSource);
    m_u64SectorLimit = u64SectorLimit;
    return TW_OK;
}

unsigned int CDiskReader::Init(int nDiskNo, unsigned long long u64SectorLimit) {
    unsigned int nErr = 0;
    std::shared_ptr<CMediumSource> pSource = CMediumSource::OpenDisk(nDiskNo, nErr);
    return Adopt(std::move(pSource), nErr, u64SectorLimit);
}

unsigned int CDiskReader::Init(const wchar_t* wszPath, unsigned long long u64SectorLimit) {
    if (!wszPath || !*wszPath) return TW_ERR_BAD_ARGUMENT;
    unsigned int nErr = 0;
    std::shared_ptr<CMediumSource> pSource =
        CMediumSource::Open(tw::WideToUtf8(wszPath).c_str(), nErr);
    return Adopt(std::move(pSource), nErr, u64SectorLimit);
}

unsigned int CDiskReader::Init(std::shared_ptr<CMediumSource> pSource,
                               unsigned long long u64SectorLimit) {
    return Adopt(std::move(pSource), TW_ERR_BAD_ARGUMENT, u64SectorLimit);
}

unsigned int CDiskReader::Check(const unsigned char* pBuf, int nSectors, long long llFirstSector,
                                int nBytesPerSector, uint64_t& u64Offset, size_t& nBytes) const {
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
    if (llFirstSector < 0 ||
        __builtin_mul_overflow(llFirstSector, static_cast<long long>(nBytesPerSector), &llOffset))
        return TW_ERR_BAD_ARGUMENT;
    if (!m_pSource) {
        TwDebug("lseek failed %lld\n", llOffset);
        return EBADF;
    }
    u64Offset = static_cast<uint64_t>(llOffset);
    nBytes = static_cast<size_t>(u64Bytes);
    return TW_OK;
}

unsigned int CDiskReader::ReadAround(unsigned char* pBuf, int nSectors, long long llFirstSector,
                                     int nBytesPerSector, MediumRead& out) {
    uint64_t u64Offset = 0;
    size_t nBytes = 0;
    out = MediumRead();
    if (unsigned int nRet =
            Check(pBuf, nSectors, llFirstSector, nBytesPerSector, u64Offset, nBytes))
        return nRet;
    return m_pSource->Read(u64Offset, nBytes, pBuf, out);
}

unsigned int CDiskReader::ReadData(unsigned char* pBuf, int nSectors, long long llFirstSector,
                                   int nBytesPerSector, unsigned int* pSectorsRead) {
    uint64_t u64Offset = 0;
    size_t nBytes = 0;
    if (unsigned int nRet =
            Check(pBuf, nSectors, llFirstSector, nBytesPerSector, u64Offset, nBytes))
        return nRet;
    MediumRead out;
    const unsigned int nRet = m_pSource->Read(u64Offset, nBytes, pBuf, out);
    CZeroFillReads* pFill = CZeroFillReads::Current();
    if (nRet == TW_OK) {
        if (pFill) pFill->NoteRead(pBuf, nBytes, {});
        if (pSectorsRead) *pSectorsRead = static_cast<unsigned int>(nSectors);
        return TW_OK;
    }
    if (nRet == TW_ERR_SHORT_READ && pFill && !out.bEnded) {
        std::vector<std::pair<size_t, size_t>> vecFills;
        for (const SectorRun& run : out.vecBad) {
            const uint64_t u64A = std::max(run.u64First * CMediumSource::kSectorBytes, u64Offset);
            const uint64_t u64B = std::min(
                (run.u64First + run.u64Count) * CMediumSource::kSectorBytes, u64Offset + nBytes);
            if (u64B > u64A)
                vecFills.emplace_back(static_cast<size_t>(u64A - u64Offset),
                                      static_cast<size_t>(u64B - u64Offset));
        }
        pFill->NoteRead(pBuf, nBytes, vecFills);
        if (pSectorsRead) *pSectorsRead = static_cast<unsigned int>(nSectors);
        return TW_OK;
    }
    TwDebug("read %lld\n", static_cast<long long>(out.bEnded && out.vecBad.empty() ? 0
                                                  : nRet == TW_ERR_SHORT_READ      ? EIO
                                                                                   : nRet));
    if (nRet != TW_ERR_SHORT_READ) return nRet;
    if (pSectorsRead)
        *pSectorsRead =
            static_cast<unsigned int>(out.nLeading / static_cast<size_t>(nBytesPerSector));
    return TW_ERR_SHORT_READ;
}

std::vector<char> UnreadableSectorMask(const MediumRead& got, uint64_t u64FirstSector,
                                       int nBytesPerSector, size_t nSectors) {
    // Nearly every read has no bad sector: no mask, no allocation.
    if (got.vecBad.empty() || nBytesPerSector <= 0) return {};
    std::vector<char> vecMask(nSectors, 0);
    const uint64_t u64Bps = static_cast<uint64_t>(nBytesPerSector);
    const uint64_t u64Base = u64FirstSector * u64Bps;
    for (const SectorRun& run : got.vecBad) {
        const uint64_t u64A = run.u64First * CMediumSource::kSectorBytes;
        const uint64_t u64B = (run.u64First + run.u64Count) * CMediumSource::kSectorBytes;
        if (u64B <= u64Base) continue;
        const uint64_t u64From = (u64A > u64Base ? u64A - u64Base : 0) / u64Bps;
        const uint64_t u64To = (u64B - u64Base + u64Bps - 1) / u64Bps;
        for (uint64_t i = u64From; i < u64To && i < nSectors; ++i) vecMask[i] = 1;
    }
    return vecMask;
}

CZeroFillReads::CZeroFillReads() : m_pOuter(t_pZeroFill) {
    t_pZeroFill = this;
}

CZeroFillReads::~CZeroFillReads() {
    t_pZeroFill = m_pOuter;
}

CZeroFillReads* CZeroFillReads::Current() {
    return t_pZeroFill;
}

void CZeroFillReads::NoteRead(const unsigned char* pBuf, size_t nBytes,
                              const std::vector<std::pair<size_t, size_t>>& vecFills) {
    const uintptr_t uBase = reinterpret_cast<uintptr_t>(pBuf);
    CutRange(m_vecFilled, uBase, uBase + nBytes);
    for (const auto& fill : vecFills)
        m_vecFilled.emplace_back(uBase + fill.first, uBase + fill.second);
}

uint64_t CZeroFillReads::TakeFilled(const unsigned char* p, size_t n) {
    if (m_vecFilled.empty()) return 0;
    const uintptr_t uBase = reinterpret_cast<uintptr_t>(p);
    return CutRange(m_vecFilled, uBase, uBase + n);
}
