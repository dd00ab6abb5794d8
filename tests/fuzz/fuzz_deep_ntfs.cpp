// The deep NTFS parser on the volume of NtfsFuzzVolume.h edited anywhere by the
// input (an odd first byte wipes the boot sector): every record, the second
// pass, browsing and preview.
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "tests/fuzz/NtfsFuzzVolume.h"

using namespace fuzzntfs;
using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strImage = FuzzDir("fuzz_deep_ntfs") + "/volume.img";
    std::vector<unsigned char> v = BuildVolume();
    // The input: edits of (offset, 3 bytes; value) anywhere in the volume.
    for (size_t i = 0; i + 4 <= nSize; i += 4)
        v[(pData[i] | (pData[i + 1] << 8) | (pData[i + 2] << 16)) % v.size()] = pData[i + 3];
    if (nSize && (pData[0] & 1)) std::memset(v.data(), 0, kSector);
    ProtectRecords(v);
    if (!WriteImage(strImage, v, v.size())) return 0;
    {
        CProfessionalNtfsRecovery p;
        std::wstring wstrImage(strImage.begin(), strImage.end());
        if (p.Init(wstrImage.c_str(), L'C') == 0 && p.InitProfessionalScan(nullptr) == 0 &&
            p.GetRecordSize() == 1024) {
            for (size_t nOff = 0; nOff + 1024 <= v.size(); nOff += kSector)
                if (IsNtfsFileRecord(v.data() + nOff, 1024))
                    p.ParseNtfsFileRecord(v.data() + nOff, nOff / kSector);
            p.ParseProfessionalRecordVec();
            int nBudget = 64;
            Browse(p, nullptr, 0, nBudget);
        }
    }
    RemoveStores("Pro_Ntfs_");
    return 0;
}
