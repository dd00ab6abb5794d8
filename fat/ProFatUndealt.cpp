// The deep FAT parser's undealt sectors: directory sectors met before the
// volume they belong to is known, kept (in memory, then in a file) until the
// end of the pass.
#include "fat/ProfessionalFatRecovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include "common/ByteOrder.h"
#include "common/FatEntry.h"
#include "common/Helpers.h"
#include "device/FsRecognize.h"
#include "engine/NodeInfo.h"
#include "engine/SaveTarget.h"
#include "fat/FatRecord.h"
#include "fat/ProFatLimits.h"

namespace {

const uint64_t kInFile = 1ull << 63;

// The bucket of a sector's first slot for the search of long-name
// continuations: long-name slots by their checksum, live short slots by the
// checksum of their name; -1 for anything else.
int ContinuationKey(const unsigned char* pSlot) {
    if (!IsFatEntyValid(reinterpret_cast<const FAT32_Entry*>(pSlot), 32) || pSlot[0] == 0)
        return -1;
    if (pSlot[11] == FAT_ATTR_LONG_NAME) return pSlot[13];
    if (pSlot[0] == FAT_ENTRY_DELETED) return -1;
    return 256 + GetShortNameCheckSum(reinterpret_cast<const char*>(pSlot));
}

}  // namespace

// ---------------------------------------------------------------------------
// Undealt sectors.

void CProfessionalFatRecovery::AddUnDeal(const unsigned char* pBuf, uint64_t u64Sector) {
    __UNDEAL_FILE__ item;
    item.u64Sector = u64Sector;
    item.bDealt = 0;
    item.u64Where = m_vecUnDealMem.size();
    bool bStored = false;
    if (m_vecUnDealMem.size() + m_nBytesPerSector > m_u64UnDealBudget && !m_strUnDealPath.empty()) {
        if (m_nUnDealFd < 0)
            m_nUnDealFd =
                open(m_strUnDealPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_nUnDealFd >= 0 &&
            pwrite(m_nUnDealFd, pBuf, m_nBytesPerSector, static_cast<off_t>(m_u64UnDealFileSize)) ==
                static_cast<ssize_t>(m_nBytesPerSector)) {
            item.u64Where = m_u64UnDealFileSize | kInFile;
            m_u64UnDealFileSize += m_nBytesPerSector;
            ++m_u64UnDealSpilled;
            bStored = true;
        }
    }
    // Without a file the copy stays in memory: nothing is dropped.
    if (!bStored) m_vecUnDealMem.insert(m_vecUnDealMem.end(), pBuf, pBuf + m_nBytesPerSector);
    const int nKey = ContinuationKey(pBuf);
    if (nKey >= 0) m_vecUnDealByKey[nKey].push_back(static_cast<uint32_t>(m_vecUnDeal.size()));
    m_vecUnDeal.push_back(item);
}

bool CProfessionalFatRecovery::LoadUnDeal(const __UNDEAL_FILE__& item, unsigned char* pBuf) {
    if (!(item.u64Where & kInFile)) {
        if (item.u64Where + m_nBytesPerSector > m_vecUnDealMem.size()) return false;
        std::memcpy(pBuf, m_vecUnDealMem.data() + item.u64Where, m_nBytesPerSector);
        return true;
    }
    return m_nUnDealFd >= 0 && pread(m_nUnDealFd, pBuf, m_nBytesPerSector,
                                     static_cast<off_t>(item.u64Where & ~kInFile)) ==
                                   static_cast<ssize_t>(m_nBytesPerSector);
}

int CProfessionalFatRecovery::FindUnDealContinuation(const __LONG_FILE_INFO__& remain) {
    // With a record the continuation lies in the cluster the name was cut off in.
    uint64_t u64Start = 0, u64Span = UINT64_MAX;
    if (remain.nDbr >= 0) {
        uint32_t nSpan = 0;
        ClusterRange(remain.nDbr, remain.nCluster, u64Start, nSpan);
        u64Span = nSpan;
    }
    int nBest = -1;
    for (int nKey : {static_cast<int>(remain.nCheckSum), 256 + remain.nCheckSum}) {
        const std::vector<uint32_t>& vec = m_vecUnDealByKey[nKey];
        auto it = std::lower_bound(
            vec.begin(), vec.end(), u64Start,
            [this](uint32_t i, uint64_t s) { return m_vecUnDeal[i].u64Sector < s; });
        for (; it != vec.end(); ++it) {
            const __UNDEAL_FILE__& item = m_vecUnDeal[*it];
            if (item.u64Sector - u64Start >= u64Span ||
                (nBest >= 0 && item.u64Sector >= m_vecUnDeal[nBest].u64Sector))
                break;
            if (item.bDealt) continue;
            nBest = static_cast<int>(*it);
            break;
        }
    }
    return nBest;
}

void CProfessionalFatRecovery::ParseUnDealFileMap() {
    std::vector<unsigned char> sector(m_nBytesPerSector);
    for (size_t i = 0; i < m_vecUnDeal.size(); ++i) {
        if (m_vecUnDeal[i].bDealt) continue;
        m_vecUnDeal[i].bDealt = 1;
        const uint64_t s = m_vecUnDeal[i].u64Sector;
        if (!LoadUnDeal(m_vecUnDeal[i], sector.data())) continue;
        if (TakeKeptRemainder(sector.data(), s)) continue;
        uint32_t nCluster = 0;
        int nDbr = DbrBeginningCluster(sector.data(), s, nCluster);
        if (nDbr >= 0) {
            SetContext(nDbr, nCluster);
        } else if (InContext(s)) {
            nDbr = m_ctx.nDbr;
            nCluster = m_ctx.nCluster;
        } else {
            // The best record, with the cluster the sector lies in.
            nDbr = GetBestVirtalDbr(s);
            if (nDbr < 0) continue;
            const uint64_t u64Data = ClusterSector(nDbr, 2);
            if (s >= u64Data) {
                nCluster =
                    static_cast<uint32_t>((s - u64Data) / m_vecDbr[nDbr].nSectorsPerCluster) + 2;
            } else if (s >= ClusterSector(nDbr, 0)) {
                nCluster = 0;
            } else {
                continue;  // before the volume's directories
            }
        }
        ParseFatFDTRecord(sector.data(), static_cast<int>(m_nBytesPerSector), s, nCluster, nDbr);
    }
    ClearUnDeal();
}

void CProfessionalFatRecovery::ClearUnDeal() {
    m_vecUnDeal.clear();
    m_vecUnDeal.shrink_to_fit();
    m_vecUnDealMem.clear();
    m_vecUnDealMem.shrink_to_fit();
    for (std::vector<uint32_t>& vec : m_vecUnDealByKey) std::vector<uint32_t>().swap(vec);
    if (m_nUnDealFd >= 0) {
        close(m_nUnDealFd);
        m_nUnDealFd = -1;
        unlink(m_strUnDealPath.c_str());
    }
    m_u64UnDealFileSize = 0;
}
