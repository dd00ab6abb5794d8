// The scan folder of one command: where it is kept, what earlier scans of the
// same area leave behind, and its removal when the command ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Readies the scan-log folder and takes a new numbered scan folder in it. The
// platform's place is used silently; when it cannot be written, the user's
// own data folder is used and the user told. False (with a message) when
// neither can be written.
bool PrepareScanFolder();

// Deletes the indexed scan logs of the same area (disk, first sector, count
// and image path), folders included, so that a fresh scan does not pile them
// up. Returns how many were deleted.
int DeleteEarlierLogs(int nDiskNo, uint64_t u64FirstSector, uint64_t u64SectorCount,
                      const std::string& strImagePath);

// Removes the current scan folder when it goes out of scope, unless kept.
class CScanFolderCleanup {
public:
    explicit CScanFolderCleanup(bool bKeep);
    ~CScanFolderCleanup();
    const std::string& Folder() const { return m_strFolder; }

private:
    bool m_bKeep;
    std::string m_strFolder;
};
