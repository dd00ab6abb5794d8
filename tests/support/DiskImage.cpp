#include "support/DiskImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <regex>
#include <sstream>

#include "support/Fixtures.h"
#include "support/RunTool.h"

namespace twtest {

namespace {

const uint64_t kSector = 512;

uint64_t AlignUp(uint64_t v) {
    return (v + 2047) / 2048 * 2048;
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
    struct stat st;
    if (u64Sectors == 0 && !v.strSourceImage.empty() && ::stat(v.strSourceImage.c_str(), &st) == 0)
        u64Sectors = (static_cast<uint64_t>(st.st_size) + kSector - 1) / kSector;
    return u64Sectors != 0 || Fail(pError, "volume without size or source: " + v.strSourceImage);
}

// Copies the volume's source (at most its length) to where it was placed.
bool CopyVolume(const std::string& strDisk, const Volume& v, const Placed& p) {
    if (v.strSourceImage.empty()) return true;
    std::vector<unsigned char> bytes;
    return ReadFileBytes(v.strSourceImage, bytes, p.u64Sectors * kSector) &&
           WriteAt(strDisk, p.u64StartSector * kSector, bytes.data(), bytes.size());
}

}  // namespace

bool CreateSparseFile(const std::string& strPath, uint64_t u64Bytes) {
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool bOk = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(u64Bytes)) == 0;
    if (fd >= 0) ::close(fd);
    return bOk;
}

bool WriteAt(const std::string& strPath, uint64_t u64Offset, const void* pData, size_t nLength) {
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_CLOEXEC);
    const bool bOk = fd >= 0 && ::pwrite(fd, pData, nLength, static_cast<off_t>(u64Offset)) ==
                                    static_cast<ssize_t>(nLength);
    if (fd >= 0) ::close(fd);
    return bOk;
}

bool WriteBootRecord(const std::string& strPath, uint64_t u64Sector,
                     const std::vector<BootSlot>& slots) {
    unsigned char sector[512] = {};
    for (size_t i = 0; i < slots.size() && i < 4; ++i) {
        unsigned char* p = sector + 446 + 16 * i;
        p[4] = slots[i].nType;
        PutLe(p + 8, slots[i].nRelative, 4);
        PutLe(p + 12, slots[i].nCount, 4);
    }
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return WriteAt(strPath, u64Sector * kSector, sector, sizeof(sector));
}

bool WriteMbrDisk(const std::string& strOut, const std::vector<Volume>& primaries,
                  const std::vector<Volume>& logicals, std::vector<Placed>* pPlaced,
                  std::string* pError) {
    if (primaries.size() + (logicals.empty() ? 0 : 1) > 4) {
        return Fail(pError, "an MBR has four slots");
    }
    std::vector<Volume> all = primaries;
    all.insert(all.end(), logicals.begin(), logicals.end());
    std::vector<Placed> placed(all.size());
    std::vector<uint32_t> ebrs;
    uint64_t u64Cursor = 1;
    for (size_t i = 0; i < all.size(); ++i) {
        if (!VolumeSectors(all[i], placed[i].u64Sectors, pError)) return false;
        if (i >= primaries.size()) {
            ebrs.push_back(static_cast<uint32_t>(AlignUp(u64Cursor)));
            u64Cursor = ebrs.back() + 1;
        }
        placed[i].u64StartSector = AlignUp(u64Cursor);
        u64Cursor = placed[i].u64StartSector + placed[i].u64Sectors;
    }
    auto Slot = [&](size_t i, uint64_t u64Base) {
        return BootSlot{all[i].nMbrType, static_cast<uint32_t>(placed[i].u64StartSector - u64Base),
                        static_cast<uint32_t>(placed[i].u64Sectors)};
    };
    std::vector<BootSlot> mbr;
    for (size_t i = 0; i < primaries.size(); ++i) mbr.push_back(Slot(i, 0));
    if (!ebrs.empty()) mbr.push_back({0x05, ebrs[0], static_cast<uint32_t>(u64Cursor - ebrs[0])});
    bool bOk = CreateSparseFile(strOut, u64Cursor * kSector) && WriteBootRecord(strOut, 0, mbr);
    for (size_t k = 0; k < ebrs.size(); ++k) {
        std::vector<BootSlot> ebr = {Slot(primaries.size() + k, ebrs[k])};
        if (k + 1 < ebrs.size()) {
            const Placed& next = placed[primaries.size() + k + 1];
            ebr.push_back(
                {0x05, ebrs[k + 1] - ebrs[0],
                 static_cast<uint32_t>(next.u64StartSector + next.u64Sectors - ebrs[k + 1])});
        }
        bOk = bOk && WriteBootRecord(strOut, ebrs[k], ebr);
    }
    for (size_t i = 0; i < all.size(); ++i) bOk = bOk && CopyVolume(strOut, all[i], placed[i]);
    if (!bOk) return Fail(pError, "cannot write " + strOut);
    if (pPlaced) *pPlaced = placed;
    return true;
}

