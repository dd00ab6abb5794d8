#include "deepscan/FileRecoveryFactory.h"

#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include "common/DebugLog.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "deepscan/ProfessionalRecovery.h"
#include "device/FsRecognize.h"
#include "ext/ExtFormat.h"
#include "ext/FastExtRecovery.h"
#include "exfat/FastExFatRecovery.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"

namespace {

// The probe covers the FAT and NTFS boot sectors, the ext superblock at 1,024
// and, with 512-byte sectors, both exFAT boot regions.
const int kProbeBytes = 16384;

// One function per engine kind. An engine that is not built yet yields null.
IFileRecoveryParse* NewFastNtfsEngine() {
    return new (std::nothrow) CFastNtfsRecovery();
}
IFileRecoveryParse* NewFastFatEngine() {
    return new (std::nothrow) CFastFatRecovery();
}
IFileRecoveryParse* NewFastExFatEngine() {
    return new (std::nothrow) CFastExFatRecovery();
}
IFileRecoveryParse* NewFastExtEngine() {
    return new (std::nothrow) CFastExtRecovery();
}
IFileRecoveryParse* NewDeepScanEngine() {
    return new (std::nothrow) CProfessionalRecovery();
}

// Picks the engine for the volume whose first 16,384 bytes are in pProbe.
IFileRecoveryParse* NewEngineFor(const unsigned char* pProbe, RECOVERY_TYPE nType) {
    if (nType != RECOVERY_TYPE_FAST) return NewDeepScanEngine();
    if (IsNtfs(pProbe)) return NewFastNtfsEngine();
    if (IsFat(pProbe)) return NewFastFatEngine();
    // exFAT: a sound boot sector, or a backup region the probe holds.
    if (IsExFat(pProbe) || FindExFatBootRegion(pProbe, kProbeBytes) >= 0)
        return NewFastExFatEngine();
    if (IsExt(pProbe)) return NewFastExtEngine();
    return nullptr;
}

// Bytes of the medium at a byte offset, zeros for sectors that cannot be read;
// false when the medium ends before them or is gone.
bool ReadWhole(CMediumSource& source, long long llOffset, unsigned char* pBuf, size_t nBytes) {
    MediumRead got;
    if (llOffset < 0) return false;
    const unsigned int nRet = source.Read(static_cast<uint64_t>(llOffset), nBytes, pBuf, got);
    return nRet == 0 || (nRet == TW_ERR_SHORT_READ && !got.bEnded);
}

// A fast engine from the copy of a damaged boot sector: FAT32 keeps one at
// sector 6 of the volume, NTFS one in the volume's last sector (the area's
// last), ext copies of its superblock in later groups. Null when no copy is
// recognised.
IFileRecoveryParse* NewEngineFromCopy(CMediumSource& source, long long llAreaByte,
                                      unsigned long long u64Count) {
    if (llAreaByte < 0 || u64Count < 16 ||
        u64Count > static_cast<unsigned long long>(LLONG_MAX / 512))
        return nullptr;
    unsigned char probe[kProbeBytes];
    std::memset(probe, 0, sizeof probe);
    if (ReadWhole(source, llAreaByte + 6 * 512, probe, 512) && IsFat(probe)) {
        TwDebug("boot sector damaged: its copy at sector 6 is used\n");
        CFastFatRecovery* pFat = new (std::nothrow) CFastFatRecovery();
        if (pFat) pFat->SetBootSectorCopy(6);
        return pFat;
    }
    std::memset(probe, 0, sizeof probe);
    const long long llLast = llAreaByte + static_cast<long long>(u64Count - 1) * 512;
    if (llLast > llAreaByte && ReadWhole(source, llLast, probe, 512) && IsNtfs(probe)) {
        TwDebug("boot sector damaged: its copy in the last sector is used\n");
        CFastNtfsRecovery* pNtfs = new (std::nothrow) CFastNtfsRecovery();
        if (pNtfs) pNtfs->SetBootSectorCopy(u64Count - 1);
        return pNtfs;
    }
    // ext keeps copies of its superblock in later block groups.
    uint64_t u64At = 0;
    if (FindExtSuperCopy(
            [&](uint64_t u64Offset, unsigned char* p, size_t n) {
                return ReadWhole(source, llAreaByte + static_cast<long long>(u64Offset), p, n);
            },
            u64Count * 512, u64At)) {
        TwDebug("superblock damaged: its copy at byte %llu is used\n",
                static_cast<unsigned long long>(u64At));
        return NewFastExtEngine();
    }
    return nullptr;
}

}  // namespace

CFileRecoveryFactory& CFileRecoveryFactory::GetInstance() {
    static CFileRecoveryFactory instance;
    return instance;
}

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(
    const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector, long long llSectorCount,
    wchar_t wcDriveLetter, RECOVERY_TYPE nType) {
    if (!pSource) return nullptr;
    unsigned char probe[kProbeBytes];
    // A first sector whose byte offset does not fit is a failed seek.
    const long long llOffset =
        (llFirstSector >= 0 && llFirstSector <= LLONG_MAX / 512) ? llFirstSector * 512 : -1;
    if (llOffset < 0) {
        TwDebug("lseek Failed\n");
        return nullptr;
    }
    if (!ReadWhole(*pSource, llOffset, probe, kProbeBytes)) {
        TwDebug("read Failed\n");
        return nullptr;
    }
    IFileRecoveryParse* pEngine = NewEngineFor(probe, nType);
    if (!pEngine && nType == RECOVERY_TYPE_FAST && llSectorCount > 0)
        pEngine =
            NewEngineFromCopy(*pSource, llOffset, static_cast<unsigned long long>(llSectorCount));
    if (pEngine) pEngine->Init(pSource, llFirstSector, llSectorCount, wcDriveLetter);
    return pEngine;
}

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(int nDiskNo,
                                                                     long long llFirstSector,
                                                                     long long llSectorCount,
                                                                     wchar_t wcDriveLetter,
                                                                     RECOVERY_TYPE nType) {
    unsigned int nErr = 0;
    std::shared_ptr<CMediumSource> pSource = CMediumSource::OpenDisk(nDiskNo, nErr);
    if (!pSource) {
        TwDebug("Open Failed\n");
        return nullptr;
    }
    return CreateFileRecoveryInstance(pSource, llFirstSector, llSectorCount, wcDriveLetter, nType);
}

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(const wchar_t* wszPath,
                                                                     wchar_t wcDriveLetter,
                                                                     RECOVERY_TYPE nType) {
    if (!wszPath) return nullptr;
    unsigned int nErr = 0;
    std::shared_ptr<CMediumSource> pSource =
        CMediumSource::Open(tw::WideToUtf8(wszPath).c_str(), nErr);
    if (!pSource) return nullptr;
    return CreateFileRecoveryInstance(pSource, 0, static_cast<long long>(pSource->SectorCount()),
                                      wcDriveLetter, nType);
}
