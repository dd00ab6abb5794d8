// File helpers: whole reads and writes at an offset (device data, the scan log
// and the result stores), and folder trees made and removed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

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
// One folder in the open folder fdDir: szName (one name, no '/') opened as a
// folder, made first with nMode when bCreate and it is missing. Never goes
// through a link: a link there gives ELOOP, anything else that is no folder
// ENOTDIR. The descriptor (O_DIRECTORY), or -errno; *pbMade tells whether it
// was made now.
int OpenSubDirAt(int fdDir, const char* szName, bool bCreate, unsigned int nMode,
                 bool* pbMade = nullptr);
// Opens a folder, making it and any missing parents with the given mode
// first. The part of the path that exists is resolved once, as named (links
// in it are followed); each folder below it is made and entered through its
// parent's descriptor, so a link put in its place is never followed. The
// folders made are appended to *pMade, outermost first. The descriptor
// (O_DIRECTORY), or -errno.
int OpenDirTree(const char* szUtf8Dir, unsigned int nMode,
                std::vector<std::string>* pMade = nullptr);
// OpenDirTree without the descriptor: 0 or errno.
int MakeDirTree(const char* szUtf8Dir, unsigned int nMode,
                std::vector<std::string>* pMade = nullptr);
