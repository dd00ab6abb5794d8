// exFAT directory entries: the entry set of one file or folder (a File entry,
// its Stream Extension and its File Name entries, in use or deleted), the set
// checksum, and timestamps. Every offset is checked against the buffer given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include "common/Types.h"

// Entry types (in use; the deleted form has bit 7 clear).
enum : uint8_t {
    EXFAT_ENTRY_END = 0x00,  // no entry here nor after it
    EXFAT_ENTRY_IN_USE = 0x80,
    EXFAT_ENTRY_BITMAP = 0x81,
    EXFAT_ENTRY_UPCASE = 0x82,
    EXFAT_ENTRY_LABEL = 0x83,
    EXFAT_ENTRY_FILE = 0x85,
    EXFAT_ENTRY_STREAM = 0xC0,
    EXFAT_ENTRY_NAME = 0xC1,
};
// Stream Extension flags and File attributes.
enum : uint8_t { EXFAT_FLAG_ALLOCATION_POSSIBLE = 0x01, EXFAT_FLAG_NO_FAT_CHAIN = 0x02 };
enum : uint16_t { EXFAT_ATTR_DIRECTORY = 0x10 };
const size_t kExFatEntryBytes = 32;

// One parsed entry set.
struct EXFAT_FILE_SET {
    bool bDeleted;          // the set carries the deleted entry types
    unsigned int nEntries;  // entries in the set, the File entry included
    uint16_t nAttributes;
    // Timestamps as stored, their 10 ms parts (0 ... 199) and UTC offsets.
    uint32_t nCreateTime, nModifyTime, nAccessTime;
    uint8_t nCreate10ms, nModify10ms;
    uint8_t nCreateUtc, nModifyUtc, nAccessUtc;
    uint8_t nFlags;  // Stream Extension flags
    uint64_t u64ValidDataLength;
    uint64_t u64DataLength;
    uint32_t nFirstCluster;
    std::wstring wstrName;  // the full name
};

enum ExFatSetResult {
    EXFAT_SET_OK,
    EXFAT_SET_NOT_FILE,  // the entry is no File entry, in use or deleted
    EXFAT_SET_SHORT,     // the set runs past the buffer
    EXFAT_SET_BAD,       // wrong entry types, lengths or checksum
};

// The set checksum over nEntries entries, bytes 2 and 3 of the first left out.
// The in-use bit of each entry type counts as set, so a deleted set checks
// against the sum it had while in use.
uint16_t ExFatSetChecksum(const unsigned char* pSet, size_t nEntries);

// Parses the entry set whose File entry is at pBuf[nOffset].
ExFatSetResult ParseExFatFileSet(const unsigned char* pBuf, size_t nLength, size_t nOffset,
                                 EXFAT_FILE_SET& set);

// An exFAT timestamp (local time, 2-second steps) with its 10 ms part and UTC
// offset (bit 7: valid; bits 0-6: signed quarter hours) as a FILETIME (100 ns
// steps since 1601, UTC; a timestamp without a valid offset is taken as UTC).
// False, and ft zero, when the date or time is not a real one.
bool ExFatTimeToFileTime(uint32_t nStamp, uint8_t n10ms, uint8_t nUtcOffset, _FILETIME& ft);
