#include "carving/CarveContext.h"

#include <new>

#include "common/DiskReader.h"

namespace {

constexpr int kReadBufBytes = 65536;

thread_local CCarveContext* t_pCurrent = nullptr;

}  // namespace

CCarveContext& CurrentCarveContext() {
    if (t_pCurrent) return *t_pCurrent;
    thread_local CCarveContext s_own;
    return s_own;
}

CCarveContextScope::CCarveContextScope(CCarveContext& ctx) : m_pPrevious(t_pCurrent) {
    t_pCurrent = &ctx;
}

CCarveContextScope::~CCarveContextScope() {
    t_pCurrent = m_pPrevious;
}

int CCarveContext::ReportProgress(unsigned long long u64SectorsWalked) {
    if (!m_progressFunc) return 0;
    const unsigned long long u64Cur = m_u64ScanSectorCount + u64SectorsWalked;
    const unsigned long long u64All = m_u64SectorTotalCount;
    const int nPercent = (u64All ? static_cast<int>(u64Cur * 100 / u64All) : 0) + 10;
    m_ErrorCode = m_progressFunc(m_pParam, nPercent, m_nPercent, m_nRemaidSecond, u64Cur, u64All,
                                 m_u64FileCount, nullptr);
    return m_ErrorCode;
}

bool CCarveContext::ReadSectors(std::vector<unsigned char>& buf, int nSectors,
                                unsigned long long u64Sector) const {
    const int nBps = m_nBytesPerSector;
    if (!m_pDiskReader || nBps <= 0 || nSectors <= 0 || nSectors > (1 << 24) / nBps) return false;
    buf.assign(static_cast<size_t>(nSectors) * nBps, 0);
    unsigned int nRead = 0;
    unsigned int nRet = m_pDiskReader->ReadData(buf.data(), nSectors,
                                                static_cast<long long>(u64Sector), nBps, &nRead);
    return nRet == 0 && nRead == static_cast<unsigned int>(nSectors);
}

unsigned char* CCarveContext::ReadBuffer() {
    if (m_vecReadBuf.empty()) {
        try {
            m_vecReadBuf.resize(kReadBufBytes);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return m_vecReadBuf.data();
}
