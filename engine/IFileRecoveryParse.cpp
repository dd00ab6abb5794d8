#include "engine/IFileRecoveryParse.h"

#include "common/Platform.h"
#include "common/Types.h"

unsigned int IFileRecoveryParse::Init(int nDiskNo, long long llFirstSector, long long llSectorCount,
                                      wchar_t wcDriveLetter) {
    unsigned int nErr = 0;
    std::shared_ptr<CMediumSource> pSource = CMediumSource::OpenDisk(nDiskNo, nErr);
    return pSource ? Init(pSource, llFirstSector, llSectorCount, wcDriveLetter) : nErr;
}

unsigned int IFileRecoveryParse::Init(const wchar_t* wszPath, wchar_t wcDriveLetter) {
    if (!wszPath || !*wszPath) return TW_ERR_BAD_ARGUMENT;
    unsigned int nErr = 0;
    std::shared_ptr<CMediumSource> pSource =
        CMediumSource::Open(tw::WideToUtf8(wszPath).c_str(), nErr);
    if (!pSource) return nErr;
    return Init(pSource, 0, static_cast<long long>(pSource->SectorCount()), wcDriveLetter);
}

unsigned int IFileRecoveryParse::SearchFileNodeEach(const wchar_t* wszKey,
                                                    const SearchHitSink& onHit) {
    std::vector<__SEARCH_FILE_INFO__> vecHits;
    const unsigned int nRet = SearchFileNode(wszKey, vecHits);
    for (const __SEARCH_FILE_INFO__& hit : vecHits)
        if (onHit(hit) != 0) break;
    return nRet;
}
