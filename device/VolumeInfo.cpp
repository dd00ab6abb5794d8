#include "device/VolumeInfo.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/ByteOrder.h"
#include "common/Platform.h"
#include "common/StoreFiles.h"
#include "device/FsRecognize.h"

namespace {

// Boot sectors of up to 4 KiB; at most this much of a root folder or
// metadata record is read for a label.
constexpr size_t kBootBytes = 4096;
constexpr size_t kLabelArea = 64 * 1024;

std::string Trimmed(std::string str) {
    while (!str.empty() && (str.back() == ' ' || str.back() == '\0')) str.pop_back();
    return str;
}

// Reads nLength bytes (clipped to kLabelArea) at u64Offset; empty when short.
std::vector<unsigned char> ReadArea(const VolumeReader& read, uint64_t u64Offset,
                                    uint64_t u64Length) {
    std::vector<unsigned char> buf(static_cast<size_t>(std::min<uint64_t>(u64Length, kLabelArea)));
    if (buf.empty() || read(u64Offset, buf.data(), buf.size()) != buf.size()) buf.clear();
    return buf;
}

std::string Utf16LeToUtf8(const unsigned char* p, size_t nUnits) {
    std::u16string units(nUnits, 0);
    for (size_t i = 0; i < nUnits; ++i) units[i] = static_cast<char16_t>(Le16(p + 2 * i));
    return Utf16ToUtf8(units.data(), nUnits);
}

// FAT: the volume-label entry of the root folder (what systems show), else
// the boot sector's copy unless it is the "NO NAME" placeholder.
bool RecognizeFat(const VolumeReader& read, const unsigned char* b, TW_VOLUME_INFO& info) {
    if (!IsFat(b)) return false;
    const uint64_t nBps = Le16(b + 11), nSpc = b[13], nReserved = Le16(b + 14), nFats = b[16];
    const bool bFat32Form = Le16(b + 22) == 0;
    const uint64_t nFatSize = bFat32Form ? Le32(b + 36) : Le16(b + 22);
    const uint64_t nTotal = Le16(b + 19) ? Le16(b + 19) : Le32(b + 32);
    const uint64_t nRootSectors = (Le16(b + 17) * 32ull + nBps - 1) / nBps;
    const uint64_t u64Data = nReserved + nFats * nFatSize + nRootSectors;
    const uint64_t u64Clusters = nTotal > u64Data ? (nTotal - u64Data) / nSpc : 0;
    info.strFileSystem = bFat32Form ? "FAT32" : u64Clusters < 4085 ? "FAT12" : "FAT16";
    uint64_t u64Root = (nReserved + nFats * nFatSize) * nBps, u64RootBytes = nRootSectors * nBps;
    if (bFat32Form) {
        const uint64_t nRootCluster = Le32(b + 44);
        u64Root = nRootCluster >= 2 ? (u64Data + (nRootCluster - 2) * nSpc) * nBps : 0;
        u64RootBytes = u64Root ? nSpc * nBps : 0;
    }
    const std::vector<unsigned char> root = ReadArea(read, u64Root, u64RootBytes);
    for (size_t o = 0; o + 32 <= root.size() && root[o] != 0; o += 32) {
        // The label entry: the volume bit, not a folder nor a long-name entry, not deleted.
        const unsigned char nAttr = root[o + 11];
        if (root[o] == 0xE5 || (nAttr & 0x18) != 0x08 || (nAttr & 0x0F) == 0x0F) continue;
        info.strLabel =
            Trimmed(tw::NarrowToUtf8(std::string(root.begin() + o, root.begin() + o + 11).c_str()));
        return true;
    }
    const std::string strBoot(reinterpret_cast<const char*>(b + (bFat32Form ? 71 : 43)), 11);
    if (Trimmed(strBoot) != "NO NAME") info.strLabel = Trimmed(tw::NarrowToUtf8(strBoot.c_str()));
    return true;
}

// exFAT: the label entry (0x83) of the root folder's first cluster.
bool RecognizeExFat(const VolumeReader& read, const unsigned char* b, TW_VOLUME_INFO& info) {
    if (!IsExFat(b)) return false;
    info.strFileSystem = "exFAT";
    const unsigned nSectorShift = b[108], nClusterShift = b[109];
    const uint64_t u64Root = (Le32(b + 88) + ((Le32(b + 96) - 2ull) << nClusterShift))
                             << nSectorShift;
    const std::vector<unsigned char> root =
        ReadArea(read, u64Root, 1ull << (nSectorShift + nClusterShift));
    for (size_t o = 0; o + 32 <= root.size() && root[o] != 0; o += 32) {
        if (root[o] != 0x83) continue;
        info.strLabel = Trimmed(Utf16LeToUtf8(&root[o + 2], std::min<size_t>(root[o + 1], 11)));
        break;
    }
    return true;
}

// NTFS: the name attribute (0x60) of the volume record, the fourth of the MFT.
bool RecognizeNtfs(const VolumeReader& read, const unsigned char* b, TW_VOLUME_INFO& info) {
    if (!IsNtfs(b)) return false;
    info.strFileSystem = "NTFS";
    const uint64_t nBps = Le16(b + 11), nSpc = NtfsSectorsPerCluster(b[13], Le16(b + 11));
    const int8_t nRecordCode = static_cast<int8_t>(b[64]);
    const uint64_t u64Record = nRecordCode > 0     ? nRecordCode * nSpc * nBps
                               : nRecordCode > -31 ? 1ull << -nRecordCode
                                                   : 0;
    const uint64_t u64Mft = Le64(b + 48);
    if (u64Record < 1024 || u64Record > 4096 || u64Mft > (1ull << 40)) return true;
    std::vector<unsigned char> rec =
        ReadArea(read, u64Mft * nSpc * nBps + 3 * u64Record, u64Record);
    if (rec.empty() || std::memcmp(rec.data(), "FILE", 4) != 0) return true;
    // The update sequence: the last two bytes of every 512 are kept in the array.
    const size_t nUsa = Le16(&rec[4]), nUsaCount = Le16(&rec[6]);
    if (nUsaCount != rec.size() / 512 + 1 || nUsa + 2 * nUsaCount > rec.size()) return true;
    for (size_t i = 1; i < nUsaCount; ++i) {
        if (Le16(&rec[i * 512 - 2]) != Le16(&rec[nUsa])) return true;
        std::memcpy(&rec[i * 512 - 2], &rec[nUsa + 2 * i], 2);
    }
    for (size_t o = Le16(&rec[20]); o + 24 <= rec.size();) {
        const uint32_t nType = Le32(&rec[o]), nLength = Le32(&rec[o + 4]);
        if (nType == 0xFFFFFFFFu || nLength < 24 || nLength > rec.size() - o) break;
        const size_t nValue = Le16(&rec[o + 20]), nValueLength = Le32(&rec[o + 16]);
        if (nType == 0x60 && rec[o + 8] == 0 && nValue <= nLength &&
            nValueLength <= nLength - nValue) {
            info.strLabel = Utf16LeToUtf8(&rec[o + nValue], nValueLength / 2);
            break;
        }
        o += nLength;
    }
    return true;
}

// ext2, ext3, ext4: type by the superblock's features, and its label.
bool RecognizeExt(const VolumeReader&, const unsigned char* b, TW_VOLUME_INFO& info) {
    const char* szType = GetExtVolumeType(b);
    if (!szType) return false;
    info.strFileSystem = szType;
    char szLabel[17];
    GetExtVolumeLabel(b, szLabel);
    info.strLabel = Trimmed(tw::NarrowToUtf8(szLabel));
    return true;
}

using Recognizer = bool (*)(const VolumeReader&, const unsigned char*, TW_VOLUME_INFO&);
// In the order the engine factory tests them.
const Recognizer kRecognizers[] = {RecognizeNtfs, RecognizeFat, RecognizeExt, RecognizeExFat};

}  // namespace

