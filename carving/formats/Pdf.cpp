// PDF documents, measured to their last "%%EOF" before the next file.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kPdfSignatures[] = {
    TW_SIG(0, "%PDF-"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsPdfType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 5)) return kNone;
    return AtSignature(kPdfSignatures, pBuf, nLen) ? FILE_TYPE_PDF : kNone;
}

unsigned long long CFileTypeJudge::GetPDFFileBytesSize(const unsigned char*, int) {
    // The last "%%EOF" before the next file's start (an updated file has one
    // per revision); a file without one ends at its last "trailer". The walk
    // ends early at a zeroed sector after a marker: free space.
    struct CPdfEndSearch : CCandidateSearch {
        bool bEof = false;
        bool Search(const unsigned char* pChunk, int nLen, u64 u64Before, bool,
                    u64& u64Size) override {
            long nPos = FindLastBytes(pChunk, nLen, "%%EOF", 5);
            long nEnd = -1;
            if (nPos >= 0) {
                nEnd = nPos + 5;
                // The end-of-line after the last marker belongs to the file.
                if (nEnd < nLen && pChunk[nEnd] == '\r') ++nEnd;
                if (nEnd < nLen && pChunk[nEnd] == '\n') ++nEnd;
                bEof = true;
            } else if (!bEof) {
                nPos = FindLastBytes(pChunk, nLen, "trailer", 7);
                if (nPos >= 0) nEnd = nPos + 7;
            }
            if (nEnd >= 0) {
                bHave = true;
                u64Candidate = u64Before + static_cast<u64>(nEnd);
            }
            if (!bHave) return false;
            const int nBps = Ctx().m_nBytesPerSector;
            const long nFrom = nEnd >= 0 ? (nEnd + nBps - 1) / nBps * nBps : 0;
            for (long i = nFrom; i + nBps <= nLen; i += nBps) {
                if (IsZeroSector(pChunk + i, nBps)) {
                    u64Size = u64Candidate;
                    return true;
                }
            }
            return false;
        }
    } search;
    return search.Result(WalkSectors(kGiB, END_OF_FILE, &search));
}

// Registration.
const CARVE_ROW kPdfRows[] = {
    {"pdf", FILE_TYPE_PDF, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetPDFFileBytesSize},
};

TW_CARVE_FORMAT(Pdf, &CFileTypeJudge::IsPdfType, kPdfSignatures, kPdfRows);
