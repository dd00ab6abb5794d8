// The first bytes of a found file as a person can read them: as text when
// they are text (UTF-8, else Latin-1, or GB18030 where the user's locale asks
// for it), otherwise as a hexadecimal dump.
#pragma once

#include <cstddef>
#include <string>

enum PREVIEW_TEXT_KIND {
    PREVIEW_TEXT_UTF8,
    PREVIEW_TEXT_GB18030,
    PREVIEW_TEXT_LATIN1,  // Windows-1252 in 0x80-0x9F, as web browsers read "Latin-1"
    PREVIEW_BINARY,
};

// Decides what the bytes are and, for text, gives them as UTF-8 in strUtf8
// (a byte-order mark dropped). bWhole says the bytes are the whole file; when
// they are only its start, a character cut at the end is left out. Bytes
// with control characters other than tab, line and page breaks, escape and
// a final Ctrl-Z are binary.
PREVIEW_TEXT_KIND DecodePreviewText(const unsigned char* pData, size_t nLength, bool bWhole,
                                    bool bGb18030Locale, std::string& strUtf8);

// "00000000  25 50 44 46 2d 31 2e 34  0a 25 e2 e3 cf d3 0a 31  |%PDF-1.4.%.....1|",
// one line of 16 bytes each, lines ending with '\n'.
std::string FormatHexDump(const unsigned char* pData, size_t nLength);

// Whether the locale the user runs (the first set of LC_ALL, LC_CTYPE and
// LANG, as POSIX orders them) reads text as GB18030: Chinese of mainland
// China or Singapore, or a GB codeset named ("zh_CN.UTF-8", "en_US.GB18030").
bool LocaleAsksForGb18030(const char* szLcAll, const char* szLcCtype, const char* szLang);
