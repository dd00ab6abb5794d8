// Every recogniser, volume size and default-cluster function on arbitrary
// bytes, the volume label readers, and the factory's image form over a file holding the input.
#include "deepscan/FileRecoveryFactory.h"
#include "device/FsRecognize.h"
#include "device/VolumeInfo.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// Exactly nSize bytes on the heap, so that ASan sees any read past them.
std::vector<unsigned char> Padded(const uint8_t* pData, size_t nLength, size_t nSize) {
    std::vector<unsigned char> buf(nSize, 0);
    std::memcpy(buf.data(), pData, nLength < nSize ? nLength : nSize);
    return buf;
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
    volatile uint64_t u64Sectors = GetVolumeSectorCount(region.data(), region.size());
    (void)u64Sectors;
    uint64_t u64Count = 0;
    volatile uint64_t u64Back = GetVolumeStartBehind(region.data(), region.size(), u64Count);
    (void)u64Back;
    // File system and label of the input as a whole volume: the root folder or
    // the metadata record is read wherever the boot sector points, short or not.
    TW_VOLUME_INFO info;
    RecognizeVolume(
        [&region](uint64_t u64Offset, unsigned char* pBuf, size_t nWant) -> size_t {
            if (u64Offset >= region.size()) return 0;
            const size_t nGot = std::min<size_t>(nWant, region.size() - u64Offset);
            std::memcpy(pBuf, region.data() + u64Offset, nGot);
            return nGot;
        },
        info);
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

    // A file of the input's own length: short inputs take the short-read path.
    static const std::string strPath = fuzzsupport::FuzzDir("tw-fuzz-recognize") + "/probe.img";
    if (fuzzsupport::WriteImage(strPath, region, nLength)) {
        const std::wstring wstrPath = tw::Utf8ToWide(strPath.c_str());
        for (RECOVERY_TYPE nType : {RECOVERY_TYPE_FAST, RECOVERY_TYPE_DEEP})
            delete CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(wstrPath.c_str(),
                                                                                  L'C', nType);
    }
    return 0;
}
