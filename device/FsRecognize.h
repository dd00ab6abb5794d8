// Recognition of NTFS, FAT and ext volumes from the bytes at a partition start,
// and default cluster sizes. Only the buffer given is read.
#pragma once

bool IsNtfs(const unsigned char* pBuf);  // at least 512 bytes
bool IsFat(const unsigned char* pBuf);   // at least 512 bytes
bool IsExt(const unsigned char* pBuf);   // at least 1,112 bytes
bool IsFullValidFAT16DBR(const unsigned char* pBuf);
bool IsFullValidFAT32DBR(const unsigned char* pBuf);
bool IsBitlockerDBR(const unsigned char* pBuf);
unsigned GetFat32DefaultSectorPerCluster(unsigned long long u64Sectors, unsigned int nBytesPerSector);
unsigned GetDefaultNtfsSectorPerCluster(unsigned long long u64Sectors, unsigned int nBytesPerSector);
