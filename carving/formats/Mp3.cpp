// MP3 with an ID3v2 tag, measured by its frames or to its ID3v1 tag.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsMp3Type(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 10)) return kNone;
    if (!At(pBuf, nLen, 0, "ID3") || pBuf[3] == 0xFF || pBuf[4] == 0xFF || (pBuf[5] & 0x1F)) {
        return kNone;
    }
    for (int i = 6; i <= 9; ++i) {
        if (pBuf[i] >= 0x80) return kNone;
    }
    return FILE_TYPE_MP3;
}

namespace {

// Length of the MPEG audio frame whose header is p, or 0 when p is no header.
uint32_t Mp3FrameLength(const unsigned char* p) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return 0;
    const int nVersion = (p[1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int nLayer = (p[1] >> 1) & 3;    // 3: I, 2: II, 1: III
    const int nRate = p[2] >> 4, nFreq = (p[2] >> 2) & 3, nPad = (p[2] >> 1) & 1;
    if (nVersion == 1 || nLayer == 0 || nRate == 0 || nRate == 15 || nFreq == 3) return 0;
    static const uint16_t kRates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
    static const uint32_t kFreqs[3] = {44100, 48000, 32000};
    const bool bV1 = nVersion == 3;
    const int nTable = bV1 ? 3 - nLayer : (nLayer == 3 ? 3 : 4);
    const uint32_t nBitRate = kRates[nTable][nRate] * 1000u;
    const uint32_t nFreq2 = kFreqs[nFreq] >> (bV1 ? 0 : (nVersion == 2 ? 1 : 2));
    if (nLayer == 3) return (12 * nBitRate / nFreq2 + nPad) * 4;
    if (nLayer == 1 && !bV1) return 72 * nBitRate / nFreq2 + nPad;
    return 144 * nBitRate / nFreq2 + nPad;
}

}  // namespace

uint64_t GetMp3StructSize(CFileBytes& f) {
    uint64_t u64Off = 0;
    const unsigned char* p = f.Get(0, 10);
    if (!p) return 0;
    if (Is(p, "ID3")) {
        for (int i = 6; i < 10; ++i)
            if (p[i] & 0x80) return 0;
        u64Off = 10 + ((static_cast<uint64_t>(p[6]) << 21) | (p[7] << 14) | (p[8] << 7) | p[9]);
        if (p[5] & 0x10) u64Off += 10;  // footer
    }
    // Frames of the first frame's version, layer and sampling rate.
    unsigned char szFirst[3] = {0, 0, 0};
    uint64_t u64Frames = 0;
    for (;;) {
        p = f.Get(u64Off, 4);
        if (!p) break;
        const uint32_t nLen = Mp3FrameLength(p);
        if (nLen < 4) break;
        if (u64Frames == 0) {
            szFirst[0] = p[1] & 0xFE;
            szFirst[1] = p[2] & 0x0C;
        } else if ((p[1] & 0xFE) != szFirst[0] || (p[2] & 0x0C) != szFirst[1]) {
            break;
        }
        if (!f.Get(u64Off + nLen - 1, 1)) break;  // a frame cut by the area's end
        u64Off += nLen;
        ++u64Frames;
    }
    if (u64Frames < 2) return 0;
    // The tags after the frames: an APE tag with its header, then ID3v1.
    p = f.Get(u64Off, 32);
    if (p && Is(p, "APETAGEX") && (Le32(p + 20) & 0x20000000u)) {
        const uint64_t u64End = u64Off + 32 + Le32(p + 12);
        if (f.Get(u64End - 1, 1)) u64Off = u64End;
    }
    p = f.Get(u64Off, 128);
    if (p && Is(p, "TAG")) u64Off += 128;
    return u64Off;
}

unsigned long long CFileTypeJudge::GetMP3FileBytesSize(const unsigned char*, int) {
    u64 u64Frames = StructureSize(2 * kGiB, GetMp3StructSize);
    if (StructureSettled(u64Frames)) return u64Frames;
    // The 128-byte ID3v1 tag closes the file: the first "TAG" of a chunk gives
    // a candidate end; the latest one stays.
    struct CTagSearch : CCandidateSearch {
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool, u64&) override {
            long nPos = FindBytes(pChunk, nLen, 0, "TAG", 3);
            if (nPos >= 0) {
                bHave = true;
                u64Candidate = u64Before + static_cast<u64>(nPos) + 128;
            }
            return false;
        }
    } search;
    return search.Result(WalkSectors(2 * kGiB, END_OF_FILE, &search));
}

// Registration.
const CARVE_SIGNATURE kMp3Signatures[] = {
    TW_SIG(0, "ID3"),
};
const CARVE_ROW kMp3Rows[] = {
    {"mp3", FILE_TYPE_MP3, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetMP3FileBytesSize},
};

TW_CARVE_FORMAT(Mp3, &CFileTypeJudge::IsMp3Type, kMp3Signatures, kMp3Rows);
