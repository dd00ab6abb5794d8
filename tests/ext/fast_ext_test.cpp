// The ext engine where it differs from the others (the rest:
// tests/engine/engine_conformance_test.cpp), and its parsers on damaged bytes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "common/ByteOrder.h"
#include "deepscan/FileRecoveryFactory.h"
#include "deepscan/ProfessionalRecovery.h"
#include "device/FsRecognize.h"
#include "ext/ExtFormat.h"
#include "ext/FastExtRecovery.h"
#include "support/EngineTree.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"

namespace {

using twtest::W;

// An image scanned by the factory's fast engine, and its files by path.
struct Scanned {
    explicit Scanned(const std::string& strImage) {
        pEngine.reset(CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
            W(strImage).c_str(), L'C', RECOVERY_TYPE_FAST));
        pExt = dynamic_cast<CFastExtRecovery*>(pEngine.get());
        if (!pExt) return;
        nScan = pExt->ScanDevice(nullptr);
        for (const twtest::TreeNode& n : twtest::BrowseTree(*pExt))
            if (!n.node.bIsDir) files.insert({n.strPath, n});
    }
    ScanLogSandbox sandbox;
    std::unique_ptr<IFileRecoveryParse> pEngine;
    CFastExtRecovery* pExt = nullptr;
    unsigned int nScan = ~0u;
    std::map<std::string, twtest::TreeNode> files;
};

std::string Sha1Of(const std::string& strFixture, const std::string& strPath) {
    for (const twtest::ManifestEntry& e : twtest::ReadManifest(strFixture))
        if (e.strPath == strPath) return e.strSha1;
    return "";
}

template <typename T>
void Put(std::vector<unsigned char>& v, size_t nAt, T value) {
    std::memcpy(v.data() + nAt, &value, sizeof value);
}

}  // namespace

// Over 1 GiB of holes and nine extents, whose index node deletion emptied: the
// journal's copy of it maps the data again, holes read as zeros.
TEST(FastExt, HugeSparseFileComesBackThroughItsIndexNode) {
    const std::string strImage = twtest::FixtureImage("ext4_huge");
    const std::string strBefore = twtest::Sha1OfFile(strImage);
    {
        Scanned vol(strImage);
        ASSERT_EQ(vol.nScan, 0u);
        EXPECT_GT(vol.pExt->GetJournalCopyCount(), 0u);
        ASSERT_EQ(vol.files.size(), 1u);
        const auto it = vol.files.find("huge.bin");
        ASSERT_NE(it, vol.files.end());
        EXPECT_EQ(it->second.node.u64FileSize, 8ull * 32768 * 4096 + 4096);
        CScratchDir out;
        const std::string strTarget = out.File("huge.bin");
        ASSERT_EQ(vol.pExt->SaveFileData(&it->second.node, W(strTarget).c_str(), 0), 0u);
        EXPECT_EQ(twtest::Sha1OfFile(strTarget), Sha1Of("ext4_huge", "/huge.bin"));
    }
    EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
}

// The kernel empties a deleted ext2 inode's map and size (and wipes the
// names in live folders): no data is made up for what is left.
TEST(FastExt, Ext2DeletedByTheKernelListsNoFileWithoutData) {
    Scanned vol(twtest::FixtureImage("ext2_kernel"));
    ASSERT_EQ(vol.nScan, 0u);
    EXPECT_TRUE(vol.files.empty());
}

