// Structure walks that find where a file really ends. Every length read from
// the medium moves an offset that the next CFileBytes::Get checks against the
// reach (64-bit sizes through CFileBytes::Advance, which refuses a wrap), so no
// walk looks past the area's end or its budget; each loop advances by at least
// one byte or stops at a fixed count, and the step budget of CFileBytes ends
// the walks that follow pointers backwards.
#include "carving/FileTypeStructure.h"

#include <cstring>

#include "carving/FileTypeJudge.h"
#include "common/ByteOrder.h"
#include "common/DiskReader.h"

namespace {

typedef uint64_t u64;
constexpr u64 kNotFound = ~0ULL;

bool Is(const unsigned char* p, const char* sz) {
    return std::memcmp(p, sz, std::strlen(sz)) == 0;
}

}  // namespace

// ---- CFileBytes --------------------------------------------------------------

CFileBytes::CFileBytes(CDiskReader* pReader, int nBytesPerSector, uint64_t u64StartSector,
                       uint64_t u64MaxBytes)
    : m_pReader(pReader), m_nBps(nBytesPerSector), m_u64Start(u64StartSector), m_u64Reach(0) {
    if (!pReader || nBytesPerSector <= 0 || nBytesPerSector > static_cast<int>(kMaxSpan)) return;
    const u64 u64Limit = pReader->GetSectorLimit();
    if (u64StartSector >= u64Limit) return;
    const u64 u64Sectors = u64Limit - u64StartSector;
    const u64 u64Bps = static_cast<u64>(nBytesPerSector);
    m_u64Reach = u64Sectors > u64MaxBytes / u64Bps ? u64MaxBytes : u64Sectors * u64Bps;
    m_u64StepBudget = 2 * m_u64Reach + kMaxSpan;
}

bool CFileBytes::Advance(uint64_t& u64Off, uint64_t n) const {
    u64 u64Next = 0;
    if (__builtin_add_overflow(u64Off, n, &u64Next) || u64Next > m_u64Reach) return false;
    u64Off = u64Next;
    return true;
}

// One more look at the bytes: false once the walk has spent its steps or was
// stopped.
bool CFileBytes::Step() {
    if (++m_u64Steps > m_u64StepBudget) return false;
    return (m_u64Steps & 0xFFFF) != 0 || Report();
}

// Progress as the sector walks report it; a stop ends the walk.
bool CFileBytes::Report() {
    if (!CFileTypeJudge::m_progressFunc) return true;
    const u64 u64Cur = CFileTypeJudge::m_u64ScanSectorCount + m_u64SectorsRead;
    const u64 u64All = CFileTypeJudge::m_u64SectorTotalCount;
    const int nPercent = (u64All ? static_cast<int>(u64Cur * 100 / u64All) : 0) + 10;
    CFileTypeJudge::m_ErrorCode = CFileTypeJudge::m_progressFunc(
        CFileTypeJudge::m_pParam, nPercent, CFileTypeJudge::m_nPercent,
        CFileTypeJudge::m_nRemaidSecond, u64Cur, u64All, CFileTypeJudge::m_u64FileCount, nullptr);
    if (CFileTypeJudge::m_ErrorCode == 0) return true;
    m_u64Reach = 0;  // the walk ends at its next step
    m_nWinLen = 0;
    return false;
}

bool CFileBytes::Load(uint64_t u64Off, uint32_t n) {
    if (n == 0 || n > kMaxSpan || u64Off >= m_u64Reach || n > m_u64Reach - u64Off) return false;
    if (u64Off >= m_u64WinOff && u64Off + n <= m_u64WinOff + m_nWinLen) return true;
    const u64 u64Bps = static_cast<u64>(m_nBps);
    // Twice the longest span, from the sector that holds the first byte.
    const u64 u64First = u64Off / u64Bps;
    u64 u64Count = (2 * kMaxSpan) / u64Bps;
    const u64 u64ReachSectors = (m_u64Reach + u64Bps - 1) / u64Bps;
    if (u64Count > u64ReachSectors - u64First) u64Count = u64ReachSectors - u64First;
    m_vecWin.resize(static_cast<size_t>(u64Count * u64Bps));
    unsigned int nRead = 0;
    m_nWinLen = 0;
    if (m_pReader->ReadData(m_vecWin.data(), static_cast<int>(u64Count),
                            static_cast<long long>(m_u64Start + u64First), m_nBps, &nRead) != 0 ||
        nRead == 0)
        return false;
    m_u64WinOff = u64First * u64Bps;
    m_nWinLen = static_cast<uint32_t>(nRead * u64Bps);
    m_u64SectorsRead += nRead;
    return Report() && u64Off + n <= m_u64WinOff + m_nWinLen;
}

