// MPEG transport streams: 188-byte packets of sync byte 47 (and the same with a
// 4-byte time code before each packet, MTS), followed packet by packet.
#include "carving/CarveWalk.h"

using namespace carve;

namespace {

constexpr int kTsPacket = 188;  // bytes per packet

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsTsType(const unsigned char* pBuf, int nLen) {
    CCarveContext& ctx = Ctx();
    if (TooShort(pBuf, nLen, kTsPacket)) return kNone;
    if (pBuf[0] != 0x47 || (pBuf[1] == 0 && pBuf[2] == 0 && pBuf[3] == 0)) return kNone;
    for (int i = 0; i < nLen; i += kTsPacket) {
        if (pBuf[i] != 0x47) return kNone;
    }
    // 22 packets must follow from here on the device.
    const int nBps = ctx.m_nBytesPerSector;
    if (nBps <= 0) return kNone;
    const int nSectors = (4096 + nBps - 1) / nBps;
    std::vector<unsigned char> buf;
    if (!ctx.ReadSectors(buf, nSectors, ctx.m_u64CurrentSector)) return kNone;
    for (int k = 0; k < 22; ++k) {
        if (buf[static_cast<size_t>(k) * kTsPacket] != 0x47) return kNone;
    }
    if (ctx.m_bIsNeedCheckTsFileRange) {
        // A stream that runs on from the sector before was found there already.
        // Sector 0 has nothing before it.
        if (ctx.m_u64CurrentSector > 0) {
            if (!ctx.ReadSectors(buf, 1, ctx.m_u64CurrentSector - 1)) return kNone;
            for (int k = 1; k <= nBps / kTsPacket; ++k) {
                if (buf[nBps - kTsPacket * k] == 0x47) return kNone;
            }
        }
        for (const _TS_FILE_RANGE_& r : ctx.m_tsFileRangeVec) {
            if (ctx.m_u64StartSector >= r.u64StartSector &&
                ctx.m_u64StartSector <= r.u64EndSector) {
                return kNone;
            }
        }
    }
    return FILE_TYPE_TS;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMtsType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kPat[8] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
    if (!At(pBuf, nLen, 8, kPat, 8)) return kNone;
    Ctx().m_uMtsPreIndex = pBuf[7];
    const bool bTimestamp = pBuf[0] || pBuf[1] || pBuf[2] || pBuf[3];
    return (bTimestamp && Ctx().m_bIsMtsFileHead) ? kNone : FILE_TYPE_MTS;
}

unsigned long long CFileTypeJudge::GetTSFileBytesSize(const unsigned char*, int) {
    CCarveContext& ctx = Ctx();
    // Follows the 188-byte packets: the stream ends with the last packet whose
    // sync byte 47 was seen, i.e. at the first packet start without one.
    struct CPacketSearch : IChunkSearch {
        bool bTracking = true;
        u64 u64NextPacket = 0;  // file offset of the next packet start to check
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool, u64&) override {
            const u64 u64ChunkEnd = u64Before + static_cast<u64>(nLen);
            while (bTracking && u64NextPacket < u64ChunkEnd) {
                if (u64NextPacket < u64Before || pChunk[u64NextPacket - u64Before] != 0x47)
                    bTracking = false;
                else
                    u64NextPacket += kTsPacket;
            }
            return false;
        }
    } search;
    const u64 u64Sector = static_cast<u64>(ctx.m_nBytesPerSector);
    // The type test checked the packet starts of the head sector; the next one
    // lies in the first chunk (byte 52 of it with 512-byte sectors).
    search.u64NextPacket = u64Sector + (kTsPacket - u64Sector % kTsPacket) % kTsPacket;
    u64 u64Size = WalkSectors(64 * kGiB, END_OF_FILE, &search);
    if (search.u64NextPacket < u64Size) u64Size = search.u64NextPacket;
    _TS_FILE_RANGE_ range;
    range.u64StartSector = ctx.m_u64StartSector;
    range.u64EndSector = ctx.m_u64StartSector + u64Size / u64Sector - (u64Size % u64Sector ? 0 : 1);
    ctx.m_tsFileRangeVec.push_back(range);
    return u64Size;
}

// Registration.
const CARVE_SIGNATURE kTsSignatures[] = {
    TW_SIG(0, "\x47"),
};
const CARVE_ROW kTsRows[] = {
    {"ts", FILE_TYPE_TS, TW_CATEGORY_OTHER, &CFileTypeJudge::GetTSFileBytesSize},
};
const CARVE_SIGNATURE kMtsSignatures[] = {
    TW_SIG(8, "\x00\x00\xB0\x11\x00\x00\xC1\x00"),
};
const CARVE_ROW kMtsRows[] = {
    {"mts", FILE_TYPE_MTS, TW_CATEGORY_VIDEO, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
};

TW_CARVE_FORMAT(Ts, &CFileTypeJudge::IsTsType, kTsSignatures, kTsRows);
TW_CARVE_FORMAT(Mts, &CFileTypeJudge::IsMtsType, kMtsSignatures, kMtsRows);
