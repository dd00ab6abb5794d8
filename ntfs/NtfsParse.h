// NTFS on-disk structures and the small toolkit every NTFS reader shares: the
// update-sequence fix-up of a file record, run-list decoding, recognition of a
// file record in a raw buffer, and a bounded parse of one record's attributes.
// All multi-byte fields are little-endian. Every offset and length taken from
// the medium is checked against the buffer that holds it before it is used.
#pragma once

#include "device/FsRecognize.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include "common/DiskReader.h"
#include "common/Types.h"

#pragma pack(push, 1)
// The fields of the NTFS boot sector that the engines read.
struct NTFS_BOOT_SECTOR {
    uint8_t abJump[3];
    char szOemId[8];             // "NTFS    "
    uint16_t nBytesPerSector;    // 0x0B; 0 is taken as 512
    uint8_t nSectorsPerCluster;  // 0x0D; >= 0x81 encodes 2^(256 - value)
    uint8_t abReserved1[0x28 - 0x0E];
    uint64_t u64TotalSectors;    // 0x28
    uint64_t u64MftCluster;      // 0x30
    uint64_t u64MftMirrCluster;  // 0x38
    int8_t nClustersPerRecord;   // 0x40
};
static_assert(offsetof(NTFS_BOOT_SECTOR, nBytesPerSector) == 0x0B, "layout");
static_assert(offsetof(NTFS_BOOT_SECTOR, nSectorsPerCluster) == 0x0D, "layout");
static_assert(offsetof(NTFS_BOOT_SECTOR, u64TotalSectors) == 0x28, "layout");
static_assert(offsetof(NTFS_BOOT_SECTOR, u64MftCluster) == 0x30, "layout");
static_assert(offsetof(NTFS_BOOT_SECTOR, nClustersPerRecord) == 0x40, "layout");

// Header of an MFT file record.
struct NTFS_FILE_RECORD_HEADER {
    uint32_t nSignature;  // "FILE"
    uint16_t nUsaOffset;
    uint16_t nUsaCount;
    uint64_t u64Lsn;
    uint16_t nSequence;
    uint16_t nLinkCount;
    uint16_t nFirstAttrOffset;  // 0x14
    uint16_t nFlags;            // 0x16: bit 0 in use, bit 1 directory
    uint32_t nBytesInUse;       // 0x18
    uint32_t nBytesAllocated;   // 0x1C
    uint64_t u64BaseRecord;     // 0x20: 0 for a base record
    uint16_t nNextAttrId;
    uint16_t nReserved;
    uint32_t nRecordNumber;    // 0x2C
    uint16_t nUpdateSequence;  // 0x30, followed by one saved value per 512 bytes
};
static_assert(offsetof(NTFS_FILE_RECORD_HEADER, nFirstAttrOffset) == 0x14, "layout");
static_assert(offsetof(NTFS_FILE_RECORD_HEADER, nFlags) == 0x16, "layout");
static_assert(offsetof(NTFS_FILE_RECORD_HEADER, nBytesInUse) == 0x18, "layout");
static_assert(offsetof(NTFS_FILE_RECORD_HEADER, nBytesAllocated) == 0x1C, "layout");
static_assert(offsetof(NTFS_FILE_RECORD_HEADER, u64BaseRecord) == 0x20, "layout");
static_assert(offsetof(NTFS_FILE_RECORD_HEADER, nRecordNumber) == 0x2C, "layout");
static_assert(offsetof(NTFS_FILE_RECORD_HEADER, nUpdateSequence) == 0x30, "layout");
static_assert(sizeof(NTFS_FILE_RECORD_HEADER) == 0x32, "saved values start at 0x32");

// Attribute header, common part and both forms.
struct NTFS_ATTR_HEADER {
    uint32_t nType;        // 0x00
    uint32_t nLength;      // 0x04
    uint8_t bNonResident;  // 0x08
    uint8_t nNameLength;   // 0x09
    uint16_t nNameOffset;  // 0x0A
    uint16_t nAttrFlags;   // 0x0C
    uint16_t nAttrId;      // 0x0E
};
static_assert(sizeof(NTFS_ATTR_HEADER) == 0x10, "common part");

