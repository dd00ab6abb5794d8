// The fast NTFS engine: walks the MFT of one NTFS volume in the order of its
// runs, records every deleted file with its name and folder path, rebuilds the
// folders (or lost folders where a folder cannot be rebuilt), saves and
// previews the files, and maps the volume's free clusters for the deep scan.
//
// Sector numbers kept in nodes and used for reads are in the volume's own
// sector size; the positions of GetUnUsedSectorCount are 512-byte sectors
// relative to the area start, like the first sector and count given to Init.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>
#include "common/DiskReader.h"
#include "engine/EngineBase.h"
#include "ntfs/NtfsFileData.h"
#include "ntfs/NtfsParse.h"
#include "ntfs/NtfsRecord.h"

class CFastNtfsRecovery : public CNtfsEngine {
public:
    CFastNtfsRecovery();
    ~CFastNtfsRecovery() override;
    CFastNtfsRecovery(const CFastNtfsRecovery&) = delete;
    CFastNtfsRecovery& operator=(const CFastNtfsRecovery&) = delete;

    using IFileRecoveryParse::Init;
    unsigned int Init(const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector,
                      long long llSectorCount, wchar_t wcDriveLetter) override;
    // Before Init: the boot sector is read from this sector of the area (the
    // copy in the volume's last sector, when the first is damaged).
    void SetBootSectorCopy(unsigned long long u64Sector) { m_u64BootCopy = u64Sector; }
    unsigned int ScanDevice(const wchar_t* wszResultName) override;
    unsigned int GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                      unsigned long long& u64Count) override;
    unsigned int BuildBitMapInfo() override;

    // ---- the engine's own operations ----
    // Runs of the first attribute of the type (data: the unnamed one) of the
    // record at that absolute sector, followed through its attribute list and
    // gathered over every record that holds a piece. Appends to vecRuns.
    // 0; -1 not a file record; -100 no such attribute; 87 a damaged record or
    // attribute list; the reader's code when the record cannot be read.
    unsigned int GetRunListInfo(long long llRecordSector, int nType,
                                std::vector<__RUNLIST__>& vecRuns);
    // The resident value of the record's data attribute: 0, or -101 when the
    // data is not resident (or absent), -1 not a file record.
    unsigned int GetAttr0x80Data(long long llRecordSector, std::vector<unsigned char>& vecData);
    // Absolute sector of an MFT record; the volume start when no run holds it.
    unsigned long long GetFileRecordIndexSectorOffset(unsigned long long u64RecordNo) const;
    // Reads one record (mapped sector by sector through the MFT runs) and
    // applies its fix-up. 0; 87 when no MFT run holds it; -1 not a file record;
    // -2 a bad fix-up; the reader's code on a failed read.
    unsigned int GetFileRecordBuf(unsigned int nRecordNo, std::vector<unsigned char>& vecRecord);
    // Data size of the record's data attribute (87 when it has none).
    unsigned int GetBitMapRealBytesSize(long long llRecordSector, unsigned long long& u64Size);
    // 1 when the first data of the file match its extension, else 0.
    int IsFileDataHealth(const _FILE_NODE_& node);

    // Volume geometry (after Init). Sectors (the nodes' record and volume
    // start sectors among them) are of GetBytesPerSector() bytes: the
    // volume's, or 512 where its records are smaller than its sectors.
    int GetBytesPerSector() const { return m_nBytesPerSector; }
    unsigned int GetSectorsPerCluster() const { return m_nSectorsPerCluster; }
    unsigned long long GetMftStartSector() const { return m_u64MftStartSector; }
    const std::vector<__RUNLIST__>& GetMftRuns() const { return m_vecMftRuns; }
    // Records skipped because their fix-up or header was damaged (last scan).
    unsigned int GetDamagedRecordCount() const { return m_nDamagedRecords; }
    // Records read by the parent walks of the last scan.
    unsigned long long GetParentRecordReads() const { return m_u64ParentReads; }

