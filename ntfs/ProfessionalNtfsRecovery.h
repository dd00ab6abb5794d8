// The NTFS parser of the deep scan. It reads no area by itself: the deep-scan
// driver hands it every MFT file record it meets, in device order, with the
// absolute sector where it lies. Each record, deleted or not, becomes a node;
// the parser works out to which volume and MFT it belongs (also when the
// volume's boot sector is gone) and queues its parent folders, which the
// second pass reads and adds, or lost folders where they cannot be read.
//
// Volumes. Every record 0 named "$MFT" registers its MFT (the run list, the
// cluster size worked out from the record, the MFT's size). A record belongs
// to the registered MFT that would place its number exactly where it was
// found; a record of an MFT never met is placed as if its MFT were contiguous
// and its volume began at the device start. Record numbers repeat from volume
// to volume, so pending folders, parent levels and lost folders are kept per
// volume, and the folders of every volume but the one at the device start get
// ids of their own, under a folder "NtfsVolume%llu" (its start sector).
//
// Sectors are the parser's sector size (512 unless an image's boot sector says
// otherwise) and absolute on the device.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>
#include "common/DiskReader.h"
#include "engine/EngineBase.h"
#include "engine/ScanResultFileManager.h"
#include "ntfs/NtfsFileData.h"
#include "ntfs/NtfsParse.h"
#include "ntfs/NtfsRecord.h"

// One registered MFT.
struct NTFS_MFT_ENTRY {
    std::vector<__RUNLIST__> vecRuns;  // of its data attribute (the base record's piece)
    unsigned int nSectorsPerCluster = 0;
    unsigned long long u64VolumeStart = 0;  // absolute sector
    unsigned long long u64MftBytes = 0;     // data size: records past it are stale
};

class CProfessionalNtfsRecovery : public CNtfsEngine {
public:
    CProfessionalNtfsRecovery();
    ~CProfessionalNtfsRecovery() override;
    CProfessionalNtfsRecovery(const CProfessionalNtfsRecovery&) = delete;
    CProfessionalNtfsRecovery& operator=(const CProfessionalNtfsRecovery&) = delete;

    // A whole medium takes the sector size its NTFS boot sector gives, if it
    // has one; an area of a disk is counted in 512-byte sectors.
    using IFileRecoveryParse::Init;
    unsigned int Init(const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector,
                      long long llSectorCount, wchar_t wcDriveLetter) override;
    // The driver scans: these three do nothing and return 0.
    unsigned int ScanDevice(const wchar_t* wszResultName) override;
    unsigned int GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                      unsigned long long& u64Count) override;
    unsigned int BuildBitMapInfo() override;

    // ---- for the deep-scan driver, in calling order ----
    // A new store ("Pro_Ntfs_..." unless a name of an earlier result set is
    // given); forgets the pending folders and the volumes' folder state. The
    // MFT registry stays (Init fills it). 0 or the store's code.
    unsigned int InitProfessionalScan(const wchar_t* wszResultName);
    // One record of RecordSizeAt(pRecord) bytes found at an absolute sector;
    // the buffer is not changed. Without a boot sector to give the record
    // size, the first record taken sets it. 0; -1 not a file record; -2 torn;
    // 87 a damaged header or another size; 8 out of memory.
    unsigned int ParseNtfsFileRecord(const unsigned char* pRecord, unsigned long long u64Sector);
    // The bytes a record that starts at pRecord is taken with: the record size
    // once known, else the size the record states when it is 1,024, 2,048 or
    // 4,096 bytes; 0 when it is none of them.
    int RecordSizeAt(const unsigned char* pRecord) const;
    // The second pass over the pending folders. 0, or the last failure (a
    // folder that cannot be read becomes a lost folder and the pass goes on).
    unsigned int ParseProfessionalRecordVec();

    // ---- inner operations (tests and the driver) ----
    // Sector of record 0 of the registered MFT that places record N exactly at
    // the sector given, with its entry; 0 when none does.
    unsigned long long GetFileRecordIndexMftRunList(unsigned long long u64RecordNo,
                                                    unsigned long long u64Sector,
                                                    NTFS_MFT_ENTRY* pEntry) const;
    // Volume start of a record found at a sector; pnSectorsPerCluster gets the
    // volume's cluster size (the parser-wide value for an MFT never met).
    unsigned long long GetSpecialFileRecordPartitionStartSector(
        unsigned long long u64Sector, unsigned long long u64RecordNo,
        unsigned int* pnSectorsPerCluster) const;
    // Sectors per cluster worked out from a finished record's non-resident
    // data (allocated size / sector size / clusters of its runs). 0 with the
    // value, 87 when the record gives none.
    unsigned int GetFileRecordSectorPerClusterByRecordBuf(const unsigned char* pRecord,
                                                          unsigned int& nSectorsPerCluster) const;
    // Runs of the first attribute of the type in the record at that sector,
    // gathered through its attribute list when its MFT is known. 0; -1 not a
    // file record; -100 none (or a list that cannot be followed); 87 damaged.
    unsigned int GetRunListInfo(long long llRecordSector, int nType,
                                std::vector<__RUNLIST__>& vecRuns);
    unsigned int GetFileNodeRunListInfo(const _FILE_NODE_& node, int nType,
                                        std::vector<__RUNLIST__>& vecRuns);
    // The resident value of the node's data: 0, or -101 when not resident.
    unsigned int GetFileNodeAttr0x80Data(const _FILE_NODE_& node,
                                         std::vector<unsigned char>& vecData);
    int IsFileDataHealth(const _FILE_NODE_& node);

    int GetRecordSize() const { return m_nRecordSize; }
    bool IsRecordSizeKnown() const { return m_bRecordSizeKnown; }
    int GetBytesPerSector() const { return m_nBytesPerSector; }
    unsigned int GetSectorsPerCluster() const { return m_nSectorsPerCluster; }
    const std::map<unsigned long long, NTFS_MFT_ENTRY>& GetMftRegistry() const { return m_mapMft; }
    // Parent records read by the parent walks of the last scan.
    unsigned long long GetParentReads() const { return m_u64ParentReads; }
    // Records with an attribute list whose MFT was not known (lists not followed).
    unsigned int GetUnfollowedLists() const { return m_nUnfollowedLists; }

