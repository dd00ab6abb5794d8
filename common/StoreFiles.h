// File helpers: whole reads and writes at an offset (device data, the scan log
// and the result stores), and folder trees made and removed.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Writes all bytes at the offset, retrying partial writes; 0 or errno.
int WriteAllAt(int fd, const void* pData, size_t nSize, off_t nOffset);
// Reads up to nSize bytes at the offset, stopping only at the end of the file:
// the count read, or -1 with errno set.
ssize_t ReadFullAt(int fd, void* pData, size_t nSize, off_t nOffset);

// Deletes a folder and everything in it, depth-first, without changing the
// working directory. Links are removed themselves, never followed; a folder
// that is itself a link is only unlinked. 0, or the errno of the first failure
// (a missing folder is 0).
int RemoveDirTree(const char* szUtf8Dir);
// Creates a folder and any missing parents with the given mode; 0 or errno.
int MakeDirTree(const char* szUtf8Dir, unsigned int nMode);