// A save after the medium changed under the scan fails; it never writes
// another file's bytes as a success.
TEST(FastExt, ChangedInodeCopyFailsTheSave) {
    CScratchDir dir;
    const std::string strCopy = dir.File("ext3.img");
    ASSERT_TRUE(WriteFileBytes(strCopy, ReadFileBytes(twtest::FixtureImage("ext3_4k"))));
    Scanned vol(strCopy);
    ASSERT_EQ(vol.nScan, 0u);
    const auto it = vol.files.find("big.bin");
    ASSERT_NE(it, vol.files.end());
    // The inode copy the record names, zeroed where the scan found it.
    const int fd = open(strCopy.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::vector<unsigned char> zeros(4096, 0);
    ASSERT_EQ(pwrite(fd, zeros.data(), zeros.size(),
                     static_cast<off_t>(it->second.node.u64RecordSector * 512)),
              4096);
    close(fd);
    EXPECT_EQ(vol.pExt->SaveFileData(&it->second.node, W(dir.File("out.bin")).c_str(), 0),
              TW_ERR_SHORT_READ);
}

// In a deep scan the fast engine's files are listed once: the carved copy at
// a named file's first block is dropped.
TEST(FastExt, DeepScanListsEachNamedFileOnce) {
    ScanLogSandbox sandbox;
    std::unique_ptr<IFileRecoveryParse> pDeep(
        CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
            W(twtest::FixtureImage("ext4_4k")).c_str(), L'C', RECOVERY_TYPE_DEEP));
    auto* pDriver = dynamic_cast<CProfessionalRecovery*>(pDeep.get());
    ASSERT_NE(pDriver, nullptr);
    ASSERT_NE(dynamic_cast<CFastExtRecovery*>(pDriver->GetFastEngine()), nullptr);
    pDriver->SetNotLoadLogFile();
    ASSERT_EQ(pDriver->ScanDevice(nullptr), 0u);
    EXPECT_TRUE(pDriver->UsedBitmap());
    int nPhotos = 0, nNamed = 0;
    for (const twtest::TreeNode& n : twtest::SearchAll(*pDriver)) {
        if (n.node.u64FileSize != 15432) continue;  // photo.jpg and its carved copy
        ++nPhotos;
        nNamed += n.node.nEngineType == ENGINE_FAST_EXT;
    }
    EXPECT_EQ(nNamed, 1);
    EXPECT_EQ(nPhotos, 1);
}

// The device page's type and label of each kind of volume.
TEST(ExtFormat, VolumeTypeAndLabel) {
    for (const char* szName : {"ext2_1k", "ext3_4k", "ext4_1k", "ext4_4k"}) {
        std::vector<unsigned char> head;
        ASSERT_TRUE(twtest::ReadFileBytes(twtest::FixtureImage(szName), head, 2048));
        ASSERT_EQ(head.size(), 2048u);
        const char* szType = GetExtVolumeType(head.data());
        ASSERT_NE(szType, nullptr);
        EXPECT_EQ(std::string(szName).substr(0, 4), szType);
        char szLabel[17];
        GetExtVolumeLabel(head.data(), szLabel);
        std::string strWant = std::string("TW_") + szName;
        for (char& c : strWant) c = static_cast<char>(std::toupper(c));
        EXPECT_EQ(strWant, szLabel);
        head[1024 + 0x38] = 0;  // no magic
        EXPECT_EQ(GetExtVolumeType(head.data()), nullptr);
        GetExtVolumeLabel(head.data(), szLabel);
        EXPECT_STREQ(szLabel, "");
    }
}

