// What a format registers (one file per format in carving/formats/), and the
// byte tests its signature test is written with. The judge builds its
// extension table and first-byte dispatch from the registrations, in the order
// of carving/formats/FormatList.h.
#pragma once

#include <cstring>
#include <iterator>

#include "carving/FileTypeJudge.h"
#include "engine/Categories.h"

// Bytes that a format's files hold at an offset. The judge tries a format's
// test only for a sector whose first byte starts one of its signatures when
// all of them lie at offset 0; a format with a signature further in is tried
// whatever the first byte.
struct CARVE_SIGNATURE {
    int nOffset;
    const char* pBytes;
    int nBytes;
};
// A signature from a string literal, zeros included.
#define TW_SIG(offset, literal) \
    { offset, literal, static_cast<int>(sizeof(literal) - 1) }

// One extension row: the type the test answers for it, its category and how
// a file of it is measured (null: recognised, never carved).
struct CARVE_ROW {
    const char* szExtendName;
    EXTEND_NAME_TYPE nType;
    unsigned int nCategory;
    PFN_FILE_SIZE pfnGetSize;
};

struct CARVE_FORMAT {
    const char* szName;
    PFN_FILE_TYPE_TEST pfnIsType;
    const CARVE_SIGNATURE* pSignatures;  // null: the test is tried for every sector
    int nSignatures;
    const CARVE_ROW* pRows;  // in the order the table lists them
    int nRows;
};

// Registers a format under the name FormatList.h gives it. The record is a
// constant (made before any code runs), and the list refers to it, so the
// linker keeps it.
#define TW_CARVE_FORMAT(name, test, signatures, rows)        \
    extern const CARVE_FORMAT g_twCarveFormat##name;         \
    const CARVE_FORMAT g_twCarveFormat##name = {             \
        #name,      test,                                    \
        signatures, static_cast<int>(std::size(signatures)), \
        rows,       static_cast<int>(std::size(rows))}
#define TW_CARVE_FORMAT_UNSIGNED(name, test, rows)                    \
    extern const CARVE_FORMAT g_twCarveFormat##name;                  \
    const CARVE_FORMAT g_twCarveFormat##name = {#name, test, nullptr, \
                                                0,     rows, static_cast<int>(std::size(rows))}

namespace carve {

constexpr EXTEND_NAME_TYPE kNone = FILE_TYPE_NONE;
typedef unsigned long long u64;

// Whether the n bytes of sig lie at nOff in a buffer of nLen bytes.
inline bool At(const unsigned char* pBuf, int nLen, int nOff, const void* sig, int n) {
    return nOff >= 0 && nLen >= nOff + n && std::memcmp(pBuf + nOff, sig, n) == 0;
}
inline bool At(const unsigned char* pBuf, int nLen, int nOff, const char* sz) {
    return At(pBuf, nLen, nOff, sz, static_cast<int>(std::strlen(sz)));
}
inline bool TooShort(const unsigned char* pBuf, int nLen, int nMin) {
    return !pBuf || nLen < nMin;
}
// Finds sig in [nFrom, nTo) of the buffer (the match may not pass nTo); -1 if absent.
inline int Find(const unsigned char* pBuf, int nFrom, int nTo, const unsigned char* sig, int n) {
    for (int i = nFrom; i + n <= nTo; ++i) {
        if (pBuf[i] == sig[0] && std::memcmp(pBuf + i, sig, n) == 0) return i;
    }
    return -1;
}
// Whether one of the signatures lies at its offset in the buffer.
template <size_t N>
bool AtSignature(const CARVE_SIGNATURE (&signatures)[N], const unsigned char* pBuf, int nLen) {
    for (const CARVE_SIGNATURE& sig : signatures)
        if (At(pBuf, nLen, sig.nOffset, sig.pBytes, sig.nBytes)) return true;
    return false;
}
// The thread's current context, as the tests and walks read it.
inline CCarveContext& Ctx() {
    return CurrentCarveContext();
}

// The compound-file and ZIP signatures that more than one format starts with.
inline constexpr unsigned char kCfbSig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
inline constexpr unsigned char kZipLocal[4] = {0x50, 0x4B, 0x03, 0x04};
inline constexpr unsigned char kZipCentral[4] = {0x50, 0x4B, 0x01, 0x02};
inline constexpr unsigned char kZipEnd[4] = {0x50, 0x4B, 0x05, 0x06};

}  // namespace carve
