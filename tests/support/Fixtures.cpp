#include "support/Fixtures.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/RunTool.h"
#include "support/ScratchDir.h"

namespace twtest {

std::string FixtureDir() {
    return TW_FIXTURE_DIR;
}
std::string FixtureImage(const std::string& strName) {
    return FixtureDir() + "/" + strName + ".img";
}
std::string FixtureFilesDir(const std::string& strName) {
    return FixtureDir() + "/" + strName + ".files";
}

std::vector<ManifestEntry> ReadManifest(const std::string& strName) {
    std::vector<ManifestEntry> entries;
    std::ifstream in(FixtureDir() + "/" + strName + ".manifest");
    std::string strLine;
    while (std::getline(in, strLine)) {
        // state <TAB> path <TAB> size <TAB> sha1
        std::vector<std::string> fields;
        std::stringstream ss(strLine);
        std::string strField;
        while (std::getline(ss, strField, '\t')) fields.push_back(strField);
        if (fields.size() != 4) continue;
        ManifestEntry e;
        e.bDeleted = fields[0] == "deleted";
        e.strPath = fields[1];
        e.u64Size = std::stoull(fields[2]);
        e.strSha1 = fields[3];
        e.strSourceFile = FixtureFilesDir(strName) + e.strPath;
        entries.push_back(e);
    }
    return entries;
}

std::string Sha1OfFile(const std::string& strPath) {
    std::string strOut;
    if (RunCommand("sha1sum < " + ShellQuote(strPath) + " 2>/dev/null", &strOut) != 0 ||
        strOut.size() < 40) {
        return "";
    }
    return strOut.substr(0, 40);
}

std::string Sha1OfBytes(const void* pData, size_t nLength) {
    CScratchDir dir;
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    return Sha1OfFile(dir.Write("bytes", std::vector<unsigned char>(p, p + nLength)));
}

bool ReadFileBytes(const std::string& strPath, std::vector<unsigned char>& vecOut, size_t nMax) {
    vecOut.clear();
    std::ifstream in(strPath, std::ios::binary);
    char buf[65536];
    while (in && vecOut.size() < nMax) {
        in.read(buf, static_cast<std::streamsize>(std::min(sizeof(buf), nMax - vecOut.size())));
        vecOut.insert(vecOut.end(), buf, buf + in.gcount());
    }
    return in.is_open() && !in.bad();
}

}  // namespace twtest
