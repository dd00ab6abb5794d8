// Every signature test on the input, with the input also standing as the
// device the reading tests look at (transport streams, compound files and
// ZIP-based documents), offered at its first and at its second sector.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "common/DiskReader.h"
#include "common/Platform.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > (1 << 20)) return 0;
    const std::string strPath = fuzzsupport::FuzzDir("tw-fuzz-type") + "/device";
    CDiskReader reader;
    if (!fuzzsupport::WriteImage(strPath, std::vector<unsigned char>(pData, pData + nSize),
                                 nSize) ||
        reader.Init(tw::Utf8ToWide(strPath.c_str()).c_str(), nSize / 512) != 0)
        abort();

    const int nLen = static_cast<int>(nSize);
    for (unsigned long long u64Sector = 0; u64Sector < 2; ++u64Sector) {
        CurrentCarveContext().m_pDiskReader = &reader;
        CurrentCarveContext().m_nBytesPerSector = 512;
        CurrentCarveContext().m_u64StartSector = CurrentCarveContext().m_u64CurrentSector =
            u64Sector;
        CurrentCarveContext().m_bIsNeedCheckTsFileRange = 1;
        CurrentCarveContext().m_bIsMtsFileHead = static_cast<int>(u64Sector);
        if (CFileTypeJudge::GetDataBufType(pData, nLen) > FILE_TYPE_TEXT) abort();
        for (const _EXTEND_NAME_ITEM_* p = CFileTypeJudge::ExtendNameTable(); p->szExtendName; ++p)
            if (p->pfnIsType(pData, nLen) > FILE_TYPE_TEXT) abort();
        for (const char* szExt : {"doc", "xlsx", "ts", "jpg", "exe", "mts"}) {
            int n = CFileTypeJudge::IsFileTypeMatching(pData, nLen, szExt, &reader, 512, u64Sector);
            if (n != 0 && n != 1) abort();
        }
    }
    CurrentCarveContext().m_pDiskReader = nullptr;
    return 0;
}
