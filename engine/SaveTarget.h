// Writing recovered data to a destination, shared by every engine: folders,
// target files, progress through the recovery callback, unique names, and the
// breadth-first save of a whole directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include "common/Platform.h"
#include "engine/IFileRecoveryParse.h"

// Where the last failed save of this thread went wrong. The result codes of a
// save are shared by the source (30: the data could not be read whole) and the
// destination (errno, where 30 is a read-only file system), so callers that
// describe a failure ask for its origin. Reset before a save, read after it.
enum SaveFailureOrigin : int {
    SAVE_FAILURE_NONE = 0,
    SAVE_FAILURE_SOURCE = 1,       // the medium: reading or following the data
    SAVE_FAILURE_DESTINATION = 2,  // creating, writing or closing the target
};
SaveFailureOrigin GetLastSaveFailureOrigin();
void ResetSaveFailureOrigin();
// The bytes of the last file saved on this thread that stand for sectors the
// medium could not give: the file was written at full size with zeros there,
// and its save returned 30. Reset with the origin.
uint64_t GetLastSaveUnreadableBytes();
void SetLastSaveUnreadableBytes(uint64_t u64Bytes);

// The folder a recovery writes into, as the user named it. While an opened
// destination lives, every folder and file that the functions below make
// under its path is made through its descriptor one name at a time, never
// through a link, and, with a user, as that user (their permission checks,
// their ownership). It holds for the thread that opened it (a save runs on
// one thread); a destination opened later holds while it lives. Without one,
// a target's folder is opened as named and only the last name is guarded.
class CSaveDestination {
public:
    CSaveDestination() = default;
    ~CSaveDestination();
    CSaveDestination(const CSaveDestination&) = delete;
    CSaveDestination& operator=(const CSaveDestination&) = delete;

    // Opens the folder, with bMake making it and its missing parents (0755,
    // as the user) first; the path as named is resolved this once. The
    // folders made are appended to *pMade. Returns 0 or errno.
    unsigned int Open(const std::string& strUtf8Path, const tw::FsUser& user, bool bMake = true,
                      std::vector<std::string>* pMade = nullptr);
    const std::string& Path() const { return m_strPath; }

private:
    friend class CTargetParent;
    int m_nFd = -1;
    std::string m_strPath;  // as named, without a trailing '/'
    tw::FsUser m_user;
    CSaveDestination* m_pOuter = nullptr;
};

// Creates a folder (the wide path in UTF-8) with permission bits 0755, so that
// its owner can enter it. An existing folder is fine; a link is not followed
// (ELOOP). Returns 0 or errno.
unsigned int CreateTargetDir(const wchar_t* wszPath);
// Creates a folder (UTF-8) and its missing parents below the destination as
// CreateTargetDir does. The folders made are appended to *pMade, outermost
// first. Returns 0 or errno.
unsigned int MakeTargetDirs(const std::string& strUtf8Path, std::vector<std::string>* pMade);
// Opens a file or folder the recovery made (open flags such as O_RDONLY or
// O_DIRECTORY), never through a link. The descriptor, or -1 with errno set.
int OpenTarget(const std::string& strUtf8Path, int nFlags);
// Removes a file the recovery made, without going through a link. 0 or errno.
unsigned int RemoveTarget(const std::string& strUtf8Path);

// A name from the medium made safe as one path component: '/' and characters
// that fool the eye (controls, bidirectional overrides) become '_', and "", "." and ".." become "_"
// (a damaged or crafted entry must not climb out of the destination).
std::string MakeSafeFileName(const char* szName);

// wstrParent + "/" + the (safe) narrow name, made unique with GetRealFileName
// so that nothing existing is overwritten. Returns 0, or 87 when it does not fit.
unsigned int GetUniqueChildPath(const std::wstring& wstrParent, const char* szName,
                                std::wstring& wstrOut);

// One target file being written. Progress goes to the recovery callback after
// each chunk: (percent of the file done, 100, the chunk's result, path).
class CSaveTarget {
public:
    CSaveTarget(PFN_RECOVERY_CALLBACK pfnRecovery, void* pContext);
    ~CSaveTarget();
    CSaveTarget(const CSaveTarget&) = delete;
    CSaveTarget& operator=(const CSaveTarget&) = delete;

    // Creates the file with permission bits 0644. It must be new: an existing
    // name, a link included, is never opened (EEXIST). Returns 0 or errno.
    unsigned int Open(const wchar_t* wszPath, uint64_t u64FileSize);
    // Writes at most the bytes still wanted, continuing after short writes,
    // then reports. Returns 0, errno of a failed write, or the callback's
    // non-zero value.
    unsigned int Write(const unsigned char* pData, uint64_t u64Length);
    uint64_t Remaining() const { return m_u64Remaining; }
    uint64_t Size() const { return m_u64Size; }
    // Ends the file and returns nResult. An empty file gets its single report
    // (100, 100, 0); a failure (any code but the cancel) is reported once more
    // with (100, 100, code) and its origin recorded (the destination when this
    // target failed to open, write or close, else the source); a cancel is not
    // reported again.
    unsigned int Finish(unsigned int nResult);

private:
    int Report(int nPercent, int nError);

    PFN_RECOVERY_CALLBACK m_pfnRecovery;
    void* m_pContext;
    int m_nFd;
    bool m_bDestinationFailed;
    uint64_t m_u64Size;
    uint64_t m_u64Remaining;
    std::wstring m_wstrPath;
};

// Saves one file record to a target path: the engine's own data reader.
using SaveFileFunc = std::function<unsigned int(const _FILE_NODE_& node, const wchar_t* wszTarget)>;

// Saves the directory record pDir with everything below it. The folder is
// created at wszTarget (within the destination: wszTarget's folder when none
// is open); its level is the separator count of wszTarget (the last
// character not counted) minus nLevelOffset, and its children are listed with
// the engine's GetChildrenFileNode, breadth first. Every child gets a unique
// path (two children of one name never share a file). A failed child does not
// stop the others; TW_ERR_CANCELLED does, at once. Returns the last failure or 0.
unsigned int SaveDirectoryTree(IFileRecoveryParse& engine, const _FILE_NODE_& dir,
                               const wchar_t* wszTarget, int nLevelOffset,
                               const SaveFileFunc& saveFile, PFN_RECOVERY_CALLBACK pfnRecovery,
                               void* pContext);

// True when writing under szTargetUtf8 (an existing path or one to be made)
// would write to the device that szSourceUtf8 reads: the same block device, or
// another partition of the same disk; for an image file, a file system on a loop
// device bound to that image. A target on a loop device counts as lying where
// that loop device's file lies.
bool IsTargetOnSourceDevice(const char* szSourceUtf8, const char* szTargetUtf8);
