// Where a recovery puts each file below its destination, and the times it
// gives what it made: one folder per kind of file, or the scanned volume's
// own folders. The command line and the application share it.
#pragma once

#include <string>
#include <vector>

#include "engine/IFileRecoveryParse.h"

class CRecoveryLayout {
public:
    // strDestUtf8: the destination as named, without a trailing '/'.
    CRecoveryLayout(std::string strDestUtf8, bool bKeepPaths);

    // The folder for one file, made with its missing parents below the
    // destination: DEST/<kind> ("photo", "audio", ...), or, keeping paths,
    // DEST/<folder>/<folder>/... from vecFolders, the narrow names of its
    // parent folders on the volume, outermost first, each made safe as one
    // path component. Returns 0 or errno.
    unsigned int MakeTargetFolder(const _FILE_NODE_& node,
                                  const std::vector<std::string>& vecFolders,
                                  std::string& strFolder);
    // Gives the folders made for the volume's folders the times of their
    // records (found by walking the engine's folders down from the top),
    // deepest first. Runs after every file: each file written into a folder
    // changed its time.
    void SetFolderTimes(IFileRecoveryParse& engine) const;

private:
    struct MadeFolder {
        std::string strPath;                // on disk, UTF-8
        std::vector<std::string> vecNames;  // the volume's narrow names down to it
    };
    std::string m_strDest;
    bool m_bKeepPaths;
    std::vector<MadeFolder> m_vecMade;
};

// The parent path an engine gives ("DCIM/100CANON/", wide) as the narrow
// names of its folders, outermost first.
std::vector<std::string> SplitParentPath(const std::wstring& wstrParent);

// Gives a recovered file (made by the recovery, never reached through a
// link) its record's access and modification times; false when the record
// holds none or they cannot be set.
bool SetRecoveredFileTimes(const std::string& strTargetUtf8, const _FILE_NODE_& node);
