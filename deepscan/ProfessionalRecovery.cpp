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

CFaultGuard g_deepGuard("ProfessionalRecovery recvSignal");

const int kReadBytes = 65536;
// Reads grow, doubling, up to this over blank space (never written or erased,
// all 0x00 or 0xFF): there the cost is the copy and the call, not the parse,
// while over data a read that stays in the processor's cache parses fastest.
const int kBlankReadBytes = 512 << 10;
// The sectors a scan gave the deep parsers, for a resumed scan to give again.
const char kJournalName[] = "Deep_Sectors";
// The sectors that could not be read: (first, count) pairs of u64.
const char kBadMapName[] = "Bad_Sectors";
// The position saved last: region offset, region length, done, scanned, files.
const char kStateName[] = "Deep_State";
// The state of a scan is saved this often (and at its end), so that a scan
// killed outright resumes from at most this far back; on a fast medium, where
// 32 MiB pass in a moment, no more often than every quarter second (a save
// syncs the scan log).
const long kSaveEveryMillis = 2000;
const unsigned long long kSaveEverySectors = 65536;  // 32 MiB
const long kSaveAtMostEveryMillis = 250;
// Read-ahead: pieces of 128 KiB (a ring that stays in the processor's cache),
// at most 8 read and waiting, the plan kept 4 MiB ahead of the parsers.
const size_t kReadAheadPieceBytes = 128 << 10;
const size_t kReadAheadPieces = 8;
const unsigned long long kReadAheadWindowBytes = 4ull << 20;
// A metadata sector read on its own: room for an MFT record of any size.
const int kRecordReadBytes = 8192;

std::string DevicePath(int nDiskNo) {
    char sz[32];
    snprintf(sz, sizeof(sz), "/dev/disk%d", nDiskNo);
    return sz;
}

// The store set of the folder whose name starts with the prefix, as a wide
// store name; empty when there is none.
std::wstring StoreNameIn(const std::string& strDir, const char* szPrefix) {
    return tw::Utf8ToWide(CLogFileManager::FindStoreName(strDir, szPrefix).c_str());
}

}  // namespace

CProfessionalRecovery::CProfessionalRecovery()
    : m_wcDriveLetter(0),
      m_nBytesPerSector(512),
      m_nDiskNo(0),
      m_u64FirstSector(0),
      m_u64SectorCount(0),
      m_nScale(100),
      m_pfnScan(nullptr),
      m_pfnRecovery(nullptr),
      m_pfnSearch(nullptr),
      m_pSearchContext(nullptr),
      m_pContext(nullptr),
      m_nFindLog(0),
      m_bBitmapUsable(false),
      m_u64SectorsRead(0) {
    memset(&m_logInfo, 0, sizeof(m_logInfo));
}

CProfessionalRecovery::~CProfessionalRecovery() = default;

unsigned int CProfessionalRecovery::Init(const std::shared_ptr<CMediumSource>& pSource,
                                         long long llFirstSector, long long llSectorCount,
                                         wchar_t wcDriveLetter) {
    if (!pSource || llFirstSector < 0 || llSectorCount <= 0) return TW_ERR_BAD_ARGUMENT;
    m_pSource = pSource;
    m_u64FirstSector = static_cast<unsigned long long>(llFirstSector);
    m_u64SectorCount = static_cast<unsigned long long>(llSectorCount);
    m_wcDriveLetter = wcDriveLetter;
    // A logical disk is logged by its number; anything opened by path (an
    // image, a device node) by its canonical path.
    m_nDiskNo = pSource->DiskNo() >= 0 ? pSource->DiskNo() : 128;
    m_strImagePath = pSource->DiskNo() >= 0 ? std::string() : pSource->Identity().strPath;
    m_diskReader.Init(pSource, m_u64FirstSector + m_u64SectorCount);
    memset(&m_logInfo, 0, sizeof(m_logInfo));
    CLogFileManager& log = CLogFileManager::GetInstance();
    m_nFindLog = m_strImagePath.empty()
                     ? log.LoadRecoveryLogInfo(DevicePath(m_nDiskNo).c_str(), m_nDiskNo,
                                               m_u64FirstSector, m_u64SectorCount, &m_logInfo)
                     : log.LoadImageLogInfo(m_strImagePath.c_str(), m_u64FirstSector,
                                            m_u64SectorCount, &m_logInfo);
    // A scan of another medium under the same name is not this one's.
    if (m_nFindLog &&
        CLogFileManager::ReadSourceKey(m_logInfo.szLogDir) != pSource->Identity().Key()) {
        log.Unload();
        m_nFindLog = 0;
        memset(&m_logInfo, 0, sizeof(m_logInfo));
    }
    m_proFat.Init(pSource, llFirstSector, llSectorCount, wcDriveLetter);
    unsigned int nResult = m_proNtfs.Init(pSource, llFirstSector, llSectorCount, wcDriveLetter);
    // A whole disk's volumes are those of its table; any other area's, the
    // one at its start. Those the table misses are met while reading.
    m_vecVolumes.clear();
    if (m_u64FirstSector != 0 || !AddTableVolumes()) AddVolume(m_u64FirstSector, m_u64SectorCount);
    return nResult;
}

