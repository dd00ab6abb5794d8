// Every size routine, the end tests and the per-sector carving entry on a
// damaged image: the input is the image, its first sector the head handed to
// the routines, whole or cut short.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "carving/FileTypeRecovery.h"
#include "common/DiskReader.h"
#include "common/Platform.h"

namespace {

constexpr int kSector = 512;

// Every size routine of the extension table once, and the compound-file
// size read from its header, which the table reaches only through another.
std::vector<PFN_FILE_SIZE> Routines() {
    std::vector<PFN_FILE_SIZE> routines = {CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead};
    for (const _EXTEND_NAME_ITEM_* p = CFileTypeJudge::szExtendNameAndType; p->szExtendName; ++p)
        if (p->pfnGetSize &&
            std::find(routines.begin(), routines.end(), p->pfnGetSize) == routines.end())
            routines.push_back(p->pfnGetSize);
    return routines;
}

// The carving engine, its store in a private scan-log folder that is made
// afresh now and then (so the store stays small) and removed at exit.
std::string g_strDir;
CFileTypeRecovery* g_pEngine = nullptr;
unsigned g_nUses = 0;

void RemoveDir() {
    delete g_pEngine;
    g_pEngine = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(g_strDir, ec);
}

CFileTypeRecovery* Engine() {
    if (g_strDir.empty()) {
        char szDir[] = "/tmp/tw-fuzz-carve-XXXXXX";
        if (!mkdtemp(szDir)) abort();
        g_strDir = szDir;
        setenv("TARNWICK_SUPPORT_DIR", szDir, 1);
        atexit(RemoveDir);
    }
    if (!g_pEngine || ++g_nUses % 4096 == 0) {
        delete g_pEngine;
        std::error_code ec;
        std::filesystem::remove_all(g_strDir + "/ScanLog", ec);
        std::filesystem::create_directories(g_strDir + "/ScanLog", ec);
        g_pEngine = new CFileTypeRecovery();
        // Any readable path does for the engine's own reader.
        g_pEngine->InitLogFile(L"File_Type_fuzz", L'C', L"/dev/null", kSector, ~0ULL);
    }
    return g_pEngine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static CFileTypeJudge judge;
    if (nSize < 2) return 0;
    // The first byte picks how much of the head sector the routines see.
    const int nHeadLen = pData[0] & 1 ? kSector : pData[0] % kSector;
    std::vector<unsigned char> vecImage(pData + 1, pData + nSize);
    vecImage.resize((vecImage.size() + kSector - 1) / kSector * kSector, 0);
    const unsigned long long u64Sectors = vecImage.size() / kSector;

    int fd = memfd_create("image", 0);
    if (fd < 0) return 0;
    if (write(fd, vecImage.data(), vecImage.size()) != static_cast<ssize_t>(vecImage.size())) {
        close(fd);
        return 0;
    }
    std::string strPath = "/proc/self/fd/" + std::to_string(fd);
    CDiskReader reader;
    if (reader.Init(tw::Utf8ToWide(strPath.c_str()).c_str(), u64Sectors) != 0) {
        close(fd);
        return 0;
    }
    CFileTypeJudge::m_tsFileRangeVec.clear();

    // Each routine on the head, whole or cut short.
    std::vector<unsigned char> vecHead(vecImage.begin(), vecImage.begin() + nHeadLen);
    static const std::vector<PFN_FILE_SIZE> routines = Routines();
    for (PFN_FILE_SIZE pfn : routines) {
        CFileTypeJudge::m_nBytesPerSector = kSector;
        CFileTypeJudge::m_pDiskReader = &reader;
        CFileTypeJudge::m_u64StartSector = 0;
        CFileTypeJudge::m_u64CurrentSector = 0;
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
    CFileTypeRecovery* pEngine = Engine();
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
    close(fd);
    return 0;
}
