// The on-disk structures of ext2, ext3 and ext4 and of their jbd2 journal,
// parsed from buffers. Every function reads only the bytes it is given and
// checks each offset and length taken from them against that buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Feature bits the engine acts on.
enum : uint32_t {
    EXT_COMPAT_HAS_JOURNAL = 0x4,
    EXT_INCOMPAT_FILETYPE = 0x2,
    EXT_INCOMPAT_META_BG = 0x10,
    EXT_INCOMPAT_EXTENTS = 0x40,
    EXT_INCOMPAT_64BIT = 0x80,
    EXT_INCOMPAT_INLINE_DATA = 0x8000,
    EXT_RO_COMPAT_SPARSE_SUPER = 0x1,
    EXT_RO_COMPAT_GDT_CSUM = 0x10,
    EXT_RO_COMPAT_BIGALLOC = 0x200,
    EXT_RO_COMPAT_METADATA_CSUM = 0x400,
};

// Inode flags and modes.
enum : uint32_t {
    EXT_INODE_INDEX_FL = 0x1000,
    EXT_INODE_EXTENTS_FL = 0x80000,
    EXT_INODE_INLINE_DATA_FL = 0x10000000,
    EXT_MODE_TYPE = 0xF000,
    EXT_MODE_FILE = 0x8000,
    EXT_MODE_DIR = 0x4000,
};

const uint32_t kExtRootInode = 2;
const uint16_t kExtMagic = 0xEF53;
const uint16_t kExtentMagic = 0xF30A;
// An extent tree is never deeper than this (the kernel's limit is 5).
const uint16_t kExtMaxExtentDepth = 5;

// The superblock fields the engine uses (1,024 bytes at byte 1,024 of a volume).
struct EXT_SUPER {
    uint32_t nInodes = 0;
    uint64_t u64Blocks = 0;
    uint32_t nFirstDataBlock = 0;
    uint32_t nBlockBytes = 0;
    uint32_t nBlocksPerGroup = 0;
    uint32_t nInodesPerGroup = 0;
    uint32_t nInodeBytes = 128;
    uint32_t nRevLevel = 0;
    uint32_t nCompat = 0, nIncompat = 0, nRoCompat = 0;
    uint32_t nFirstIno = 11;  // the first inode not reserved
    uint32_t nJournalInode = 0;
    uint32_t nDescBytes = 32;
    uint32_t nFirstMetaBg = 0;
    uint16_t nReservedGdtBlocks = 0;
    uint32_t nGroups = 0;
    char szLabel[17] = {0};
};
// False when the bytes are no usable superblock (magic, sizes, counts that do
// not fit one another).
bool ParseExtSuper(const unsigned char* p, size_t n, EXT_SUPER& sb);
// Whether group nGroup holds a copy of the superblock (sparse_super: 0, 1 and
// the powers of 3, 5 and 7).
bool ExtGroupHasSuper(const EXT_SUPER& sb, uint32_t nGroup);

// Reads n bytes at a byte offset from a volume's start; false when they
// cannot all be read.
using ExtVolumeReader = std::function<bool(uint64_t u64Offset, unsigned char* p, size_t n)>;
// A copy of the superblock in one of the groups where mke2fs puts them (the
// first ones of every block size with the default group size), for a volume
// whose first superblock is damaged. A copy counts when it is sound, names
// its own group and lies where its own sizes put that group's first block.
// Its byte offset in u64At; false when none of u64VolumeBytes is found.
bool FindExtSuperCopy(const ExtVolumeReader& read, uint64_t u64VolumeBytes, uint64_t& u64At);

// One group descriptor.
struct EXT_GROUP {
    uint64_t u64BlockBitmap = 0, u64InodeBitmap = 0, u64InodeTable = 0;
    uint16_t nFlags = 0;
    uint32_t nItableUnused = 0;
};
enum : uint16_t { EXT_BG_INODE_UNINIT = 0x1, EXT_BG_BLOCK_UNINIT = 0x2 };
// Descriptor nIndex of a table held in p (n bytes); false when it lies past it.
bool ParseExtGroup(const unsigned char* p, size_t n, const EXT_SUPER& sb, uint32_t nIndex,
                   EXT_GROUP& group);