const unsigned char* CFileBytes::Get(uint64_t u64Off, uint32_t n) {
    if (!Step() || !Load(u64Off, n)) return nullptr;
    return m_vecWin.data() + (u64Off - m_u64WinOff);
}

const unsigned char* CFileBytes::Span(uint64_t u64Off, uint32_t& nAvail) {
    if (!Step() || !Load(u64Off, 1)) return nullptr;
    u64 u64End = m_u64WinOff + m_nWinLen;
    if (u64End > m_u64Reach) u64End = m_u64Reach;
    nAvail = static_cast<uint32_t>(u64End - u64Off);
    return m_vecWin.data() + (u64Off - m_u64WinOff);
}

uint64_t CFileBytes::Find4(uint64_t u64From, uint64_t u64To, const unsigned char* sig) {
    u64 u64Off = u64From;
    while (u64Off < u64To) {
        uint32_t nAvail = 0;
        const unsigned char* p = Span(u64Off, nAvail);
        if (!p) return kNotFound;
        if (nAvail > u64To - u64Off) nAvail = static_cast<uint32_t>(u64To - u64Off);
        const void* pHit = std::memchr(p, sig[0], nAvail);
        if (!pHit) {
            u64Off += nAvail;
            continue;
        }
        const u64 u64At = u64Off + static_cast<u64>(static_cast<const unsigned char*>(pHit) - p);
        const unsigned char* q = Get(u64At, 4);
        if (!q) return kNotFound;
        if (std::memcmp(q, sig, 4) == 0) return u64At;
        u64Off = u64At + 1;
    }
    return kNotFound;
}

// ---- Pictures ------------------------------------------------------------------

namespace {

// From the first byte of entropy-coded data to the marker that ends it: FF
// followed by neither 00 (a stuffed byte) nor a restart marker.
u64 SkipEntropyData(CFileBytes& f, u64 u64Off) {
    for (;;) {
        uint32_t nAvail = 0;
        const unsigned char* p = f.Span(u64Off, nAvail);
        if (!p) return 0;
        const void* pHit = std::memchr(p, 0xFF, nAvail);
        if (!pHit) {
            u64Off += nAvail;
            continue;
        }
        const u64 u64At = u64Off + static_cast<u64>(static_cast<const unsigned char*>(pHit) - p);
        const unsigned char* q = f.Get(u64At + 1, 1);
        if (!q) return 0;
        if (q[0] == 0x00 || (q[0] >= 0xD0 && q[0] <= 0xD7))
            u64Off = u64At + 2;
        else if (q[0] == 0xFF)
            u64Off = u64At + 1;  // fill byte: the marker follows
        else
            return u64At;
    }
}

}  // namespace

uint64_t GetJpegStructSize(CFileBytes& f, uint64_t* pu64Parsed) {
    uint64_t u64Parsed = 0;
    if (!pu64Parsed) pu64Parsed = &u64Parsed;
    *pu64Parsed = 0;
    const unsigned char* p = f.Get(0, 2);
    if (!p || p[0] != 0xFF || p[1] != 0xD8) return 0;
    u64 u64Off = 2;
    bool bScan = false;
    for (int nSteps = 0; nSteps < 1000000; ++nSteps) {
        // What lies before u64Off parsed as JPEG, its header and a scan at least.
        if (bScan) *pu64Parsed = u64Off < f.Reach() ? u64Off : f.Reach();
        p = f.Get(u64Off, 4);
        if (!p) p = f.Get(u64Off, 2);  // an end marker in the last two bytes
        if (!p || p[0] != 0xFF) return 0;
        const unsigned char m = p[1];
        if (m == 0xFF) {
            ++u64Off;  // fill byte
            continue;
        }
        if (m == 0xD9) return u64Off + 2;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            u64Off += 2;
            continue;
        }
        if (m == 0x00 || m == 0xD8) return 0;
        p = f.Get(u64Off + 2, 2);
        if (!p) return 0;
        const uint32_t nLen = Be16(p);
        if (nLen < 2) return 0;
        // Segments, an embedded thumbnail's included, are stepped over whole.
        u64Off += 2 + nLen;
        if (m == 0xDA) {
            bScan = true;
            u64Off = SkipEntropyData(f, u64Off);
            if (u64Off == 0) {
                *pu64Parsed = f.Reach();  // entropy-coded data up to the reach
                return 0;
            }
        }
    }
    return 0;
}

