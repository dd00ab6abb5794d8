// What the preview makes of a file's first bytes: text in the encoding it is
// written in, or a hexadecimal dump.
#include <gtest/gtest.h>

#include <string>

#include "common/TextPreview.h"

namespace {

struct Case {
    const char* szName;
    std::string strBytes;
    bool bWhole, bGbLocale;
    PREVIEW_TEXT_KIND nKind;
    std::string strText;  // as UTF-8
};

TEST(TextPreview, DecidesTheEncodingOrBinary) {
    const std::string strKoeln =
        "Gr\xC3\xBC\xC3\x9F"
        "e aus K\xC3\xB6ln";
    const Case cases[] = {
        {"utf8", strKoeln + "\r\n\tok\f", true, false, PREVIEW_TEXT_UTF8, strKoeln + "\r\n\tok\f"},
        {"bom dropped", "\xEF\xBB\xBFhi", true, false, PREVIEW_TEXT_UTF8, "hi"},
        {"cut last char", "K\xC3\xB6ln \xE2\x82", false, false, PREVIEW_TEXT_UTF8, "K\xC3\xB6ln "},
        {"cut whole file", "ab\xE2\x82", true, false, PREVIEW_TEXT_LATIN1,
         "ab\xC3\xA2\xE2\x80\x9A"},
        {"latin1",
         "Gr\xFC\xDF"
         "e",
         true, false, PREVIEW_TEXT_LATIN1, strKoeln.substr(0, 7)},
        {"cp1252 quotes", "\x93hi\x94", true, false, PREVIEW_TEXT_LATIN1,
         "\xE2\x80\x9Chi\xE2\x80\x9D"},
        {"cp1252 hole", "a\x81z", true, false, PREVIEW_BINARY, ""},
        {"gb18030 locale", "\xC4\xE3\xBA\xC3", true, true, PREVIEW_TEXT_GB18030,
         "\xE4\xBD\xA0\xE5\xA5\xBD"},
        {"gb18030 cut", "\xC4\xE3\xBA", false, true, PREVIEW_TEXT_GB18030, "\xE4\xBD\xA0"},
        {"gb bytes elsewhere", "\xC4\xE3\xBA\xC3", true, false, PREVIEW_TEXT_LATIN1,
         "\xC3\x84\xC3\xA3\xC2\xBA\xC3\x83"},
        {"pdf", "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\x01\x02", false, false, PREVIEW_BINARY, ""},
        {"nul", std::string("ID3\x03\x00\x00", 6), false, false, PREVIEW_BINARY, ""},
        {"c1 in utf8", "a\xC2\x85z", true, false, PREVIEW_TEXT_LATIN1, "a\xC3\x82\xE2\x80\xA6z"},
        {"ctrl-z at end", "dos\r\n\x1A", true, false, PREVIEW_TEXT_UTF8, "dos\r\n\x1A"},
        {"empty", "", true, false, PREVIEW_TEXT_UTF8, ""},
    };
    for (const Case& c : cases) {
        std::string strText;
        EXPECT_EQ(DecodePreviewText(reinterpret_cast<const unsigned char*>(c.strBytes.data()),
                                    c.strBytes.size(), c.bWhole, c.bGbLocale, strText),
                  c.nKind)
            << c.szName;
        EXPECT_EQ(strText, c.strText) << c.szName;
    }
}

TEST(TextPreview, HexDumpShowsOffsetsBytesAndPrintables) {
    std::string strBytes = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj";
    strBytes += std::string(1, '\0');
    EXPECT_EQ(
        FormatHexDump(reinterpret_cast<const unsigned char*>(strBytes.data()), strBytes.size()),
        "00000000  25 50 44 46 2d 31 2e 34  0a 25 e2 e3 cf d3 0a 31  |%PDF-1.4.%.....1|\n"
        "00000010  20 30 20 6f 62 6a 00                              | 0 obj.|\n");
    EXPECT_EQ(FormatHexDump(nullptr, 5), "");
}

TEST(TextPreview, LocaleAsksForGb18030) {
    EXPECT_TRUE(LocaleAsksForGb18030(nullptr, nullptr, "zh_CN.UTF-8"));
    EXPECT_TRUE(LocaleAsksForGb18030("", "en_US.GB18030", "de_DE.UTF-8"));
    EXPECT_TRUE(LocaleAsksForGb18030(nullptr, nullptr, "zh_SG.gbk@stroke"));
    EXPECT_FALSE(LocaleAsksForGb18030("C", nullptr, "zh_CN.UTF-8"));  // LC_ALL comes first
    EXPECT_FALSE(LocaleAsksForGb18030(nullptr, nullptr, "zh_TW.UTF-8"));
    EXPECT_FALSE(LocaleAsksForGb18030(nullptr, nullptr, nullptr));
}

}  // namespace
