// Record helpers shared by the NTFS engines (fast and deep): finishing a
// record just read, gathering an attribute over its attribute list, finding a
// name that sits in an extension record, the data-health test, the nodes
// made from a record, and the engines' common base.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>
#include "engine/EngineBase.h"
#include "engine/ScanResultFileManager.h"
#include "ntfs/NtfsFileData.h"
#include "ntfs/NtfsParse.h"

// Checks the "FILE" signature and applies the fix-up of a record just read.
// 0; -1 not a file record; -2 a torn record (a sector end does not hold the
// update sequence number).
unsigned int FinishNtfsRecord(const CNtfsParse& parse, std::vector<unsigned char>& vecRecord);

// One volume as the gathering of an attribute sees it.
struct NTFS_VOLUME_VIEW {
    uint32_t nClusterBytes = 0;
    uint64_t u64VolumeStart = 0;  // absolute sector
    // Reads and finishes record N of the volume. Null when the volume's MFT is
    // not known: attribute lists are then not followed.
    std::function<unsigned int(uint64_t, std::vector<unsigned char>&)> fnReadRecord;
};

// The attribute of the type (data: the unnamed one) of a finished record, with
// every piece named by its attribute list gathered in VCN order. 0; -1 not a
// file record; -100 no such attribute, or a list that cannot be followed; 87 a
// damaged record, list or piece, or data stored compressed or encrypted; the
// reader's code when a record of the list cannot be read.
unsigned int GatherNtfsAttribute(CNtfsDataSource& source, const NTFS_VOLUME_VIEW& vol,
                                 const std::vector<unsigned char>& vecRecord, uint32_t nType,
                                 NTFS_FILE_DATA& data);

// A base record without a file-name attribute of its own (moved out to make
// room for other attributes): takes the name, parent and times from the first
// extension record of its attribute list that holds one and still belongs to
// it. True when info now has a name.
bool GatherNtfsName(CNtfsDataSource& source, const NTFS_VOLUME_VIEW& vol,
                    const std::vector<unsigned char>& vecRecord, NTFS_RECORD_INFO& info);

// 1 when the first data of a file match the type its extension promises, else
// 0; resident data of length 0 are damaged, and any failure to read counts as
// intact; a file larger than its volume is damaged. nData and data are what
// GatherNtfsAttribute gave for the data.
int NtfsDataHealth(CDiskReader& reader, int nBytesPerSector, unsigned int nSectorsPerCluster,
                   uint64_t u64VolumeStart, uint64_t u64Clusters, const char* szName,
                   uint64_t u64FileSize, unsigned int nData, const NTFS_FILE_DATA& data);

// A new node in the store, filled from a record: times, size from the name,
// the name (narrow, cut to fit). The caller adds it to its folder.
_FILE_NODE_* MakeNtfsNode(CScanResultFileManager& store, const NTFS_RECORD_INFO& info, int bIsDir,
                          uint32_t nEngineType, wchar_t wcDriveLetter, uint32_t nClusterBytes,
                          uint64_t u64RecordSector, uint64_t u64VolumeStart);
// A new "LostFolder<record number>" node for a folder that cannot be rebuilt.
_FILE_NODE_* MakeNtfsLostFolder(CScanResultFileManager& store, uint32_t nEngineType,
                                wchar_t wcDriveLetter, uint32_t nDirId, uint64_t u64RecordNo);

// The base of the NTFS engines: a node's data streams through StreamNtfsNode,
// and a save makes only the folder of a directory record.
class CNtfsEngine : public CEngineBase, protected CNtfsDataSource {
public:
    // One record of a save: a file's data, or only the folder (0755) of a directory.
    unsigned int SaveDataToTargetFile(const _FILE_NODE_& node, const wchar_t* wszTarget);

protected:
    unsigned int StreamNodeData(const _FILE_NODE_& node, uint64_t u64Wanted,
                                const DataSink& sink) override;
    uint32_t RootDirId() const override { return NTFS_ROOT_RECORD; }
    unsigned int SaveOneFile(const _FILE_NODE_& node, const wchar_t* wszTarget) override;
    // IsFileDataHealth on a volume of that geometry: the node's data found
    // (ReadNodeData) and its first bytes tested against its name.
    int NodeDataHealth(const _FILE_NODE_& node, unsigned int nSectorsPerCluster,
                       uint64_t u64VolumeStart, uint64_t u64Clusters);
};