private:
    // The volume a record belongs to, as far as the parser knows it.
    struct VOLUME {
        unsigned long long u64Start = 0;
        unsigned int nSectorsPerCluster = 0;
        bool bKnown = false;                  // its MFT was met
        std::vector<__RUNLIST__> vecMftRuns;  // bKnown
        unsigned long long u64MftSector = 0;  // !bKnown: where record 0 would lie
        unsigned int nIndex = 0;              // folder-id space (0: the device start's)
    };
    struct PENDING {
        unsigned int nVolume;  // index into m_vecVolumes
        unsigned int nRecordNo;
    };

    unsigned int OpenCommon(const unsigned char* pBoot, unsigned long long u64SectorCount);
    void RegisterBootMft(const unsigned char* pBoot);
    void SetRecordSize(int nBytes);
    void RegisterMft(const std::vector<unsigned char>& vecRecord, const NTFS_RECORD_INFO& info,
                     unsigned long long u64Sector);
    bool IsMftMirror(const NTFS_MFT_ENTRY& entry, unsigned long long u64Sector);
    bool MftFromRecord(const std::vector<unsigned char>& vecRecord, unsigned long long u64Sector,
                       NTFS_MFT_ENTRY& entry) const;
    VOLUME FindVolume(unsigned long long u64RecordNo, unsigned long long u64Sector) const;
    unsigned int VolumeIndex(const VOLUME& vol);
    uint32_t DirId(unsigned int nVolume, unsigned int nRecordNo);
    uint32_t VolumeLevel(unsigned int nVolume) const { return nVolume == 0 ? 0 : 1; }
    bool LocateRecord(const VOLUME& vol, unsigned long long u64RecordNo,
                      unsigned long long& u64Sector, unsigned int& nContiguous) const;
    unsigned int ReadRecordAt(unsigned long long u64Sector, std::vector<unsigned char>& vecRecord);
    unsigned int ReadVolumeRecord(const VOLUME& vol, unsigned long long u64RecordNo,
                                  std::vector<unsigned char>& vecRecord);
    NTFS_VOLUME_VIEW ViewOf(const VOLUME& vol);
    unsigned long long VolumeClustersOf(unsigned long long u64Start, unsigned int nSpc) const;

    int ParseProfessionalRecordInfo(std::vector<unsigned char>& vecRecord,
                                    unsigned long long u64Sector, unsigned int nPass,
                                    unsigned int nVolume, unsigned int nQueuedNo);
    unsigned int ParentLevel(unsigned int nVolume, uint64_t u64Ref, uint32_t* pnFolder);
    // The lost folder (at the top of its volume) of the files whose parent
    // reference names a record that is not their folder any more: its id.
    uint32_t StaleFolder(unsigned int nVolume, uint64_t u64Record);
    void AddPending(unsigned int nVolume, unsigned int nRecordNo);
    void MakeLostFolder(unsigned int nVolume, unsigned int nRecordNo);
    unsigned int NodeData(const _FILE_NODE_& node, NTFS_FILE_DATA& data);

    // CNtfsDataSource
    unsigned int ReadNodeData(const _FILE_NODE_& node, NTFS_FILE_DATA& data) override;
    CDiskReader& DataReader() override { return m_reader; }
    int DataBytesPerSector() const override { return m_nBytesPerSector; }
    uint64_t VolumeClusters(const _FILE_NODE_& node) const override;

    unsigned long long m_u64DeviceStart;
    unsigned long long m_u64SectorCount;
    unsigned long long m_u64SectorLimit;  // device start + count
    wchar_t m_wcDriveLetter;
    int m_nBytesPerSector;
    int m_nSectorsPerRecord;
    int m_nRecordSize;
    bool m_bRecordSizeKnown = false;    // from the boot sector, or the first record taken
    unsigned int m_nSectorsPerCluster;  // for records of an MFT never met
    bool m_bOpen;
    std::map<unsigned long long, NTFS_MFT_ENTRY> m_mapMft;
    std::vector<VOLUME> m_vecVolumes;
    std::map<std::tuple<unsigned long long, unsigned long long, bool>, unsigned int>
        m_mapVolumeIndex;
    std::vector<PENDING> m_vecPending;
    std::set<std::pair<unsigned int, unsigned int>> m_setPending;
    std::map<std::pair<unsigned int, unsigned int>, unsigned int> m_mapLevel;  // parent levels
    std::set<std::pair<unsigned int, unsigned int>> m_setLost;
    std::set<std::pair<unsigned int, unsigned int>> m_setLostMade;
    std::map<std::pair<unsigned int, unsigned int>, uint32_t> m_mapDirId;
    // Folder records read by the parent walks -> sequence number, in use.
    std::map<std::pair<unsigned int, unsigned int>, std::pair<uint16_t, bool>> m_mapFolderSequence;
    std::map<std::pair<unsigned int, uint64_t>, uint32_t> m_mapStaleFolder;
    uint32_t m_nNextDirId;
    unsigned long long m_u64ParentReads;
    unsigned int m_nUnfollowedLists;
    CDiskReader m_reader;
    CNtfsParse m_ntfsParse;
};
