// Picks and creates the engine for a disk area or an image.
#pragma once

#include <memory>
#include "engine/IFileRecoveryParse.h"

class CFileRecoveryFactory {
public:
    static CFileRecoveryFactory& GetInstance();

    // The caller owns the engine. Null when the source cannot be opened or read
    // for 16,384 bytes, or for a fast request on an unrecognised volume (or one
    // whose engine does not exist yet).
    IFileRecoveryParse* CreateFileRecoveryInstance(const wchar_t* wszPath, wchar_t wcDriveLetter,
                                                   RECOVERY_TYPE nType);
    IFileRecoveryParse* CreateFileRecoveryInstance(int nDiskNo, long long llFirstSector,
                                                   long long llSectorCount, wchar_t wcDriveLetter,
                                                   RECOVERY_TYPE nType);
    // The area [first, first + count) of an open medium (512-byte sectors):
    // the engine reads it through that medium, and so do the engines it makes.
    IFileRecoveryParse* CreateFileRecoveryInstance(const std::shared_ptr<CMediumSource>& pSource,
                                                   long long llFirstSector, long long llSectorCount,
                                                   wchar_t wcDriveLetter, RECOVERY_TYPE nType);

private:
    CFileRecoveryFactory() = default;
};
