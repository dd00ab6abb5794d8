// FLAC audio, measured by its metadata blocks and frames.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsFlacType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 42)) return kNone;
    static const unsigned char kStreamInfo[4] = {0x00, 0x00, 0x00, 0x22};
    if (!At(pBuf, nLen, 0, "fLaC")) return kNone;
    // The stream-information block (34 bytes) comes first; its last-block flag may be set.
    return At(pBuf, nLen, 5, kStreamInfo + 1, 3) && (pBuf[4] & 0x7F) == 0 ? FILE_TYPE_FLAC : kNone;
}

namespace {

unsigned char FlacCrc8(const unsigned char* p, uint32_t n) {
    unsigned char c = 0;
    for (uint32_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int b = 0; b < 8; ++b)
            c = static_cast<unsigned char>(c & 0x80 ? (c << 1) ^ 0x07 : c << 1);
    }
    return c;
}

uint16_t FlacCrc16Step(uint16_t c, unsigned char b) {
    static uint16_t kTable[256];
    static bool bReady = false;
    if (!bReady) {
        for (int i = 0; i < 256; ++i) {
            uint16_t v = static_cast<uint16_t>(i << 8);
            for (int k = 0; k < 8; ++k)
                v = static_cast<uint16_t>(v & 0x8000 ? (v << 1) ^ 0x8005 : v << 1);
            kTable[i] = v;
        }
        bReady = true;
    }
    return static_cast<uint16_t>((c << 8) ^ kTable[((c >> 8) ^ b) & 0xFF]);
}

// A FLAC frame header at p (nAvail bytes) of the given blocking kind (F8 or
// F9): its length, and its coded number; 0 when it is none.
uint32_t FlacFrameHeader(const unsigned char* p, uint32_t nAvail, unsigned char nSync,
                         uint64_t& u64Number) {
    if (nAvail < 6 || p[0] != 0xFF || p[1] != nSync) return 0;
    const int nBlock = p[2] >> 4, nRate = p[2] & 15, nChannels = p[3] >> 4;
    const int nBits = (p[3] >> 1) & 7;
    if (nBlock == 0 || nRate == 15 || nChannels >= 11 || nBits == 3 || nBits == 7 || (p[3] & 1))
        return 0;
    // The frame or sample number, coded like UTF-8 in up to seven bytes.
    const unsigned char b = p[4];
    int nCoded = 0;
    if (b < 0x80)
        nCoded = 1;
    else if ((b & 0xE0) == 0xC0)
        nCoded = 2;
    else if ((b & 0xF0) == 0xE0)
        nCoded = 3;
    else if ((b & 0xF8) == 0xF0)
        nCoded = 4;
    else if ((b & 0xFC) == 0xF8)
        nCoded = 5;
    else if ((b & 0xFE) == 0xFC)
        nCoded = 6;
    else if (b == 0xFE)
        nCoded = 7;
    else
        return 0;
    uint32_t n = 4 + static_cast<uint32_t>(nCoded);
    u64Number = nCoded == 1 ? b : (b & (0x7F >> nCoded));
    if (n > nAvail) return 0;
    for (int i = 1; i < nCoded; ++i) {
        if ((p[4 + i] & 0xC0) != 0x80) return 0;
        u64Number = (u64Number << 6) | (p[4 + i] & 0x3F);
    }
    n += nBlock == 6 ? 1 : nBlock == 7 ? 2 : 0;
    n += nRate == 12 ? 1 : (nRate == 13 || nRate == 14) ? 2 : 0;
    if (n + 1 > nAvail || FlacCrc8(p, n) != p[n]) return 0;
    return n + 1;
}

}  // namespace