struct NTFS_RESIDENT_ATTR : NTFS_ATTR_HEADER {
    uint32_t nValueLength;  // 0x10
    uint16_t nValueOffset;  // 0x14
    uint16_t nIndexedFlag;
};
static_assert(offsetof(NTFS_RESIDENT_ATTR, nValueLength) == 0x10, "layout");
static_assert(offsetof(NTFS_RESIDENT_ATTR, nValueOffset) == 0x14, "layout");
static_assert(sizeof(NTFS_RESIDENT_ATTR) == 0x18, "resident header");

struct NTFS_NONRESIDENT_ATTR : NTFS_ATTR_HEADER {
    uint64_t u64StartVcn;     // 0x10
    uint64_t u64LastVcn;      // 0x18
    uint16_t nRunListOffset;  // 0x20
    uint16_t nCompressionUnit;
    uint32_t nPadding;
    uint64_t u64AllocatedSize;    // 0x28
    uint64_t u64DataSize;         // 0x30
    uint64_t u64InitializedSize;  // 0x38
};
static_assert(offsetof(NTFS_NONRESIDENT_ATTR, u64StartVcn) == 0x10, "layout");
static_assert(offsetof(NTFS_NONRESIDENT_ATTR, nRunListOffset) == 0x20, "layout");
static_assert(offsetof(NTFS_NONRESIDENT_ATTR, u64AllocatedSize) == 0x28, "layout");
static_assert(offsetof(NTFS_NONRESIDENT_ATTR, u64DataSize) == 0x30, "layout");
static_assert(sizeof(NTFS_NONRESIDENT_ATTR) == 0x40, "non-resident header");

// Value of a file-name attribute (0x30); the UTF-16LE name follows at 0x42.
struct NTFS_FILE_NAME_VALUE {
    uint64_t u64ParentRef;      // 0x00, low 48 bits: parent record number
    uint64_t u64CreateTime;     // 0x08, FILETIME
    uint64_t u64ModifyTime;     // 0x10
    uint64_t u64MftChangeTime;  // 0x18
    uint64_t u64AccessTime;     // 0x20
    uint64_t u64AllocatedSize;  // 0x28
    uint64_t u64DataSize;       // 0x30
    uint32_t nFileAttributes;   // 0x38
    uint32_t nReparse;          // 0x3C
    uint8_t nNameLength;        // 0x40, UTF-16 code units
    uint8_t nNameSpace;         // 0x41: 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
};
static_assert(offsetof(NTFS_FILE_NAME_VALUE, u64CreateTime) == 0x08, "layout");
static_assert(offsetof(NTFS_FILE_NAME_VALUE, u64ModifyTime) == 0x10, "layout");
static_assert(offsetof(NTFS_FILE_NAME_VALUE, u64AccessTime) == 0x20, "layout");
static_assert(offsetof(NTFS_FILE_NAME_VALUE, u64DataSize) == 0x30, "layout");
static_assert(offsetof(NTFS_FILE_NAME_VALUE, nNameLength) == 0x40, "layout");
static_assert(sizeof(NTFS_FILE_NAME_VALUE) == 0x42, "name starts at 0x42");

// One entry of an attribute list (0x20).
struct NTFS_ATTR_LIST_ENTRY {
    uint32_t nType;         // 0x00
    uint16_t nLength;       // 0x04
    uint8_t nNameLength;    // 0x06
    uint8_t nNameOffset;    // 0x07
    uint64_t u64StartVcn;   // 0x08
    uint64_t u64Reference;  // 0x10, low 48 bits: record number
    uint16_t nAttrId;       // 0x18
};
static_assert(offsetof(NTFS_ATTR_LIST_ENTRY, u64StartVcn) == 0x08, "layout");
static_assert(offsetof(NTFS_ATTR_LIST_ENTRY, u64Reference) == 0x10, "layout");
static_assert(sizeof(NTFS_ATTR_LIST_ENTRY) == 0x1A, "entry header");
#pragma pack(pop)

enum : uint32_t {
    NTFS_FILE_SIGNATURE = 0x454C4946u,  // "FILE"
    NTFS_ATTR_LIST = 0x20,
    NTFS_ATTR_FILE_NAME = 0x30,
    NTFS_ATTR_DATA = 0x80,
    NTFS_ATTR_INDEX_ALLOCATION = 0xA0,
    NTFS_ATTR_END = 0xFFFFFFFFu,
    NTFS_RECORD_IN_USE = 0x1,
    NTFS_RECORD_IS_DIR = 0x2,
    NTFS_ROOT_RECORD = 5,
    NTFS_BITMAP_RECORD = 6,
    NTFS_FIRST_USER_RECORD = 12,
    NTFS_FIXUP_STRIDE = 512,  // the update sequence guards every 512 bytes
};

