#include "common/Utf16.h"

#include "common/ByteOrder.h"

std::wstring Utf16LeToWide(const unsigned char* pUtf16, size_t nUnits) {
    std::wstring wstr;
    wstr.reserve(nUnits);
    for (size_t i = 0; i < nUnits; ++i) {
        unsigned c = Le16(pUtf16 + 2 * i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < nUnits) {
            unsigned d = Le16(pUtf16 + 2 * i + 2);
            if (d >= 0xDC00 && d < 0xE000) {
                wstr.push_back(static_cast<wchar_t>(0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00)));
                ++i;
                continue;
            }
        }
        if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // lone surrogate
        if (c == 0) c = 0xFFFD;                     // keep the name one string
        wstr.push_back(static_cast<wchar_t>(c));
    }
    return wstr;
}
