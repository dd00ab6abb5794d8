// Standard MIDI files: "MThd", measured by their track chunks.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsMidType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    static const unsigned char kSix[4] = {0, 0, 0, 6};
    return At(pBuf, nLen, 0, "MThd") && At(pBuf, nLen, 4, kSix, 4) && At(pBuf, nLen, 14, "MTrk")
               ? FILE_TYPE_MID
               : kNone;
}

namespace {

// Follows the MIDI track chunks from the header on: each is "MTrk", a
// big-endian length and that many bytes. The file ends after the last of the
// header's tracks.
struct CMidiTracks : IChunkSearch {
    uint32_t nTracksWanted = 0;
    uint32_t nTracksSeen = 0;
    bool bBroken = false;
    u64 u64NextTrack = 14;  // file offset of the next track header
    unsigned char szHeader[8];
    int nHeaderHave = 0;

    // Takes the bytes of [u64Start, u64Start + nLen) of the file.
    void Feed(const unsigned char* pData, long nLen, u64 u64Start) {
        while (!bBroken && nTracksSeen < nTracksWanted) {
            u64 u64Want = u64NextTrack + static_cast<u64>(nHeaderHave);
            if (u64Want < u64Start || u64Want >= u64Start + static_cast<u64>(nLen)) return;
            szHeader[nHeaderHave++] = pData[u64Want - u64Start];
            if (nHeaderHave < 8) continue;
            nHeaderHave = 0;
            if (std::memcmp(szHeader, "MTrk", 4) != 0) {
                bBroken = true;
                return;
            }
            u64NextTrack += 8 + static_cast<u64>(Be32(szHeader + 4));
            ++nTracksSeen;
        }
    }
    bool Done() const { return !bBroken && nTracksSeen == nTracksWanted; }
    bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool bEndFired,
                u64& u64Size) override {
        Feed(pChunk, nLen, u64Before);
        if (!Done()) return false;
        u64 u64Reach = bEndFired ? u64Size : u64Before + static_cast<u64>(nLen);
        if (u64NextTrack <= u64Reach || bEndFired) {
            u64Size = Min(u64NextTrack, u64Reach);
            return true;
        }
        return false;
    }
};

}  // namespace

unsigned long long CFileTypeJudge::GetMIDFileBytesSize(const unsigned char* pBuf, int nLen) {
    CCarveContext& ctx = Ctx();
    CMidiTracks tracks;
    const u64 u64Sector = static_cast<u64>(ctx.m_nBytesPerSector);
    if (pBuf && nLen >= 14) {
        tracks.nTracksWanted = Be16(pBuf + 10);
        long nHead = nLen < ctx.m_nBytesPerSector ? nLen : ctx.m_nBytesPerSector;
        tracks.Feed(pBuf, nHead, 0);
        if (tracks.Done() && tracks.u64NextTrack <= u64Sector) return tracks.u64NextTrack;
    } else {
        tracks.bBroken = true;
    }
    return WalkSectors(8 * kMiB, END_OF_FILE, &tracks);
}

// Registration.
const CARVE_SIGNATURE kMidiSignatures[] = {
    TW_SIG(0, "MThd"),
};
const CARVE_ROW kMidiRows[] = {
    {"mid", FILE_TYPE_MID, TW_CATEGORY_MUSIC, &CFileTypeJudge::GetMIDFileBytesSize},
};

TW_CARVE_FORMAT(Midi, &CFileTypeJudge::IsMidType, kMidiSignatures, kMidiRows);
