// The fast engine of a volume, picked from its first bytes.
#pragma once

#include <cstddef>
#include <memory>

#include "common/MediumSource.h"
#include "engine/IFileRecoveryParse.h"

// The probe covers the FAT and NTFS boot sectors, the ext superblock at 1,024
// and, with 512-byte sectors, both exFAT boot regions.
constexpr int kVolumeProbeBytes = 16384;

// The first kVolumeProbeBytes of the area at llFirstSector (512-byte sectors);
// false (and a log line) when its offset does not fit or it cannot be read.
bool ReadVolumeProbe(CMediumSource& source, long long llFirstSector, unsigned char* pProbe);
// The fast engine, not yet initialised, for the volume whose probe this is,
// or for a copy of its boot sector (FAT sector 6, the NTFS last sector, an ext
// superblock copy) when the probe is not recognised. Null when none is.
IFileRecoveryParse* NewFastEngine(CMediumSource& source, long long llFirstSector,
                                  long long llSectorCount, const unsigned char* pProbe);
// Probe, pick and initialise the fast engine of the area [first, first +
// count) of an open medium. Null when the area cannot be read or holds no
// recognised volume. The caller owns the engine.
IFileRecoveryParse* CreateFastEngine(const std::shared_ptr<CMediumSource>& pSource,
                                     long long llFirstSector, long long llSectorCount,
                                     wchar_t wcDriveLetter);
