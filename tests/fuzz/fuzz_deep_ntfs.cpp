// The deep NTFS parser on the small volume of NtfsFuzzVolume.h, which the
// input edits anywhere (boot sector included; an odd first byte wipes it).
// The MFT's records then get a valid update sequence, so that the parsers
// behind the fix-up are reached. Every file record of the device is fed in
// device order, then come the second pass, browsing and preview.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "engine/LogFileManager.h"
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "tests/fuzz/NtfsFuzzVolume.h"

namespace {

using namespace fuzzntfs;

std::string g_strImage, g_strDir;

void Setup() {
    static bool bDone = false;
    if (bDone) return;
    bDone = true;
    char szDir[] = "/tmp/fuzz_deep_ntfs.XXXXXX";
    g_strDir = mkdtemp(szDir) ? szDir : "/tmp";
    setenv("TARNWICK_SUPPORT_DIR", g_strDir.c_str(), 1);
    mkdir((g_strDir + "/ScanLog").c_str(), 0755);
    CLogFileManager::GetInstance().Init();
    g_strImage = g_strDir + "/device.img";
    atexit([] {
        std::string strCommand = "rm -rf '" + g_strDir + "'";
        if (system(strCommand.c_str()) != 0) return;
    });
}

// Removes what the store of the last run left in the scan folder.
void RemoveStores() {
    std::string strDir = CLogFileManager::GetInstance().GetLogFileDirPath();
    DIR* pDir = opendir(strDir.c_str());
    if (!pDir) return;
    while (dirent* pEntry = readdir(pDir))
        if (std::strncmp(pEntry->d_name, "Pro_Ntfs_", 9) == 0)
            unlink((strDir + pEntry->d_name).c_str());
    closedir(pDir);
}

void Browse(CProfessionalNtfsRecovery& p, const _FILE_NODE_* pDir, unsigned int nLevel,
            int& nBudget) {
    std::vector<_FILE_NODE_> children;
    if (nLevel > 8 || p.GetChildrenFileNode(pDir, nLevel, children) != 0) return;
    for (const _FILE_NODE_& c : children) {
        if (--nBudget < 0) return;
        if (c.bIsDir) {
            Browse(p, &c, nLevel + 1, nBudget);
            continue;
        }
        unsigned char abBuf[4096];
        int nLength = sizeof abBuf;
        _FILE_NODE_ node = c;
        std::strcpy(node.szFileName, "f.txt");  // into the buffer, never a file
        p.PreView(&node, nullptr, abBuf, nLength, nullptr, nullptr);
        wchar_t wszPath[256];
        p.GetFileNodeParentDirPath(&c, wszPath, 256);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    Setup();
    std::vector<unsigned char> v = BuildVolume();
    // The input: edits of (offset, 3 bytes; value) anywhere in the volume.
    for (size_t i = 0; i + 4 <= nSize; i += 4)
        v[(pData[i] | (pData[i + 1] << 8) | (pData[i + 2] << 16)) % v.size()] = pData[i + 3];
    if (nSize && (pData[0] & 1)) std::memset(v.data(), 0, kSector);
    for (size_t i = 0; i < kRecords; ++i) ProtectRecord(v, kMftCluster * kSector + i * 1024);
    FILE* f = std::fopen(g_strImage.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(v.data(), 1, v.size(), f);
    std::fclose(f);
    {
        CProfessionalNtfsRecovery p;
        std::wstring wstrImage(g_strImage.begin(), g_strImage.end());
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
    RemoveStores();
    return 0;
}