uint64_t GetPngStructSize(CFileBytes& f) {
    u64 u64Off = 8;
    for (;;) {
        const unsigned char* p = f.Get(u64Off, 8);
        if (!p) return 0;
        const uint32_t nLen = Be32(p);
        if (nLen > 0x7FFFFFFFu) return 0;
        for (int i = 4; i < 8; ++i) {
            const unsigned char c = static_cast<unsigned char>(p[i] | 0x20);
            if (c < 'a' || c > 'z') return 0;
        }
        const u64 u64End = u64Off + 12 + nLen;
        if (Is(p + 4, "IEND")) return nLen == 0 && f.Get(u64End - 1, 1) ? u64End : 0;
        u64Off = u64End;
    }
}

namespace {

// Past a run of GIF data sub-blocks (length byte, data) ended by an empty one.
u64 SkipSubBlocks(CFileBytes& f, u64 u64Off) {
    for (;;) {
        const unsigned char* p = f.Get(u64Off, 1);
        if (!p) return 0;
        if (p[0] == 0) return u64Off + 1;
        u64Off += 1 + static_cast<u64>(p[0]);
    }
}

}  // namespace

uint64_t GetGifStructSize(CFileBytes& f) {
    const unsigned char* p = f.Get(0, 13);
    if (!p) return 0;
    u64 u64Off = 13;
    if (p[10] & 0x80) u64Off += 3ULL << ((p[10] & 7) + 1);  // global colour table
    for (;;) {
        p = f.Get(u64Off, 1);
        if (!p) return 0;
        if (p[0] == 0x3B) return u64Off + 1;
        if (p[0] == 0x21) {
            u64Off = SkipSubBlocks(f, u64Off + 2);
        } else if (p[0] == 0x2C) {
            p = f.Get(u64Off, 10);
            if (!p) return 0;
            u64 u64Data = u64Off + 10;
            if (p[9] & 0x80) u64Data += 3ULL << ((p[9] & 7) + 1);  // local colour table
            u64Off = SkipSubBlocks(f, u64Data + 1);                // after the code size
        } else {
            return 0;
        }
        if (u64Off == 0) return 0;
    }
}

// ---- Archives ------------------------------------------------------------------

uint64_t GetZipStructSize(CFileBytes& f) {
    static const unsigned char kDescriptor[4] = {0x50, 0x4B, 0x07, 0x08};
    u64 u64Off = 0;
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
            if (!p || !f.Advance(u64Off, 8 + static_cast<u64>(Le32(p + 4)))) return 0;
            continue;
        }
        if (nSig != 0x04034B50 || !f.Get(u64Off, 30)) return 0;
        const uint16_t nFlags = Le16(p + 6);
        u64 u64Packed = Le32(p + 18);
        const u64 u64Data = u64Off + 30 + Le16(p + 26) + Le16(p + 28);
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
        u64 u64End = u64Data;
        if (!f.Advance(u64End, u64Packed)) return 0;
        if (nFlags & 8) {
            // Sizes follow the data in a descriptor; with no size in the header
            // it is the first descriptor whose packed size spans the data.
            u64 u64At = u64Packed ? u64End : kNotFound;
            for (u64 u64From = u64Data; u64At == kNotFound;) {
                u64 u64Hit = f.Find4(u64From, f.Reach(), kDescriptor);
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
    const u64 u64Central = u64Off;
    for (;;) {
        p = f.Get(u64Off, 4);
        if (!p) return 0;
        const uint32_t nSig = Le32(p);
        if (nSig == 0x02014B50) {
            p = f.Get(u64Off, 46);
            if (!p) return 0;
            u64Off += 46 + static_cast<u64>(Le16(p + 28)) + Le16(p + 30) + Le16(p + 32);
        } else if (nSig == 0x05054B50) {
            p = f.Get(u64Off, 6);
            if (!p) return 0;
            u64Off += 6 + static_cast<u64>(Le16(p + 4));
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
            const u64 u64End = u64Off + 22 + Le16(p + 20);
            return f.Get(u64End - 1, 1) ? u64End : 0;
        } else {
            return 0;
        }
    }
}

// ---- Sound ---------------------------------------------------------------------

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
    u64 u64Off = 0;
    const unsigned char* p = f.Get(0, 10);
    if (!p) return 0;
    if (Is(p, "ID3")) {
        for (int i = 6; i < 10; ++i)
            if (p[i] & 0x80) return 0;
        u64Off = 10 + ((static_cast<u64>(p[6]) << 21) | (p[7] << 14) | (p[8] << 7) | p[9]);
        if (p[5] & 0x10) u64Off += 10;  // footer
    }
    // Frames of the first frame's version, layer and sampling rate.
    unsigned char szFirst[3] = {0, 0, 0};
    u64 u64Frames = 0;
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
        const u64 u64End = u64Off + 32 + Le32(p + 12);
        if (f.Get(u64End - 1, 1)) u64Off = u64End;
    }
    p = f.Get(u64Off, 128);
    if (p && Is(p, "TAG")) u64Off += 128;
    return u64Off;
}

