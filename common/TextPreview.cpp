#include "common/TextPreview.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "common/Platform.h"

namespace {

// Control bytes that plain text holds: tab, line feed, vertical tab, form
// feed, carriage return and escape (terminal colours in logs).
bool IsTextControl(unsigned char c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x1B;
}

bool HasBinaryControls(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = p[i];
        if (c == 0x1A && i + 1 == n) continue;  // the old end-of-file mark
        if ((c < 0x20 && !IsTextControl(c)) || c == 0x7F) return true;
    }
    return false;
}

// Length of the UTF-8 sequence at p[0..n), 0 when it is invalid, or -1 when
// it is valid so far but cut by the end of the bytes.
int Utf8SequenceLength(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    int nLen;
    unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        nLen = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        nLen = 3;
        if (c == 0xE0) lo = 0xA0;  // no overlong forms
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        nLen = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    for (int i = 1; i < nLen; ++i) {
        if (static_cast<size_t>(i) >= n) return -1;
        const unsigned char lower = i == 1 ? lo : 0x80, upper = i == 1 ? hi : 0xBF;
        if (p[i] < lower || p[i] > upper) return 0;
    }
    return nLen;
}

// Valid UTF-8 with no C1 controls; nValid is how much of it to show (a cut
// last character left out when bWhole is false).
bool IsUtf8Text(const unsigned char* p, size_t n, bool bWhole, size_t& nValid) {
    size_t i = 0;
    while (i < n) {
        const int nLen = Utf8SequenceLength(p + i, n - i);
        if (nLen < 0 && !bWhole) break;
        if (nLen <= 0) return false;
        // U+0080 to U+009F: controls no text holds.
        if (nLen == 2 && p[i] == 0xC2 && p[i + 1] < 0xA0) return false;
        i += static_cast<size_t>(nLen);
    }
    nValid = i;
    return true;
}

// Windows-1252 in 0x80-0x9F; 0 where it names nothing.
const unsigned short kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(unsigned int nCode, std::string& str) {
    if (nCode < 0x80) {
        str += static_cast<char>(nCode);
    } else if (nCode < 0x800) {
        str += static_cast<char>(0xC0 | (nCode >> 6));
        str += static_cast<char>(0x80 | (nCode & 0x3F));
    } else {
        str += static_cast<char>(0xE0 | (nCode >> 12));
        str += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        str += static_cast<char>(0x80 | (nCode & 0x3F));
    }
}

bool Latin1ToUtf8(const unsigned char* p, size_t n, std::string& str) {
    str.clear();
    str.reserve(n + n / 4);
    for (size_t i = 0; i < n; ++i) {
        unsigned int nCode = p[i];
        if (nCode >= 0x80 && nCode < 0xA0) {
            nCode = kCp1252High[nCode - 0x80];
            if (nCode == 0) return false;
        }
        AppendUtf8(nCode, str);
    }
    return true;
}

// GB18030 text: every byte part of a valid character. A character cut by the
// end (up to 3 bytes) is left out when bWhole is false.
bool Gb18030ToUtf8(const unsigned char* p, size_t n, bool bWhole, std::string& str) {
    const size_t nTries = bWhole ? 1 : 4;
    for (size_t nCut = 0; nCut < nTries && nCut <= n; ++nCut)
        if (tw::NarrowToUtf8Strict(reinterpret_cast<const char*>(p), n - nCut, str)) return true;
    return false;
}

// The language and codeset parts of a locale name "ll_TT.codeset@modifier".
bool IsGbLocale(const char* szName) {
    std::string strName(szName);
    const size_t nAt = strName.find('@');
    if (nAt != std::string::npos) strName.resize(nAt);
    const size_t nDot = strName.find('.');
    if (nDot != std::string::npos) {
        const std::string strCodeset = strName.substr(nDot + 1);
        if (strncasecmp(strCodeset.c_str(), "gb", 2) == 0) return true;  // GB18030, GBK, GB2312
        strName.resize(nDot);
    }
    return strName == "zh_CN" || strName == "zh_SG" || strName == "zh";
}

}  // namespace

PREVIEW_TEXT_KIND DecodePreviewText(const unsigned char* pData, size_t nLength, bool bWhole,
                                    bool bGb18030Locale, std::string& strUtf8) {
    strUtf8.clear();
    if (!pData) nLength = 0;
    if (HasBinaryControls(pData, nLength)) return PREVIEW_BINARY;
    size_t nValid = 0;
    if (IsUtf8Text(pData, nLength, bWhole, nValid)) {
        const size_t nSkip = nValid >= 3 && std::memcmp(pData, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
        strUtf8.assign(reinterpret_cast<const char*>(pData) + nSkip, nValid - nSkip);
        return PREVIEW_TEXT_UTF8;
    }
    if (bGb18030Locale && Gb18030ToUtf8(pData, nLength, bWhole, strUtf8))
        return PREVIEW_TEXT_GB18030;
    if (Latin1ToUtf8(pData, nLength, strUtf8)) return PREVIEW_TEXT_LATIN1;
    strUtf8.clear();
    return PREVIEW_BINARY;
}

std::string FormatHexDump(const unsigned char* pData, size_t nLength) {
    std::string str;
    if (!pData) return str;
    str.reserve((nLength + 15) / 16 * 78);
    char szLine[96];
    for (size_t nAt = 0; nAt < nLength; nAt += 16) {
        int nPos = std::snprintf(szLine, sizeof(szLine), "%08zx ", nAt);
        for (size_t i = 0; i < 16; ++i) {
            if (i == 8) szLine[nPos++] = ' ';
            if (nAt + i < nLength)
                nPos +=
                    std::snprintf(szLine + nPos, sizeof(szLine) - nPos, " %02x", pData[nAt + i]);
            else
                nPos += std::snprintf(szLine + nPos, sizeof(szLine) - nPos, "   ");
        }
        szLine[nPos++] = ' ';
        szLine[nPos++] = ' ';
        szLine[nPos++] = '|';
        for (size_t i = 0; i < 16 && nAt + i < nLength; ++i) {
            const unsigned char c = pData[nAt + i];
            szLine[nPos++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
        szLine[nPos++] = '|';
        szLine[nPos++] = '\n';
        str.append(szLine, static_cast<size_t>(nPos));
    }
    return str;
}

bool LocaleAsksForGb18030(const char* szLcAll, const char* szLcCtype, const char* szLang) {
    for (const char* szName : {szLcAll, szLcCtype, szLang})
        if (szName && *szName) return IsGbLocale(szName);
    return false;
}
