// The ext parsers over the input as a superblock, group descriptor, inode,
// extent node, directory block and journal block; then the fast ext engine
// over a small ext4 volume (made once by mke2fs, with a folder tree, a file
// deleted by debugfs and an empty journal) patched by the input: a deep scan
// offered every block as free space, search, listing, saves, previews and free
// space.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include "ext/ExtFormat.h"
#include "ext/FastExtRecovery.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace fuzzsupport;

namespace {

// The volume the patches go into, made on first use.
const std::vector<unsigned char>& Template(const std::string& strDir) {
    static std::vector<unsigned char> s_image;
    if (!s_image.empty()) return s_image;
    const std::string strTree = strDir + "/tree", strImage = strDir + "/template.img";
    const std::string strMake =
        "mkdir -p '" + strTree + "/a/b' && echo text > '" + strTree + "/a/b/c.txt' && " +
        "head -c 30000 /dev/zero | tr '\\0' x > '" + strTree + "/a/big.txt' && " +
        "mke2fs -q -F -t ext4 -b 1024 -N 64 -J size=1 -d '" + strTree + "' '" + strImage +
        "' 4M && debugfs -w -R 'rm /a/big.txt' '" + strImage + "' >/dev/null 2>&1";
    if (std::system(strMake.c_str()) != 0) abort();
    FILE* pFile = std::fopen(strImage.c_str(), "rb");
    if (!pFile) abort();
    s_image.resize(4u << 20);
    if (std::fread(s_image.data(), 1, s_image.size(), pFile) != s_image.size()) abort();
    std::fclose(pFile);
    RemoveDirTree(strTree.c_str());
    unlink(strImage.c_str());
    return s_image;
}

void Parsers(const std::vector<unsigned char>& b) {
    EXT_SUPER sb;
    ParseExtSuper(b.data(), b.size(), sb);
    // The input as a volume whose superblock copies are looked for.
    uint64_t u64At = 0;
    FindExtSuperCopy(
        [&b](uint64_t u64Offset, unsigned char* p, size_t n) {
            if (u64Offset > b.size() || n > b.size() - u64Offset) return false;
            std::memcpy(p, b.data() + u64Offset, n);
            return true;
        },
        b.size(), u64At);
    EXT_GROUP group;
    sb.nDescBytes = 64;
    for (uint32_t i = 0; i < 3; ++i) ParseExtGroup(b.data(), b.size(), sb, i, group);
    EXT_INODE inode;
    if (ParseExtInode(b.data(), b.size(), inode)) inode.HasDataMap();
    ExtInlineDataTail(b.data(), b.size());
    EXT_EXTENT_NODE node;
    ParseExtentNode(b.data(), b.size(), node);
    std::vector<EXT_DIR_ENTRY> entries;
    ParseExtDirBlock(b.data(), b.size(), true, 1000, entries);
    ParseExtDirBlock(b.data(), b.size(), false, 1000, entries);
    JBD_SUPER js;
    ParseJournalSuper(b.data(), b.size(), js);
    for (uint32_t nIncompat : {0u, uint32_t{JBD_INCOMPAT_64BIT}, uint32_t{JBD_INCOMPAT_CSUM_V2},
                               uint32_t{JBD_INCOMPAT_CSUM_V3 | JBD_INCOMPAT_64BIT}}) {
        js.nIncompat = nIncompat;
        std::vector<JBD_TAG> tags;
        ParseJournalDescriptor(b.data(), b.size(), js, tags);
        if (!tags.empty()) JournalTagChecksumOk(js, tags[0], 1, b.data(), b.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    // Exactly the input on the heap, so that ASan sees any read past it.
    Parsers(std::vector<unsigned char>(pData, pData + nSize));

    const std::string strDir = FuzzDir("tw-fuzz-ext");
    std::vector<unsigned char> image = Template(strDir);
    ApplyPatches(image, pData, nSize);
    const std::string strImage = strDir + "/vol.img";
    if (!WriteImage(strImage, image, image.size())) abort();

    CFastExtRecovery engine;
    if (engine.Init(tw::Utf8ToWide(strImage.c_str()).c_str(), L'C') != 0) return 0;
    // A deep scan: every block offered as free space, then its end.
    engine.SetDeepScan(true);
    engine.ScanDevice(nullptr);
    const uint32_t nPer = engine.BlockSectors();
    for (size_t nAt = 0; nPer && nAt + 512 <= image.size(); nAt += nPer * 512) {
        uint64_t u64Sectors = 0;
        engine.TakeFreeBlock(image.data() + nAt, image.size() - nAt, nAt / 512, u64Sectors);
    }
    engine.FinishDeepScan();
    std::vector<__SEARCH_FILE_INFO__> hits;
    engine.SearchFileNode(L"*.other*.txt", hits);
    int nBudget = 16;
    Browse(engine, nullptr, 0, nBudget, strDir + "/out");
    WalkFreeSpace(engine);
    RemoveStores("Fast_");
    return 0;
}