// ---- Video ---------------------------------------------------------------------

namespace {

bool IsTopLevelBox(const unsigned char* t) {
    static const char* const kTypes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid",
                                         "meta", "moof", "mfra", "pdin", "styp", "sidx", "ssix",
                                         "prft", "emsg", "pnot", "udta", "junk"};
    for (const char* sz : kTypes)
        if (std::memcmp(t, sz, 4) == 0) return true;
    return false;
}

}  // namespace

uint64_t GetIsoBoxStructSize(CFileBytes& f, const char* szNeed) {
    u64 u64Off = 0;
    bool bNeed = false;
    for (int nBoxes = 0;; ++nBoxes) {
        const unsigned char* p = f.Get(u64Off, 8);
        if (!p) break;  // the area ends here
        // A box of another type, or a second file's first box, is not ours.
        if (!IsTopLevelBox(p + 4) || (nBoxes > 0 && Is(p + 4, "ftyp"))) break;
        if (nBoxes > 100000) return 0;
        if (Is(p + 4, szNeed)) bNeed = true;
        u64 u64Size = Be32(p);
        if (u64Size == 1) {
            const unsigned char* q = f.Get(u64Off + 8, 8);
            if (!q) return 0;
            u64Size = Be64(q);
            if (u64Size < 16) return 0;
        } else if (u64Size < 8) {
            return 0;  // 0: up to an end we cannot see
        }
        if (u64Size > f.Reach() - u64Off) return 0;
        u64Off += u64Size;
    }
    return bNeed ? u64Off : 0;
}

uint64_t GetMpegPsStructSize(CFileBytes& f) {
    u64 u64Off = 0;
    u64 u64Packs = 0;
    for (;;) {
        const unsigned char* p = f.Get(u64Off, 6);
        if (!p) p = f.Get(u64Off, 4);
        if (!p || p[0] != 0 || p[1] != 0 || p[2] != 1) break;
        const unsigned char nCode = p[3];
        if (nCode == 0xB9) return u64Off + 4;  // program end code
        u64 u64Len = 0;
        if (nCode == 0xBA) {
            p = f.Get(u64Off, 14);
            if (!p) break;
            if ((p[4] & 0xC0) == 0x40)
                u64Len = 14 + (p[13] & 7);  // MPEG-2 pack header and stuffing
            else if ((p[4] & 0xF0) == 0x20)
                u64Len = 12;  // MPEG-1
            else
                break;
            ++u64Packs;
        } else if (nCode >= 0xBB && f.Get(u64Off, 6)) {
            u64Len = 6 + static_cast<u64>(Be16(p + 4));
        } else {
            break;
        }
        if (u64Packs == 0 || !f.Get(u64Off + u64Len - 1, 1)) return 0;
        u64Off += u64Len;
    }
    // Without an end code the stream ends after its last whole packet.
    return u64Packs > 1 ? u64Off : 0;
}

