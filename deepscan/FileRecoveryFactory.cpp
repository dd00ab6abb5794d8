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

enum ProbeResult { PROBE_OK, PROBE_SEEK_FAILED, PROBE_READ_FAILED };

// A fast engine from the copy of a damaged boot sector: FAT32 keeps one at
// sector 6 of the volume, NTFS one in the volume's last sector (the area's
// last). Null when neither copy is recognised.
IFileRecoveryParse* NewEngineFromCopy(int fd, long long llAreaByte, unsigned long long u64Count) {
    if (llAreaByte < 0 || u64Count < 16 ||
        u64Count > static_cast<unsigned long long>(LLONG_MAX / 512))
        return nullptr;
    unsigned char probe[kProbeBytes];
    std::memset(probe, 0, sizeof probe);
    unsigned int nRead = 0;
    if (::lseek(fd, static_cast<off_t>(llAreaByte + 6 * 512), SEEK_SET) >= 0 &&
        ReadData(fd, probe, 512, &nRead) == 0 && nRead == 512 && IsFat(probe)) {
        TwDebug("boot sector damaged: its copy at sector 6 is used\n");
        CFastFatRecovery* pFat = new (std::nothrow) CFastFatRecovery();
        if (pFat) pFat->SetBootSectorCopy(6);
        return pFat;
    }
    std::memset(probe, 0, sizeof probe);
    const long long llLast = llAreaByte + static_cast<long long>(u64Count - 1) * 512;
    if (llLast > llAreaByte && ::lseek(fd, static_cast<off_t>(llLast), SEEK_SET) >= 0 &&
        ReadData(fd, probe, 512, &nRead) == 0 && nRead == 512 && IsNtfs(probe)) {
        TwDebug("boot sector damaged: its copy in the last sector is used\n");
        CFastNtfsRecovery* pNtfs = new (std::nothrow) CFastNtfsRecovery();
        if (pNtfs) pNtfs->SetBootSectorCopy(u64Count - 1);
        return pNtfs;
    }
    return nullptr;
}

// Reads the probe at byte offset llOffset of an open descriptor.
ProbeResult ReadProbe(int fd, long long llOffset, unsigned char* pProbe) {
    if (llOffset < 0 || ::lseek(fd, static_cast<off_t>(llOffset), SEEK_SET) < 0) {
        return PROBE_SEEK_FAILED;
    }
    unsigned int nRead = 0;
    if (ReadData(fd, pProbe, kProbeBytes, &nRead) != 0 || nRead != kProbeBytes) {
        return PROBE_READ_FAILED;
    }
    return PROBE_OK;
}

}  // namespace

CFileRecoveryFactory& CFileRecoveryFactory::GetInstance() {
    static CFileRecoveryFactory instance;
    return instance;
}

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(int nDiskNo,
                                                                     long long llFirstSector,
                                                                     long long llSectorCount,
                                                                     wchar_t wcDriveLetter,
                                                                     RECOVERY_TYPE nType) {
    const int fd = tw::OpenDiskNode(nDiskNo);
    if (fd < 0) {
        TwDebug("Open Failed\n");
        return nullptr;
    }
    unsigned char probe[kProbeBytes];
    // A first sector whose byte offset does not fit is a failed seek.
    const long long llOffset =
        (llFirstSector >= 0 && llFirstSector <= LLONG_MAX / 512) ? llFirstSector * 512 : -1;
    const ProbeResult result = ReadProbe(fd, llOffset, probe);
    if (result != PROBE_OK) {
        TwDebug(result == PROBE_SEEK_FAILED ? "lseek Failed\n" : "read Failed\n");
        ::close(fd);
        return nullptr;
    }
    IFileRecoveryParse* pEngine = NewEngineFor(probe, nType);
    if (!pEngine && nType == RECOVERY_TYPE_FAST && llSectorCount > 0)
        pEngine = NewEngineFromCopy(fd, llOffset, static_cast<unsigned long long>(llSectorCount));
    if (pEngine) pEngine->Init(nDiskNo, llFirstSector, llSectorCount, wcDriveLetter);
    ::close(fd);
    return pEngine;
}

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(const wchar_t* wszPath,
                                                                     wchar_t wcDriveLetter,
                                                                     RECOVERY_TYPE nType) {
    if (!wszPath) return nullptr;
    const std::string strPath = tw::WideToUtf8(wszPath);
    const int fd = tw::OpenReadOnly(strPath.c_str());
    if (fd < 0) return nullptr;
    unsigned char probe[kProbeBytes];
    if (ReadProbe(fd, 0, probe) != PROBE_OK) {
        ::close(fd);
        return nullptr;
    }
    IFileRecoveryParse* pEngine = NewEngineFor(probe, nType);
    if (!pEngine && nType == RECOVERY_TYPE_FAST) {
        uint64_t u64Count = 0;
        if (SourceSectorCount(fd, 512, u64Count) == 0) pEngine = NewEngineFromCopy(fd, 0, u64Count);
    }
    if (pEngine) pEngine->Init(wszPath, wcDriveLetter);
    ::close(fd);
    return pEngine;
}
