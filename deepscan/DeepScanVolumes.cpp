// The deep scan's volumes: those a partition table gives and those met
// while reading, each scanned by its fast engine, and kept for a resumed scan.
#include "deepscan/ProfessionalRecovery.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include "carving/FileTypeJudge.h"
#include "common/DebugLog.h"
#include "common/FatEntry.h"
#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "common/StoreFiles.h"
#include "common/Types.h"
#include "deepscan/DeepScanLimits.h"
#include "deepscan/FastEngine.h"
#include "device/FsRecognize.h"
#include "device/PartitionManager.h"
#include "engine/EngineBase.h"
#include "engine/NodeInfo.h"
#include "ext/FastExtRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "ntfs/NtfsParse.h"

namespace {

// The fast pass's scan callback: passes every call on and notes a stop, so a
// stop asked for by the user is told apart from a fast engine that failed.
// A volume met during the deep pass reports the pass's progress instead
// (nDeepPercent at the deep scale, its files after those found before).
struct FastPassRelay {
    PFN_SCAN_CALLBACK pfn;
    void* pContext;
    int nStop;         // what the callback said when it asked to stop (0: never)
    int nDeepPercent;  // -1: the fast engine's own progress
    unsigned long long u64FilesBefore;
};
int RelayFastProgress(void* pContext, int nPercent, int nScale, int nSecondsLeft,
                      unsigned long long u64Cur, unsigned long long u64Total,
                      unsigned long long u64Files, wchar_t* wszText) {
    FastPassRelay* pRelay = static_cast<FastPassRelay*>(pContext);
    int nRet = 0;
    if (pRelay->pfn && pRelay->nDeepPercent < 0)
        nRet = pRelay->pfn(pRelay->pContext, nPercent, nScale, nSecondsLeft, u64Cur, u64Total,
                           u64Files, wszText);
    else if (pRelay->pfn)
        nRet = pRelay->pfn(pRelay->pContext, pRelay->nDeepPercent, kDeepScale, -1, 0, 0,
                           pRelay->u64FilesBefore + u64Files, wszText);
    if (nRet != 0 && pRelay->nStop == 0) pRelay->nStop = nRet;
    return nRet;
}

// Where volumes start: 1 MiB steps, sector 63 and the cylinder boundaries of
// 255 heads and 63 sectors (a partition's start or the track after it).
bool IsVolumeStartPlace(unsigned long long u64Sector) {
    return u64Sector % 2048 == 0 || u64Sector == 63 || u64Sector % 16065 == 0 ||
           u64Sector % 16065 == 63;
}

// A volume's first bytes: enough for every boot sector copy the fast engine's
// choice reads and the size a volume gives itself.
const size_t kProbeBytes = kVolumeProbeBytes;

// The volumes found by a scan, for its resumption.
const char kVolumesName[] = "Deep_Volumes";

}  // namespace

std::vector<CProfessionalRecovery::VolumeFound> CProfessionalRecovery::GetVolumes() const {
    std::vector<VolumeFound> vecOut;
    for (const Volume& vol : m_vecVolumes)
        vecOut.push_back({vol.u64First, vol.u64Count, vol.pEngine.get()});
    return vecOut;
}

const CProfessionalRecovery::Volume* CProfessionalRecovery::VolumeAt(
    unsigned long long u64Sector) const {
    for (const Volume& vol : m_vecVolumes)
        if (u64Sector >= vol.u64First && u64Sector - vol.u64First < vol.u64Count) return &vol;
    return nullptr;
}

