// Ogg streams (Vorbis, Opus, Theora), measured by their pages.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsOggType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 28)) return kNone;
    // The first page of a logical stream, and the codec its first packet names.
    if (!At(pBuf, nLen, 0, "OggS") || pBuf[4] != 0 || !(pBuf[5] & 2)) return kNone;
    const int nPacket = 27 + pBuf[26];
    if (At(pBuf, nLen, nPacket, "OpusHead")) return FILE_TYPE_OPUS;
    if (At(pBuf, nLen, nPacket, "\x80theora")) return FILE_TYPE_OGV;
    return FILE_TYPE_OGG;
}

uint64_t GetOggStructSize(CFileBytes& f) {
    // Pages until every logical stream begun here has its last page.
    std::vector<uint32_t> vecOpen;
    uint64_t u64Off = 0;
    for (uint64_t u64Page = 0;; ++u64Page) {
        const unsigned char* p = f.Get(u64Off, 27);
        if (!p || !Is(p, "OggS") || p[4] != 0) return u64Page > 0 ? u64Off : 0;
        const unsigned char nFlags = p[5];
        const uint32_t nSerial = Le32(p + 14);
        const uint32_t nSegments = p[26];
        const unsigned char* s = f.Get(u64Off + 27, nSegments ? nSegments : 1);
        if (!s) return 0;
        uint64_t u64Body = 0;
        for (uint32_t i = 0; i < nSegments; ++i) u64Body += s[i];
        if (nFlags & 2) {
            // A first page after all streams ended belongs to the next file.
            if (u64Page > 0 && vecOpen.empty()) return u64Off;
            if (vecOpen.size() >= 256) return 0;
            vecOpen.push_back(nSerial);
        } else if (u64Page == 0) {
            return 0;
        }
        const uint64_t u64End = u64Off + 27 + nSegments + u64Body;
        if (!f.Get(u64End - 1, 1)) return 0;
        u64Off = u64End;
        if (nFlags & 4) {
            for (size_t i = 0; i < vecOpen.size(); ++i) {
                if (vecOpen[i] == nSerial) {
                    vecOpen.erase(vecOpen.begin() + static_cast<long>(i));
                    break;
                }
            }
            if (vecOpen.empty()) return u64Off;
        }
    }
}

unsigned long long CFileTypeJudge::GetOGGFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(4 * kGiB, GetOggStructSize,
                       [&] { return GetDefaultAudioFileBytesSize(pBuf, nLen); });
}

// Registration.
const CARVE_SIGNATURE kOggSignatures[] = {
    TW_SIG(0, "OggS"),
};
const CARVE_ROW kOggRows[] = {
    {"ogg", FILE_TYPE_OGG, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetOGGFileBytesSize},
    {"oga", FILE_TYPE_OGG, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetOGGFileBytesSize},
    {"ogv", FILE_TYPE_OGV, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetOGGFileBytesSize},
    {"opus", FILE_TYPE_OPUS, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetOGGFileBytesSize},
};

TW_CARVE_FORMAT(Ogg, &CFileTypeJudge::IsOggType, kOggSignatures, kOggRows);