IFileRecoveryParse* CProfessionalRecovery::GetFastEngine() const {
    const Volume* pVol = VolumeAt(m_u64FirstSector);
    return pVol && pVol->u64First == m_u64FirstSector ? pVol->pEngine.get() : nullptr;
}

void CProfessionalRecovery::SetNotLoadLogFile() {
    if (m_nFindLog) CLogFileManager::GetInstance().DeleteLogFileDir(m_logInfo.szLogDir);
    m_nFindLog = 0;
    memset(&m_logInfo, 0, sizeof(m_logInfo));
}

unsigned int CProfessionalRecovery::InitCallBack(PFN_SCAN_CALLBACK pfnScan,
                                                 PFN_RECOVERY_CALLBACK pfnRecovery, void* pContext,
                                                 int) {
    m_pfnScan = pfnScan;
    m_pfnRecovery = pfnRecovery;
    m_pContext = pContext;
    m_nScale = kDeepScale;
    for (Volume& vol : m_vecVolumes)
        vol.pEngine->InitCallBack(pfnScan, pfnRecovery, pContext, kFastScale);
    m_proFat.InitCallBack(pfnScan, pfnRecovery, pContext, kDeepScale);
    m_proNtfs.InitCallBack(pfnScan, pfnRecovery, pContext, kDeepScale);
    m_carving.InitCallBack(pfnScan, pfnRecovery, pContext, kDeepScale);
    return 0;
}

unsigned int CProfessionalRecovery::InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch,
                                                       void* pContext) {
    m_pfnSearch = pfnSearch;
    m_pSearchContext = pContext;
    for (Volume& vol : m_vecVolumes) vol.pEngine->InitSearchCallBack(pfnSearch, pContext);
    m_proFat.InitSearchCallBack(pfnSearch, pContext);
    m_proNtfs.InitSearchCallBack(pfnSearch, pContext);
    m_carving.InitSearchCallBack(pfnSearch, pContext);
    return 0;
}

unsigned int CProfessionalRecovery::FastPass(const std::string& strFoundDir) {
    m_bBitmapUsable = false;
    // A resumed scan has the volumes it met while reading too, and each its store.
    if (!strFoundDir.empty()) LoadVolumes(strFoundDir);
    for (Volume& vol : m_vecVolumes) {
        const unsigned int nRet = ScanVolume(vol, -1);
        if (nRet != 0) return nRet;
    }
    return 0;
}

unsigned int CProfessionalRecovery::StartDeepSources(const std::string& strFoundDir) {
    if (strFoundDir.empty()) {
        unsigned int nCarve =
            m_carving.Init(m_pSource, static_cast<long long>(m_u64FirstSector),
                           static_cast<long long>(m_u64SectorCount), m_wcDriveLetter);
        if (nCarve != 0) return nCarve;
        m_proFat.ClearProfessionalVec(nullptr);
        m_proNtfs.InitProfessionalScan(nullptr);
    } else {
        std::wstring wstrCarve = StoreNameIn(strFoundDir, kLogPrefixFileType);
        const unsigned long long u64End = m_u64FirstSector + m_u64SectorCount;
        unsigned int nCarve =
            wstrCarve.empty()
                ? m_carving.Init(m_pSource, static_cast<long long>(m_u64FirstSector),
                                 static_cast<long long>(m_u64SectorCount), m_wcDriveLetter)
                : m_carving.InitLogFile(wstrCarve.c_str(), m_wcDriveLetter, m_pSource,
                                        m_nBytesPerSector, u64End);
        if (nCarve != 0) return nCarve;
        // The deep parsers' pending records live in memory only: they start
        // afresh and are offered again the sectors the interrupted scan gave
        // them (ReplayJournal), then the rest of the area.
        m_proFat.ClearProfessionalVec(nullptr);
        m_proNtfs.InitProfessionalScan(nullptr);
    }
    m_carving.InitCallBack(m_pfnScan, m_pfnRecovery, m_pContext, kDeepScale);
    m_carving.InitSearchCallBack(m_pfnSearch, m_pSearchContext);
    return 0;
}

