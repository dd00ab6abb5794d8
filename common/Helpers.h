// Text, time, path and file helpers used by every subsystem. Plain functions,
// failures reported by return value, nothing thrown.
#pragma once

#include <string>
#include <string_view>
#include "common/Types.h"

// Character-set conversion. Narrow text is the C-string codec (GB18030, see
// common/Platform.h); wide text is wchar_t, one character per element.
// Opens the pair of descriptors between szCharset and "UNICODELITTLE" and keeps
// the name; 0, or -1 when either cannot be opened (then neither stays open).
// Start-up calls it once; the conversions below need no set-up and do not use it.
int inner_initUnicodeMap(const char* szCharset);
// Converts the wide source (nSrcLen characters at most, ending early at a NUL)
// to narrow text. What does not fit is cut at a character boundary: the
// result, with its terminator, never exceeds nDstSize bytes. Returns the
// narrow length, or -1 on a null pointer, nDstSize < 1 or nSrcLen < 0.
int inner_uni2str(char* szDst, const wchar_t* wszSrc, long nDstSize, long nSrcLen);
// Same for narrow to wide; nSrcLen counts bytes, nDstSize wide characters.
int inner_str2uni(wchar_t* wszDst, const char* szSrc, long nDstSize, long nSrcLen);
// 0, or -1 when the inner conversion refuses (a too small result is cut).
int Unicode2Ansi(const wchar_t* wszSrc, char* szDst, int nDstSize);
int Ansi2Unicode(const char* szSrc, wchar_t* wszDst, int nDstSize);
// Whole-text conversions; "" for a null source.
std::string Unicode2Ansi(const wchar_t* wszSrc);
std::wstring Ansi2Unicode(const char* szSrc);

// In-place ASCII case folding.
char* GetCharLowerA(char* sz);
int Convert2Lowercase(char* sz);
wchar_t* GetCharLowerW(wchar_t* wsz);
void EraseStringTailBlankChar(char* sz, int nLength);

// Paths and names.
int GetExtendName(const char* szName, char* szExt);

// A sector of one byte repeated, 0x00 (never written) or 0xFF (erased flash):
// it holds no file type and no file-system structure.
bool IsBlankSector(const unsigned char* p, size_t nLen);
void _splitpath(const char* szPath, char* szDrive, char* szDir, char* szFname, char* szExt);
// Picks a target that overwrites nothing: 'a.jpg', then 'a(1).jpg', ... The
// wanted path is narrow text; existence is tested on its UTF-8 form. Returns 0,
// or 87 (result emptied) when a pointer is null or the name does not fit in
// nResultSize wide characters: a cut name would name another file.
int GetRealFileName(const char* szWantedPath, wchar_t* wszResult, int nResultSize);
int GetPathDirIndex(const wchar_t* wszPath, int& nCount);
// Characters of a found name that can fool the eye: the C0 and C1 controls,
// DEL, and the bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069), which make a name read otherwise than it is.
bool IsDeceptiveNameChar(uint32_t nChar);
// UTF-8 text with each such character replaced by cReplace; invalid bytes
// stay as they are.
std::string ReplaceDeceptiveChars(const std::string& strUtf8, char cReplace);
// The same for narrow record text.
std::string ReplaceDeceptiveNarrowChars(const std::string& strNarrow, char cReplace);

// Sizes and durations for display. AddSizes sums two sizes and stays at the
// largest value instead of wrapping (records may claim any size).
unsigned long long AddSizes(unsigned long long u64A, unsigned long long u64B);
std::string GetFileSizeString(long long nBytes);
// "512 bytes", "1.5 KiB", "3.2 MiB", ... (powers of 1024, as the unit says).
std::string FormatSize(unsigned long long u64Bytes);
std::string GetTimeString(long long nSeconds);
// Names in the order a person expects: runs of digits compare as numbers
// ("9.jpg" before "10.jpg"), everything else byte by byte, with bIgnoreCase
// A to Z as a to z.
bool NaturalLess(std::string_view strA, std::string_view strB, bool bIgnoreCase = false);

// Time.
int rsb_getLocalTime(SYSTEMTIME* pTime);
int rsb_getSystemTime(SYSTEMTIME* pTime);
long rsb_getTickCount();
int rsb_msleep(int nMilliseconds);

// Files and volumes.
int rsb_statH(int fd, STRUCT_RSB_FILE_ATTR* pAttr);
int rsb_getFileSizeH(int fd, int* pLow, int* pHigh);
// The path buffer is cut back in place, never written past nPathLen bytes.
int rsb_getFreeSpace(char* szPath, int nPathLen, unsigned int* pHigh, unsigned int* pLow);
int ReadData(int fd, unsigned char* pBuf, int nLength, unsigned int* pBytesRead);