// Superblocks that do not hold together are refused.
TEST(ExtFormat, SuperblockFieldsThatDoNotFitAreRefused) {
    std::vector<unsigned char> good(1024, 0);
    Put<uint32_t>(good, 0x00, 2048);  // inodes
    Put<uint32_t>(good, 0x04, 8192);  // blocks
    Put<uint32_t>(good, 0x14, 1);     // first data block
    Put<uint32_t>(good, 0x18, 0);     // 1 KiB blocks
    Put<uint32_t>(good, 0x20, 8192);  // blocks per group
    Put<uint32_t>(good, 0x28, 2048);  // inodes per group
    Put<uint16_t>(good, 0x38, 0xEF53);
    Put<uint32_t>(good, 0x4C, 1);
    Put<uint16_t>(good, 0x58, 256);
    EXT_SUPER sb;
    ASSERT_TRUE(ParseExtSuper(good.data(), good.size(), sb));
    EXPECT_EQ(sb.nGroups, 1u);
    struct Case {
        size_t nAt, nBytes;
        uint32_t nValue;
    } cases[] = {
        {0x38, 2, 0x1234},  // magic
        {0x18, 4, 7},       // 128 KiB blocks
        {0x00, 4, 0},       // no inodes
        {0x20, 4, 0},       // no blocks per group
        {0x20, 4, 9000},    // more blocks per group than a bitmap block maps
        {0x28, 4, 1000},    // fewer inodes in the groups than the volume has
        {0x58, 2, 200},     // inode size not a power of two
        {0x58, 2, 2048},    // inode larger than a block
        {0x14, 4, 8192},    // first data block past the end
        {0x64, 4, 0x200},   // bigalloc
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> bad = good;
        std::memcpy(bad.data() + c.nAt, &c.nValue, c.nBytes);
        EXPECT_FALSE(ParseExtSuper(bad.data(), bad.size(), sb)) << std::hex << c.nAt;
    }
    std::vector<unsigned char> wide = good;
    Put<uint32_t>(wide, 0x60, EXT_INCOMPAT_64BIT);
    Put<uint16_t>(wide, 0xFE, 48);  // a 64-bit descriptor below 64 bytes
    EXPECT_FALSE(ParseExtSuper(wide.data(), wide.size(), sb));
    EXPECT_FALSE(ParseExtSuper(good.data(), 1023, sb));
}

// Extent nodes are read within their buffer and their own maximum.
TEST(ExtFormat, ExtentNodesStayInTheirBuffer) {
    std::vector<unsigned char> node(60, 0);
    Put<uint16_t>(node, 0, 0xF30A);
    Put<uint16_t>(node, 2, 2);  // entries
    Put<uint16_t>(node, 4, 4);  // max
    Put<uint32_t>(node, 12, 0);
    Put<uint16_t>(node, 16, 32768 + 5);  // five uninitialised blocks
    Put<uint16_t>(node, 18, 1);
    Put<uint32_t>(node, 20, 7);
    Put<uint32_t>(node, 24, 5);
    Put<uint16_t>(node, 28, 3);
    Put<uint32_t>(node, 32, 100);
    EXT_EXTENT_NODE parsed;
    ASSERT_TRUE(ParseExtentNode(node.data(), node.size(), parsed));
    ASSERT_EQ(parsed.vecEntries.size(), 2u);
    EXPECT_TRUE(parsed.vecEntries[0].bUninit);
    EXPECT_EQ(parsed.vecEntries[0].nLength, 5u);
    EXPECT_EQ(parsed.vecEntries[0].u64Physical, (1ull << 32) | 7);
    EXPECT_EQ(parsed.vecEntries[1].nLength, 3u);
    std::vector<unsigned char> bad = node;
    Put<uint16_t>(bad, 2, 5);  // more entries than its maximum
    EXPECT_FALSE(ParseExtentNode(bad.data(), bad.size(), parsed));
    bad = node;
    Put<uint16_t>(bad, 4, 5);  // a maximum past the 60 bytes
    EXPECT_FALSE(ParseExtentNode(bad.data(), bad.size(), parsed));
    bad = node;
    Put<uint16_t>(bad, 6, 6);  // deeper than any tree
    EXPECT_FALSE(ParseExtentNode(bad.data(), bad.size(), parsed));
}