bool RecognizeVolume(const VolumeReader& read, TW_VOLUME_INFO& info) {
    info = TW_VOLUME_INFO();
    std::vector<unsigned char> boot(kBootBytes, 0);
    const size_t nRead = read(0, boot.data(), boot.size());
    info.bReadable = nRead >= 512;
    if (!info.bReadable) return false;
    for (Recognizer pfn : kRecognizers)
        if (pfn(read, boot.data(), info)) return true;
    return false;
}

bool RecognizeVolumeAt(int fd, uint64_t u64Start, TW_VOLUME_INFO& info) {
    return RecognizeVolume(
        [fd, u64Start](uint64_t u64Offset, unsigned char* pBuf, size_t nLength) -> size_t {
            const uint64_t u64At = u64Start + u64Offset;
            if (u64At < u64Start || u64At > (1ull << 62)) return 0;
            const ssize_t nGot = ReadFullAt(fd, pBuf, nLength, static_cast<off_t>(u64At));
            return nGot > 0 ? static_cast<size_t>(nGot) : 0;
        },
        info);
}

std::string Utf16ToUtf8(const char16_t* pUnits, size_t nUnits) {
    std::string out;
    for (size_t i = 0; i < nUnits && pUnits[i]; ++i) {
        uint32_t c = pUnits[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < nUnits && pUnits[i + 1] >= 0xDC00 &&
            pUnits[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (pUnits[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // an unpaired surrogate
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
