// A deep scan of a whole disk whose table and volumes the input patches: a
// 4 MiB disk made once (an MBR with a FAT12 volume at 1 MiB and an ext2
// volume at 2 MiB, each holding a deleted file) and patched by the input: the
// volumes found through the table and at the places volumes start, their fast
// scans, the pass over what they leave, then search, listing and saves.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include "deepscan/FileRecoveryFactory.h"
#include "deepscan/ProfessionalRecovery.h"
#include "engine/Categories.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace fuzzsupport;

namespace {

const size_t kDiskBytes = 4u << 20;

// The disk the patches go into, made on first use.
const std::vector<unsigned char>& Template(const std::string& strDir) {
    static std::vector<unsigned char> s_image;
    if (!s_image.empty()) return s_image;
    const std::string strDisk = strDir + "/template.img", strFat = strDir + "/fat.img",
                      strExt = strDir + "/ext.img", strTree = strDir + "/tree";
    const std::string strMake =
        "export MTOOLS_SKIP_CHECK=1 && mkdir -p '" + strTree +
        "/d' && head -c 9000 /dev/zero | "
        "tr '\\0' y > '" +
        strTree + "/d/gone.txt' && mkfs.fat -C '" + strFat + "' 1024 >/dev/null && mcopy -i '" +
        strFat + "' '" + strTree + "/d/gone.txt' ::/gone.txt" + " && mdel -i '" + strFat +
        "' ::/gone.txt && mke2fs -q -F -t ext2 -b 1024 -d '" + strTree + "' '" + strExt +
        "' 1M && debugfs -w -R 'rm /d/gone.txt' '" + strExt +
        "' >/dev/null 2>&1 && truncate -s 4M '" + strDisk + "' && dd if='" + strFat + "' of='" +
        strDisk + "' bs=1M seek=1 conv=notrunc status=none && dd if='" + strExt + "' of='" +
        strDisk +
        "' bs=1M seek=2 conv=notrunc status=none && printf '2048,2048,1\\n4096,2048,83\\n'" +
        " | sfdisk -q '" + strDisk + "' >/dev/null";
    if (std::system(strMake.c_str()) != 0) abort();
    FILE* pFile = std::fopen(strDisk.c_str(), "rb");
    if (!pFile) abort();
    s_image.resize(kDiskBytes);
    if (std::fread(s_image.data(), 1, s_image.size(), pFile) != s_image.size()) abort();
    std::fclose(pFile);
    RemoveDirTree(strTree.c_str());
    for (const std::string& strPath : {strDisk, strFat, strExt}) unlink(strPath.c_str());
    return s_image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strDir = FuzzDir("tw-fuzz-volumes");
    std::vector<unsigned char> image = Template(strDir);
    ApplyPatches(image, pData, nSize);
    const std::string strImage = strDir + "/disk.img";
    if (!WriteImage(strImage, image, image.size())) abort();

    std::unique_ptr<IFileRecoveryParse> pEngine(
        CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
            tw::Utf8ToWide(strImage.c_str()).c_str(), L'C', RECOVERY_TYPE_DEEP));
    auto* pDeep = dynamic_cast<CProfessionalRecovery*>(pEngine.get());
    if (!pDeep) abort();
    pDeep->SetNotLoadLogFile();
    pDeep->ScanDevice(nullptr);
    // The volumes lie in the disk, in order, none over another.
    unsigned long long u64End = 0;
    for (const auto& vol : pDeep->GetVolumes()) {
        if (vol.u64First < u64End || vol.u64Count == 0 ||
            vol.u64First + vol.u64Count > kDiskBytes / 512)
            abort();
        u64End = vol.u64First + vol.u64Count;
    }
    std::vector<__SEARCH_FILE_INFO__> hits;
    pDeep->SearchFileNode(BuildCategoryFilterW(TW_CATEGORY_ALL).c_str(), hits);
    int nBudget = 16;
    Browse(*pDeep, nullptr, 0, nBudget, strDir + "/out");
    const std::string strScan = CLogFileManager::GetInstance().GetLogFileDirPath();
    pEngine.reset();
    CLogFileManager::GetInstance().DeleteLogFileDir(strScan.c_str());
    return 0;
}