namespace {

// An EBML variable-length number at p (nAvail bytes): its length, and its
// value without the length marker (all ones: unknown, given as ~0).
int EbmlNumber(const unsigned char* p, uint32_t nAvail, bool bKeepMarker, u64& u64Value) {
    if (nAvail == 0 || p[0] == 0) return 0;
    int nLen = 1;
    while (!(p[0] & (0x80 >> (nLen - 1)))) ++nLen;
    if (static_cast<uint32_t>(nLen) > nAvail) return 0;
    u64 v = bKeepMarker ? p[0] : (p[0] & (0xFF >> nLen));
    bool bAllOnes = (p[0] & (0xFF >> nLen)) == (0xFF >> nLen);
    for (int i = 1; i < nLen; ++i) {
        v = (v << 8) | p[i];
        bAllOnes = bAllOnes && p[i] == 0xFF;
    }
    u64Value = (!bKeepMarker && bAllOnes) ? ~0ULL : v;
    return nLen;
}

}  // namespace

uint64_t GetMkvStructSize(CFileBytes& f) {
    // The EBML header element, then the segment with its size.
    u64 u64Off = 0;
    for (int nElement = 0; nElement < 2; ++nElement) {
        const unsigned char* p = f.Get(u64Off, 12);
        if (!p) return 0;
        u64 u64Id = 0, u64Size = 0;
        const int nId = EbmlNumber(p, 12, true, u64Id);
        const int nSize = nId ? EbmlNumber(p + nId, 12 - nId, false, u64Size) : 0;
        if (!nSize || u64Size == ~0ULL) return 0;
        if (u64Id != (nElement == 0 ? 0x1A45DFA3u : 0x18538067u)) return 0;
        if (u64Size > f.Reach()) return 0;
        u64Off += nId + nSize + u64Size;
    }
    return f.Get(u64Off - 1, 1) ? u64Off : 0;
}

