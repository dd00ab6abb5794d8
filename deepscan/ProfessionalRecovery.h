// The deep scan: one engine over the fast engines of the volumes in its area
// and three deep sources. The volumes are the one at the area's start, else
// (a whole disk) those its partition table still points to, and those met
// while reading: a boot sector or superblock at a place where volumes start
// (1 MiB steps, sector 63, cylinder boundaries). Each volume's fast engine
// scans it; the area is read once from start to end (of a volume only its
// free runs, when its engine can say which) and every sector is offered to
// the deep NTFS parser, the deep FAT parser or the carving engine, whichever
// recognises it. Browsing, search, saving and preview merge the sources and
// route a request about one record to the source that made it, by the
// record's engine tag and volume.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include "carving/FileTypeRecovery.h"
#include "common/DiskReader.h"
#include "engine/IFileRecoveryParse.h"
#include "engine/LogFileManager.h"
#include "fat/ProfessionalFatRecovery.h"
#include "ntfs/ProfessionalNtfsRecovery.h"

class CFastExtRecovery;
class CReadAhead;

class CProfessionalRecovery : public IFileRecoveryParse {
public:
    CProfessionalRecovery();
    ~CProfessionalRecovery() override;
    CProfessionalRecovery(const CProfessionalRecovery&) = delete;
    CProfessionalRecovery& operator=(const CProfessionalRecovery&) = delete;

    // The area [first, first + count) of the medium, shared with the four
    // sources: the deep NTFS parser's result. A logical disk's scan is logged
    // by its number, any other medium's by its canonical path.
    using IFileRecoveryParse::Init;
    unsigned int Init(const std::shared_ptr<CMediumSource>& pSource, long long llFirstSector,
                      long long llSectorCount, wchar_t wcDriveLetter) override;

    // Forgets an earlier scan log of this area (its folder is deleted), so the
    // next scan starts afresh.
    void SetNotLoadLogFile();
    // 1 when an earlier, unfinished scan of this area was found (and will be
    // continued by ScanDevice).
    int IsFindLogFile() const { return m_nFindLog; }

    unsigned int InitCallBack(PFN_SCAN_CALLBACK pfnScan, PFN_RECOVERY_CALLBACK pfnRecovery,
                              void* pContext, int nScale) override;
    unsigned int InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch, void* pContext) override;
    unsigned int ScanDevice(const wchar_t* wszResultName) override;

    unsigned int GetChildrenFileNode(const _FILE_NODE_* pDir, unsigned int nLevel,
                                     std::vector<_FILE_NODE_>& vecChildren) override;
    unsigned int GetChildrenFileCount(const _FILE_NODE_* pDir, unsigned int nLevel,
                                      unsigned int& nCount) override;
    unsigned int GetLostFileCount() override;
    unsigned int GetFileNodeParentDirPath(const _FILE_NODE_* pNode, wchar_t* wszBuf,
                                          int nBufLen) override;
    unsigned int SaveFileData(const _FILE_NODE_* pNode, const wchar_t* wszTargetPath,
                              int nLevelOffset) override;
    unsigned int PreView(const _FILE_NODE_* pNode, wchar_t* wszPreviewPath, unsigned char* pBuf,
                         int& nLength, PFN_PREVIEW_CALLBACK pfnPreview, void* pContext) override;
    unsigned int SearchFileNode(const wchar_t* wszKey,
                                std::vector<__SEARCH_FILE_INFO__>& vecHits) override;
    // The merged search streamed: each source's hits in turn, duplicates
    // dropped as in SearchFileNode, none kept.
    unsigned int SearchFileNodeEach(const wchar_t* wszKey, const SearchHitSink& onHit) override;
    unsigned int GetUnUsedSectorCount(unsigned long long&, unsigned long long&) override {
        return 0;
    }
    unsigned int BuildBitMapInfo() override { return 0; }

    // Offers the sectors of one read (nLength bytes from u64FirstSector) to the
    // deep sources. u64Skip: sectors past the buffer's end that a carved file
    // covers (the caller continues after them). Sectors marked in
    // pUnreadable could not be read and are not offered. The last parser's
    // result; 0xFFFFDAC9 when a carving walk was cancelled.
    unsigned int ParseProfessionalFileInfo(const unsigned char* pBuf, int nLength,
                                           unsigned long long u64FirstSector,
                                           unsigned long long u64Scanned,
                                           unsigned long long u64AllSectors, int nSecondsLeft,
                                           unsigned long long& u64Skip,
                                           unsigned long long& u64FilesFound,
                                           const std::vector<char>* pUnreadable = nullptr);

    // For tests and the command line: the sources and what the scan did.
    // The fast engine of the volume at the area's start (null when none).
    IFileRecoveryParse* GetFastEngine() const;
    // The volumes found, in order: first sector (absolute), sectors, engine.
    struct VolumeFound {
        unsigned long long u64First, u64Count;
        IFileRecoveryParse* pEngine;
    };
    std::vector<VolumeFound> GetVolumes() const;
    CProfessionalFatRecovery& GetDeepFat() { return m_proFat; }
    CProfessionalNtfsRecovery& GetDeepNtfs() { return m_proNtfs; }
    CFileTypeRecovery& GetCarving() { return m_carving; }
    // Whether the last scan read only the free runs of a volume.
    bool UsedBitmap() const { return m_bBitmapUsable; }
    // Sectors the last scan read from the medium.
    unsigned long long GetSectorsRead() const { return m_u64SectorsRead; }
    // The medium the scan reads (null before Init).
    const std::shared_ptr<CMediumSource>& GetSource() const { return m_pSource; }

