// The platform layer: everything that differs between Linux and macOS, and the
// fixed paths of the program. Nothing else in the code tests the platform.
#pragma once

#include <string>

namespace tw {

// The logical name "/dev/disk%d" kept in records, logs and texts.
std::string LogicalDiskName(int nDiskNo);
// The file that logical disk N is read from: $TARNWICK_DISK_DIR/diskN when the
// variable is set; "/dev/diskN" on macOS; on Linux the N-th whole-disk block
// device of /sys/block (sorted by name). Empty when there is no such disk.
std::string ResolveDiskNode(int nDiskNo);
// Opens logical disk N read-only; -1 with errno set on failure.
int OpenDiskNode(int nDiskNo);
// Opens a path (UTF-8) read-only; -1 with errno set on failure.
int OpenReadOnly(const char* szUtf8Path);

// "/Library/Application Support/Tarnwick/", or "$TARNWICK_SUPPORT_DIR/". Ends in '/'.
std::string SupportDir();
// SupportDir() + "ScanLog/".
std::string ScanLogDir();

// Narrow text in records is GB18030; paths handed to the system are UTF-8.
std::string NarrowToUtf8(const char* szNarrow);
std::string Utf8ToNarrow(const char* szUtf8);
std::string WideToUtf8(const wchar_t* wsz);
std::wstring Utf8ToWide(const char* szUtf8);

}  // namespace tw
