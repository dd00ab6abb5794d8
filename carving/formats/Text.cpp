// Plain UTF-8 text: tried only where no other format matched.
#include "carving/CarveWalk.h"

using namespace carve;

EXTEND_NAME_TYPE CFileTypeJudge::IsTextType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    int nPending = 0;
    const int n = MeasureUtf8Text(pBuf, nLen, &nPending);
    if (n == nLen) return FILE_TYPE_TEXT;
    // Text that ends in this sector is followed by zeros.
    if (n < 16 || pBuf[n] != 0) return kNone;
    for (int i = n; i < nLen; ++i)
        if (pBuf[i] != 0) return kNone;
    return FILE_TYPE_TEXT;
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

unsigned long long CFileTypeJudge::GetTEXTFileBytesSize(const unsigned char* pBuf, int nLen) {
    // Printable UTF-8 up to the first byte that is not, or to the next file.
    // Stopped by old data (not a NUL), the text ends after its last line break
    // when one of the last few bytes is one: printable bytes of the old data
    // that happen to follow are not the file's.
    struct CTextSearch : IChunkSearch {
        int nPending = 0;
        static int End(const unsigned char* p, int nLen, int n) {
            if (n >= nLen || p[n] == 0) return n;
            for (int i = n - 1; i >= 0 && i >= n - 4; --i)
                if (p[i] == '\n') return i + 1;
            return n;
        }
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            const int n = MeasureUtf8Text(pChunk, nLen, &nPending);
            if (n == nLen) return false;
            u64Size = u64Before + static_cast<u64>(End(pChunk, nLen, n));
            return true;
        }
    } search;
    if (!pBuf || nLen <= 0) return 0;
    const int nHead = MeasureUtf8Text(pBuf, nLen, &search.nPending);
    if (nHead < nLen || nLen < Ctx().m_nBytesPerSector)
        return static_cast<u64>(CTextSearch::End(pBuf, nLen, nHead));
    return WalkSectors(64 * kMiB, END_OF_FILE, &search);
}

// Registration.
const CARVE_ROW kTextRows[] = {
    {"text", FILE_TYPE_TEXT, TW_CATEGORY_OTHER, &CFileTypeJudge::GetTEXTFileBytesSize},
};

TW_CARVE_FORMAT_UNSIGNED(Text, &CFileTypeJudge::IsTextType, kTextRows);