private:
    // The scan's state in its folder: the carved files and the metadata
    // sectors found so far (the journal, appended), the unreadable sectors and
    // the position; with bIndex also the medium's identity and the position
    // in the index. Every 2 s or 32 MiB of the pass (in the folder only), and
    // at its start and end.
    void SaveState(unsigned long long u64RegionOffset, unsigned long long u64RegionLength,
                   unsigned long long u64Done, unsigned long long u64Scanned, bool bIndex);
    void Saved(unsigned long long u64Scanned);
    void WriteBadMap(const std::string& strPath) const;
    static std::vector<SectorRun> ReadBadMap(const std::string& strPath);
    // The journal's sectors before u64Before offered again to the deep parsers
    // (a resumed scan).
    void ReplayJournal(const std::string& strPath, unsigned long long u64Before);
    // 8 KiB from a sector on (what lies past the area or the read is zero);
    // false when nothing could be read.
    bool ReadRecordFrom(unsigned long long u64Sector, std::vector<unsigned char>& vecBuf);
    // A sector to the deep parser (or the ext engine) that recognises it,
    // noted in the journal; false when none does. p holds nAvail bytes from
    // the sector on; u64Step: the sectors it took. bWholeRecord: an MFT
    // record's bytes follow p (else the NTFS test is not made).
    bool ParseMetadataSector(const unsigned char* p, unsigned long long u64Sector, size_t nAvail,
                             unsigned long long& u64Step, bool bWholeRecord = true);
    // The source a record's engine tag (and volume) names; null for none.
    IFileRecoveryParse* SourceOf(const _FILE_NODE_& node);
    unsigned int FastPass(const std::string& strFoundDir);
    unsigned int StartDeepSources(const std::string& strFoundDir);

    // A volume of the area with its fast engine.
    struct Volume {
        unsigned long long u64First = 0, u64Count = 0;  // absolute, 512-byte sectors
        std::unique_ptr<IFileRecoveryParse> pEngine;
        CFastExtRecovery* pExt = nullptr;  // the engine, when it is ext's
        bool bBitmap = false;              // its free runs are known
        std::string strStore;              // its result files, once scanned
    };
    // The volume holding the sector (absolute); null when none does.
    const Volume* VolumeAt(unsigned long long u64Sector) const;
    // A volume of up to u64Count sectors at u64First whose fast engine the
    // factory makes, in order among the others; false when none is
    // recognised there or it would lie over one already found.
    bool AddVolume(unsigned long long u64First, unsigned long long u64Count);
    // The volumes of a whole disk's partition table, each entry clamped to
    // the area; false when the area holds no table.
    bool AddTableVolumes();
    // The fast pass of one volume (its store reopened in a resumed scan);
    // nPercent: the deep pass's progress to report meanwhile (-1: the fast
    // engine's own). Its stop, else 0.
    unsigned int ScanVolume(Volume& vol, int nPercent);
    // A volume met in the nGot sectors read at u64At, scanned by its engine:
    // its boot sector or superblock at a place where volumes start, or a copy
    // of them kept inside a volume that starts at such a place (NTFS's last
    // sector, an ext group's superblock). u64Found: where the read ends for it
    // (the volume's start, or the sector after the copy); ~0 when none. The
    // fast pass's stop, else 0.
    unsigned int FindVolumeIn(const unsigned char* pBuf, unsigned long long u64At,
                              unsigned int nGot, int nPercent, unsigned long long& u64Found);
    // The volumes found, for a resumed scan ("first count store" lines).
    void SaveVolumes() const;
    void LoadVolumes(const std::string& strDir);
    // The next stretch to read at or after u64Pos (relative to the area): a
    // free run of a volume whose free space is known, else everything up to
    // the next volume or the area's end. False when nothing is left.
    bool NextRegion(unsigned long long u64Pos, unsigned long long& u64Offset,
                    unsigned long long& u64Length) const;
    unsigned long long SumRegions(unsigned long long u64Pos) const;
    // The read-ahead plan: kept a window ahead of the parsers along the
    // regions; let go and begun again at u64From when a volume found in a
    // stretch cuts it short.
    void PlanAhead();
    void ReplanFrom(unsigned long long u64From);
    unsigned long long m_u64PlanOffset = 0, m_u64PlanLength = 0;
    // Of u64Still sectors outside every volume at u64At, those before the
    // next volume (one found meanwhile or known to a resumed scan).
    unsigned long long RoomBefore(unsigned long long u64At, unsigned long long u64Still) const;
    // The deep parsers over nSectors read at u64At, a fault contained (the
    // rest of the read abandoned); their stop, else 0. u64Skip: the sectors
    // past the read they took.
    unsigned int ParseRead(const unsigned char* pBuf, unsigned int nSectors,
                           unsigned long long u64At, unsigned long long u64Scanned,
                           unsigned long long u64AllSectors, int& nSecondsLeft,
                           const std::vector<char>& vecUnreadable, unsigned long long& u64Skip);
    // The state saved when a save is due (time or sectors since the last).
    void SaveStateIfDue(unsigned long long u64RegionOffset, unsigned long long u64RegionLength,
                        unsigned long long u64Done, unsigned long long u64Scanned);
    // The deep pass's progress to the caller; its answer (non-zero: stop).
    int ReportDeepProgress(unsigned long long u64Scanned, unsigned long long u64AllSectors,
                           int nSecondsLeft, int& nPercent);
    unsigned int ScanRegions(unsigned long long u64AllSectors, unsigned long long& u64RegionOffset,
                             unsigned long long& u64RegionLength, unsigned long long& u64Done,
                             unsigned long long& u64Scanned);
    // The first data sector of a FAT or NTFS hit; false when it has none.
    bool DataStartOf(const __SEARCH_FILE_INFO__& hit, uint64_t& u64Start);

    wchar_t m_wcDriveLetter;
    int m_nBytesPerSector;
    int m_nDiskNo;
    unsigned long long m_u64FirstSector;
    unsigned long long m_u64SectorCount;
    std::shared_ptr<CMediumSource> m_pSource;
    CDiskReader m_diskReader;
    CProfessionalFatRecovery m_proFat;
    CProfessionalNtfsRecovery m_proNtfs;
    CFileTypeRecovery m_carving;
    std::vector<Volume> m_vecVolumes;  // by first sector, none over another
    int m_nScale;
    PFN_SCAN_CALLBACK m_pfnScan;
    PFN_RECOVERY_CALLBACK m_pfnRecovery;
    PFN_SEARCH_CALLBACK m_pfnSearch;
    void* m_pSearchContext;
    void* m_pContext;
    int m_nFindLog;
    _LOG_FILE_INFO_ m_logInfo;
    std::string m_strImagePath;
    bool m_bBitmapUsable;
    unsigned long long m_u64SectorsRead;
    unsigned long long m_u64BlankSectors = 0;  // blank sectors the parse passed over
    std::vector<uint64_t> m_vecJournal;
    size_t m_nJournalSaved = 0;  // journal entries already in its file
    std::string m_strLogDir;     // the scan's folder
    long m_lLastSave = 0;
    unsigned long long m_u64ScannedAtSave = 0;
};
