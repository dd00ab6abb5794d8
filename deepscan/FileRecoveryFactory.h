// Picks and creates the engine for a disk area or an image.
#pragma once

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

private:
    CFileRecoveryFactory() = default;
};