bool CProfessionalRecovery::AddVolume(unsigned long long u64First, unsigned long long u64Count) {
    const unsigned long long u64AreaEnd = m_u64FirstSector + m_u64SectorCount;
    if (u64First < m_u64FirstSector || u64First >= u64AreaEnd || VolumeAt(u64First)) return false;
    // No further than the area, the next volume, and the size the volume
    // gives itself.
    u64Count = std::min(u64Count, u64AreaEnd - u64First);
    auto it = m_vecVolumes.begin();
    while (it != m_vecVolumes.end() && it->u64First < u64First) ++it;
    if (it != m_vecVolumes.end()) u64Count = std::min(u64Count, it->u64First - u64First);
    std::vector<unsigned char> probe(kProbeBytes, 0);
    MediumRead got;
    if (m_pSource->Read(u64First * 512, probe.size(), probe.data(), got) != 0 && got.nEnd == 0)
        return false;
    const uint64_t u64Own = GetVolumeSectorCount(probe.data(), probe.size());
    if (u64Own != 0) u64Count = std::min<unsigned long long>(u64Count, u64Own);
    std::unique_ptr<IFileRecoveryParse> pEngine(
        CreateFastEngine(m_pSource, static_cast<long long>(u64First),
                         static_cast<long long>(u64Count), m_wcDriveLetter));
    if (!pEngine) return false;
    Volume vol;
    vol.u64First = u64First;
    vol.u64Count = u64Count;
    vol.pExt = dynamic_cast<CFastExtRecovery*>(pEngine.get());
    vol.pEngine = std::move(pEngine);
    vol.pEngine->InitCallBack(m_pfnScan, m_pfnRecovery, m_pContext, kFastScale);
    vol.pEngine->InitSearchCallBack(m_pfnSearch, m_pSearchContext);
    m_vecVolumes.insert(it, std::move(vol));
    return true;
}

bool CProfessionalRecovery::AddTableVolumes() {
    std::vector<_PARTITION_ITEM_> vecItems;
    CPartitionManager manager;
    manager.GetDiskPartitions(MediumTableReader(*m_pSource), m_pSource->Bytes(), 0, vecItems);
    if (vecItems.empty()) return false;
    // Entries that still make sense: a start inside the disk, an end no
    // further than it.
    std::sort(vecItems.begin(), vecItems.end(),
              [](const _PARTITION_ITEM_& a, const _PARTITION_ITEM_& b) {
                  return a.u64StartSector < b.u64StartSector;
              });
    for (const _PARTITION_ITEM_& item : vecItems) {
        if (item.u64StartSector == 0 || item.u64EndSector < item.u64StartSector) continue;
        if (!AddVolume(item.u64StartSector, item.u64EndSector - item.u64StartSector + 1))
            TwDebug("no volume recognised at sector %llu, where the table says one starts\n",
                    static_cast<unsigned long long>(item.u64StartSector));
    }
    return true;
}

unsigned int CProfessionalRecovery::ScanVolume(Volume& vol, int nPercent) {
    FastPassRelay relay = {m_pfnScan, m_pContext, 0, nPercent, GetLostFileCount()};
    vol.pEngine->InitCallBack(RelayFastProgress, m_pfnRecovery, &relay, kFastScale);
    // ext leaves its nameless files until the free space has been read.
    if (vol.pExt) vol.pExt->SetDeepScan(true);
    const bool bBitmap = vol.pEngine->BuildBitMapInfo() == 0;
    const std::wstring wstrName = tw::Utf8ToWide(vol.strStore.c_str());
    unsigned int nResult = vol.pEngine->ScanDevice(wstrName.empty() ? nullptr : wstrName.c_str());
    vol.pEngine->InitCallBack(m_pfnScan, m_pfnRecovery, m_pContext, kFastScale);
    if (nResult != 0 && (relay.nStop != 0 || nResult == TW_ERR_CANCELLED)) return nResult;
    // A stop the engine let pass (asked once, between its own checks) is the
    // scan's all the same.
    if (relay.nStop != 0) return static_cast<unsigned int>(relay.nStop);
    // A damaged file system is when the deep scan matters most: a failed fast
    // pass keeps what it found, and the whole volume is read.
    vol.bBitmap = nResult == 0 && bBitmap;
    if (nResult != 0) TwDebug("fast pass failed (%u): the whole volume is deep-scanned\n", nResult);
    m_bBitmapUsable = m_bBitmapUsable || vol.bBitmap;
    if (const CEngineBase* pBase = dynamic_cast<const CEngineBase*>(vol.pEngine.get()))
        vol.strStore = pBase->GetStoreName();
    SaveVolumes();
    return 0;
}