// One inode.
struct EXT_INODE {
    uint16_t nMode = 0;
    uint16_t nLinks = 0;
    uint64_t u64Size = 0;
    uint32_t nAtime = 0, nCtime = 0, nMtime = 0, nDtime = 0, nCrtime = 0;
    uint32_t nFlags = 0;
    uint32_t nGeneration = 0;
    unsigned char block[60] = {0};  // block map, extent root or inline data
    bool IsFile() const { return (nMode & EXT_MODE_TYPE) == EXT_MODE_FILE; }
    bool IsDir() const { return (nMode & EXT_MODE_TYPE) == EXT_MODE_DIR; }
    // Whether its block map or extent root names any block.
    bool HasDataMap() const;
};
// False when fewer than 128 bytes are given.
bool ParseExtInode(const unsigned char* p, size_t n, EXT_INODE& inode);
// The value of the in-inode extended attribute "system.data" (the part of
// inline data past the first 60 bytes): p is the whole inode of n bytes.
// Empty when there is none.
std::string ExtInlineDataTail(const unsigned char* p, size_t n);

// One node of an extent tree: its leaves or its index entries.
struct EXT_EXTENT {
    uint32_t nLogical;
    uint64_t u64Physical;  // a leaf's first block, or the child node's block
    uint32_t nLength;      // blocks (0 for an index entry)
    bool bUninit;          // allocated but never written: reads as zeros
};
struct EXT_EXTENT_NODE {
    uint16_t nDepth = 0;
    std::vector<EXT_EXTENT> vecEntries;
};
// False when the header is wrong or its entries do not fit n bytes.
bool ParseExtentNode(const unsigned char* p, size_t n, EXT_EXTENT_NODE& node);

// One directory entry, live or found in the slack after a live one.
struct EXT_DIR_ENTRY {
    uint32_t nInode;
    uint8_t nType;  // 1 file, 2 directory, ... (0 when the volume keeps none)
    std::string strName;
    bool bLive;
};
enum : uint8_t { EXT_FT_FILE = 1, EXT_FT_DIR = 2 };
// The entries of a directory block of n bytes. False when its records do not
// tile the block (not a directory block); the entries read are kept.
// nMaxInode bounds the inode numbers a slack entry may name.
bool ParseExtDirBlock(const unsigned char* p, size_t n, bool bFileType, uint32_t nMaxInode,
                      std::vector<EXT_DIR_ENTRY>& vecEntries);

// ---- jbd2 journal ----------------------------------------------------------
const uint32_t kJbdMagic = 0xC03B3998;
enum : uint32_t {
    JBD_DESCRIPTOR = 1,
    JBD_COMMIT = 2,
    JBD_SUPER_V1 = 3,
    JBD_SUPER_V2 = 4,
    JBD_REVOKE = 5,
};
enum : uint32_t {
    JBD_INCOMPAT_64BIT = 0x2,
    JBD_INCOMPAT_CSUM_V2 = 0x8,
    JBD_INCOMPAT_CSUM_V3 = 0x10
};
enum : uint32_t { JBD_TAG_ESCAPE = 1, JBD_TAG_SAME_UUID = 2, JBD_TAG_LAST = 8 };

struct JBD_SUPER {
    uint32_t nBlockBytes = 0;
    uint32_t nMaxLen = 0;  // journal blocks
    uint32_t nFirst = 0;   // first log block
    uint32_t nIncompat = 0;
    uint32_t nCsumSeed = 0;  // crc32c of the journal's UUID
};
// False when the block is no journal superblock or its sizes do not fit.
bool ParseJournalSuper(const unsigned char* p, size_t n, JBD_SUPER& js);

// A block header: magic, type and sequence; false without the magic.
bool ParseJournalHeader(const unsigned char* p, size_t n, uint32_t& nType, uint32_t& nSequence);

struct JBD_TAG {
    uint64_t u64Block;  // the file-system block the copy is of
    uint32_t nFlags;
    uint32_t nChecksum;
};
// The tags of a descriptor block, in log order.
void ParseJournalDescriptor(const unsigned char* p, size_t n, const JBD_SUPER& js,
                            std::vector<JBD_TAG>& vecTags);
// Whether a logged copy's data checksum matches its tag (always true when the
// journal keeps no checksums).
bool JournalTagChecksumOk(const JBD_SUPER& js, const JBD_TAG& tag, uint32_t nSequence,
                          const unsigned char* pData, size_t n);

// The block of journal block j of a block-mapped journal whose block 0 is
// block u64Zero, laid out as mke2fs lays one out: twelve blocks, the indirect
// block, the blocks it maps, the double indirect block, then each further
// indirect block before the blocks it maps. False past the reach of the
// double indirect block.
bool ExtMappedJournalBlock(uint64_t u64Zero, uint64_t j, uint32_t nBlockBytes, uint64_t& u64Block);

// CRC-32C (Castagnoli) as jbd2 and ext4 use it: no final inversion.
uint32_t Crc32c(uint32_t nCrc, const unsigned char* p, size_t n);