// Live entries, a deleted one in the slack, and records that do not tile.
TEST(ExtFormat, DirectoryBlocksGiveLiveAndDeletedEntries) {
    std::vector<unsigned char> block(1024, 0);
    auto entry = [&](size_t nAt, uint32_t nIno, uint16_t nRec, const char* szName, uint8_t nType) {
        Put<uint32_t>(block, nAt, nIno);
        Put<uint16_t>(block, nAt + 4, nRec);
        block[nAt + 6] = static_cast<unsigned char>(std::strlen(szName));
        block[nAt + 7] = nType;
        std::memcpy(block.data() + nAt + 8, szName, std::strlen(szName));
    };
    entry(0, 12, 12, ".", 2);
    entry(12, 2, 12, "..", 2);
    entry(24, 13, 1000, "keep.txt", 1);
    entry(40, 14, 984, "gone ü.txt", 1);  // merged into keep.txt's record
    std::vector<EXT_DIR_ENTRY> entries;
    ASSERT_TRUE(ParseExtDirBlock(block.data(), block.size(), true, 100, entries));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_TRUE(entries[2].bLive);
    EXPECT_EQ(entries[3].strName, "gone ü.txt");
    EXPECT_FALSE(entries[3].bLive);
    EXPECT_EQ(entries[3].nInode, 14u);
    // An inode past the volume's is no entry, nor a name that is no UTF-8.
    entries.clear();
    EXPECT_TRUE(ParseExtDirBlock(block.data(), block.size(), true, 13, entries));
    EXPECT_EQ(entries.size(), 3u);
    block[48] = 0xFF;
    entries.clear();
    ParseExtDirBlock(block.data(), block.size(), true, 100, entries);
    EXPECT_EQ(entries.size(), 3u);
    for (uint16_t nRec : {0, 6, 1001, 1020}) {
        Put<uint16_t>(block, 28, nRec);
        entries.clear();
        EXPECT_FALSE(ParseExtDirBlock(block.data(), block.size(), true, 100, entries)) << nRec;
    }
}

// Where mke2fs puts the blocks of a block-mapped journal (1 KiB blocks: 256
// per indirect block), its indirect blocks between them.
TEST(ExtFormat, MappedJournalLayout) {
    const struct {
        uint64_t j, u64Block;
    } cases[] = {{0, 100}, {11, 111}, {12, 113}, {267, 368}, {268, 371}, {523, 626}, {524, 628}};
    for (const auto& c : cases) {
        uint64_t u64Block = 0;
        ASSERT_TRUE(ExtMappedJournalBlock(100, c.j, 1024, u64Block)) << c.j;
        EXPECT_EQ(u64Block, c.u64Block) << c.j;
    }
    uint64_t u64Block = 0;
    EXPECT_FALSE(ExtMappedJournalBlock(100, 12 + 256 + 256 * 256, 1024, u64Block));
}

// Descriptor tags in each of jbd2's forms, cut at the block's end, and the
// checksum that jbd2 computes.
TEST(ExtFormat, JournalTagsInEachForm) {
    const unsigned char szCheck[] = "123456789";
    EXPECT_EQ(Crc32c(~0u, szCheck, 9) ^ ~0u, 0xE3069283u);
    struct Form {
        uint32_t nIncompat;
        size_t nTagBytes;
    } forms[] = {{0, 8},
                 {JBD_INCOMPAT_64BIT, 12},
                 {JBD_INCOMPAT_CSUM_V2, 10},
                 {JBD_INCOMPAT_CSUM_V3 | JBD_INCOMPAT_64BIT, 16}};
    for (const Form& f : forms) {
        JBD_SUPER js;
        js.nIncompat = f.nIncompat;
        std::vector<unsigned char> block(1024, 0);
        // A checksum tail closes the block in the checksummed forms.
        const size_t nEnd =
            f.nIncompat & (JBD_INCOMPAT_CSUM_V2 | JBD_INCOMPAT_CSUM_V3) ? 1020 : 1024;
        // The first tag with a UUID after it, then tags without, never a last flag.
        size_t nAt = 12;
        uint32_t nBlock = 100;
        while (true) {
            const uint32_t nFlags = nAt == 12 ? 0 : JBD_TAG_SAME_UUID;
            const size_t nNext = nAt + f.nTagBytes + (nFlags ? 0 : 16);
            if (nNext > nEnd) break;
            block[nAt + 2] = static_cast<unsigned char>(nBlock >> 8);
            block[nAt + 3] = static_cast<unsigned char>(nBlock);
            block[nAt + 7] = static_cast<unsigned char>(nFlags);        // both flag forms end here
            if (f.nIncompat & JBD_INCOMPAT_64BIT) block[nAt + 11] = 1;  // the high word
            nAt = nNext;
            ++nBlock;
        }
        std::vector<JBD_TAG> tags;
        ParseJournalDescriptor(block.data(), block.size(), js, tags);
        ASSERT_EQ(tags.size(), nBlock - 100u) << f.nIncompat;
        const uint64_t u64High = (f.nIncompat & JBD_INCOMPAT_64BIT) ? 1ull << 32 : 0;
        EXPECT_EQ(tags[0].u64Block, u64High | 100);
        EXPECT_EQ(tags.back().u64Block, u64High | (nBlock - 1));
    }
}

