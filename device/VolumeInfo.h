// What a person knows a volume by: its file system and its label. Read from
// the boot sector and, for a label kept in the root folder or in the volume's
// own metadata record, from the few bytes that hold it. Only read; every
// offset and length taken from the medium is checked against what was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct TW_VOLUME_INFO {
    bool bReadable = false;  // the first sectors could be read
    // "FAT12", "FAT16", "FAT32", "exFAT", "NTFS", "ext2", "ext3", "ext4"; "" when unknown
    std::string strFileSystem;
    std::string strLabel;  // UTF-8, trailing blanks removed; "" when there is none
};

// Reads up to nLength bytes at byte u64Offset of the volume; returns the count read.
using VolumeReader = std::function<size_t(uint64_t u64Offset, unsigned char* pBuf, size_t nLength)>;

// Recognises the volume that the reader gives from its first byte on (4 KiB
// of it first). A new file system joins by adding its recogniser to the
// table in VolumeInfo.cpp.
// False when no file system is recognised (info.bReadable tells whether the
// start could be read at all).
bool RecognizeVolume(const VolumeReader& read, TW_VOLUME_INFO& info);
// The same for the volume that starts at byte u64Start of a descriptor
// opened read-only.
bool RecognizeVolumeAt(int fd, uint64_t u64Start, TW_VOLUME_INFO& info);

// UTF-16 text (little-endian units, as read) as UTF-8: stops at a 0 unit or
// after nUnits; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const char16_t* pUnits, size_t nUnits);
