// UTF-16 names as file systems store them (NTFS, exFAT), to wide text.
#pragma once

#include <cstddef>
#include <string>

// nUnits little-endian UTF-16 units at pUtf16 to wide text, one character per
// element: surrogate pairs joined; a lone surrogate or a NUL becomes U+FFFD,
// so the name stays one string of the length stored.
std::wstring Utf16LeToWide(const unsigned char* pUtf16, size_t nUnits);