unsigned int CProfessionalRecovery::FindVolumeIn(const unsigned char* pBuf,
                                                 unsigned long long u64At, unsigned int nGot,
                                                 int nPercent, unsigned long long& u64Found) {
    u64Found = ~0ull;
    const unsigned long long u64AreaEnd = m_u64FirstSector + m_u64SectorCount;
    std::vector<unsigned char> probe;
    for (unsigned int i = 0; i < nGot && u64At + i < u64AreaEnd; ++i) {
        const unsigned long long u64Sector = u64At + i;
        if (VolumeAt(u64Sector)) continue;
        const unsigned char* p = pBuf + static_cast<size_t>(i) * 512;
        const size_t nAvail = static_cast<size_t>(nGot - i) * 512;
        unsigned long long u64First = u64Sector, u64Count = 0;
        if (IsVolumeStartPlace(u64Sector)) {
            // Its first bytes, from the read when it holds them.
            if (nAvail < kProbeBytes) {
                probe.assign(kProbeBytes, 0);
                MediumRead got;
                if (m_pSource->Read(u64Sector * 512, probe.size(), probe.data(), got) != 0 &&
                    got.nEnd == 0)
                    continue;
                p = probe.data();
            }
            u64Count = GetVolumeSectorCount(p, kProbeBytes);
        }
        if (u64Count == 0 || !AddVolume(u64First, u64Count)) {
            // A copy kept inside a volume whose start was passed unrecognised
            // (its boot sector or superblock damaged): the volume ends the
            // read here, and what is left of it is read as its free space.
            p = pBuf + static_cast<size_t>(i) * 512;
            if (nAvail < 1024 && p[0x38] == 0x53 && p[0x39] == 0xEF) {
                // A superblock's second half lies past the read.
                probe.assign(1024, 0);
                MediumRead got;
                if (m_pSource->Read(u64Sector * 512, probe.size(), probe.data(), got) != 0 &&
                    got.nEnd == 0)
                    continue;
                p = probe.data();
            }
            uint64_t u64Own = 0;
            const uint64_t u64Back =
                GetVolumeStartBehind(p, p == probe.data() ? probe.size() : nAvail, u64Own);
            if (u64Back == 0 || u64Back > u64Sector - m_u64FirstSector) continue;
            u64First = u64Sector - u64Back;
            if (!IsVolumeStartPlace(u64First) || !AddVolume(u64First, u64Own)) continue;
            if (!VolumeAt(u64Sector)) {
                // Another volume lies between: not this one's copy.
                m_vecVolumes.erase(
                    std::find_if(m_vecVolumes.begin(), m_vecVolumes.end(),
                                 [&](const Volume& vol) { return vol.u64First == u64First; }));
                continue;
            }
        }
        TwDebug("a volume found at sector %llu\n", u64First);
        auto it = std::find_if(m_vecVolumes.begin(), m_vecVolumes.end(),
                               [&](const Volume& vol) { return vol.u64First == u64First; });
        const unsigned int nRet = ScanVolume(*it, nPercent);
        if (nRet != 0) {
            // Stopped: it is met again when the scan resumes.
            m_vecVolumes.erase(it);
            return nRet;
        }
        u64Found = u64First == u64Sector ? u64Sector : u64Sector + 1;
        return 0;
    }
    return 0;
}

void CProfessionalRecovery::SaveVolumes() const {
    std::string strText;
    for (const Volume& vol : m_vecVolumes)
        if (!vol.strStore.empty())
            strText += std::to_string(vol.u64First) + " " + std::to_string(vol.u64Count) + " " +
                       vol.strStore + "\n";
    const int fd = tw::OpenPlainFileForWriting((m_strLogDir + kVolumesName).c_str(), 0);
    if (fd < 0) return;
    if (WriteAllAt(fd, strText.data(), strText.size(), 0) == 0) (void)ftruncate(fd, strText.size());
    close(fd);
}

void CProfessionalRecovery::LoadVolumes(const std::string& strDir) {
    FILE* f = fopen((strDir + kVolumesName).c_str(), "r");
    if (!f) return;
    // One line per volume, its store's name (which may hold spaces) last; a
    // folder holds a few. A store lies in the folder.
    char szLine[512];
    for (int n = 0; n < 4096 && fgets(szLine, sizeof(szLine), f); ++n) {
        unsigned long long u64First = 0, u64Count = 0;
        int nName = 0;
        if (sscanf(szLine, "%llu %llu %n", &u64First, &u64Count, &nName) != 2 || nName == 0)
            continue;
        std::string strStore(szLine + nName);
        while (!strStore.empty() && strStore.back() == '\n') strStore.pop_back();
        if (strStore.empty() || strStore.find('/') != std::string::npos) continue;
        if (!VolumeAt(u64First)) AddVolume(u64First, u64Count);
        for (Volume& vol : m_vecVolumes)
            if (vol.u64First == u64First) vol.strStore = strStore;
    }
    fclose(f);
}