// One decoded run: a cluster count and the start cluster relative to the start
// of the run before it (0 for a sparse run, which has no clusters on disk).
struct __RUNLIST__ {
    uint64_t u64Length;
    int64_t i64Offset;
    uint32_t bSparse;
};
static_assert(offsetof(__RUNLIST__, u64Length) == 0, "layout");
static_assert(offsetof(__RUNLIST__, i64Offset) == 8, "layout");

// NtfsSectorsPerCluster (cluster-size byte decoding) lives in device/FsRecognize.h.

// The first four bytes are "FILE", bytes in use <= nSize, bytes allocated ==
// nSize and the update sequence number matches the end of the first 512 bytes.
bool IsNtfsFileRecord(const unsigned char* pRecord, int nSize);

class CNtfsParse : public CDiskReader {
public:
    CNtfsParse() : m_nSectorsPerRecord(2), m_nBytesPerSector(512) {}

    // Stores the sector size; a record is 2 sectors of 512 bytes, else 1 sector.
    // Records of nRecordBytes (0: two 512-byte sectors, or one larger sector).
    int Init(int nBytesPerSector, int nRecordBytes = 0);
    int GetRecordSize() const { return m_nSectorsPerRecord * m_nBytesPerSector; }

    // Restores the saved sector ends of a record of GetRecordSize() bytes: one
    // value per 512 bytes, each place checked against the update sequence number
    // first. 0 after restoring; -1 for a null or empty record; -2 when a place
    // does not hold the sequence number (a torn or damaged record, left as it is).
    int FileRecordFixUp(unsigned char* pRecord) const;

    // Decodes the run list of the non-resident attribute at pAttr, of which
    // nAvail bytes lie in the caller's buffer, appending to vecRuns. The walk is
    // bounded by the attribute's length and nAvail. 0 when the list ended with
    // its end byte; 87 when it was cut short by a bad header, a field past the
    // attribute or a bad attribute (the runs before stay appended).
    static int GetRunList(const unsigned char* pAttr, size_t nAvail,
                          std::vector<__RUNLIST__>& vecRuns);

private:
    int m_nSectorsPerRecord;
    int m_nBytesPerSector;
};

// Appends the runs of one more piece of an attribute (each piece's run list
// starts from cluster 0) to runs gathered so far, so that the running sum of
// offsets stays the true cluster number.
void AppendRunExtent(std::vector<__RUNLIST__>& vecRuns, const std::vector<__RUNLIST__>& vecExtent);
// Total clusters of a run list.
// (UINT64_MAX when the sum does not fit).
uint64_t RunListClusters(const std::vector<__RUNLIST__>& vecRuns);
// 0 when every non-sparse run lies inside [0, u64Clusters) and the bytes of
// every run (sparse ones too) and of all of them together fit in 64 bits at
// u64ClusterBytes a cluster; 87 otherwise: such runs cannot be real.
unsigned int CheckRunsInVolume(const std::vector<__RUNLIST__>& vecRuns, uint64_t u64Clusters,
                               uint64_t u64ClusterBytes);

// Walks the attributes of a fixed-up record within [first attribute, limit):
// calls fn(offset, header) for each attribute that lies wholly inside; stops at
// an end marker. Returns 0 at a proper end, 87 when an attribute's length is 0,
// too small or runs past the limit.
template <typename Fn>
int WalkNtfsAttributes(const unsigned char* pRecord, size_t nLimit, size_t nFirst, Fn fn);

// What the engines take from one file record.
struct NTFS_DATA_ATTR {
    bool bPresent = false;
    bool bResident = false;
    uint16_t nAttrFlags = 0;    // 0x00FF compressed, 0x4000 encrypted, 0x8000 sparse
    uint32_t nValueOffset = 0;  // resident: value inside the record
    uint32_t nValueLength = 0;
    uint64_t u64StartVcn = 0;  // non-resident
    uint64_t u64DataSize = 0;  // the first piece's data size (resident: value length)
    uint64_t u64AllocatedSize = 0;
    std::vector<__RUNLIST__> vecRuns;
    int nRunStatus = 0;  // GetRunList result
};

