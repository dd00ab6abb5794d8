// Exact file sizes from a file's own structure: segments, chunks, boxes, pages
// and frames walked by their lengths to the file's last byte. Each walk reads
// the device through CFileBytes, which never hands out a byte beyond the area's
// end or the walk's budget; a walk answers 0 when the structure does not parse
// cleanly, and the caller falls back to its sector walk.
#pragma once

#include <cstdint>
#include <vector>

class CDiskReader;

// The bytes of a file that starts at a sector, read through one cached window.
// A walk may look at the bytes a bounded number of times: every Get and Span
// counts one step, and past twice the reach (plus a little) they answer null
// (Spent), so a walk that loops back on crafted offsets ends. Every window read, and
// every 65,536 steps, the scan's progress callback is called; a stop it
// returns ends the walk at its next step.
class CFileBytes {
public:
    // Spans handed out are at most this long.
    static constexpr uint32_t kMaxSpan = 65536;

    CFileBytes(CDiskReader* pReader, int nBytesPerSector, uint64_t u64StartSector,
               uint64_t u64MaxBytes);
    // n bytes (n <= kMaxSpan) at file offset u64Off, or null when they do not
    // all lie within reach or cannot be read. Valid until the next call.
    const unsigned char* Get(uint64_t u64Off, uint32_t n);
    // The bytes from u64Off to the end of the window (nAvail >= 1), or null.
    const unsigned char* Span(uint64_t u64Off, uint32_t& nAvail);
    // Bytes the walk may look at: the budget, cut at the area's end.
    uint64_t Reach() const { return m_u64Reach; }
    // Whether the walk used up its steps: what it measured then does not count.
    bool Spent() const { return m_u64Steps > m_u64StepBudget; }
    // The first occurrence of the 4-byte signature at or after u64From and
    // before u64To, or ~0 when there is none.
    uint64_t Find4(uint64_t u64From, uint64_t u64To, const unsigned char* sig);
    // u64Off + n, when that neither wraps nor passes the reach (sizes read
    // from the medium are added through this); false otherwise.
    bool Advance(uint64_t& u64Off, uint64_t n) const;

private:
    bool Load(uint64_t u64Off, uint32_t n);
    bool Step();
    bool Report();

    CDiskReader* m_pReader;
    int m_nBps;
    uint64_t m_u64Start;
    uint64_t m_u64Reach;
    std::vector<unsigned char> m_vecWin;
    uint64_t m_u64WinOff = 0;  // file offset of the window's first byte
    uint32_t m_nWinLen = 0;    // bytes held
    uint64_t m_u64SectorsRead = 0;
    uint64_t m_u64Steps = 0;
    uint64_t m_u64StepBudget = 0;
};

// The walks: the size in bytes of the file at offset 0, or 0 when its
// structure does not parse cleanly within reach.
// A JPEG that does not parse after its first scan gives in *pu64Parsed the
// bytes before the point where it stops being JPEG (else 0).
uint64_t GetJpegStructSize(CFileBytes& f, uint64_t* pu64Parsed = nullptr);
uint64_t GetPngStructSize(CFileBytes& f);
uint64_t GetGifStructSize(CFileBytes& f);
uint64_t GetZipStructSize(CFileBytes& f);
uint64_t GetMp3StructSize(CFileBytes& f);
// Top-level ISO media boxes (MP4, MOV, 3GP, HEIC, AVIF, CR3); the file must
// hold a box of type szNeed ("moov" or "meta").
uint64_t GetIsoBoxStructSize(CFileBytes& f, const char* szNeed);
uint64_t GetMpegPsStructSize(CFileBytes& f);
uint64_t GetMkvStructSize(CFileBytes& f);
uint64_t GetOggStructSize(CFileBytes& f);
uint64_t GetFlacStructSize(CFileBytes& f);
uint64_t GetXcfStructSize(CFileBytes& f);

// Portable bitmap headers ("P4", "P5", "P6"): 'b', 'g' or 'p' and the header's
// length and the raster's size in bytes; 0 when the buffer holds no such header.
char ParsePnmHeader(const unsigned char* pBuf, int nLen, uint64_t& u64Header, uint64_t& u64Raster);
// Bytes of printable UTF-8 text (tab, line breaks and form feed included) from
// the start of the buffer; *pnPending receives the continuation bytes a
// sequence cut at the buffer's end still needs (and gives those the buffer
// starts with).
int MeasureUtf8Text(const unsigned char* pBuf, int nLen, int* pnPending);
