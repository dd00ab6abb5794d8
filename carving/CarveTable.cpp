// The judge's extension table and first-byte dispatch, built from the formats'
// registrations (carving/formats/) in the order of formats/FormatList.h.
#include "carving/CarveFormat.h"

#include <vector>

#define TW_FORMAT(name) extern const CARVE_FORMAT g_twCarveFormat##name;
#include "carving/formats/FormatList.h"
#undef TW_FORMAT

namespace {

constexpr EXTEND_NAME_TYPE kNone = FILE_TYPE_NONE;

// The registrations in the order of the list. Their records are constants, so
// this array is complete before any code runs, whatever the order in which
// the objects are initialised; referring to each keeps it in the link.
const CARVE_FORMAT* const kFormats[] = {
#define TW_FORMAT(name) &g_twCarveFormat##name,
#include "carving/formats/FormatList.h"
#undef TW_FORMAT
};

// Whether a format's test can match a buffer that starts with byte c: when
// all its signatures lie at offset 0, only if one of them starts with c.
bool CanLead(const CARVE_FORMAT& format, unsigned char c) {
    if (!format.pSignatures || format.nSignatures == 0) return true;
    for (int i = 0; i < format.nSignatures; ++i)
        if (format.pSignatures[i].nOffset != 0) return true;
    for (int i = 0; i < format.nSignatures; ++i)
        if (static_cast<unsigned char>(format.pSignatures[i].pBytes[0]) == c) return true;
    return false;
}

// The table and, per first byte, the tests that can match, in table order:
// the table walk without the tests that cannot answer. Made on first use.
struct CJudgeTable {
    std::vector<_EXTEND_NAME_ITEM_> vecRows;  // ends with the null row
    std::vector<PFN_FILE_TYPE_TEST> vecTests[256];

    CJudgeTable() {
        for (const CARVE_FORMAT* pFormat : kFormats) {
            for (int i = 0; i < pFormat->nRows; ++i) {
                const CARVE_ROW& row = pFormat->pRows[i];
                vecRows.push_back({row.szExtendName, row.nType, pFormat->pfnIsType, row.pfnGetSize,
                                   row.nCategory});
            }
            // Text is what no other type matched: never a reason to end a walk.
            if (pFormat->pfnIsType == &CFileTypeJudge::IsTextType) continue;
            for (int b = 0; b < 256; ++b)
                if (CanLead(*pFormat, static_cast<unsigned char>(b)))
                    vecTests[b].push_back(pFormat->pfnIsType);
        }
        vecRows.push_back({nullptr, kNone, nullptr, nullptr, 0});
    }
};

const CJudgeTable& Table() {
    static const CJudgeTable table;
    return table;
}

}  // namespace

const _EXTEND_NAME_ITEM_* CFileTypeJudge::ExtendNameTable() {
    return Table().vecRows.data();
}

int CFileTypeJudge::ExtendNameRowCount() {
    return static_cast<int>(Table().vecRows.size()) - 1;
}

EXTEND_NAME_TYPE CFileTypeJudge::GetDataBufType(const unsigned char* pBuf, int nLen) {
    if (!pBuf || nLen <= 0) return kNone;
    for (PFN_FILE_TYPE_TEST pfn : Table().vecTests[pBuf[0]]) {
        EXTEND_NAME_TYPE nType = pfn(pBuf, nLen);
        if (nType != kNone) return nType;
    }
    return kNone;
}