bool WriteApmDisk(const std::string& strOut, const std::vector<Volume>& volumes,
                  std::vector<Placed>* pPlaced, std::string* pError) {
    const uint32_t nMapBlocks = 63, nEntries = static_cast<uint32_t>(volumes.size() + 1);
    if (nEntries > nMapBlocks) return Fail(pError, "too many map entries");
    std::vector<unsigned char> head(kSector * (1 + nEntries), 0);
    auto putEntry = [&](uint32_t n, uint64_t u64Start, uint64_t u64Count,
                        const std::string& strName, const std::string& strType,
                        uint32_t nDataStart) {
        unsigned char* e = &head[kSector * (1 + n)];
        std::memcpy(e, "PM", 2);
        PutBe(e + 4, nEntries, 4);
        PutBe(e + 8, u64Start, 4);
        PutBe(e + 12, u64Count, 4);
        std::memcpy(e + 16, strName.data(), std::min<size_t>(strName.size(), 32));
        std::memcpy(e + 48, strType.data(), std::min<size_t>(strType.size(), 32));
        PutBe(e + 80, nDataStart, 4);
        PutBe(e + 84, u64Count - nDataStart, 4);
        PutBe(e + 88, 0x37, 4);  // valid, allocated, in use, readable, writable
    };
    putEntry(0, 1, nMapBlocks, "Apple", "Apple_partition_map", 0);
    std::vector<Placed> placed(volumes.size());
    uint64_t u64Cursor = 1 + nMapBlocks;
    for (size_t i = 0; i < volumes.size(); ++i) {
        const Volume& v = volumes[i];
        if (!VolumeSectors(v, placed[i].u64Sectors, pError)) return false;
        const uint64_t u64Physical = AlignUp(u64Cursor);
        putEntry(static_cast<uint32_t>(i + 1), u64Physical, placed[i].u64Sectors + v.nApmDataStart,
                 v.strName, v.strApmType, v.nApmDataStart);
        placed[i].u64StartSector = u64Physical + v.nApmDataStart;
        u64Cursor = placed[i].u64StartSector + placed[i].u64Sectors;
    }
    std::memcpy(head.data(), "ER", 2);
    PutBe(&head[2], kSector, 2);
    PutBe(&head[4], u64Cursor, 4);
    bool bOk = CreateSparseFile(strOut, u64Cursor * kSector) &&
               WriteAt(strOut, 0, head.data(), head.size());
    for (size_t i = 0; i < volumes.size(); ++i)
        bOk = bOk && CopyVolume(strOut, volumes[i], placed[i]);
    if (!bOk) return Fail(pError, "cannot write " + strOut);
    if (pPlaced) *pPlaced = placed;
    return true;
}

bool Sfdisk(const std::string& strImage, const std::string& strScript,
            const std::string& strFlags) {
    return RunCommand("printf %s " + ShellQuote(strScript) + " | " + FindTool("sfdisk") + " -q " +
                      strFlags + " " + ShellQuote(strImage) + " >/dev/null 2>&1") == 0;
}

bool Sgdisk(const std::string& strImage, const std::string& strArgs) {
    return RunCommand(FindTool("sgdisk") + " " + strArgs + " " + ShellQuote(strImage) +
                      " >/dev/null 2>&1") == 0;
}

std::vector<ToolPartition> SfdiskLayout(const std::string& strImage) {
    std::string strJson;
    if (RunCommand(FindTool("sfdisk") + " --json " + ShellQuote(strImage), &strJson) != 0)
        return {};
    const std::regex re(
        R"re("node":\s*"[^"]*?(\d+)",\s*"start":\s*(\d+),\s*"size":\s*(\d+),\s*"type":\s*"([0-9a-f]+)")re");
    std::vector<ToolPartition> primaries, logicals;
    for (std::sregex_iterator it(strJson.begin(), strJson.end(), re), end; it != end; ++it) {
        const uint64_t u64Start = std::stoull((*it)[2]);
        ToolPartition p{u64Start, u64Start + std::stoull((*it)[3]) - 1, ""};
        const std::string strType = (*it)[4];
        if (std::stoi((*it)[1]) > 4) {
            logicals.push_back(p);
        } else {
            // An extended slot stands for its logicals.
            primaries.push_back(strType == "5" || strType == "f" ? ToolPartition{0, 0, "*"} : p);
        }
    }
    std::vector<ToolPartition> out;
    for (const ToolPartition& p : primaries) {
        if (p.strName == "*") {
            out.insert(out.end(), logicals.begin(), logicals.end());
        } else {
            out.push_back(p);
        }
    }
    return out;
}

std::vector<ToolPartition> SgdiskLayout(const std::string& strImage) {
    std::string strOut;
    if (RunCommand(FindTool("sgdisk") + " -p " + ShellQuote(strImage), &strOut) != 0) return {};
    // number, first, last, size, unit, code, name
    const std::regex re(R"(^\s+\d+\s+(\d+)\s+(\d+)\s+\S+\s+\S+\s+[0-9A-F]{4}\s\s(.*)$)");
    std::vector<ToolPartition> out;
    std::istringstream in(strOut);
    std::string strLine;
    std::smatch m;
    while (std::getline(in, strLine)) {
        if (std::regex_match(strLine, m, re)) {
            out.push_back({std::stoull(m[1]), std::stoull(m[2]), m[3]});
        }
    }
    return out;
}

bool TempDiskDir::AddDisk(int nDiskNo, const std::string& strImage) {
    const std::string strLink = m_dir.File("disk" + std::to_string(nDiskNo));
    ::unlink(strLink.c_str());
    return ::symlink(strImage.c_str(), strLink.c_str()) == 0;
}

}  // namespace twtest