uint64_t GetFlacStructSize(CFileBytes& f) {
    const unsigned char* p = f.Get(0, 42);
    if (!p || !Is(p, "fLaC") || (p[4] & 0x7F) != 0) return 0;
    const uint32_t nMinBlock = Be16(p + 8), nMaxBlock = Be16(p + 10);
    const uint32_t nMinFrame = (p[12] << 16) | (p[13] << 8) | p[14];
    const uint32_t nMaxFrame = (p[15] << 16) | (p[16] << 8) | p[17];
    const uint64_t u64Samples = (static_cast<uint64_t>(p[21] & 0x0F) << 32) | Be32(p + 22);
    // With a fixed block size the stream holds a known number of frames.
    const uint64_t u64Frames = nMinBlock == nMaxBlock && nMaxBlock && u64Samples
                                   ? (u64Samples + nMaxBlock - 1) / nMaxBlock
                                   : 0;
    uint64_t u64Off = 4;
    for (int nBlocks = 0;; ++nBlocks) {
        p = f.Get(u64Off, 4);
        if (!p || nBlocks > 100000) return 0;
        u64Off += 4 + ((static_cast<uint64_t>(p[1]) << 16) | (p[2] << 8) | p[3]);
        if (p[0] & 0x80) break;
    }
    const uint32_t nSearch = nMaxFrame ? nMaxFrame + 16 : (1u << 20);
    unsigned char nSync = 0;
    for (uint64_t u64Frame = 0;; ++u64Frame) {
        p = f.Get(u64Off, 16);
        if (!p) return 0;
        if (u64Frame == 0) nSync = p[1];
        uint64_t u64Number = 0;
        const uint32_t nHead = FlacFrameHeader(p, 16, nSync, u64Number);
        if (!nHead) return 0;
        // The next frame: the next valid header (with the next number when
        // frames are numbered), unless this is the last frame.
        const uint64_t u64Min = u64Off + (nMinFrame > nHead + 2 ? nMinFrame : nHead + 2);
        uint64_t u64Next = kNotFound;
        if (!(u64Frames && u64Frame + 1 >= u64Frames)) {
            static const unsigned char kSyncStart[4] = {0xFF, 0, 0, 0};
            for (uint64_t u64At = u64Min; u64At < u64Off + nSearch;) {
                uint32_t nAvail = 0;
                const unsigned char* s = f.Span(u64At, nAvail);
                if (!s) break;
                const void* pHit = std::memchr(s, kSyncStart[0], nAvail);
                if (!pHit) {
                    u64At += nAvail;
                    continue;
                }
                const uint64_t u64Hit =
                    u64At + static_cast<uint64_t>(static_cast<const unsigned char*>(pHit) - s);
                const unsigned char* q = f.Get(u64Hit, 16);
                uint64_t u64Num = 0;
                if (q && FlacFrameHeader(q, 16, nSync, u64Num) &&
                    (nSync == 0xF9 || u64Num == u64Number + 1)) {
                    u64Next = u64Hit;
                    break;
                }
                u64At = u64Hit + 1;
            }
        }
        if (u64Next != kNotFound) {
            u64Off = u64Next;
            continue;
        }
        // The last frame ends where its CRC-16 closes.
        uint16_t nCrc = 0;
        for (uint64_t u64At = u64Off; u64At < u64Off + nSearch;) {
            uint32_t nAvail = 0;
            const unsigned char* s = f.Span(u64At, nAvail);
            if (!s) return 0;
            for (uint32_t i = 0; i < nAvail; ++i) {
                nCrc = FlacCrc16Step(nCrc, s[i]);
                if (nCrc == 0 && u64At + i + 1 >= u64Min) return u64At + i + 1;
            }
            u64At += nAvail;
        }
        return 0;
    }
}

unsigned long long CFileTypeJudge::GetFLACFileBytesSize(const unsigned char* pBuf, int nLen) {
    return StructureOr(2 * kGiB, GetFlacStructSize,
                       [&] { return GetDefaultAudioFileBytesSize(pBuf, nLen); });
}

// Registration.
const CARVE_SIGNATURE kFlacSignatures[] = {
    TW_SIG(0, "fLaC"),
};
const CARVE_ROW kFlacRows[] = {
    {"flac", FILE_TYPE_FLAC, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetFLACFileBytesSize},
};

TW_CARVE_FORMAT(Flac, &CFileTypeJudge::IsFlacType, kFlacSignatures, kFlacRows);