uint64_t GetOggStructSize(CFileBytes& f) {
    // Pages until every logical stream begun here has its last page.
    std::vector<uint32_t> vecOpen;
    u64 u64Off = 0;
    for (u64 u64Page = 0;; ++u64Page) {
        const unsigned char* p = f.Get(u64Off, 27);
        if (!p || !Is(p, "OggS") || p[4] != 0) return u64Page > 0 ? u64Off : 0;
        const unsigned char nFlags = p[5];
        const uint32_t nSerial = Le32(p + 14);
        const uint32_t nSegments = p[26];
        const unsigned char* s = f.Get(u64Off + 27, nSegments ? nSegments : 1);
        if (!s) return 0;
        u64 u64Body = 0;
        for (uint32_t i = 0; i < nSegments; ++i) u64Body += s[i];
        if (nFlags & 2) {
            // A first page after all streams ended belongs to the next file.
            if (u64Page > 0 && vecOpen.empty()) return u64Off;
            if (vecOpen.size() >= 256) return 0;
            vecOpen.push_back(nSerial);
        } else if (u64Page == 0) {
            return 0;
        }
        const u64 u64End = u64Off + 27 + nSegments + u64Body;
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
                         u64& u64Number) {
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
    const u64 u64Samples = (static_cast<u64>(p[21] & 0x0F) << 32) | Be32(p + 22);
    // With a fixed block size the stream holds a known number of frames.
    const u64 u64Frames = nMinBlock == nMaxBlock && nMaxBlock && u64Samples
                              ? (u64Samples + nMaxBlock - 1) / nMaxBlock
                              : 0;
    u64 u64Off = 4;
    for (int nBlocks = 0;; ++nBlocks) {
        p = f.Get(u64Off, 4);
        if (!p || nBlocks > 100000) return 0;
        u64Off += 4 + ((static_cast<u64>(p[1]) << 16) | (p[2] << 8) | p[3]);
        if (p[0] & 0x80) break;
    }
    const uint32_t nSearch = nMaxFrame ? nMaxFrame + 16 : (1u << 20);
    unsigned char nSync = 0;
    for (u64 u64Frame = 0;; ++u64Frame) {
        p = f.Get(u64Off, 16);
        if (!p) return 0;
        if (u64Frame == 0) nSync = p[1];
        u64 u64Number = 0;
        const uint32_t nHead = FlacFrameHeader(p, 16, nSync, u64Number);
        if (!nHead) return 0;
        // The next frame: the next valid header (with the next number when
        // frames are numbered), unless this is the last frame.
        const u64 u64Min = u64Off + (nMinFrame > nHead + 2 ? nMinFrame : nHead + 2);
        u64 u64Next = kNotFound;
        if (!(u64Frames && u64Frame + 1 >= u64Frames)) {
            static const unsigned char kSyncStart[4] = {0xFF, 0, 0, 0};
            for (u64 u64At = u64Min; u64At < u64Off + nSearch;) {
                uint32_t nAvail = 0;
                const unsigned char* s = f.Span(u64At, nAvail);
                if (!s) break;
                const void* pHit = std::memchr(s, kSyncStart[0], nAvail);
                if (!pHit) {
                    u64At += nAvail;
                    continue;
                }
                const u64 u64Hit =
                    u64At + static_cast<u64>(static_cast<const unsigned char*>(pHit) - s);
                const unsigned char* q = f.Get(u64Hit, 16);
                u64 u64Num = 0;
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
        for (u64 u64At = u64Off; u64At < u64Off + nSearch;) {
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

// ---- XCF -----------------------------------------------------------------------

namespace {

// The file's offsets: 32 bits up to version 10, 64 bits from version 11.
struct CXcf {
    CFileBytes& f;
    bool b64;
    bool bRle = false;
    u64 u64End = 0;  // the furthest byte reached
    bool Pointer(u64& u64Off, u64& u64Value) {
        const unsigned char* p = f.Get(u64Off, b64 ? 8 : 4);
        if (!p) return false;
        u64Value = b64 ? Be64(p) : Be32(p);
        u64Off += b64 ? 8 : 4;
        return true;
    }
    void Reach(u64 u64Off) {
        if (u64Off > u64End) u64End = u64Off;
    }
    // A property list up to PROP_END; the compression property is noted.
    bool Properties(u64& u64Off) {
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
            if (!f.Advance(u64Off, 8 + static_cast<u64>(nLen))) return false;
            if (nType == 0) return true;
        }
        return false;
    }
    // A string: a 32-bit length and that many bytes.
    bool String(u64& u64Off) {
        const unsigned char* p = f.Get(u64Off, 4);
        if (!p) return false;
        u64Off += 4 + static_cast<u64>(Be32(p));
        return true;
    }
    // The bytes of one RLE tile of nPixels pixels of nBpp bytes.
    bool RleTile(u64 u64Off, u64 u64Pixels, uint32_t nBpp, u64& u64TileEnd) {
        for (uint32_t c = 0; c < nBpp; ++c) {
            for (u64 u64Done = 0; u64Done < u64Pixels;) {
                const unsigned char* p = f.Get(u64Off, 3);
                if (!p) p = f.Get(u64Off, 2);
                if (!p) return false;
                u64 u64Run = 0;
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
    bool Hierarchy(u64 u64Off) {
        const unsigned char* p = f.Get(u64Off, 12);
        if (!p) return false;
        const uint32_t nBpp = Be32(p + 8);
        if (nBpp == 0 || nBpp > 64) return false;
        u64Off += 12;
        for (int nLevel = 0; nLevel < 64; ++nLevel) {
            u64 u64Level = 0;
            if (!Pointer(u64Off, u64Level)) return false;
            Reach(u64Off);
            if (u64Level == 0) return true;
            const unsigned char* l = f.Get(u64Level, 8);
            if (!l) return false;
            const u64 w = Be32(l), h = Be32(l + 4);
            u64 u64Tile = u64Level + 8;
            const u64 u64Tiles = ((w + 63) / 64) * ((h + 63) / 64);
            for (u64 t = 0; t <= u64Tiles; ++t) {
                u64 u64TileOff = 0;
                if (!Pointer(u64Tile, u64TileOff)) return false;
                Reach(u64Tile);
                if (u64TileOff == 0) break;
                if (t == u64Tiles) return false;  // the list must end after the tiles
                const u64 tw = (t % ((w + 63) / 64) + 1) * 64 > w ? w % 64 : 64;
                const u64 th = (t / ((w + 63) / 64) + 1) * 64 > h ? h % 64 : 64;
                u64 u64TileEnd = u64TileOff;
                if (!f.Advance(u64TileEnd, tw * th * nBpp)) return false;
                if (bRle && !RleTile(u64TileOff, tw * th, nBpp, u64TileEnd)) return false;
                Reach(u64TileEnd);
            }
        }
        return false;
    }
    // A layer or channel: its header, properties and hierarchy (and a
    // layer's mask channel).
    bool Item(u64 u64Off, bool bLayer) {
        u64Off += bLayer ? 12 : 8;  // width, height (and a layer's type)
        if (!String(u64Off) || !Properties(u64Off)) return false;
        u64 u64Hierarchy = 0, u64Mask = 0;
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
    u64 u64Off = 14 + 12 + (nVersion >= 4 ? 4 : 0);  // width, height, base type, precision
    if (!x.Properties(u64Off)) return 0;
    // Layer pointers, then channel pointers, each list ended by 0.
    for (int nList = 0; nList < 2; ++nList) {
        for (int n = 0;; ++n) {
            u64 u64Item = 0;
            if (n > 100000 || !x.Pointer(u64Off, u64Item)) return 0;
            x.Reach(u64Off);
            if (u64Item == 0) break;
            if (!x.Item(u64Item, nList == 0)) return 0;
        }
    }
    return f.Get(x.u64End - 1, 1) ? x.u64End : 0;
}

// ---- Headers and text ------------------------------------------------------------

char ParsePnmHeader(const unsigned char* pBuf, int nLen, uint64_t& u64Header, uint64_t& u64Raster) {
    if (!pBuf || nLen < 8 || pBuf[0] != 'P' || pBuf[1] < '4' || pBuf[1] > '6') return 0;
    const char cKind = pBuf[1] == '4' ? 'b' : pBuf[1] == '5' ? 'g' : 'p';
    u64 v[3] = {0, 0, 0};
    const int nFields = cKind == 'b' ? 2 : 3;
    if (cKind == 'b') v[2] = 1;
    int i = 2;
    for (int k = 0; k < nFields; ++k) {
        // White space and comments, then a decimal number.
        bool bSpace = false;
        while (i < nLen) {
            if (pBuf[i] == '#') {
                while (i < nLen && pBuf[i] != '\n' && pBuf[i] != '\r') ++i;
            } else if (pBuf[i] == ' ' || pBuf[i] == '\t' || pBuf[i] == '\n' || pBuf[i] == '\r') {
                ++i;
            } else {
                break;
            }
            bSpace = true;
        }
        if (!bSpace || i >= nLen || pBuf[i] < '0' || pBuf[i] > '9') return 0;
        while (i < nLen && pBuf[i] >= '0' && pBuf[i] <= '9') {
            v[k] = v[k] * 10 + static_cast<u64>(pBuf[i] - '0');
            if (v[k] > 1000000) return 0;
            ++i;
        }
    }
    // One white-space byte, then the raster.
    if (i >= nLen || (pBuf[i] != ' ' && pBuf[i] != '\t' && pBuf[i] != '\n' && pBuf[i] != '\r'))
        return 0;
    if (v[0] == 0 || v[1] == 0 || v[2] == 0 || v[2] > 65535) return 0;
    const u64 u64Sample = v[2] > 255 ? 2 : 1;
    u64Header = static_cast<u64>(i) + 1;
    u64Raster = cKind == 'b'   ? (v[0] + 7) / 8 * v[1]
                : cKind == 'g' ? v[0] * v[1] * u64Sample
                               : v[0] * v[1] * 3 * u64Sample;
    return cKind;
}

int MeasureUtf8Text(const unsigned char* pBuf, int nLen, int* pnPending) {
    int nPending = pnPending ? *pnPending : 0;
    int i = 0;
    for (; i < nLen; ++i) {
        const unsigned char c = pBuf[i];
        if (nPending > 0) {
            if ((c & 0xC0) != 0x80) break;
            --nPending;
            continue;
        }
        if (c >= 0x20 && c < 0x7F) continue;
        if (c == '\t' || c == '\n' || c == '\r' || c == '\f') continue;
        if (c >= 0xC2 && c <= 0xDF)
            nPending = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            nPending = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            nPending = 3;
        else
            break;
    }
    // A sequence left open before a stop is not text.
    if (i < nLen && nPending > 0) {
        while (i > 0 && (pBuf[i - 1] & 0xC0) == 0x80) --i;
        if (i > 0 && pBuf[i - 1] >= 0xC2) --i;
        nPending = 0;
    }
    if (pnPending) *pnPending = nPending;
    return i;
}