unsigned long long CProfessionalRecovery::SumRegions(unsigned long long u64Pos) const {
    unsigned long long u64All = 0, u64Offset = 0, u64Length = 0;
    while (NextRegion(u64Pos, u64Offset, u64Length)) {
        u64All += u64Length;
        u64Pos = u64Offset + u64Length;
    }
    return u64All;
}

bool CProfessionalRecovery::NextRegion(unsigned long long u64Pos, unsigned long long& u64Offset,
                                       unsigned long long& u64Length) const {
    // Each turn ends a volume's free runs or gives a region.
    for (size_t nTurn = 0; nTurn <= m_vecVolumes.size() && u64Pos < m_u64SectorCount; ++nTurn) {
        const unsigned long long u64Sector = m_u64FirstSector + u64Pos;
        const Volume* pIn = VolumeAt(u64Sector);
        if (pIn && pIn->bBitmap) {
            // The engine's runs count from the volume's start.
            const unsigned long long u64Base = pIn->u64First - m_u64FirstSector;
            unsigned long long u64Start = u64Sector - pIn->u64First, u64Count = 0;
            pIn->pEngine->GetUnUsedSectorCount(u64Start, u64Count);
            if (u64Count != 0 && u64Start < pIn->u64Count) {
                u64Offset = u64Base + u64Start;
                u64Length = std::min(u64Count, pIn->u64Count - u64Start);
                if (u64Offset + u64Length > u64Pos) {
                    if (u64Offset < u64Pos) {
                        u64Length -= u64Pos - u64Offset;
                        u64Offset = u64Pos;
                    }
                    return true;
                }
            }
            u64Pos = u64Base + pIn->u64Count;
            continue;
        }
        // Read whole: a volume whose free space is not known, or the stretch
        // up to the next volume.
        unsigned long long u64End = m_u64FirstSector + m_u64SectorCount;
        if (pIn) u64End = pIn->u64First + pIn->u64Count;
        for (const Volume& vol : m_vecVolumes)
            if (!pIn && vol.u64First > u64Sector) {
                u64End = vol.u64First;
                break;
            }
        u64Offset = u64Pos;
        u64Length = u64End - u64Sector;
        return true;
    }
    return false;
}

unsigned int CProfessionalRecovery::ParseProfessionalFileInfo(
    const unsigned char* pBuf, int nLength, unsigned long long u64FirstSector,
    unsigned long long u64Scanned, unsigned long long u64AllSectors, int nSecondsLeft,
    unsigned long long& u64Skip, unsigned long long& u64FilesFound,
    const std::vector<char>* pUnreadable) {
    const int nBps = m_nBytesPerSector;
    const unsigned long long u64Sectors = static_cast<unsigned long long>(nLength / nBps);
    // MFT records are of the size the deep NTFS parser takes them with (its
    // volume's; the first record's when no boot sector said).
    const int nMaxRecord = 4096;
    std::vector<unsigned char> vecRecord;
    unsigned int nResult = 0;
    unsigned long long i = 0;
    u64Skip = 0;
    while (i < u64Sectors) {
        if (pUnreadable && i < pUnreadable->size() && (*pUnreadable)[i]) {
            ++i;  // zeros standing for a sector that could not be read
            continue;
        }
        const unsigned char* p = pBuf + i * nBps;
        if (IsBlankSector(p, static_cast<size_t>(nBps))) {
            nResult = TW_ERR_BAD_ARGUMENT;  // what the carver says of a sector with no type
            ++m_u64BlankSectors;
            ++i;
            continue;
        }
        const unsigned long long u64Sector = u64FirstSector + i;
        unsigned long long u64Step = 1;
        const size_t nAvail = static_cast<size_t>(nLength) - static_cast<size_t>(i * nBps);
        bool bMetadata;
        if (i * nBps + nMaxRecord > static_cast<unsigned long long>(nLength) &&
            std::memcmp(p, "FILE", 4) == 0) {
            // An MFT record that runs past the read is read whole from the medium.
            bMetadata =
                ReadRecordFrom(u64Sector, vecRecord)
                    ? ParseMetadataSector(vecRecord.data(), u64Sector, vecRecord.size(), u64Step)
                    : ParseMetadataSector(p, u64Sector, nAvail, u64Step, false);
        } else {
            bMetadata = ParseMetadataSector(p, u64Sector, nAvail, u64Step);
        }
        if (!bMetadata) {
            nResult =
                m_carving.ParseFileBuf(p, nBps, u64Sector, u64Scanned + i, u64AllSectors,
                                       nSecondsLeft, &m_diskReader, nBps, u64Step, u64FilesFound);
            if (nResult == TW_ERR_CANCELLED) return nResult;
            if (u64Step == 0) u64Step = 1;
        } else {
            nResult = 0;
            if (u64Step == 0) u64Step = 1;
        }
        i += u64Step;
    }
    if (i > u64Sectors) u64Skip = i - u64Sectors;
    return nResult;
}

