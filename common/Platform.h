// The platform layer: everything that differs between Linux and macOS, and the
// fixed paths of the program. Nothing else in the code tests the platform.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tw {

// The logical name "/dev/disk%d" kept in records, logs and texts.
std::string LogicalDiskName(int nDiskNo);
// The file that logical disk N is read from: $TARNWICK_DISK_DIR/diskN when the
// variable is set; "/dev/diskN" on macOS; on Linux the N-th whole-disk block
// device of /sys/block (sorted by name; ram*, zram* and unbound loop* left
// out). Empty when there is no such disk.
std::string ResolveDiskNode(int nDiskNo);
// Opens logical disk N read-only; -1 with errno set on failure.
int OpenDiskNode(int nDiskNo);
// Opens a path (UTF-8) read-only; -1 with errno set on failure.
int OpenReadOnly(const char* szUtf8Path);
// The smallest unit a block device reads or fails in (its logical sector
// size); 512 for a file or when the device does not say.
unsigned int DeviceReadUnit(int fd);
// Opens (or creates, mode 0644) a file for writing that a privileged process
// keeps in a folder others may write to: a symbolic link at the name is not
// followed (ELOOP), and anything but a regular file with a single link is
// refused (EPERM) without waiting on it or changing it. nExtraFlags may add
// O_APPEND. -1 with errno set on failure.
int OpenPlainFileForWriting(const char* szUtf8Path, int nExtraFlags);

// Where scan results live: "$TARNWICK_SUPPORT_DIR/" when set; else on macOS
// "/Library/Application Support/Tarnwick/"; on Linux "/var/lib/tarnwick/" for
// root and UserDataDir() for a user. Ends in '/'.
std::string SupportDir();
// "$XDG_DATA_HOME/tarnwick/", or "$HOME/.local/share/tarnwick/"; "" when
// neither variable is set.
std::string UserDataDir();
// SupportDir() + "ScanLog/".
std::string ScanLogDir();

// The whole disk that holds a block device (the device itself when it is a
// whole disk or when nothing better is known).
dev_t WholeDiskOf(dev_t nDev);
// The device and inode of the file bound to a loop block device (or to the
// loop disk of a loop partition), as the loop driver holds them (so a file
// renamed since it was bound is still known), else as its path gives them.
// False when nDev is no bound loop device.
bool LoopBackingId(dev_t nDev, dev_t& nFileDev, ino_t& nFileIno);

// The user on whose behalf a root process runs: SUDO_UID / SUDO_GID, or
// PKEXEC_UID with that user's primary group. False when the process is not
// root or no such user is named (or the one named is root).
bool RequestingUser(uid_t& nUid, gid_t& nGid);

// A user as the file system sees one: ids and supplementary groups.
struct FsUser {
    bool bSet = false;
    uid_t nUid = 0;
    gid_t nGid = 0;
    std::vector<gid_t> vecGroups;
};
// RequestingUser with that user's groups (the primary group alone when the
// user database does not know the user); bSet false when there is none.
FsUser RequestingFsUser();

// While it lives, this thread's file-system calls are checked as the user's
// and what they create belongs to the user (Linux: the thread's file-system
// uid, gid and groups; the process and its other threads keep root). Does
// nothing for an unset user; Active() tells whether it took effect.
class CActAsUser {
public:
    explicit CActAsUser(const FsUser& user);
    ~CActAsUser();
    CActAsUser(const CActAsUser&) = delete;
    CActAsUser& operator=(const CActAsUser&) = delete;
    bool Active() const { return m_bActive; }

private:
    bool m_bActive = false;
    uid_t m_nOldUid = 0;
    gid_t m_nOldGid = 0;
    std::vector<gid_t> m_vecOldGroups;
};

// Gives up root for good: to the requesting user, else to "nobody"; groups,
// gid and uid, and no new privileges after. True when the process no longer
// runs as root (also when it never did).
bool DropRootForGood();
// The same to the user given (groups, gid, uid, no new privileges): system
// calls only, so a child may call it between fork and exec.
bool BecomeUserForGood(const FsUser& user);

// How a person recognises disk N: for a device, the vendor and model the
// system gives (removable media and USB devices marked); for a loop device or
// an image presented as a disk, the file's name. False when there is no disk N.
bool DescribeDiskNode(int nDiskNo, std::string& strModel, bool& bRemovable);

// Narrow text in records is GB18030; paths handed to the system are UTF-8.
// The converters need no set-up call and may be used from any thread. Input
// that cannot be converted (invalid bytes, lone surrogates) becomes '?' in
// narrow and UTF-8 text and U+FFFD in wide text. A null input gives "".
std::string NarrowToUtf8(const char* szNarrow);
std::string Utf8ToNarrow(const char* szUtf8);
// For bytes of unknown origin: nLength bytes (NULs included) that must all
// be valid GB18030; false, with strUtf8 empty, when any is not.
bool NarrowToUtf8Strict(const char* pNarrow, size_t nLength, std::string& strUtf8);
std::string WideToUtf8(const wchar_t* wsz);
std::wstring Utf8ToWide(const char* szUtf8);
std::string WideToNarrow(const wchar_t* wsz);
std::wstring NarrowToWide(const char* szNarrow);

// Bounded forms: convert the first nSrcLen units of the source (stopping early
// at a NUL) into a buffer of nDstCap units, terminator included. What does not
// fit is cut at a character boundary, never in the middle of one. Return the
// number of units written before the terminator, or -1 when nothing can be
// written (null pointer, capacity < 1). *pComplete tells whether all fitted.
long WideToNarrowBounded(const wchar_t* wszSrc, size_t nSrcLen, char* szDst, size_t nDstCap,
                         bool* pComplete = nullptr);
long NarrowToWideBounded(const char* szSrc, size_t nSrcLen, wchar_t* wszDst, size_t nDstCap,
                         bool* pComplete = nullptr);

}  // namespace tw
