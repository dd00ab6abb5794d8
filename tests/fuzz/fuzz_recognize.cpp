// Every recogniser and default-cluster function on arbitrary bytes, and the
// factory's image form over a file holding the input.
#include <fcntl.h>
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "device/FsRecognize.h"
#include "deepscan/FileRecoveryFactory.h"

namespace {

// Exactly nSize bytes on the heap, so that ASan sees any read past them.
std::vector<unsigned char> Padded(const uint8_t* pData, size_t nLength, size_t nSize) {
    std::vector<unsigned char> buf(nSize, 0);
    std::memcpy(buf.data(), pData, nLength < nSize ? nLength : nSize);
    return buf;
}

std::string TempImagePath() {
    const char* szTmp = getenv("TMPDIR");
    return std::string(szTmp && *szTmp ? szTmp : "/tmp") + "/tw-fuzz-recognize-" +
           std::to_string(getpid()) + ".img";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nLength) {
    const std::vector<unsigned char> boot = Padded(pData, nLength, 512);
    volatile bool b = IsNtfs(boot.data());
    b = IsFat(boot.data());
    b = IsFullValidFAT16DBR(boot.data());
    b = IsFullValidFAT32DBR(boot.data());
    b = IsBitlockerDBR(boot.data());
    b = IsExFat(boot.data());
    // Boot regions of every sector size, main or backup, in the input's own length.
    const std::vector<unsigned char> region(pData, pData + nLength);
    volatile long long llRegion = FindExFatBootRegion(region.data(), region.size());
    (void)llRegion;
    const std::vector<unsigned char> super = Padded(pData, nLength, 1112);
    b = IsExt(super.data());
    (void)b;

    if (nLength >= 12) {
        unsigned long long u64Sectors;
        unsigned int nBytesPerSector;
        std::memcpy(&u64Sectors, pData, 8);
        std::memcpy(&nBytesPerSector, pData + 8, 4);
        volatile unsigned n = GetFat32DefaultSectorPerCluster(u64Sectors, nBytesPerSector);
        n = GetDefaultNtfsSectorPerCluster(u64Sectors, nBytesPerSector);
        (void)n;
    }

    // The factory reads the probe from a file of the input's own length, so
    // short inputs exercise the short-read path.
    static const std::string strPath = TempImagePath();
    const int fd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    const bool bWritten = write(fd, pData, nLength) == static_cast<ssize_t>(nLength);
    close(fd);
    if (bWritten) {
        const std::wstring wstrPath = tw::Utf8ToWide(strPath.c_str());
        const wchar_t* wszPath = wstrPath.c_str();
        for (RECOVERY_TYPE nType : {RECOVERY_TYPE_FAST, RECOVERY_TYPE_DEEP}) {
            delete CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(wszPath, L'C',
                                                                                  nType);
        }
    }
    unlink(strPath.c_str());
    return 0;
}