void CProfessionalRecovery::PlanAhead() {
    // The plan follows the region walk a window ahead of the parsers.
    const unsigned long long u64Bps = static_cast<unsigned long long>(m_nBytesPerSector);
    while (m_u64PlanLength != 0 && m_pSource->PlannedAhead() < kReadAheadWindowBytes) {
        m_pSource->PlanReadAhead((m_u64FirstSector + m_u64PlanOffset) * u64Bps,
                                 m_u64PlanLength * u64Bps);
        if (!NextRegion(m_u64PlanOffset + m_u64PlanLength, m_u64PlanOffset, m_u64PlanLength))
            m_u64PlanLength = 0;
    }
}

void CProfessionalRecovery::ReplanFrom(unsigned long long u64From) {
    m_pSource->StopReadAhead();
    m_pSource->StartReadAhead(kReadAheadPieceBytes, kReadAheadPieces);
    if (!NextRegion(u64From, m_u64PlanOffset, m_u64PlanLength)) m_u64PlanLength = 0;
}

unsigned long long CProfessionalRecovery::RoomBefore(unsigned long long u64At,
                                                     unsigned long long u64Still) const {
    for (const Volume& vol : m_vecVolumes)
        if (vol.u64First + vol.u64Count > u64At)
            return std::min(u64Still, vol.u64First > u64At ? vol.u64First - u64At : 0);
    return u64Still;
}

unsigned int CProfessionalRecovery::ParseRead(const unsigned char* pBuf, unsigned int nSectors,
                                              unsigned long long u64At,
                                              unsigned long long u64Scanned,
                                              unsigned long long u64AllSectors, int& nSecondsLeft,
                                              const std::vector<char>& vecUnreadable,
                                              unsigned long long& u64Skip) {
    volatile unsigned long long u64SkipSeen = 0;
    volatile unsigned int nCancel = 0;
    TW_FAULT_TRY(g_deepGuard) {
        unsigned long long u64SkipOut = 0;
        unsigned long long u64Files = GetLostFileCount();
        unsigned int nRet = ParseProfessionalFileInfo(
            pBuf, static_cast<int>(nSectors) * m_nBytesPerSector, u64At, u64Scanned, u64AllSectors,
            nSecondsLeft, u64SkipOut, u64Files, &vecUnreadable);
        u64SkipSeen = u64SkipOut;
        if (nRet == TW_ERR_CANCELLED) nCancel = nRet;
    }
    TW_FAULT_CATCH(g_deepGuard) {
        u64SkipSeen = 0;  // the rest of this chunk is abandoned
    }
    TW_FAULT_END(g_deepGuard);
    u64Skip = u64SkipSeen;
    return nCancel;
}

void CProfessionalRecovery::SaveStateIfDue(unsigned long long u64RegionOffset,
                                           unsigned long long u64RegionLength,
                                           unsigned long long u64Done,
                                           unsigned long long u64Scanned) {
    const long lNow = rsb_getTickCount();
    if (lNow - m_lLastSave >= kSaveEveryMillis ||
        (u64Scanned - m_u64ScannedAtSave >= kSaveEverySectors &&
         lNow - m_lLastSave >= kSaveAtMostEveryMillis))
        SaveState(u64RegionOffset, u64RegionLength, u64Done, u64Scanned, false);
}