private:
    unsigned long long m_u64BootCopy = 0;
    struct RECORD_LOCATION {
        bool bFound;
        unsigned long long u64Sector;  // absolute
        unsigned int nContiguous;      // sectors readable in one piece from there
    };

    uint64_t ClusterBytes() const {
        return static_cast<uint64_t>(m_nSectorsPerCluster) * m_nBytesPerSector;
    }
    unsigned int SetupVolume(const unsigned char* pBoot, long long llFirstSector,
                             long long llSectorCount);
    unsigned int LoadMftRuns();
    RECORD_LOCATION LocateSector(unsigned long long u64MftSector) const;
    unsigned int ReadRecordAt(long long llRecordSector, std::vector<unsigned char>& vecRecord);
    unsigned int GatherAttribute(const std::vector<unsigned char>& vecRecord, uint32_t nType,
                                 NTFS_FILE_DATA& data);

    unsigned int FastScanDevice();
    unsigned int ScanMftPiece(unsigned long long u64Sector, unsigned int nSectors, size_t& nCarry,
                              unsigned long long& u64NextRecord);
    int ParseRecordInfo(unsigned char* pRecord, int nPass, unsigned int nPendingNo,
                        unsigned long long u64RecordSector);
    _FILE_NODE_* FillFileNode(const NTFS_RECORD_INFO& info, int bIsDir,
                              unsigned long long u64RecordSector);
    int DataHealth(const _FILE_NODE_& node, unsigned int nData, const NTFS_FILE_DATA& data);
    void MakeLostFolder(unsigned int nRecordNo);
    int GetRootParentDirIndex(uint64_t u64Ref, int& nDepth, uint32_t* pnAttach);
    // The lost folder (at the top) of the files whose parent reference names a
    // record that is not their folder any more: its folder id.
    uint32_t StaleFolder(uint64_t u64Record);
    void AddPending(unsigned int nRecordNo);

    // CNtfsDataSource
    unsigned int ReadNodeData(const _FILE_NODE_& node, NTFS_FILE_DATA& data) override;
    CDiskReader& DataReader() override { return m_reader; }
    int DataBytesPerSector() const override { return m_nBytesPerSector; }
    uint64_t VolumeClusters(const _FILE_NODE_& node) const override;

    unsigned long long m_u64VolumeStart;    // volume sectors, absolute
    unsigned long long m_u64VolumeSectors;  // volume sectors
    unsigned long long m_u64AreaStart512;   // as given to Init
    unsigned long long m_u64AreaSectors512;
    unsigned long long m_u64MftStartSector;
    uint64_t m_u64Clusters;
    wchar_t m_wcDriveLetter;
    int m_nBytesPerSector;
    int m_nSectorsPerRecord;
    int m_nRecordSize;
    unsigned int m_nSectorsPerCluster;
    bool m_bVolumeOk;
    std::vector<unsigned char> m_vecScanBuf;
    std::vector<__RUNLIST__> m_vecMftRuns;
    std::vector<unsigned int> m_vecPending;
    std::set<unsigned int> m_setPending;
    // Records shown as lost folders: not directories, unreadable, or where a
    // parent chain loops back on itself.
    std::set<unsigned int> m_setLost;
    std::set<unsigned int> m_setLostMade;
    // Records met by the parent walks -> records from there to the walk's end.
    std::unordered_map<unsigned int, int> m_mapParentLevel;
    // Folder records read by the walks -> their sequence number and whether in use.
    std::unordered_map<unsigned int, std::pair<uint16_t, bool>> m_mapFolderSequence;
    std::map<uint64_t, uint32_t> m_mapStaleFolder;  // record number -> lost folder id
    CDiskReader m_reader;
    CNtfsParse m_ntfsParse;
    std::vector<unsigned char> m_vecBitmap;
    unsigned int m_nDamagedRecords;
    unsigned long long m_u64ParentReads = 0;
};
