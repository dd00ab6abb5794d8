// Helpers shared by the two FAT engines (the fast walk and the deep parser):
// names, times and checks formed from raw directory slots, the long-name
// gatherer, and the test whether a data sector fits a file's extension.
#pragma once

#include <cstdint>
#include <string>
#include "engine/FileNode.h"

class CDiskReader;

// The extension of a name, lower-cased; empty without one.
std::string FatLowerExtension(const char* szName);

// The 8.3 name of a slot: base without trailing blanks, then "." and the
// extension when it has one, lower-cased. bWithExt false gives the base alone.
// A leading 0xE5 (deleted) is not replaced here.
std::string FatShortName(const unsigned char* pSlot, bool bWithExt);

// UTF-16 units (up to 0 or 0xFFFF) as narrow record text of at most
// nCapacity - 1 bytes.
std::string FatUtf16ToNarrow(const uint16_t* pUnits, int nUnits, size_t nCapacity);

// The record's name, NUL-padded and cut to fit.
void FatCopyName(_FILE_NODE_& node, const std::string& strName);
// The record's three times from the slot's dates and times (local time).
void FatSetTimes(_FILE_NODE_& node, const unsigned char* pSlot);

// Whether nLength bytes start with the "." and ".." entries of a directory.
bool FatStartsWithDotEntries(const unsigned char* pBuf, uint32_t nLength);
// The cluster a slot names: high word << 16 | low word (high word only when bFat32).
uint32_t FatSlotCluster(const unsigned char* pSlot, bool bFat32 = true);

// A long name gathered from its slots, which lie last part first on disk.
struct FatLongName {
    uint16_t wszUnits[256 + 13];
    int nPos = 256;
    bool bPending = false;
    uint8_t nCheckSum = 0;

    void Reset() {
        nPos = 256;
        bPending = false;
    }
    // Adds one long-name slot; a slot of another name starts afresh, and a
    // name of more parts than fit is dropped.
    void AddPart(const unsigned char* pSlot);
    // The name for the short slot that follows the long-name slots, or "" when
    // none is pending or its checksum does not fit (a deleted short slot has
    // lost its first byte, so its checksum is not compared). Resets.
    std::string TakeName(const unsigned char* pShortSlot, size_t nCapacity);
};

// The name of a short slot for its record: the long name gathered for it,
// else its 8.3 name (a folder's without the extension), a deleted slot's lost
// first byte shown as '!'. Empty when the slot gives none. Resets lfn.
std::string FatSlotName(FatLongName& lfn, const unsigned char* pShortSlot, bool bDir);

// Whether the sector at u64Sector (already read into pSector) fits the
// lower-case extension. A JPEG counts as intact when it starts like one.
bool FatIsSectorOfType(CDiskReader& reader, const unsigned char* pSector, uint32_t nBytesPerSector,
                       const char* szExt, uint64_t u64Sector);
