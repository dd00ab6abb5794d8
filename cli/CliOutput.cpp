#include "CliOutput.h"

#include <unistd.h>

#include <cstdio>

#include "common/Helpers.h"

std::string FormatUtcTime(const struct timespec& ts) {
    struct tm tmUtc;
    time_t t = ts.tv_sec;
    char szBuf[40];
    if (!gmtime_r(&t, &tmUtc) || !strftime(szBuf, sizeof(szBuf), "%Y-%m-%dT%H:%M:%SZ", &tmUtc))
        return std::string();
    return szBuf;
}

std::string Printable(std::string str) {
    return ReplaceDeceptiveChars(str, '?');
}

namespace {

// Length of the valid UTF-8 sequence at p (at most nLeft bytes), or 0.
size_t Utf8Length(const unsigned char* p, size_t nLeft) {
    size_t nLen = p[0] < 0x80         ? 1
                  : (p[0] >> 5) == 6  ? 2
                  : (p[0] >> 4) == 14 ? 3
                  : (p[0] >> 3) == 30 ? 4
                                      : 0;
    if (nLen == 0 || nLen > nLeft) return 0;
    for (size_t i = 1; i < nLen; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    // Overlong forms and surrogates are not valid text.
    if (nLen == 2 && p[0] < 0xC2) return 0;
    if (nLen == 3 && ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] >= 0xA0))) return 0;
    if (nLen == 4 &&
        ((p[0] == 0xF0 && p[1] < 0x90) || p[0] > 0xF4 || (p[0] == 0xF4 && p[1] >= 0x90)))
        return 0;
    return nLen;
}

// The character of a valid sequence of nLen bytes.
uint32_t CodePoint(const unsigned char* p, size_t nLen) {
    if (nLen == 1) return p[0];
    uint32_t nChar = p[0] & (0x7Fu >> nLen);
    for (size_t i = 1; i < nLen; ++i) nChar = (nChar << 6) | (p[i] & 0x3Fu);
    return nChar;
}

}  // namespace

std::string JsonString(const std::string& str) {
    std::string strOut = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(str.data());
    size_t nLeft = str.size();
    while (nLeft > 0) {
        size_t nLen = Utf8Length(p, nLeft);
        if (nLen == 0) {
            strOut += "\xEF\xBF\xBD";
            nLen = 1;
        } else if (*p == '"' || *p == '\\') {
            strOut += '\\';
            strOut += static_cast<char>(*p);
        } else if (IsDeceptiveNameChar(CodePoint(p, nLen))) {
            char szEsc[8];
            std::snprintf(szEsc, sizeof(szEsc), "\\u%04x", CodePoint(p, nLen));
            strOut += szEsc;
        } else {
            strOut.append(reinterpret_cast<const char*>(p), nLen);
        }
        p += nLen;
        nLeft -= nLen;
    }
    return strOut + "\"";
}

namespace {

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

CProgressLine::CProgressLine()
    : m_bEnabled(isatty(STDERR_FILENO) != 0),
      m_bShown(false),
      m_llStart(NowMs()),
      m_llLast(-1000) {}

void CProgressLine::Show(const std::string& strText, bool bForce) {
    if (!m_bEnabled) return;
    const long long llNow = NowMs();
    // The last drawing counts even when it was cleared since: lines between
    // drawings must not make the line redraw more often.
    if (!bForce && llNow - m_llLast < 100) return;
    m_llLast = llNow;
    m_bShown = true;
    std::fprintf(stderr, "\r\033[K%s", strText.c_str());
    std::fflush(stderr);
}

void CProgressLine::Clear() {
    if (!m_bShown) return;
    m_bShown = false;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

long long CProgressLine::Elapsed() const {
    return NowMs() - m_llStart;
}
