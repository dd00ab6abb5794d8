// Recognition of NTFS, FAT and ext volumes from the bytes at a partition start,
// and default cluster sizes. Only the buffer given is read.
#pragma once

#include <cstdint>

bool IsNtfs(const unsigned char* pBuf);  // at least 512 bytes
bool IsFat(const unsigned char* pBuf);   // at least 512 bytes
bool IsExt(const unsigned char* pBuf);   // at least 1,112 bytes
bool IsFullValidFAT16DBR(const unsigned char* pBuf);
bool IsFullValidFAT32DBR(const unsigned char* pBuf);
bool IsBitlockerDBR(const unsigned char* pBuf);
unsigned GetFat32DefaultSectorPerCluster(unsigned long long u64Sectors,
                                         unsigned int nBytesPerSector);
unsigned GetDefaultNtfsSectorPerCluster(unsigned long long u64Sectors,
                                        unsigned int nBytesPerSector);

// NTFS sectors per cluster from the boot-sector byte: 1..128 as they stand,
// 0x81..0xFF as 2^(256 - value). 0 when the value gives no usable cluster size
// (0, not a power of two, or more than 2 MiB per cluster with the sector size given).
unsigned int NtfsSectorsPerCluster(uint8_t nByte, unsigned int nBytesPerSector);
