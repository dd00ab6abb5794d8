// Text converters and path helpers on arbitrary names: nothing written past the
// size given, a cut result is a prefix of the whole, a split path joins back.
// The preview's text of arbitrary file bytes: valid UTF-8 or a hexadecimal
// dump of every byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/Helpers.h"
#include "common/Platform.h"
#include "common/TextPreview.h"

namespace {
void Check(bool b) {
    if (!b) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 1) return 0;
    const size_t nCap = 1 + pData[0] % 48;
    std::string strText(reinterpret_cast<const char*>(pData + 1), nSize - 1);
    const char* szText = strText.c_str();  // stops at the first NUL

    // Narrow to wide, into a buffer of exactly nCap characters.
    std::wstring wstrAll = tw::NarrowToWide(szText);
    std::vector<wchar_t> vecWide(nCap);
    bool bComplete = false;
    long nWide = tw::NarrowToWideBounded(szText, strText.size(), vecWide.data(), nCap, &bComplete);
    Check(nWide >= 0 && static_cast<size_t>(nWide) < nCap && vecWide[nWide] == L'\0');
    Check(wstrAll.compare(0, nWide, vecWide.data(), nWide) == 0);
    Check(bComplete == (static_cast<size_t>(nWide) == wstrAll.size()));

    // Wide to narrow, the same way; the whole text survives the way back.
    std::string strNarrow = tw::WideToNarrow(wstrAll.c_str());
    Check(tw::NarrowToWide(strNarrow.c_str()) == wstrAll);
    std::vector<char> vecNarrow(nCap);
    int nNarrow = inner_uni2str(vecNarrow.data(), wstrAll.c_str(), static_cast<long>(nCap),
                                static_cast<long>(wstrAll.size() + 1));
    Check(nNarrow >= 0 && static_cast<size_t>(nNarrow) < nCap && vecNarrow[nNarrow] == '\0');
    Check(strNarrow.compare(0, nNarrow, vecNarrow.data(), nNarrow) == 0);

    // Arbitrary 32-bit units as wide text (invalid code points included).
    std::vector<wchar_t> vecUnits((nSize - 1) / 4 + 1, L'\0');
    std::memcpy(vecUnits.data(), pData + 1, ((nSize - 1) / 4) * 4);
    std::string strUnits = tw::WideToNarrow(vecUnits.data());
    nNarrow = inner_uni2str(vecNarrow.data(), vecUnits.data(), static_cast<long>(nCap),
                            static_cast<long>(vecUnits.size()));
    Check(nNarrow >= 0 && static_cast<size_t>(nNarrow) < nCap);
    Check(strUnits.compare(0, nNarrow, vecNarrow.data(), nNarrow) == 0);
    std::string strUtf8 = tw::WideToUtf8(vecUnits.data());
    Check(tw::Utf8ToWide(strUtf8.c_str()).size() <= vecUnits.size());

    // The preview: text comes out as UTF-8 that converts both ways unchanged;
    // a UTF-8 file is shown as it is; the dump has one line per 16 bytes.
    const auto* pBytes = reinterpret_cast<const unsigned char*>(strText.data());
    for (bool bGb : {false, true}) {
        std::string strShown;
        const PREVIEW_TEXT_KIND nKind =
            DecodePreviewText(pBytes, strText.size(), pData[0] & 1, bGb, strShown);
        Check(nKind != PREVIEW_BINARY || strShown.empty());
        Check(strShown.find('\0') == std::string::npos);
        Check(tw::WideToUtf8(tw::Utf8ToWide(strShown.c_str()).c_str()) == strShown);
        if (nKind == PREVIEW_TEXT_UTF8)
            Check(strText.find(strShown) <= 3 && strShown.size() + 6 >= strText.size());
    }
    const std::string strDump = FormatHexDump(pBytes, strText.size());
    Check(static_cast<size_t>(std::count(strDump.begin(), strDump.end(), '\n')) ==
          (strText.size() + 15) / 16);

    // A split path joins back into the path.
    size_t nLen = std::strlen(szText);
    std::vector<char> d(nLen + 1), dir(nLen + 1), fname(nLen + 1), ext(nLen + 1);
    _splitpath(szText, d.data(), dir.data(), fname.data(), ext.data());
    Check(std::string(dir.data()) + fname.data() + ext.data() == szText);
    return 0;
}
