// A small NTFS volume for the NTFS fuzz targets: 256 KiB, 512-byte clusters,
// an MFT of 32 records at cluster 16 ($MFT, $Bitmap, deleted files and folders
// from record 12). The targets edit it, then call ProtectRecords.
#pragma once

#include "ntfs/NtfsParse.h"
#include "tests/fuzz/FuzzSupport.h"

namespace fuzzntfs {

using fuzzsupport::Put;

constexpr size_t kSector = 512;
constexpr size_t kVolumeSectors = 512;  // 256 KiB, one sector per cluster
constexpr size_t kMftCluster = 16;
constexpr size_t kRecords = 32;

// Gives every MFT record the update sequence 0x0101 at both sector ends.
inline void ProtectRecords(std::vector<unsigned char>& v) {
    for (size_t nOff = kMftCluster * kSector; nOff < (kMftCluster + 2 * kRecords) * kSector;
         nOff += 1024) {
        Put<uint16_t>(v, nOff + 0x30, 0x0101);
        for (size_t i = 1; i <= 2; ++i) {
            std::memcpy(v.data() + nOff + 0x30 + 2 * i, v.data() + nOff + i * kSector - 2, 2);
            Put<uint16_t>(v, nOff + i * kSector - 2, 0x0101);
        }
    }
}

// A record with a header, the attributes added by the callers, and an end.
struct Record {
    std::vector<unsigned char>& v;
    size_t nBase, nOff;
    Record(std::vector<unsigned char>& image, size_t nAt, uint32_t nNumber, uint16_t nFlags)
        : v(image), nBase(nAt), nOff(0x38) {
        Put<uint32_t>(v, nBase, NTFS_FILE_SIGNATURE);
        Put<uint16_t>(v, nBase + 0x14, 0x38);
        Put<uint16_t>(v, nBase + 0x16, nFlags);
        Put<uint32_t>(v, nBase + 0x1C, 1024);
        Put<uint32_t>(v, nBase + 0x2C, nNumber);
    }
    size_t Attr(uint32_t nType, size_t nLen, bool bNonResident) {
        size_t a = nBase + nOff;
        Put<uint32_t>(v, a, nType);
        Put<uint32_t>(v, a + 4, static_cast<uint32_t>(nLen));
        v[a + 8] = bNonResident;
        nOff += nLen;
        return a;
    }
    void Name(uint32_t nParent, const char* szName) {
        size_t n = std::strlen(szName);
        size_t a = Attr(NTFS_ATTR_FILE_NAME, (0x18 + 0x42 + 2 * n + 7) & ~size_t(7), false);
        Put<uint32_t>(v, a + 0x10, static_cast<uint32_t>(0x42 + 2 * n));
        Put<uint16_t>(v, a + 0x14, 0x18);
        Put<uint64_t>(v, a + 0x18, nParent);
        Put<uint64_t>(v, a + 0x18 + 0x30, 1000);
        v[a + 0x18 + 0x40] = static_cast<unsigned char>(n);
        v[a + 0x18 + 0x41] = 1;
        for (size_t i = 0; i < n; ++i) v[a + 0x18 + 0x42 + 2 * i] = szName[i];
    }
    void Runs(uint64_t u64Size, const std::vector<unsigned char>& vecRuns) {
        size_t a = Attr(NTFS_ATTR_DATA, (0x40 + vecRuns.size() + 7) & ~size_t(7), true);
        Put<uint16_t>(v, a + 0x20, 0x40);
        Put<uint64_t>(v, a + 0x28, u64Size);
        Put<uint64_t>(v, a + 0x30, u64Size);
        std::memcpy(v.data() + a + 0x40, vecRuns.data(), vecRuns.size());
    }
    void Resident(const char* szData) {
        size_t n = std::strlen(szData);
        size_t a = Attr(NTFS_ATTR_DATA, (0x18 + n + 7) & ~size_t(7), false);
        Put<uint32_t>(v, a + 0x10, static_cast<uint32_t>(n));
        Put<uint16_t>(v, a + 0x14, 0x18);
        std::memcpy(v.data() + a + 0x18, szData, n);
    }
    ~Record() {
        Put<uint32_t>(v, nBase + nOff, NTFS_ATTR_END);
        Put<uint32_t>(v, nBase + 0x18, static_cast<uint32_t>(nOff + 8));
    }
};

inline std::vector<unsigned char> BuildVolume() {
    std::vector<unsigned char> image(kVolumeSectors * kSector, 0);
    // Boot sector.
    std::memcpy(image.data() + 3, "NTFS    ", 8);
    Put<uint16_t>(image, 0x0B, kSector);
    image[0x0D] = 1;
    Put<uint64_t>(image, 0x28, kVolumeSectors - 1);
    Put<uint64_t>(image, 0x30, kMftCluster);
    image[510] = 0x55;
    image[511] = 0xAA;
    const size_t nMft = kMftCluster * kSector;
    {
        Record mft(image, nMft, 0, 1);  // $MFT: one run of 64 clusters at cluster 16
        mft.Runs(kRecords * 1024, {0x11, kRecords * 2, kMftCluster, 0});
    }
    {
        Record bitmap(image, nMft + 6 * 1024, 6, 1);  // $Bitmap: one cluster at 100
        bitmap.Runs(64, {0x11, 0x01, 100, 0});
    }
    for (uint32_t k = 12; k < kRecords; ++k) {
        // Odd: deleted folders in the root; even: deleted files in the one before.
        Record r(image, nMft + k * 1024, k, k % 2 ? NTFS_RECORD_IS_DIR : 0);
        char szName[16];
        std::snprintf(szName, sizeof szName, "f%u.txt", k);
        r.Name(k % 2 ? 5 : k - 1, szName);
        if (k % 4 == 0)
            r.Resident("hello");
        else if (k % 2 == 0)
            r.Runs(1000, {0x11, 0x02, static_cast<unsigned char>(200 + 2 * k), 0});
    }
    return image;
}

}  // namespace fuzzntfs
