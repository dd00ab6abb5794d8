// The FAT cards of tests/fixtures/build_fat_undelete.sh: their manifests, the
// originals of the files written to them, and small helpers for the tests
// that scan them.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>
#include "support/Fixtures.h"

// The card images, one per FAT type and cluster size.
const std::vector<std::string>& FatImageNames();
inline std::string FatImagePath(const std::string& strName) {
    return twtest::FixtureImage(strName);
}
// The paths a scan of the card must list: its deleted and overwritten files.
std::multiset<std::string> FatListedPaths(const std::string& strName);
// The original content of the file at a volume path ("/a/b") of the card ("" when none).
std::string ReadFatOriginal(const std::string& strName, const std::string& strVolPath);

// Copies a file; false on failure.
bool CopyFile(const std::string& strFrom, const std::string& strTo);
// Overwrites bytes of a file in place.
bool PatchFile(const std::string& strPath, uint64_t u64Offset, const std::string& strBytes);
// Offset of the first 32-byte aligned occurrence of the bytes, or -1.
long long FindAligned(const std::string& strPath, const std::string& strBytes, int nAlign);