// What only the free space holds: the copies of a journal that was removed
// (ext3_nojournal: block-mapped, its indirect block among the copies;
// ext4_nojournal: checksummed) and the folders of an inode that was cleared
// (ext2_cleared). The deep scan brings every deleted file back under its own
// path, byte for byte, where the fast scan cannot; it takes the copies the
// journal held before its removal (all of them where it lay in one piece);
// the image is unchanged.
TEST(DeepExt, FreeSpaceGivesNamesAndInodeCopies) {
    const struct {
        const char *szName, *szWithJournal;
        bool bWholeJournal;
    } cases[] = {{"ext3_nojournal", "ext3_onetx", true},
                 {"ext4_nojournal", "ext4_onetx", false},
                 {"ext2_cleared", nullptr, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        const std::string strImage = twtest::FixtureImage(c.szName);
        const std::string strBefore = twtest::Sha1OfFile(strImage);
        std::set<std::string> fast;
        size_t nJournalCopies = 0;
        {
            Scanned vol(strImage);
            ASSERT_EQ(vol.nScan, 0u);
            for (const auto& f : vol.files) fast.insert(f.first);
        }
        if (c.szWithJournal) {
            Scanned vol(twtest::FixtureImage(c.szWithJournal));
            ASSERT_EQ(vol.nScan, 0u);
            nJournalCopies = vol.pExt->GetJournalCopyCount();
            ASSERT_GT(nJournalCopies, 10u);
        }
        ScanLogSandbox sandbox;
        CScratchDir out;
        std::unique_ptr<IFileRecoveryParse> pDeep(
            CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
                W(strImage).c_str(), L'C', RECOVERY_TYPE_DEEP));
        auto* pDriver = dynamic_cast<CProfessionalRecovery*>(pDeep.get());
        ASSERT_NE(pDriver, nullptr);
        pDriver->SetNotLoadLogFile();
        ASSERT_EQ(pDriver->ScanDevice(nullptr), 0u);
        const size_t nFreeCopies =
            dynamic_cast<CFastExtRecovery&>(*pDriver->GetFastEngine()).GetJournalCopyCount();
        if (c.bWholeJournal) EXPECT_EQ(nFreeCopies, nJournalCopies);
        EXPECT_LE(nFreeCopies, nJournalCopies);
        std::map<std::string, _FILE_NODE_> named;
        for (const twtest::TreeNode& n : twtest::SearchAll(*pDriver))
            if (n.node.nEngineType == ENGINE_FAST_EXT) named.emplace(n.strPath, n.node);
        size_t nDeleted = 0, nFast = 0;
        for (const twtest::ManifestEntry& row : twtest::ReadManifest(c.szName)) {
            if (row.strStatus != "deleted") continue;
            ++nDeleted;
            nFast += fast.count(row.strListed);
            const auto it = named.find(row.strListed);
            ASSERT_NE(it, named.end()) << row.strPath;
            const std::string strTarget = out.File("f" + std::to_string(nDeleted));
            ASSERT_EQ(pDriver->SaveFileData(&it->second, W(strTarget).c_str(), 0), 0u);
            EXPECT_EQ(twtest::Sha1OfFile(strTarget), row.strSha1) << row.strPath;
        }
        EXPECT_GT(nDeleted, 10u);
        EXPECT_LT(nFast, nDeleted);
        EXPECT_EQ(twtest::Sha1OfFile(strImage), strBefore);
    }
}
