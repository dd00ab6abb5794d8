// Test helpers for the fixture images built by tests/fixtures/build_*.sh, plus
// whole-file reads and SHA-1 checksums (temporary folders: support/ScratchDir.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace twtest {

// The folder of the cached fixture images (TW_FIXTURE_DIR).
std::string FixtureDir();
// FixtureDir()/NAME.img, e.g. FixtureImage("fat16").
std::string FixtureImage(const std::string& strName);
// FixtureDir()/NAME.files: the original content written into image NAME.
std::string FixtureFilesDir(const std::string& strName);

// One line of NAME.manifest: a file written into the image. Two layouts, one
// reader: "state <TAB> /path <TAB> size <TAB> sha1" (originals under
// NAME.files/) and "state <TAB> path <TAB> listed path <TAB> original" (the
// cards; originals under NAME.orig/, "-" for none).
struct ManifestEntry {
    std::string strStatus;  // "live", "deleted" or "overwritten"
    bool bDeleted = false;  // not live
    std::string strPath;    // path in the volume, starting with '/', UTF-8
    // Where a scan lists it ("" when never): the path without the leading '/',
    // a folder the fixture made lost under the lost folder's name.
    std::string strListed;
    uint64_t u64Size = 0;       // 0 when the manifest does not say
    std::string strSha1;        // lower-case hex; "" when the manifest does not say
    std::string strSourceFile;  // the original ("" when none was kept)
};
// Empty when the manifest is missing or unreadable.
std::vector<ManifestEntry> ReadManifest(const std::string& strName);

// SHA-1 as lower-case hex, by sha1sum (the tool the fixture manifests are
// written with). Sha1OfFile returns "" when the file cannot be read.
std::string Sha1OfFile(const std::string& strPath);
std::string Sha1OfBytes(const void* pData, size_t nLength);

// The whole file, or its first nMax bytes.
bool ReadFileBytes(const std::string& strPath, std::vector<unsigned char>& vecOut,
                   size_t nMax = SIZE_MAX);

}  // namespace twtest
