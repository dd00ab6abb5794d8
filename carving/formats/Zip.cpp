// ZIP archives and the containers named by their first member (OpenDocument,
// EPUB, JAR, APK), measured by their headers and central directory.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"
#include "common/DiskReader.h"
#include <algorithm>

using namespace carve;

const CARVE_SIGNATURE kZipSignatures[] = {
    TW_SIG(0, "\x50\x4B\x03\x04"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsZipType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 48)) return kNone;
    return AtSignature(kZipSignatures, pBuf, nLen) ? FILE_TYPE_ZIP : kNone;
}

const char* CFileTypeJudge::GetZipContainerExtension(const unsigned char* pBuf, int nLen) {
    CCarveContext& ctx = Ctx();
    if (!At(pBuf, nLen, 0, kZipLocal, 4) || nLen < 30) return "zip";
    const int nName = pBuf[26] | (pBuf[27] << 8);
    const int nData = 30 + nName + (pBuf[28] | (pBuf[29] << 8));
    auto named = [&](const char* sz) {
        return nName == static_cast<int>(std::strlen(sz)) && At(pBuf, nLen, 30, sz);
    };
    if (named("mimetype") && pBuf[8] == 0 && pBuf[9] == 0) {  // stored, as it must be
        static const char* const kTypes[][2] = {
            {"application/vnd.oasis.opendocument.text", "odt"},
            {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
            {"application/vnd.oasis.opendocument.presentation", "odp"},
            {"application/vnd.oasis.opendocument.graphics", "odg"},
            {"application/epub+zip", "epub"}};
        for (const auto& t : kTypes)
            if (At(pBuf, nLen, nData, t[0])) return t[1];
        return "zip";
    }
    if (named("AndroidManifest.xml")) return "apk";
    if (nName < 9 || !At(pBuf, nLen, 30, "META-INF/")) return "zip";
    // A Java archive, or an Android package signed as one: what there is of
    // its first 64 KiB (the medium may end sooner).
    const int nBps = ctx.m_nBytesPerSector;
    if (!ctx.m_pDiskReader || nBps <= 0 || nBps > 65536) return "jar";
    const unsigned long long u64Limit = ctx.m_pDiskReader->GetSectorLimit();
    const int nSectors = static_cast<int>(std::min<unsigned long long>(
        65536 / nBps, u64Limit > ctx.m_u64CurrentSector ? u64Limit - ctx.m_u64CurrentSector : 0));
    std::vector<unsigned char> buf(static_cast<size_t>(nSectors) * nBps);
    unsigned int nRead = 0;
    if (nSectors > 0)
        ctx.m_pDiskReader->ReadData(buf.data(), nSectors,
                                    static_cast<long long>(ctx.m_u64CurrentSector), nBps, &nRead);
    buf.resize(static_cast<size_t>(nRead) * nBps);
    const int nHave = static_cast<int>(buf.size());
    for (int p = Find(buf.data(), 0, nHave, kZipLocal, 4); p >= 0 && p + 30 <= nHave;
         p = Find(buf.data(), p + 4, nHave, kZipLocal, 4)) {
        if (At(buf.data(), nHave, p + 30, "AndroidManifest.xml") ||
            At(buf.data(), nHave, p + 30, "classes.dex"))
            return "apk";
    }
    return "jar";
}

uint64_t GetZipStructSize(CFileBytes& f) {
    static const unsigned char kDescriptor[4] = {0x50, 0x4B, 0x07, 0x08};
    uint64_t u64Off = 0;
    const unsigned char* p = nullptr;
    // The local entries, each stepped over by its sizes.
    for (;;) {
        p = f.Get(u64Off, 30);
        if (!p) p = f.Get(u64Off, 4);
        if (!p) return 0;
        const uint32_t nSig = Le32(p);
        if (nSig == 0x02014B50 || nSig == 0x06054B50) break;
        if (nSig == 0x08064B50) {  // archive extra data
            p = f.Get(u64Off, 8);
            if (!p || !f.Advance(u64Off, 8 + static_cast<uint64_t>(Le32(p + 4)))) return 0;
            continue;
        }
        if (nSig != 0x04034B50 || !f.Get(u64Off, 30)) return 0;
        const uint16_t nFlags = Le16(p + 6);
        uint64_t u64Packed = Le32(p + 18);
        const uint64_t u64Data = u64Off + 30 + Le16(p + 26) + Le16(p + 28);
        if (u64Packed == 0xFFFFFFFFu) {
            // A 64-bit size in the extra field's first record of id 1.
            const uint16_t nName = Le16(p + 26), nExtra = Le16(p + 28);
            const unsigned char* x = f.Get(u64Off + 30 + nName, nExtra);
            if (!x) return 0;
            bool bFound = false;
            for (uint32_t i = 0; i + 4 <= nExtra;) {
                const uint16_t nId = Le16(x + i), nSize = Le16(x + i + 2);
                if (nId == 1 && nSize >= 16 && i + 4 + 16 <= nExtra) {
                    u64Packed = Le64(x + i + 12);
                    bFound = true;
                    break;
                }
                i += 4 + nSize;
            }
            if (!bFound) return 0;
        }
        // Sizes from the medium move the walk only forward and within reach.
        uint64_t u64End = u64Data;
        if (!f.Advance(u64End, u64Packed)) return 0;
        if (nFlags & 8) {
            // Sizes follow the data in a descriptor; with no size in the header
            // it is the first descriptor whose packed size spans the data.
            uint64_t u64At = u64Packed ? u64End : kNotFound;
            for (uint64_t u64From = u64Data; u64At == kNotFound;) {
                uint64_t u64Hit = f.Find4(u64From, f.Reach(), kDescriptor);
                if (u64Hit == kNotFound) return 0;
                const unsigned char* d = f.Get(u64Hit, 16);
                if (!d) return 0;
                if (Le32(d + 8) == u64Hit - u64Data) u64At = u64Hit;
                u64From = u64Hit + 1;
            }
            const unsigned char* d = f.Get(u64At, 4);
            if (!d) return 0;
            u64Off = u64At + (Le32(d) == 0x08074B50 ? 16 : 12);
        } else {
            u64Off = u64End;
        }
    }
    // The central directory, a signature, the 64-bit end records, the end record.
    const uint64_t u64Central = u64Off;
    for (;;) {
        p = f.Get(u64Off, 4);
        if (!p) return 0;
        const uint32_t nSig = Le32(p);
        if (nSig == 0x02014B50) {
            p = f.Get(u64Off, 46);
            if (!p) return 0;
            u64Off += 46 + static_cast<uint64_t>(Le16(p + 28)) + Le16(p + 30) + Le16(p + 32);
        } else if (nSig == 0x05054B50) {
            p = f.Get(u64Off, 6);
            if (!p) return 0;
            u64Off += 6 + static_cast<uint64_t>(Le16(p + 4));
        } else if (nSig == 0x06064B50) {
            p = f.Get(u64Off, 12);
            if (!p) return 0;
            if (!f.Advance(u64Off, 12) || !f.Advance(u64Off, Le64(p + 4))) return 0;
        } else if (nSig == 0x07064B50) {
            u64Off += 20;
        } else if (nSig == 0x06054B50) {
            p = f.Get(u64Off, 22);
            if (!p) return 0;
            // The end record names where the central directory begins.
            const uint32_t nCentral = Le32(p + 16);
            if (nCentral != 0xFFFFFFFFu && nCentral != u64Central) return 0;
            const uint64_t u64End = u64Off + 22 + Le16(p + 20);
            return f.Get(u64End - 1, 1) ? u64End : 0;
        } else {
            return 0;
        }
    }
}

namespace {

// Bytes to the end of the last ZIP end-of-central-directory record in the
// buffer (its comment included when the buffer holds it), or -1.
long ZipEndInChunk(const unsigned char* pBuf, long nLen) {
    static const unsigned char kEocd[] = {0x50, 0x4B, 0x05, 0x06};
    long nPos = FindLastBytes(pBuf, nLen, kEocd, sizeof(kEocd));
    if (nPos < 0) return -1;
    long nEnd = nPos + 22;
    if (nEnd <= nLen) {
        long nComment = Le16(pBuf + nPos + 20);
        if (nEnd + nComment <= nLen) nEnd += nComment;
    }
    return nEnd;
}

enum EEndTest { END_OF_FILE, END_OF_VEDIO, END_OF_MPG };

struct CZipEndSearch : IChunkSearch {
    bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool, u64& u64Size) override {
        long nEnd = ZipEndInChunk(pChunk, nLen);
        if (nEnd < 0) return false;
        u64Size = u64Before + static_cast<u64>(nEnd);
        return true;
    }
};

}  // namespace

u64 carve::MeasureZipArchive(u64 u64Budget) {
    return StructureOr(u64Budget, GetZipStructSize, [u64Budget] {
        CZipEndSearch search;
        return WalkSectors(u64Budget, END_OF_FILE, &search);
    });
}

unsigned long long CFileTypeJudge::GetZIPFileBytesSize(const unsigned char*, int) {
    return MeasureZipArchive(4 * kGiB);
}

// Registration.
const CARVE_ROW kZipRows[] = {
    {"zip", FILE_TYPE_ZIP, TW_CATEGORY_ARCHIVE, &CFileTypeJudge::GetZIPFileBytesSize},
};

TW_CARVE_FORMAT(Zip, &CFileTypeJudge::IsZipType, kZipSignatures, kZipRows);
