#include "support/DiskImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace twtest {

namespace {

const uint64_t kSector = 512;
const uint64_t kAlign = 2048;

uint64_t AlignUp(uint64_t v) {
    return (v + kAlign - 1) / kAlign * kAlign;
}

void PutLe(unsigned char* p, uint64_t v, int nBytes) {
    for (int i = 0; i < nBytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutBe(unsigned char* p, uint64_t v, int nBytes) {
    for (int i = 0; i < nBytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * (nBytes - 1 - i)));
}

bool Fail(std::string* pError, const std::string& strWhy) {
    if (pError) *pError = strWhy;
    return false;
}

// The volume's length in sectors: given, or its source's size rounded up.
bool VolumeSectors(const Volume& v, uint64_t& u64Sectors, std::string* pError) {
    u64Sectors = v.u64Sectors;
    if (u64Sectors != 0) return true;
    struct stat st;
    if (v.strSourceImage.empty() || ::stat(v.strSourceImage.c_str(), &st) != 0) {
        return Fail(pError, "volume has neither a size nor a readable source: " + v.strSourceImage);
    }
    u64Sectors = (static_cast<uint64_t>(st.st_size) + kSector - 1) / kSector;
    return u64Sectors != 0 || Fail(pError, "empty source: " + v.strSourceImage);
}

// A sparse disk image: table sectors are written as given, volume bytes are
// copied in, all-zero blocks are left as holes.
class DiskWriter {
public:
    explicit DiskWriter(const std::string& strPath) {
        m_fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    ~DiskWriter() {
        if (m_fd >= 0) ::close(m_fd);
    }
    bool Ok() const { return m_fd >= 0 && m_bOk; }
    void SetSize(uint64_t u64Sectors) {
        m_bOk = m_bOk && ::ftruncate(m_fd, static_cast<off_t>(u64Sectors * kSector)) == 0;
    }
    void Write(uint64_t u64Sector, const unsigned char* p, size_t n) {
        m_bOk = m_bOk && ::pwrite(m_fd, p, n, static_cast<off_t>(u64Sector * kSector)) ==
                             static_cast<ssize_t>(n);
    }
    // Copies at most u64Sectors sectors of the source to the given sector.
    void CopyVolume(const std::string& strSource, uint64_t u64Sector, uint64_t u64Sectors) {
        if (strSource.empty() || !m_bOk) return;
        const int fdIn = ::open(strSource.c_str(), O_RDONLY | O_CLOEXEC);
        if (fdIn < 0) {
            m_bOk = false;
            return;
        }
        std::vector<unsigned char> buf(1 << 20);
        uint64_t u64Done = 0, u64Left = u64Sectors * kSector;
        while (u64Left > 0 && m_bOk) {
            const size_t nWant = static_cast<size_t>(std::min<uint64_t>(buf.size(), u64Left));
            const ssize_t n = ::read(fdIn, buf.data(), nWant);
            if (n < 0) m_bOk = false;
            if (n <= 0) break;
            for (ssize_t off = 0; off < n; off += 4096) {
                const size_t nPiece = static_cast<size_t>(std::min<ssize_t>(4096, n - off));
                static const unsigned char zeros[4096] = {};
                if (std::memcmp(buf.data() + off, zeros, nPiece) == 0) continue;
                const off_t pos = static_cast<off_t>(u64Sector * kSector + u64Done + off);
                m_bOk = m_bOk && ::pwrite(m_fd, buf.data() + off, nPiece, pos) ==
                                     static_cast<ssize_t>(nPiece);
            }
            u64Done += static_cast<uint64_t>(n);
            u64Left -= static_cast<uint64_t>(n);
        }
        ::close(fdIn);
    }

private:
    int m_fd = -1;
    bool m_bOk = true;
};

// One MBR/EBR slot, LBA only (CHS fields say "beyond 8 GiB").
void PutMbrSlot(unsigned char* pSector, int nSlot, uint8_t nType, uint64_t u64Start,
                uint64_t u64Count) {
    unsigned char* s = pSector + 446 + 16 * nSlot;
    s[0] = 0x00;
    s[1] = 0xFE, s[2] = 0xFF, s[3] = 0xFF;
    s[4] = nType;
    s[5] = 0xFE, s[6] = 0xFF, s[7] = 0xFF;
    PutLe(s + 8, u64Start, 4);
    PutLe(s + 12, u64Count, 4);
}

void PutBootSignature(unsigned char* pSector) {
    pSector[510] = 0x55;
    pSector[511] = 0xAA;
}

uint32_t Crc32(const unsigned char* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" in the on-disk order (first three
// groups little-endian).
bool PutGuid(unsigned char* p, const std::string& strGuid) {
    std::string hex;
    for (char c : strGuid) {
        if (c != '-') hex += c;
    }
    if (hex.size() != 32) return false;
    unsigned char b[16];
    for (int i = 0; i < 16; ++i) {
        char* pEnd = nullptr;
        const std::string strByte = hex.substr(2 * i, 2);
        b[i] = static_cast<unsigned char>(std::strtoul(strByte.c_str(), &pEnd, 16));
        if (*pEnd != '\0') return false;
    }
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) p[i] = b[order[i]];
    return true;
}

// Places volumes one after the other (explicit starts are kept).
bool PlaceInOrder(const std::vector<Volume>& volumes, uint64_t u64FirstFree,
                  std::vector<Placed>& placed, uint64_t& u64End, std::string* pError) {
    uint64_t u64Cursor = u64FirstFree;
    for (const Volume& v : volumes) {
        Placed p;
        if (!VolumeSectors(v, p.u64Sectors, pError)) return false;
        p.u64StartSector = v.u64StartSector ? v.u64StartSector : AlignUp(u64Cursor);
        if (p.u64StartSector < u64FirstFree) return Fail(pError, "volume overlaps the table");
        placed.push_back(p);
        u64Cursor = p.u64StartSector + p.u64Sectors;
    }
    u64End = u64FirstFree;
    for (const Placed& p : placed) u64End = std::max(u64End, p.u64StartSector + p.u64Sectors);
    return true;
}

}  // namespace

bool WriteMbrDisk(const std::string& strOut, const std::vector<Volume>& primaries,
                  const std::vector<Volume>& logicals, std::vector<Placed>* pPlaced,
                  std::string* pError) {
    if (primaries.size() + (logicals.empty() ? 0 : 1) > 4) {
        return Fail(pError, "an MBR has four slots");
    }
    std::vector<Placed> placed;
    uint64_t u64End = 0;
    if (!PlaceInOrder(primaries, 1, placed, u64End, pError)) return false;

    // Logical partitions: each has its EBR before it.
    std::vector<uint64_t> ebrs;
    uint64_t u64Cursor = u64End;
    for (const Volume& v : logicals) {
        Placed p;
        if (!VolumeSectors(v, p.u64Sectors, pError)) return false;
        const uint64_t u64Ebr = v.u64EbrSector ? v.u64EbrSector : AlignUp(u64Cursor);
        p.u64StartSector = v.u64StartSector ? v.u64StartSector : u64Ebr + kAlign;
        if (p.u64StartSector <= u64Ebr) return Fail(pError, "a logical must follow its EBR");
        ebrs.push_back(u64Ebr);
        placed.push_back(p);
        u64Cursor = p.u64StartSector + p.u64Sectors;
        u64End = std::max(u64End, u64Cursor);
    }

    DiskWriter disk(strOut);
    disk.SetSize(u64End);
    unsigned char mbr[512] = {};
    PutLe(mbr + 440, 0x54574D42, 4);  // disk signature
    for (size_t i = 0; i < primaries.size(); ++i) {
        PutMbrSlot(mbr, static_cast<int>(i), primaries[i].nMbrType, placed[i].u64StartSector,
                   placed[i].u64Sectors);
    }
    if (!logicals.empty()) {
        const uint64_t u64ExtStart = ebrs.front();
        const size_t nLast = placed.size() - 1;
        const uint64_t u64ExtEnd = placed[nLast].u64StartSector + placed[nLast].u64Sectors;
        PutMbrSlot(mbr, static_cast<int>(primaries.size()), 0x05, u64ExtStart,
                   u64ExtEnd - u64ExtStart);
        for (size_t i = 0; i < logicals.size(); ++i) {
            const Placed& p = placed[primaries.size() + i];
            unsigned char ebr[512] = {};
            PutMbrSlot(ebr, 0, logicals[i].nMbrType, p.u64StartSector - ebrs[i], p.u64Sectors);
            if (i + 1 < logicals.size()) {
                const Placed& next = placed[primaries.size() + i + 1];
                PutMbrSlot(ebr, 1, 0x05, ebrs[i + 1] - u64ExtStart,
                           next.u64StartSector + next.u64Sectors - ebrs[i + 1]);
            }
            PutBootSignature(ebr);
            disk.Write(ebrs[i], ebr, sizeof(ebr));
        }
    }
    PutBootSignature(mbr);
    disk.Write(0, mbr, sizeof(mbr));
    for (size_t i = 0; i < placed.size(); ++i) {
        const Volume& v = i < primaries.size() ? primaries[i] : logicals[i - primaries.size()];
        disk.CopyVolume(v.strSourceImage, placed[i].u64StartSector, placed[i].u64Sectors);
    }
    if (!disk.Ok()) return Fail(pError, "cannot write " + strOut);
    if (pPlaced) *pPlaced = placed;
    return true;
}

bool WriteGptDisk(const std::string& strOut, const std::vector<Volume>& volumes,
                  std::vector<Placed>* pPlaced, std::string* pError) {
    const uint32_t nEntries = 128, nEntrySize = 128;
    const uint64_t u64EntrySectors = nEntries * nEntrySize / kSector;  // 32
    if (volumes.size() > nEntries) return Fail(pError, "too many GPT entries");
    std::vector<Placed> placed;
    uint64_t u64End = 0;
    if (!PlaceInOrder(volumes, 2 + u64EntrySectors, placed, u64End, pError)) return false;
    const uint64_t u64Last = AlignUp(u64End) + u64EntrySectors;  // backup header sector
    const uint64_t u64Total = u64Last + 1;

    std::vector<unsigned char> entries(nEntries * nEntrySize, 0);
    for (size_t i = 0; i < volumes.size(); ++i) {
        unsigned char* e = entries.data() + i * nEntrySize;
        if (!PutGuid(e, volumes[i].strGptType)) return Fail(pError, "bad GPT type GUID");
        PutGuid(e + 16, "7A6E0000-0000-4000-8000-0000000000" +
                            std::string(1, "0123456789ABCDEF"[(i >> 4) & 15]) +
                            std::string(1, "0123456789ABCDEF"[i & 15]));
        PutLe(e + 32, placed[i].u64StartSector, 8);
        PutLe(e + 40, placed[i].u64StartSector + placed[i].u64Sectors - 1, 8);
        for (size_t c = 0; c < volumes[i].strName.size() && c < 36; ++c) {
            e[56 + 2 * c] = static_cast<unsigned char>(volumes[i].strName[c]);
        }
    }
    const uint32_t nEntriesCrc = Crc32(entries.data(), entries.size());

    auto makeHeader = [&](uint64_t u64Self, uint64_t u64Other, uint64_t u64EntriesLba) {
        std::vector<unsigned char> h(kSector, 0);
        std::memcpy(h.data(), "EFI PART", 8);
        PutLe(&h[8], 0x00010000, 4);
        PutLe(&h[12], 92, 4);
        PutLe(&h[24], u64Self, 8);
        PutLe(&h[32], u64Other, 8);
        PutLe(&h[40], 2 + u64EntrySectors, 8);
        PutLe(&h[48], u64Last - u64EntrySectors - 1, 8);
        PutGuid(&h[56], "7A6E0000-0000-4000-8000-00000000D15C");
        PutLe(&h[72], u64EntriesLba, 8);
        PutLe(&h[80], nEntries, 4);
        PutLe(&h[84], nEntrySize, 4);
        PutLe(&h[88], nEntriesCrc, 4);
        PutLe(&h[16], Crc32(h.data(), 92), 4);
        return h;
    };

    DiskWriter disk(strOut);
    disk.SetSize(u64Total);
    unsigned char mbr[512] = {};
    PutMbrSlot(mbr, 0, 0xEE, 1, std::min<uint64_t>(u64Total - 1, 0xFFFFFFFFu));
    PutBootSignature(mbr);
    disk.Write(0, mbr, sizeof(mbr));
    const std::vector<unsigned char> primary = makeHeader(1, u64Last, 2);
    const std::vector<unsigned char> backup = makeHeader(u64Last, 1, u64Last - u64EntrySectors);
    disk.Write(1, primary.data(), primary.size());
    disk.Write(2, entries.data(), entries.size());
    disk.Write(u64Last - u64EntrySectors, entries.data(), entries.size());
    disk.Write(u64Last, backup.data(), backup.size());
    for (size_t i = 0; i < volumes.size(); ++i) {
        disk.CopyVolume(volumes[i].strSourceImage, placed[i].u64StartSector, placed[i].u64Sectors);
    }
    if (!disk.Ok()) return Fail(pError, "cannot write " + strOut);
    if (pPlaced) *pPlaced = placed;
    return true;
}

bool WriteApmDisk(const std::string& strOut, const std::vector<Volume>& volumes,
                  std::vector<Placed>* pPlaced, std::string* pError) {
    // The map occupies blocks 1..63, as the classic layout reserves.
    const uint64_t u64MapBlocks = 63;
    const uint32_t nMapEntries = static_cast<uint32_t>(volumes.size() + 1);
    if (nMapEntries > u64MapBlocks) return Fail(pError, "too many map entries");
    std::vector<Placed> physical;  // physical partitions, data start included
    uint64_t u64Cursor = 1 + u64MapBlocks;
    for (const Volume& v : volumes) {
        Placed p;
        if (!VolumeSectors(v, p.u64Sectors, pError)) return false;
        p.u64StartSector = v.u64StartSector ? v.u64StartSector : AlignUp(u64Cursor);
        p.u64Sectors += v.nApmDataStart;
        if (p.u64StartSector < 1 + u64MapBlocks) return Fail(pError, "volume overlaps the map");
        if (p.u64StartSector + p.u64Sectors > 0xFFFFFFFFu) return Fail(pError, "beyond 32 bits");
        physical.push_back(p);
        u64Cursor = p.u64StartSector + p.u64Sectors;
    }
    uint64_t u64Total = 1 + u64MapBlocks;
    for (const Placed& p : physical) u64Total = std::max(u64Total, p.u64StartSector + p.u64Sectors);

    DiskWriter disk(strOut);
    disk.SetSize(u64Total);
    unsigned char ddm[512] = {};
    std::memcpy(ddm, "ER", 2);
    PutBe(ddm + 2, kSector, 2);
    PutBe(ddm + 4, u64Total, 4);
    disk.Write(0, ddm, sizeof(ddm));

    auto putEntry = [&](uint32_t nIndex, uint64_t u64PhysStart, uint64_t u64PhysCount,
                        const std::string& strName, const std::string& strType, uint32_t nDataStart,
                        uint64_t u64DataCount) {
        unsigned char e[512] = {};
        std::memcpy(e, "PM", 2);
        PutBe(e + 4, nMapEntries, 4);
        PutBe(e + 8, u64PhysStart, 4);
        PutBe(e + 12, u64PhysCount, 4);
        std::memcpy(e + 16, strName.data(), std::min<size_t>(strName.size(), 32));
        std::memcpy(e + 48, strType.data(), std::min<size_t>(strType.size(), 32));
        PutBe(e + 80, nDataStart, 4);
        PutBe(e + 84, u64DataCount, 4);
        PutBe(e + 88, 0x37, 4);  // valid, allocated, in use, readable, writable
        disk.Write(1 + nIndex, e, sizeof(e));
    };
    putEntry(0, 1, u64MapBlocks, "Apple", "Apple_partition_map", 0, u64MapBlocks);
    std::vector<Placed> placed;
    for (size_t i = 0; i < volumes.size(); ++i) {
        const Volume& v = volumes[i];
        const Placed& p = physical[i];
        putEntry(static_cast<uint32_t>(i + 1), p.u64StartSector, p.u64Sectors, v.strName,
                 v.strApmType, v.nApmDataStart, p.u64Sectors - v.nApmDataStart);
        Placed data;
        data.u64StartSector = p.u64StartSector + v.nApmDataStart;
        data.u64Sectors = p.u64Sectors - v.nApmDataStart;
        disk.CopyVolume(v.strSourceImage, data.u64StartSector, data.u64Sectors);
        placed.push_back(data);
    }
    if (!disk.Ok()) return Fail(pError, "cannot write " + strOut);
    if (pPlaced) *pPlaced = placed;
    return true;
}

TempDiskDir::TempDiskDir() {
    if (const char* szOld = std::getenv("TARNWICK_DISK_DIR")) {
        m_bHadOld = true;
        m_strOld = szOld;
    }
    ::setenv("TARNWICK_DISK_DIR", m_dir.Path().c_str(), 1);
}

TempDiskDir::~TempDiskDir() {
    if (m_bHadOld) {
        ::setenv("TARNWICK_DISK_DIR", m_strOld.c_str(), 1);
    } else {
        ::unsetenv("TARNWICK_DISK_DIR");
    }
}

bool TempDiskDir::AddDisk(int nDiskNo, const std::string& strImage) {
    const std::string strLink = m_dir.File("disk" + std::to_string(nDiskNo));
    ::unlink(strLink.c_str());
    return ::symlink(strImage.c_str(), strLink.c_str()) == 0;
}

}  // namespace twtest