int CProfessionalRecovery::ReportDeepProgress(unsigned long long u64Scanned,
                                              unsigned long long u64AllSectors, int nSecondsLeft,
                                              int& nPercent) {
    if (!m_pfnScan) return 0;
    // Scaled by 90, 10 to 110 is 9 to 99 before the final report.
    nPercent = static_cast<int>(u64AllSectors ? u64Scanned * 100 / u64AllSectors : 100) + 10;
    return m_pfnScan(m_pContext, nPercent, m_nScale, nSecondsLeft, u64Scanned, u64AllSectors,
                     GetLostFileCount(), nullptr);
}

unsigned int CProfessionalRecovery::ScanRegions(unsigned long long u64AllSectors,
                                                unsigned long long& u64RegionOffset,
                                                unsigned long long& u64RegionLength,
                                                unsigned long long& u64Done,
                                                unsigned long long& u64Scanned) {
    const int nBps = m_nBytesPerSector;
    const unsigned long long u64PerRead = static_cast<unsigned long long>(kReadBytes / nBps);
    const unsigned long long u64MostPerRead =
        static_cast<unsigned long long>(kBlankReadBytes / nBps);
    unsigned long long u64ReadNow = u64PerRead;
    std::vector<unsigned char> vecBuf(kBlankReadBytes);
    int nSecondsLeft = -1;
    CProgressClock clock;
    unsigned int nResult = 0;

    // The medium is read ahead of the parsers by the source's own thread.
    struct ReadAheadScope {
        CMediumSource& source;
        ~ReadAheadScope() { source.StopReadAhead(); }
    } readAhead{*m_pSource};
    m_pSource->StartReadAhead(kReadAheadPieceBytes, kReadAheadPieces);
    const unsigned long long u64Bps = static_cast<unsigned long long>(nBps);
    m_u64PlanOffset = u64RegionOffset + std::min(u64Done, u64RegionLength);
    m_u64PlanLength = u64RegionLength - std::min(u64Done, u64RegionLength);

    int nPercent = 10;
    while (u64RegionLength != 0) {
        // The first region may be one a resumed scan is part-way through.
        unsigned long long u64Still = u64RegionLength - std::min(u64Done, u64RegionLength);
        // A stretch outside every volume ends where a volume begins.
        const bool bOutside = !VolumeAt(m_u64FirstSector + u64RegionOffset);
        while (u64Still > 0) {
            const unsigned long long u64At = m_u64FirstSector + u64RegionOffset + u64Done;
            m_pSource->PassedTo(u64At * u64Bps);
            PlanAhead();
            const unsigned long long u64Room = bOutside ? RoomBefore(u64At, u64Still) : u64Still;
            if (u64Room < u64Still) {
                u64RegionLength -= u64Still - u64Room;
                u64Still = u64Room;
                ReplanFrom(u64At + u64Room - m_u64FirstSector);
                if (u64Still == 0) break;
            }
            const unsigned long long n = std::min(u64ReadNow, u64Still);
            // Every sector that can be read is parsed; one that cannot is
            // stepped over (never the rest of the read), and a medium that
            // went away ends the scan where it stands, to be resumed there.
            MediumRead got;
            const unsigned int nReadRet = m_diskReader.ReadAround(
                vecBuf.data(), static_cast<int>(n), static_cast<long long>(u64At), nBps, got);
            if (m_pSource->IsGone()) {
                nResult = m_pSource->GoneError();
                break;
            }
            const unsigned int nGot =
                nReadRet == 0 || nReadRet == TW_ERR_SHORT_READ
                    ? static_cast<unsigned int>(std::min<unsigned long long>(n, got.nEnd / nBps))
                    : 0;
            const std::vector<char> vecUnreadable =
                UnreadableSectorMask(got, u64At, nBps, static_cast<size_t>(n));
            m_u64SectorsRead += nGot;
            // A volume met in this read is scanned; the read ends where it says.
            unsigned long long u64Found = ~0ull;
            unsigned int nParse = nGot;
            if (bOutside && nGot > 0) {
                nResult = FindVolumeIn(vecBuf.data(), u64At, nGot, nPercent, u64Found);
                if (nResult != 0) break;
                if (u64Found != ~0ull) {
                    nParse = static_cast<unsigned int>(u64Found - u64At);
                    u64RegionLength = u64Done + nParse;
                    u64Still = nParse;
                    u64AllSectors = u64Scanned + nParse + SumRegions(u64Found - m_u64FirstSector);
                    ReplanFrom(u64Found - m_u64FirstSector);
                }
            }
            unsigned long long u64Skip = 0;
            const unsigned long long u64BlankBefore = m_u64BlankSectors;
            const unsigned int nCancel =
                nParse > 0 ? ParseRead(vecBuf.data(), nParse, u64At, u64Scanned, u64AllSectors,
                                       nSecondsLeft, vecUnreadable, u64Skip)
                           : 0;
            if (nCancel != 0) {
                nResult = nCancel;
                break;
            }
            // A read the parse found blank throughout: the next one is larger.
            u64ReadNow = nParse == n && m_u64BlankSectors - u64BlankBefore == n
                             ? std::min(u64ReadNow * 2, u64MostPerRead)
                             : u64PerRead;
            // Gone while this read was parsed: it is parsed again on resume.
            if (m_pSource->IsGone()) {
                nResult = m_pSource->GoneError();
                break;
            }
            // A stop asked for during this read may have cut a carving walk
            // short: the state saved is that of the read's start, so that a
            // resumed scan reads it again.
            const unsigned long long u64DoneBefore = u64Done, u64ScannedBefore = u64Scanned;
            const unsigned long long u64Step = std::min<unsigned long long>(n, nParse) + u64Skip;
            u64Done += u64Step;
            u64Scanned += std::min(u64Step, u64Still);
            u64Still = u64Step >= u64Still ? 0 : u64Still - u64Step;
            SaveStateIfDue(u64RegionOffset, u64RegionLength, u64Done, u64Scanned);
            nSecondsLeft = clock.SecondsLeft(u64Scanned, u64AllSectors);
            if (const int nRet =
                    ReportDeepProgress(u64Scanned, u64AllSectors, nSecondsLeft, nPercent)) {
                nResult = static_cast<unsigned int>(nRet);
                u64Done = u64DoneBefore;
                u64Scanned = u64ScannedBefore;
                break;
            }
        }
        if (nResult != 0) break;
        const unsigned long long u64Pos = u64RegionOffset + u64RegionLength;
        u64Done = 0;
        if (!NextRegion(u64Pos, u64RegionOffset, u64RegionLength)) {
            // All read: the position saved is the end of the last stretch, so
            // that a finished scan resumed keeps every file found before it.
            u64RegionOffset = u64Pos;
            u64RegionLength = 0;
        }
    }
    return nResult;
}

