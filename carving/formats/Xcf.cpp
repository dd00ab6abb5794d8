// GIMP images, measured by their layers, channels and tiles.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsXcfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 14) || !At(pBuf, nLen, 0, "gimp xcf ")) return kNone;
    if (At(pBuf, nLen, 9, "file", 5)) return FILE_TYPE_XCF;
    const bool bDigits = pBuf[10] >= '0' && pBuf[10] <= '9' && pBuf[11] >= '0' && pBuf[11] <= '9' &&
                         pBuf[12] >= '0' && pBuf[12] <= '9';
    return pBuf[9] == 'v' && bDigits && pBuf[13] == 0 ? FILE_TYPE_XCF : kNone;
}

namespace {

// The file's offsets: 32 bits up to version 10, 64 bits from version 11.
struct CXcf {
    CFileBytes& f;
    bool b64;
    bool bRle = false;
    uint64_t u64End = 0;  // the furthest byte reached
    bool Pointer(uint64_t& u64Off, uint64_t& u64Value) {
        const unsigned char* p = f.Get(u64Off, b64 ? 8 : 4);
        if (!p) return false;
        u64Value = b64 ? Be64(p) : Be32(p);
        u64Off += b64 ? 8 : 4;
        return true;
    }
    void Reach(uint64_t u64Off) {
        if (u64Off > u64End) u64End = u64Off;
    }
    // A property list up to PROP_END; the compression property is noted.
    bool Properties(uint64_t& u64Off) {
        for (int n = 0; n < 100000; ++n) {
            const unsigned char* p = f.Get(u64Off, 8);
            if (!p) return false;
            const uint32_t nType = Be32(p), nLen = Be32(p + 4);
            if (nType == 17) {
                const unsigned char* c = f.Get(u64Off + 8, 1);
                if (!c) return false;
                bRle = c[0] == 1;
                if (c[0] > 1) return false;  // zlib tiles: no length to walk by
            }
            if (!f.Advance(u64Off, 8 + static_cast<uint64_t>(nLen))) return false;
            if (nType == 0) return true;
        }
        return false;
    }
    // A string: a 32-bit length and that many bytes.
    bool String(uint64_t& u64Off) {
        const unsigned char* p = f.Get(u64Off, 4);
        if (!p) return false;
        u64Off += 4 + static_cast<uint64_t>(Be32(p));
        return true;
    }
    // The bytes of one RLE tile of nPixels pixels of nBpp bytes.
    bool RleTile(uint64_t u64Off, uint64_t u64Pixels, uint32_t nBpp, uint64_t& u64TileEnd) {
        for (uint32_t c = 0; c < nBpp; ++c) {
            for (uint64_t u64Done = 0; u64Done < u64Pixels;) {
                const unsigned char* p = f.Get(u64Off, 3);
                if (!p) p = f.Get(u64Off, 2);
                if (!p) return false;
                uint64_t u64Run = 0;
                if (p[0] >= 128) {  // literal bytes
                    u64Run = p[0] == 128 ? Be16(p + 1) : 256u - p[0];
                    u64Off += (p[0] == 128 ? 3 : 1) + u64Run;
                } else {  // one byte repeated
                    u64Run = p[0] == 127 ? Be16(p + 1) : p[0] + 1u;
                    u64Off += (p[0] == 127 ? 3 : 1) + 1;
                }
                if (u64Run == 0) return false;
                u64Done += u64Run;
            }
        }
        u64TileEnd = u64Off;
        return true;
    }
    // A hierarchy: its levels' tiles, 64 by 64 pixels each.
    bool Hierarchy(uint64_t u64Off) {
        const unsigned char* p = f.Get(u64Off, 12);
        if (!p) return false;
        const uint32_t nBpp = Be32(p + 8);
        if (nBpp == 0 || nBpp > 64) return false;
        u64Off += 12;
        for (int nLevel = 0; nLevel < 64; ++nLevel) {
            uint64_t u64Level = 0;
            if (!Pointer(u64Off, u64Level)) return false;
            Reach(u64Off);
            if (u64Level == 0) return true;
            const unsigned char* l = f.Get(u64Level, 8);
            if (!l) return false;
            const uint64_t w = Be32(l), h = Be32(l + 4);
            uint64_t u64Tile = u64Level + 8;
            const uint64_t u64Tiles = ((w + 63) / 64) * ((h + 63) / 64);
            for (uint64_t t = 0; t <= u64Tiles; ++t) {
                uint64_t u64TileOff = 0;
                if (!Pointer(u64Tile, u64TileOff)) return false;
                Reach(u64Tile);
                if (u64TileOff == 0) break;
                if (t == u64Tiles) return false;  // the list must end after the tiles
                const uint64_t tw = (t % ((w + 63) / 64) + 1) * 64 > w ? w % 64 : 64;
                const uint64_t th = (t / ((w + 63) / 64) + 1) * 64 > h ? h % 64 : 64;
                uint64_t u64TileEnd = u64TileOff;
                if (!f.Advance(u64TileEnd, tw * th * nBpp)) return false;
                if (bRle && !RleTile(u64TileOff, tw * th, nBpp, u64TileEnd)) return false;
                Reach(u64TileEnd);
            }
        }
        return false;
    }
    // A layer or channel: its header, properties and hierarchy (and a
    // layer's mask channel).
    bool Item(uint64_t u64Off, bool bLayer) {
        u64Off += bLayer ? 12 : 8;  // width, height (and a layer's type)
        if (!String(u64Off) || !Properties(u64Off)) return false;
        uint64_t u64Hierarchy = 0, u64Mask = 0;
        if (!Pointer(u64Off, u64Hierarchy)) return false;
        if (bLayer && !Pointer(u64Off, u64Mask)) return false;
        Reach(u64Off);
        if (u64Hierarchy && !Hierarchy(u64Hierarchy)) return false;
        return !u64Mask || Item(u64Mask, false);
    }
};

}  // namespace

