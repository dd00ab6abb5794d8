#include "support/Fixtures.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/RunTool.h"

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

namespace {

bool IsSha1(const std::string& str) {
    return str.size() == 40 && str.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string FirstLine(const std::string& strPath) {
    std::ifstream in(strPath);
    std::string s;
    std::getline(in, s);
    return s;
}

std::vector<ManifestEntry> ReadManifest(const std::string& strName) {
    std::vector<ManifestEntry> entries;
    std::ifstream in(FixtureDir() + "/" + strName + ".manifest");
    // A folder the fixture made lost (its record reused by a file, or by
    // another folder) is listed as "LostFolder<record>".
    const std::pair<std::string, std::string> lost[] = {
        {"lostparent/", FirstLine(FixtureDir() + "/" + strName + ".lost")},
        {"reusedparent/", FirstLine(FixtureDir() + "/" + strName + ".reused")}};
    std::string strLine;
    while (std::getline(in, strLine)) {
        std::vector<std::string> fields;
        std::stringstream ss(strLine);
        std::string strField;
        while (std::getline(ss, strField, '\t')) fields.push_back(strField);
        if (fields.size() == 3) fields = {fields[2], fields[0], fields[0], fields[1]};
        if (fields.size() != 4) continue;
        ManifestEntry e;
        e.strStatus = fields[0];
        e.bDeleted = e.strStatus != "live";
        if (IsSha1(fields[3]) && fields[1].rfind('/', 0) == 0) {
            e.strPath = fields[1];
            e.u64Size = std::stoull(fields[2]);
            e.strSha1 = fields[3];
            e.strSourceFile = FixtureFilesDir(strName) + e.strPath;
            if (e.bDeleted) e.strListed = e.strPath.substr(1);
            for (const auto& l : lost)
                if (!l.second.empty() && e.strListed.rfind(l.first, 0) == 0)
                    e.strListed =
                        "LostFolder" + l.second + "/" + e.strListed.substr(l.first.size());
        } else {
            e.strPath = "/" + fields[1];
            if (fields[2] != "-") e.strListed = fields[2];
            if (fields[3] != "-")
                e.strSourceFile = FixtureDir() + "/" + strName + ".orig/" + fields[3];
        }
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
