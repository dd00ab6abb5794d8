// Recognition of NTFS, FAT, exFAT and ext volumes from the bytes at a partition start,
// and default cluster sizes. Only the buffer given is read.
#pragma once

#include <cstddef>
#include <cstdint>

bool IsNtfs(const unsigned char* pBuf);  // at least 512 bytes
bool IsFat(const unsigned char* pBuf);   // at least 512 bytes
bool IsExt(const unsigned char* pBuf);   // at least 1,112 bytes
// The kind of an ext volume by its feature bits: "ext2", "ext3" (a journal)
// or "ext4" (any ext4 feature); null when IsExt refuses it. At least 2,048 bytes.
const char* GetExtVolumeType(const unsigned char* pBuf);
// Its label (at most 16 bytes) into szLabel; empty when IsExt refuses it.
void GetExtVolumeLabel(const unsigned char* pBuf, char szLabel[17]);
// The exFAT boot sector: "EXFAT   " at 3, zeros where a FAT boot sector has its
// fields, sizes and areas that fit one another. At least 512 bytes.
bool IsExFat(const unsigned char* pBuf);
// The exFAT boot checksum over the first 11 sectors of a boot region (the
// volume-flags and percent-in-use bytes left out), as sector 11 repeats it.
uint32_t ExFatBootChecksum(const unsigned char* pRegion, uint32_t nBytesPerSector);
// Byte offset in the buffer of the first sound exFAT boot region (a boot sector
// that IsExFat accepts and whose checksum sector matches): the main region at
// 0, else the backup 12 sectors on. -1 when neither fits in nLength bytes.
long long FindExFatBootRegion(const unsigned char* pBuf, size_t nLength);
// The size, in 512-byte sectors, of the volume whose first nLength bytes are
// in pBuf, as its own fields give it: an NTFS, FAT (or its copy at sector 6)
// or exFAT boot sector (or its backup region), or an ext superblock. 0 when
// none is recognised in what the buffer holds.
uint64_t GetVolumeSectorCount(const unsigned char* pBuf, size_t nLength);
// For a sector holding a copy kept inside a volume (an NTFS boot sector's
// copy in the volume's last sector, an ext superblock's copy in a later block
// group): how many 512-byte sectors before it the volume starts, and its size
// in u64Count. 0 when pBuf (nLength bytes) holds no such copy.
uint64_t GetVolumeStartBehind(const unsigned char* pBuf, size_t nLength, uint64_t& u64Count);
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
