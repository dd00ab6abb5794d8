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
#include "deepscan/FastEngine.h"
#include "deepscan/ProfessionalRecovery.h"

CFileRecoveryFactory& CFileRecoveryFactory::GetInstance() {
    static CFileRecoveryFactory instance;
    return instance;
}

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(
    const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector, long long llSectorCount,
    wchar_t wcDriveLetter, RECOVERY_TYPE nType) {
    if (!pSource) return nullptr;
    if (nType == RECOVERY_TYPE_FAST)
        return CreateFastEngine(pSource, llFirstSector, llSectorCount, wcDriveLetter);
    // The deep scan too needs a readable start of the area.
    unsigned char probe[kVolumeProbeBytes];
    if (!ReadVolumeProbe(*pSource, llFirstSector, probe)) return nullptr;
    IFileRecoveryParse* pEngine = new (std::nothrow) CProfessionalRecovery();
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
