// A deep scan of a whole 4 MiB disk (an MBR with a FAT12 volume at 1 MiB and an
// ext2 one at 2 MiB, each holding a deleted file) patched by the input: the
// volumes found through the table, at the places volumes start and by their
// copies; their fast scans, the pass over what they leave, search and saves.
#include <cstdlib>
#include <memory>
#include "deepscan/FileRecoveryFactory.h"
#include "deepscan/ProfessionalRecovery.h"
#include "engine/Categories.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strDir = FuzzDir("tw-fuzz-volumes"), strImage = strDir + "/disk.img";
    static std::vector<unsigned char> s_template;
    if (s_template.empty()) {
        const std::string strMake = "cd '" + strDir + R"(' && export MTOOLS_SKIP_CHECK=1 &&
            mkdir -p t/d && head -c 9000 /dev/zero | tr '\0' y > t/d/gone.txt &&
            mkfs.fat -C f.img 1024 >/dev/null && mcopy -i f.img t/d/gone.txt ::/ &&
            mdel -i f.img ::/gone.txt && mke2fs -q -F -t ext2 -b 1024 -d t e.img 1M &&
            debugfs -w -R 'rm /d/gone.txt' e.img >/dev/null 2>&1 && truncate -s 4M disk.img &&
            dd if=f.img of=disk.img bs=1M seek=1 conv=notrunc status=none &&
            dd if=e.img of=disk.img bs=1M seek=2 conv=notrunc status=none &&
            printf '2048,2048,1\n4096,2048,83\n' | sfdisk -q disk.img >/dev/null &&
            rm -r t f.img e.img)";
        if (std::system(strMake.c_str()) != 0) abort();
        s_template.resize(4u << 20);
        FILE* pFile = std::fopen(strImage.c_str(), "rb");
        if (!pFile ||
            std::fread(s_template.data(), 1, s_template.size(), pFile) != s_template.size())
            abort();
        std::fclose(pFile);
    }
    std::vector<unsigned char> image = s_template;
    ApplyPatches(image, pData, nSize);
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
            vol.u64First + vol.u64Count > image.size() / 512)
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