uint64_t GetXcfStructSize(CFileBytes& f) {
    const unsigned char* p = f.Get(0, 14);
    if (!p || !Is(p, "gimp xcf ")) return 0;
    int nVersion = 0;
    if (Is(p + 9, "v") && p[13] == 0)
        nVersion = (p[10] - '0') * 100 + (p[11] - '0') * 10 + (p[12] - '0');
    else if (!Is(p + 9, "file"))
        return 0;
    CXcf x{f, nVersion >= 11};
    uint64_t u64Off = 14 + 12 + (nVersion >= 4 ? 4 : 0);  // width, height, base type, precision
    if (!x.Properties(u64Off)) return 0;
    // Layer pointers, then channel pointers, each list ended by 0.
    for (int nList = 0; nList < 2; ++nList) {
        for (int n = 0;; ++n) {
            uint64_t u64Item = 0;
            if (n > 100000 || !x.Pointer(u64Off, u64Item)) return 0;
            x.Reach(u64Off);
            if (u64Item == 0) break;
            if (!x.Item(u64Item, nList == 0)) return 0;
        }
    }
    return f.Get(x.u64End - 1, 1) ? x.u64End : 0;
}

unsigned long long CFileTypeJudge::GetXCFFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(kGiB, GetXcfStructSize,
                       [&] { return GetDefaultPictureFileBytesSize(pBuf, nLen); });
}

// Registration.
const CARVE_SIGNATURE kXcfSignatures[] = {
    TW_SIG(0, "gimp xcf "),
};
const CARVE_ROW kXcfRows[] = {
    {"xcf", FILE_TYPE_XCF, TW_CATEGORY_PHOTO, &CFileTypeJudge::GetXCFFileBytesSize},
};

TW_CARVE_FORMAT(Xcf, &CFileTypeJudge::IsXcfType, kXcfSignatures, kXcfRows);
