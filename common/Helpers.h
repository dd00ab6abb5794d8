// Text, time, path and file helpers used by every subsystem. Plain functions,
// failures reported by return value, nothing thrown.
#pragma once

#include <string>
#include "common/Types.h"

// Character-set conversion. Narrow text is the C-string codec (GB18030, see
// common/Platform.h); wide text is wchar_t, one character per element.
int inner_initUnicodeMap(const char* szCharset);
// Converts at most what fits: the result, with its terminator, never exceeds
// nDstSize bytes. Returns the narrow length, or -1 on a bad argument.
int inner_uni2str(char* szDst, const wchar_t* wszSrc, long nDstSize, long nSrcLen);
// Same for narrow to wide; nDstSize counts wide characters.
int inner_str2uni(wchar_t* wszDst, const char* szSrc, long nDstSize, long nSrcLen);
int Unicode2Ansi(const wchar_t* wszSrc, char* szDst, int nDstSize);
int Ansi2Unicode(const char* szSrc, wchar_t* wszDst, int nDstSize);
std::string Unicode2Ansi(const wchar_t* wszSrc);
std::wstring Ansi2Unicode(const char* szSrc);

// In-place ASCII case folding.
char* GetCharLowerA(char* sz);
int Convert2Lowercase(char* sz);
wchar_t* GetCharLowerW(wchar_t* wsz);
void EraseStringTailBlankChar(char* sz, int nLength);

// Paths and names.
int GetExtendName(const char* szName, char* szExt);
void _splitpath(const char* szPath, char* szDrive, char* szDir, char* szFname, char* szExt);
// Picks a target that overwrites nothing: 'a.jpg', then 'a(1).jpg', ... The
// wanted path is narrow text; existence is tested on its UTF-8 form. Returns 0,
// or 87 when the result does not fit in nResultSize wide characters.
int GetRealFileName(const char* szWantedPath, wchar_t* wszResult, int nResultSize);
int GetPathDirIndex(const wchar_t* wszPath, int& nCount);

// Sizes and durations for display.
std::string GetFileSizeString(long long nBytes);
std::string GetTimeString(long long nSeconds);

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