struct NTFS_RECORD_INFO {
    uint16_t nFlags = 0;
    uint32_t nRecordNumber = 0;
    uint16_t nSequence = 0;  // the header's sequence number
    uint64_t u64BaseRecord = 0;
    bool bHasName = false;  // a file-name attribute was found
    // The first name's parent reference: the folder's record number (low 48
    // bits) and that record's sequence number when the name was made (high 16).
    uint64_t u64ParentRef = 0;
    uint64_t u64CreateTime = 0, u64ModifyTime = 0, u64AccessTime = 0;
    uint64_t u64NameDataSize = 0;
    std::wstring wstrName;  // the first name, replaced by a later Win32 name
    NTFS_DATA_ATTR data;    // first unnamed data attribute (0x80)
    bool bHasAttrList = false;
    NTFS_DATA_ATTR attrList;    // the attribute list (0x20)
    bool bWalkDamaged = false;  // the attribute walk stopped at a bad attribute
};

enum : int {
    NTFS_REC_OK = 0,
    NTFS_REC_NOT_FILE = -1,
    NTFS_REC_BAD_FIXUP = -2,
    NTFS_REC_BAD_HEADER = 87,
};

// Parses a record of nSize bytes that has had its fix-up applied: the header
// is checked (first attribute and bytes in use inside the record), then the
// attributes are walked up to the bytes in use. Never reads outside nSize.
int NtfsParseRecord(const unsigned char* pRecord, size_t nSize, NTFS_RECORD_INFO& info);

// Finds, in a fixed-up record, the first attribute of the type given (for data,
// only an unnamed one) whose start VCN is u64Vcn (resident ones count as VCN 0).
// true with the attribute filled in.
bool NtfsFindAttribute(const unsigned char* pRecord, size_t nSize, uint32_t nType, uint64_t u64Vcn,
                       NTFS_DATA_ATTR& attr);

// One attribute-list entry as the engines use it.
struct NTFS_LIST_ENTRY {
    uint32_t nOffset;  // of the entry in the list
    uint32_t nType;
    uint32_t nNameLength;
    uint64_t u64StartVcn;
    uint64_t u64Record;  // low 48 bits of the reference
};
// Decodes the entries of an attribute-list value; every entry is bounded by
// the value. 0 at a proper end; 87 when an entry runs past the value.
int NtfsParseAttrList(const unsigned char* pValue, size_t nLength,
                      std::vector<NTFS_LIST_ENTRY>& vecEntries);

// The MFT record size a boot sector gives (its clusters-per-record byte: a
// count of clusters, or when negative 2^-n bytes): 1024, 2048 or 4096, else 0.
int NtfsRecordBytes(const unsigned char* pBoot);

// The record number of a file reference (its low 48 bits).
inline uint64_t NtfsRefRecord(uint64_t u64Ref) {
    return u64Ref & 0xFFFFFFFFFFFFull;
}
// Whether the record a reference names is still the one the reference was
// made to: its sequence number is the reference's, or, for a record no longer
// in use, the next one (NTFS counts the number on when it frees a record,
// skipping 0). A reference without a sequence number (0) matches any record.
bool NtfsRefMatches(uint64_t u64Ref, uint16_t nRecordSequence, bool bInUse);

// ---- template implementation ----
#include <cstring>

template <typename Fn>
int WalkNtfsAttributes(const unsigned char* pRecord, size_t nLimit, size_t nFirst, Fn fn) {
    size_t nOff = nFirst;
    while (nOff + 8 <= nLimit) {
        NTFS_ATTR_HEADER h{};
        uint32_t nType, nLength;
        std::memcpy(&nType, pRecord + nOff, 4);
        if (nType == NTFS_ATTR_END || nType == 0 || nType > 0xFDFDFDFCu) return 0;
        std::memcpy(&nLength, pRecord + nOff + 4, 4);
        if (nLength < sizeof(NTFS_ATTR_HEADER) || nLength > nLimit - nOff)
            return TW_ERR_BAD_ARGUMENT;
        std::memcpy(&h, pRecord + nOff, sizeof h);
        if (!fn(nOff, h)) return 0;
        nOff += nLength;
    }
    // Fewer than 8 bytes left: a proper end is the limit itself or an end marker.
    if (nOff >= nLimit) return 0;
    uint32_t nType = 0;
    if (nOff + 4 <= nLimit) std::memcpy(&nType, pRecord + nOff, 4);
    return nType == NTFS_ATTR_END ? 0 : TW_ERR_BAD_ARGUMENT;
}
