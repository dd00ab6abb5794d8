#include "support/Fixtures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

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
        e.u64Size = std::strtoull(fields[2].c_str(), nullptr, 10);
        e.strSha1 = fields[3];
        e.strSourceFile = FixtureFilesDir(strName) + e.strPath;
        entries.push_back(e);
    }
    return entries;
}

namespace {

class Sha1 {
public:
    void Update(const unsigned char* p, size_t n) {
        m_u64Bits += static_cast<uint64_t>(n) * 8;
        while (n > 0) {
            const size_t nTake = std::min(n, sizeof(m_block) - m_nUsed);
            std::memcpy(m_block + m_nUsed, p, nTake);
            m_nUsed += nTake, p += nTake, n -= nTake;
            if (m_nUsed == 64) Block();
        }
    }
    std::string Final() {
        const uint64_t u64Bits = m_u64Bits;
        const unsigned char pad = 0x80;
        Update(&pad, 1);
        const unsigned char zero = 0;
        while (m_nUsed != 56) Update(&zero, 1);
        unsigned char len[8];
        for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(u64Bits >> (56 - 8 * i));
        Update(len, 8);
        char hex[41];
        for (int i = 0; i < 5; ++i) std::snprintf(hex + 8 * i, 9, "%08x", m_h[i]);
        return std::string(hex, 40);
    }

private:
    static uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
    // Hashing whole images: the sanitizers would make it many times slower.
    __attribute__((no_sanitize("address", "undefined"))) void Block() {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i) {
            w[i] = (static_cast<uint32_t>(m_block[4 * i]) << 24) | (m_block[4 * i + 1] << 16) |
                   (m_block[4 * i + 2] << 8) | m_block[4 * i + 3];
        }
        for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = m_h[0], b = m_h[1], c = m_h[2], d = m_h[3], e = m_h[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d), k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d, k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d, k = 0xCA62C1D6;
            }
            const uint32_t t = Rol(a, 5) + f + e + k + w[i];
            e = d, d = c, c = Rol(b, 30), b = a, a = t;
        }
        m_h[0] += a, m_h[1] += b, m_h[2] += c, m_h[3] += d, m_h[4] += e;
        m_nUsed = 0;
    }

    uint32_t m_h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    unsigned char m_block[64] = {};
    size_t m_nUsed = 0;
    uint64_t m_u64Bits = 0;
};

}  // namespace

std::string Sha1OfBytes(const void* pData, size_t nLength) {
    Sha1 sha;
    sha.Update(static_cast<const unsigned char*>(pData), nLength);
    return sha.Final();
}

std::string Sha1OfFile(const std::string& strPath) {
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    Sha1 sha;
    unsigned char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0) {
            ::close(fd);
            return "";
        }
        if (n == 0) break;
        sha.Update(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return sha.Final();
}

bool ReadFileBytes(const std::string& strPath, std::vector<unsigned char>& vecOut, size_t nMax) {
    vecOut.clear();
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool bOk = ::fstat(fd, &st) == 0;
    if (bOk) vecOut.resize(std::min(static_cast<size_t>(st.st_size), nMax));
    size_t nDone = 0;
    while (bOk && nDone < vecOut.size()) {
        const ssize_t n = ::read(fd, vecOut.data() + nDone, vecOut.size() - nDone);
        if (n <= 0) bOk = false;
        if (n > 0) nDone += static_cast<size_t>(n);
    }
    ::close(fd);
    return bOk;
}

}  // namespace twtest
