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

// One line of NAME.manifest, in any layout: "state /path size sha1"
// (originals in NAME.files/), "state path listed original" or the deep cards'
// "listed original state" (originals in NAME.orig/).
struct ManifestEntry {
    std::string strStatus;      // "live", "deleted" or "overwritten"
    bool bDeleted = false;      // not live
    std::string strPath;        // path in the volume, starting with '/', UTF-8
    std::string strListed;      // where a scan lists it ("" when never)
    uint64_t u64Size = 0;       // 0 when the manifest does not say
    std::string strSha1;        // lower-case hex; "" when the manifest does not say
    std::string strSourceFile;  // the original ("" when none was kept)
};
// Empty when the manifest is missing or unreadable.
std::vector<ManifestEntry> ReadManifest(const std::string& strName);

// SHA-1 as lower-case hex, by sha1sum (the tool the fixture manifests are
// written with); "" when the file cannot be read.
std::string Sha1OfFile(const std::string& strPath);

// The first line of a small text file ("" when there is none).
std::string FirstLine(const std::string& strPath);
// The whole file, or its first nMax bytes.
bool ReadFileBytes(const std::string& strPath, std::vector<unsigned char>& vecOut,
                   size_t nMax = SIZE_MAX);

}  // namespace twtest