unsigned int CProfessionalRecovery::ScanDevice(const wchar_t* wszResultName) {
    CLogFileManager& log = CLogFileManager::GetInstance();
    bool bNewFolder = false;
    // A resumed scan goes on in its own folder.
    if (!wszResultName && !m_nFindLog) {
        log.AddDirIndex();
        bNewFolder = true;
    }
    const std::string strFoundDir = m_nFindLog ? std::string(m_logInfo.szLogDir) : std::string();
    const bool bWasFound = m_nFindLog != 0;
    m_strLogDir = bWasFound ? strFoundDir : log.GetLogFileDirPath();
    m_u64SectorsRead = 0;
    m_vecJournal.clear();
    m_nJournalSaved = 0;
    // Sectors an earlier run could not read are not read again.
    if (bWasFound) m_pSource->AddUnreadable(ReadBadMap(strFoundDir + kBadMapName));

    unsigned int nResult = FastPass(strFoundDir);
    if (nResult == 0) nResult = StartDeepSources(strFoundDir);
    if (nResult != 0) {
        if (bNewFolder) log.ReduceDirIndex();
        m_strImagePath.clear();
        return nResult;
    }

    TwDebug("InitVirtualDbrInfo Start\n");
    m_proFat.InitVirtualDbrInfo();
    m_carving.ClearTsFileRanges();

    const unsigned long long u64AllSectors = SumRegions(0);
    unsigned long long u64RegionOffset = 0, u64RegionLength = 0;
    if (!NextRegion(0, u64RegionOffset, u64RegionLength)) u64RegionLength = 0;
    unsigned long long u64Done = 0, u64Scanned = 0;
    if (bWasFound) {
        // The position saved last in the folder, when newer than the index's.
        uint64_t state[5];
        const int fd = tw::OpenReadOnly((strFoundDir + kStateName).c_str());
        if (fd >= 0 &&
            ReadFullAt(fd, state, sizeof(state), 0) == static_cast<ssize_t>(sizeof(state))) {
            m_logInfo.u64RegionStart = state[0];
            m_logInfo.u64RegionLeft = state[1];
            m_logInfo.u64RegionDone = state[2];
            m_logInfo.u64ScannedSectors = state[3];
            m_logInfo.u64FileCount = state[4];
        }
        if (fd >= 0) close(fd);
        u64RegionOffset = m_logInfo.u64RegionStart;
        u64RegionLength = m_logInfo.u64RegionLeft;
        u64Done = std::min<unsigned long long>(m_logInfo.u64RegionDone, u64RegionLength);
        u64Scanned = m_logInfo.u64ScannedSectors;
        // What was found past the saved position is found again: the state
        // on disk is that of the position.
        const unsigned long long u64Resume = m_u64FirstSector + u64RegionOffset + u64Done;
        m_carving.KeepFilesBefore(u64Resume);
        ReplayJournal(strFoundDir + kJournalName, u64Resume);
    }
    SaveState(u64RegionOffset, u64RegionLength, u64Done, u64Scanned, true);
    nResult = ScanRegions(u64AllSectors, u64RegionOffset, u64RegionLength, u64Done, u64Scanned);
    m_nFindLog = 0;

    // The end of the pass: pending records are placed in their folders. A fault
    // here is not contained (no guard is armed): the process dies with it.
    m_proFat.DealProfessionalRecordVec();
    m_proNtfs.ParseProfessionalRecordVec();
    for (Volume& vol : m_vecVolumes)
        if (vol.pExt) vol.pExt->FinishDeepScan();

    if (m_pfnScan && nResult == 0) m_pfnScan(m_pContext, 100, 100, 0, 0, 0, 0, nullptr);
    SaveState(u64RegionOffset, u64RegionLength, u64Done, u64Scanned, true);
    m_strImagePath.clear();
    return nResult;
}

