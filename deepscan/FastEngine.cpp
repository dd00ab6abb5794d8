// The fast engine of a volume: recognised from its first bytes, or from a copy
// of its boot sector or superblock where those are damaged.
#include "deepscan/FastEngine.h"

#include <climits>
#include <cstring>
#include <new>

#include "common/DebugLog.h"
#include "device/FsRecognize.h"
#include "exfat/FastExFatRecovery.h"
#include "ext/ExtFormat.h"
#include "ext/FastExtRecovery.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"

namespace {

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
// The fast engine for the volume whose first 16,384 bytes are in pProbe.
IFileRecoveryParse* NewEngineFor(const unsigned char* pProbe) {
    if (IsNtfs(pProbe)) return NewFastNtfsEngine();
    if (IsFat(pProbe)) return NewFastFatEngine();
    // exFAT: a sound boot sector, or a backup region the probe holds.
    if (IsExFat(pProbe) || FindExFatBootRegion(pProbe, kVolumeProbeBytes) >= 0)
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
    unsigned char probe[kVolumeProbeBytes];
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

bool ReadVolumeProbe(CMediumSource& source, long long llFirstSector, unsigned char* pProbe) {
    // A first sector whose byte offset does not fit is a failed seek.
    const long long llOffset =
        (llFirstSector >= 0 && llFirstSector <= LLONG_MAX / 512) ? llFirstSector * 512 : -1;
    if (llOffset < 0) {
        TwDebug("lseek Failed\n");
        return false;
    }
    if (!ReadWhole(source, llOffset, pProbe, kVolumeProbeBytes)) {
        TwDebug("read Failed\n");
        return false;
    }
    return true;
}

IFileRecoveryParse* NewFastEngine(CMediumSource& source, long long llFirstSector,
                                  long long llSectorCount, const unsigned char* pProbe) {
    IFileRecoveryParse* pEngine = NewEngineFor(pProbe);
    if (!pEngine && llSectorCount > 0)
        pEngine = NewEngineFromCopy(source, llFirstSector * 512,
                                    static_cast<unsigned long long>(llSectorCount));
    return pEngine;
}

IFileRecoveryParse* CreateFastEngine(const std::shared_ptr<CMediumSource>& pSource,
                                     long long llFirstSector, long long llSectorCount,
                                     wchar_t wcDriveLetter) {
    if (!pSource) return nullptr;
    unsigned char probe[kVolumeProbeBytes];
    if (!ReadVolumeProbe(*pSource, llFirstSector, probe)) return nullptr;
    IFileRecoveryParse* pEngine = NewFastEngine(*pSource, llFirstSector, llSectorCount, probe);
    if (pEngine) pEngine->Init(pSource, llFirstSector, llSectorCount, wcDriveLetter);
    return pEngine;
}
