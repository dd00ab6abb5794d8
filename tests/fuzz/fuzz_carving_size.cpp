// Every size routine, the end tests and the per-sector carving entry on a
// damaged image: the input is the image, its first sector the head handed to
// the routines, whole or cut short.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "carving/FileTypeRecovery.h"
#include "common/DiskReader.h"
#include "common/Platform.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr int kSector = 512;

// Every size routine of the extension table once, and the compound-file
// size read from its header, which the table reaches only through another.
std::vector<PFN_FILE_SIZE> Routines() {
    std::vector<PFN_FILE_SIZE> routines = {CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead};
    for (const _EXTEND_NAME_ITEM_* p = CFileTypeJudge::ExtendNameTable(); p->szExtendName; ++p)
        if (p->pfnGetSize &&
            std::find(routines.begin(), routines.end(), p->pfnGetSize) == routines.end())
            routines.push_back(p->pfnGetSize);
    return routines;
}

// The carving engine, its store in the private scan-log folder, made afresh
// now and then so that the store stays small.
CFileTypeRecovery* Engine() {
    fuzzsupport::FuzzDir("tw-fuzz-carve");  // first: removed after the engine
    static std::unique_ptr<CFileTypeRecovery> s_pEngine;
    static unsigned s_nUses = 0;
    if (!s_pEngine || ++s_nUses % 4096 == 0) {
        s_pEngine.reset();
        fuzzsupport::RemoveStores("File_Type_");
        s_pEngine.reset(new CFileTypeRecovery());
        // Any readable path does for the engine's own reader.
        s_pEngine->InitLogFile(L"File_Type_fuzz", L'C', L"/dev/null", kSector, ~0ULL);
    }
    return s_pEngine.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 2) return 0;
    // The first byte picks how much of the head sector the routines see.
    const int nHeadLen = pData[0] & 1 ? kSector : pData[0] % kSector;
    std::vector<unsigned char> vecImage(pData + 1, pData + nSize);
    vecImage.resize((vecImage.size() + kSector - 1) / kSector * kSector, 0);
    const unsigned long long u64Sectors = vecImage.size() / kSector;
    CFileTypeRecovery* pEngine = Engine();
    const std::string strPath = fuzzsupport::FuzzDir("tw-fuzz-carve") + "/image";
    CDiskReader reader;
    if (!fuzzsupport::WriteImage(strPath, vecImage, vecImage.size()) ||
        reader.Init(tw::Utf8ToWide(strPath.c_str()).c_str(), u64Sectors) != 0)
        abort();
    CurrentCarveContext().m_tsFileRangeVec.clear();

    // Each routine on the head, whole or cut short.
    std::vector<unsigned char> vecHead(vecImage.begin(), vecImage.begin() + nHeadLen);
    static const std::vector<PFN_FILE_SIZE> routines = Routines();
    for (PFN_FILE_SIZE pfn : routines) {
        CurrentCarveContext().m_nBytesPerSector = kSector;
        CurrentCarveContext().m_pDiskReader = &reader;
        CurrentCarveContext().m_u64StartSector = 0;
        CurrentCarveContext().m_u64CurrentSector = 0;
        pfn(vecHead.data(), nHeadLen);
    }
    unsigned long long u64Size = 0;
    CFileTypeJudge::IsEndOfFile(vecImage.data(), static_cast<int>(vecImage.size()), u64Size);
    CFileTypeJudge::IsEndOfMPGFile(vecImage.data(), static_cast<int>(vecImage.size()), u64Size);
    CFileTypeJudge::GetJPGFileTailOffset(vecHead.data(), nHeadLen, u64Size);
    CFileTypeJudge::GetPNGFileTailOffset(vecHead.data(), nHeadLen, u64Size);
    CFileTypeJudge::GetGIFFileTailOffset(vecHead.data(), nHeadLen, u64Size);

    // Every sector offered as the carving engine is: the skip stays within the
    // image and so does the recorded size.
    unsigned long long u64Files = 0;
    for (unsigned long long s = 0; s < u64Sectors;) {
        unsigned long long u64Skip = 0;
        unsigned int nRet =
            pEngine->ParseFileBuf(vecImage.data() + s * kSector, kSector, s, s, u64Sectors, -1,
                                  &reader, kSector, u64Skip, u64Files);
        if (u64Skip == 0 || s + u64Skip > u64Sectors) abort();
        if (nRet != 0 && nRet != 87) abort();
        s += u64Skip;
    }
    return 0;
}