void CProfessionalRecovery::SaveState(unsigned long long u64RegionOffset,
                                      unsigned long long u64RegionLength,
                                      unsigned long long u64Done, unsigned long long u64Scanned,
                                      bool bIndex) {
    // Everything found before the position reaches the disk before the
    // position does: the carved files, the metadata sectors, the bad sectors.
    m_carving.FlushResults();
    const std::string strJournal = m_strLogDir + kJournalName;
    if (FILE* f = fopen(strJournal.c_str(), m_nJournalSaved ? "ab" : "wb")) {
        if (m_vecJournal.size() > m_nJournalSaved)
            fwrite(m_vecJournal.data() + m_nJournalSaved, sizeof(uint64_t),
                   m_vecJournal.size() - m_nJournalSaved, f);
        if (fclose(f) == 0) m_nJournalSaved = m_vecJournal.size();
    }
    WriteBadMap(m_strLogDir + kBadMapName);
    // The position: in the scan's own folder every time (cheap: the index is
    // shared, locked and synced, and written at the start and the end only).
    const uint64_t state[5] = {u64RegionOffset, u64RegionLength, u64Done, u64Scanned,
                               GetLostFileCount()};
    const int fd = tw::OpenPlainFileForWriting((m_strLogDir + kStateName).c_str(), 0);
    if (fd >= 0) {
        WriteAllAt(fd, state, sizeof(state), 0);
        close(fd);
    }
    if (!bIndex) return Saved(u64Scanned);
    CLogFileManager::WriteSourceKey(m_strLogDir, m_pSource->Identity().Key());
    CLogFileManager::GetInstance().SaveLogFileInfo(
        DevicePath(m_nDiskNo).c_str(), m_nDiskNo, m_u64FirstSector, m_u64SectorCount,
        u64RegionOffset, u64RegionLength, u64Done, u64Scanned, GetLostFileCount(),
        m_strLogDir.c_str(), m_strImagePath.c_str());
    Saved(u64Scanned);
}

void CProfessionalRecovery::Saved(unsigned long long u64Scanned) {
    m_lLastSave = rsb_getTickCount();
    m_u64ScannedAtSave = u64Scanned;
}

