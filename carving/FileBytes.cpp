// CFileBytes: the bytes of a file at a sector, for the structure walks of the
// formats (FileTypeStructure.h).
#include "carving/FileTypeStructure.h"

#include <cstring>

#include "carving/CarveContext.h"
#include "common/DiskReader.h"

namespace {

typedef uint64_t u64;
constexpr u64 kNotFound = ~0ULL;

}  // namespace

// ---- CFileBytes --------------------------------------------------------------

CFileBytes::CFileBytes(CDiskReader* pReader, int nBytesPerSector, uint64_t u64StartSector,
                       uint64_t u64MaxBytes)
    : m_pReader(pReader), m_nBps(nBytesPerSector), m_u64Start(u64StartSector), m_u64Reach(0) {
    if (!pReader || nBytesPerSector <= 0 || nBytesPerSector > static_cast<int>(kMaxSpan)) return;
    const u64 u64Limit = pReader->GetSectorLimit();
    if (u64StartSector >= u64Limit) return;
    const u64 u64Sectors = u64Limit - u64StartSector;
    const u64 u64Bps = static_cast<u64>(nBytesPerSector);
    m_u64Reach = u64Sectors > u64MaxBytes / u64Bps ? u64MaxBytes : u64Sectors * u64Bps;
    m_u64StepBudget = 2 * m_u64Reach + kMaxSpan;
}

bool CFileBytes::Advance(uint64_t& u64Off, uint64_t n) const {
    u64 u64Next = 0;
    if (__builtin_add_overflow(u64Off, n, &u64Next) || u64Next > m_u64Reach) return false;
    u64Off = u64Next;
    return true;
}

// One more look at the bytes: false once the walk has spent its steps or was
// stopped.
bool CFileBytes::Step() {
    if (++m_u64Steps > m_u64StepBudget) return false;
    return (m_u64Steps & 0xFFFF) != 0 || Report();
}

// Progress as the sector walks report it; a stop ends the walk.
bool CFileBytes::Report() {
    if (CurrentCarveContext().ReportProgress(m_u64SectorsRead) == 0) return true;
    m_u64Reach = 0;  // the walk ends at its next step
    m_nWinLen = 0;
    return false;
}

bool CFileBytes::Load(uint64_t u64Off, uint32_t n) {
    if (n == 0 || n > kMaxSpan || u64Off >= m_u64Reach || n > m_u64Reach - u64Off) return false;
    if (u64Off >= m_u64WinOff && u64Off + n <= m_u64WinOff + m_nWinLen) return true;
    const u64 u64Bps = static_cast<u64>(m_nBps);
    // Twice the longest span, from the sector that holds the first byte.
    const u64 u64First = u64Off / u64Bps;
    u64 u64Count = (2 * kMaxSpan) / u64Bps;
    const u64 u64ReachSectors = (m_u64Reach + u64Bps - 1) / u64Bps;
    if (u64Count > u64ReachSectors - u64First) u64Count = u64ReachSectors - u64First;
    m_vecWin.resize(static_cast<size_t>(u64Count * u64Bps));
    unsigned int nRead = 0;
    m_nWinLen = 0;
    if (m_pReader->ReadData(m_vecWin.data(), static_cast<int>(u64Count),
                            static_cast<long long>(m_u64Start + u64First), m_nBps, &nRead) != 0 ||
        nRead == 0)
        return false;
    m_u64WinOff = u64First * u64Bps;
    m_nWinLen = static_cast<uint32_t>(nRead * u64Bps);
    m_u64SectorsRead += nRead;
    return Report() && u64Off + n <= m_u64WinOff + m_nWinLen;
}

const unsigned char* CFileBytes::Get(uint64_t u64Off, uint32_t n) {
    if (!Step() || !Load(u64Off, n)) return nullptr;
    return m_vecWin.data() + (u64Off - m_u64WinOff);
}

const unsigned char* CFileBytes::Span(uint64_t u64Off, uint32_t& nAvail) {
    if (!Step() || !Load(u64Off, 1)) return nullptr;
    u64 u64End = m_u64WinOff + m_nWinLen;
    if (u64End > m_u64Reach) u64End = m_u64Reach;
    nAvail = static_cast<uint32_t>(u64End - u64Off);
    return m_vecWin.data() + (u64Off - m_u64WinOff);
}

uint64_t CFileBytes::Find4(uint64_t u64From, uint64_t u64To, const unsigned char* sig) {
    u64 u64Off = u64From;
    while (u64Off < u64To) {
        uint32_t nAvail = 0;
        const unsigned char* p = Span(u64Off, nAvail);
        if (!p) return kNotFound;
        if (nAvail > u64To - u64Off) nAvail = static_cast<uint32_t>(u64To - u64Off);
        const void* pHit = std::memchr(p, sig[0], nAvail);
        if (!pHit) {
            u64Off += nAvail;
            continue;
        }
        const u64 u64At = u64Off + static_cast<u64>(static_cast<const unsigned char*>(pHit) - p);
        const unsigned char* q = Get(u64At, 4);
        if (!q) return kNotFound;
        if (std::memcmp(q, sig, 4) == 0) return u64At;
        u64Off = u64At + 1;
    }
    return kNotFound;
}
