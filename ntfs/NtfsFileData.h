// Reading NTFS file data, shared by the NTFS engines: each engine finds a
// node's data (resident bytes or a run list) its own way; reading the clusters
// is the same for all of them (saving and preview are the engine base's).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>
#include "common/DiskReader.h"
#include "engine/FileNode.h"
#include "ntfs/NtfsParse.h"

// The data of one file: either its resident value or its runs (gathered over
// every piece of the data attribute, in order).
struct NTFS_FILE_DATA {
    bool bResident = false;
    std::vector<unsigned char> vecResident;
    std::vector<__RUNLIST__> vecRuns;
    uint64_t u64DataSize = 0;  // from the attribute (the first piece)
};

// Result codes of the data reads (besides the shared ones).
enum : unsigned int {
    NTFS_ERR_NOT_RESIDENT = static_cast<unsigned int>(-101),  // no resident data
    NTFS_ERR_NO_ATTRIBUTE = static_cast<unsigned int>(-100),  // no such attribute
    NTFS_ERR_NOT_FILE = static_cast<unsigned int>(-1),        // not a file record
};

// What the shared code needs from an engine.
class CNtfsDataSource {
public:
    virtual ~CNtfsDataSource() = default;
    // Finds the node's data. 0, or a code (the node's record cannot be read,
    // is not a file record, has no data attribute, or its data is stored in a
    // form that cannot be copied out as it stands, such as compressed).
    virtual unsigned int ReadNodeData(const _FILE_NODE_& node, NTFS_FILE_DATA& data) = 0;
    virtual CDiskReader& DataReader() = 0;
    virtual int DataBytesPerSector() const = 0;
    // Clusters of the node's volume; runs outside [0, clusters) are refused.
    virtual uint64_t VolumeClusters(const _FILE_NODE_& node) const = 0;
};

// Feeds the node's data, at most u64MaxBytes of it, to fnSink in pieces of at
// most 64 KiB, reading one piece per device read. Sparse runs give zeros. A
// sink's non-zero value ends the walk and is returned. 87 when a run lies
// outside the volume or the runs do not cover the size; 29 for a cluster size
// above 100 MiB; the reader's code (30 when it delivered nothing) on a failed read.
unsigned int StreamNtfsData(
    CNtfsDataSource& source, const _FILE_NODE_& node, const NTFS_FILE_DATA& data,
    uint64_t u64MaxBytes, const std::function<unsigned int(const unsigned char*, size_t)>& fnSink);

// The node's data found (ReadNodeData; its negative codes become 87) and fed
// through StreamNtfsData: an NTFS engine's data stream for saving and preview.
unsigned int StreamNtfsNode(
    CNtfsDataSource& source, const _FILE_NODE_& node, uint64_t u64MaxBytes,
    const std::function<unsigned int(const unsigned char*, size_t)>& fnSink);