void CProfessionalRecovery::WriteBadMap(const std::string& strPath) const {
    const std::vector<SectorRun> vecRuns = m_pSource->UnreadableRuns();
    FILE* f = fopen(strPath.c_str(), "wb");
    if (!f) return;
    for (const SectorRun& run : vecRuns) {
        const uint64_t pair[2] = {run.u64First, run.u64Count};
        fwrite(pair, sizeof(pair), 1, f);
    }
    fclose(f);
}

std::vector<SectorRun> CProfessionalRecovery::ReadBadMap(const std::string& strPath) {
    std::vector<SectorRun> vecRuns;
    FILE* f = fopen(strPath.c_str(), "rb");
    if (!f) return vecRuns;
    uint64_t pair[2];
    while (fread(pair, sizeof(pair), 1, f) == 1) vecRuns.push_back({pair[0], pair[1]});
    fclose(f);
    return vecRuns;
}

void CProfessionalRecovery::ReplayJournal(const std::string& strPath,
                                          unsigned long long u64Before) {
    FILE* f = fopen(strPath.c_str(), "rb");
    if (!f) return;
    std::vector<uint64_t> vecSectors;
    uint64_t u64Sector = 0;
    while (fread(&u64Sector, sizeof(u64Sector), 1, f) == 1) vecSectors.push_back(u64Sector);
    fclose(f);
    std::vector<unsigned char> vecBuf;
    for (uint64_t u64At : vecSectors) {
        if (u64At < m_u64FirstSector || u64At >= u64Before || !ReadRecordFrom(u64At, vecBuf))
            continue;
        TW_FAULT_TRY(g_deepGuard) {
            unsigned long long u64Step = 1;
            ParseMetadataSector(vecBuf.data(), u64At, vecBuf.size(), u64Step);
        }
        TW_FAULT_CATCH(g_deepGuard) {}
        TW_FAULT_END(g_deepGuard);
    }
}

bool CProfessionalRecovery::ReadRecordFrom(unsigned long long u64Sector,
                                           std::vector<unsigned char>& vecBuf) {
    const int nBps = m_nBytesPerSector;
    const unsigned long long u64End = m_u64FirstSector + m_u64SectorCount;
    vecBuf.assign(kRecordReadBytes, 0);
    if (u64Sector >= u64End) return false;
    const unsigned int nWant = static_cast<unsigned int>(
        std::min<unsigned long long>(kRecordReadBytes / nBps, u64End - u64Sector));
    unsigned int nGot = 0;
    m_diskReader.ReadData(vecBuf.data(), static_cast<int>(nWant), static_cast<long long>(u64Sector),
                          nBps, &nGot);
    if (nGot == 0) return false;
    if (nGot < nWant) std::fill(vecBuf.begin() + static_cast<long>(nGot) * nBps, vecBuf.end(), 0);
    return true;
}

bool CProfessionalRecovery::ParseMetadataSector(const unsigned char* p,
                                                unsigned long long u64Sector, size_t nAvail,
                                                unsigned long long& u64Step, bool bWholeRecord) {
    const int nBps = m_nBytesPerSector;
    u64Step = 1;
    // The first sector of a block of an ext volume: one of its directory or
    // journal blocks, which the ext engine keeps.
    const Volume* pVol = VolumeAt(u64Sector);
    CFastExtRecovery* pExt = pVol ? pVol->pExt : nullptr;
    const uint64_t u64Per = pExt ? pExt->BlockSectors() : 0;
    uint64_t u64Block = 0;
    if (u64Per && (u64Sector - pVol->u64First) % u64Per == 0 &&
        pExt->TakeFreeBlock(p, nAvail, u64Sector, u64Block)) {
        m_vecJournal.push_back(u64Sector);
        u64Step = u64Block;
        return true;
    }
    if (bWholeRecord && IsNtfsFileRecord(p, m_proNtfs.RecordSizeAt(p))) {
        m_proNtfs.ParseNtfsFileRecord(p, u64Sector);
    } else if (IsFatFileRecord(p)) {
        m_proFat.ParseFatFileRecord(p, u64Sector);
    } else if (IsFatFDTRecord(p, nBps)) {
        m_proFat.ParseFDTFileRecord(p, u64Sector);
    } else {
        return false;
    }
    m_vecJournal.push_back(u64Sector);
    return true;
}
