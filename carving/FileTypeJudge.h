// Recognises a file type from the first bytes of a sector, and tells whether a
// found file's data matches its extension. The formats live one per file in
// carving/formats/ and register their signatures, types, categories and size
// routines; the extension table and the first-byte dispatch are built from
// them. The tests and walks read the thread's current carving context
// (CarveContext.h): a judge's own while its carving engine calls, a private
// one for IsFileTypeMatching, so no two scans share state.
#pragma once

#include <cstdint>
#include <vector>
#include "carving/CarveContext.h"
#include "engine/FileNode.h"

class CDiskReader;

// A file type number; 49 means none (and ends the extension table).
typedef uint32_t EXTEND_NAME_TYPE;

enum : EXTEND_NAME_TYPE {
    FILE_TYPE_DOC = 0,
    FILE_TYPE_DOCX = 1,
    FILE_TYPE_OLE = 2,
    FILE_TYPE_XLS = 3,
    FILE_TYPE_XLSX = 4,
    FILE_TYPE_PPT = 5,
    FILE_TYPE_PPTX = 6,
    FILE_TYPE_MSO07 = 7,
    FILE_TYPE_PDF = 8,
    FILE_TYPE_GHO = 9,
    FILE_TYPE_JPG = 10,
    FILE_TYPE_MP2 = 11,
    FILE_TYPE_MP3 = 12,
    FILE_TYPE_MID = 13,
    FILE_TYPE_MMF = 14,
    FILE_TYPE_MPEG = 15,
    FILE_TYPE_3GP = 16,
    FILE_TYPE_MOV = 17,
    FILE_TYPE_MP4 = 18,
    FILE_TYPE_MKV = 19,
    FILE_TYPE_TS = 20,
    FILE_TYPE_WAV = 21,
    FILE_TYPE_AVI = 22,
    FILE_TYPE_RMVB = 23,
    FILE_TYPE_WMV = 24,
    FILE_TYPE_APE = 25,
    FILE_TYPE_SWF = 26,
    FILE_TYPE_FLV = 27,
    FILE_TYPE_PSD = 28,
    FILE_TYPE_BMP = 29,
    FILE_TYPE_PNG = 30,
    FILE_TYPE_GIF = 31,
    FILE_TYPE_TIF = 32,
    FILE_TYPE_CAB = 33,
    FILE_TYPE_7Z = 34,
    FILE_TYPE_ZIP = 35,
    FILE_TYPE_GZ = 36,
    FILE_TYPE_RAR = 37,
    FILE_TYPE_PST = 38,
    FILE_TYPE_DB = 39,
    FILE_TYPE_DBX = 40,
    FILE_TYPE_EXE = 41,
    FILE_TYPE_DLL = 42,
    FILE_TYPE_SYS = 43,
    FILE_TYPE_FLA = 44,
    FILE_TYPE_TTF = 45,
    FILE_TYPE_ICO = 46,
    FILE_TYPE_MTS = 47,
    FILE_TYPE_MXF = 48,
    FILE_TYPE_NONE = 49,
    // Types added after the first 49 (stored numbers: never renumber one).
    FILE_TYPE_OGG = 50,
    FILE_TYPE_OGV = 51,
    FILE_TYPE_OPUS = 52,
    FILE_TYPE_FLAC = 53,
    FILE_TYPE_PPM = 54,
    FILE_TYPE_PGM = 55,
    FILE_TYPE_PBM = 56,
    FILE_TYPE_XCF = 57,
    FILE_TYPE_WEBP = 58,
    FILE_TYPE_HEIC = 59,
    FILE_TYPE_AVIF = 60,
    FILE_TYPE_CR3 = 61,
    FILE_TYPE_TEXT = 62,
};

// A signature test: the type on a match, 49 otherwise (and for a null or short buffer).
typedef EXTEND_NAME_TYPE (*PFN_FILE_TYPE_TEST)(const unsigned char* pBuf, int nLen);
// A size routine: bytes of the file whose first sector is pBuf.
typedef unsigned long long (*PFN_FILE_SIZE)(const unsigned char* pBuf, int nLen);

// One row of the extension table.
struct _EXTEND_NAME_ITEM_ {
    const char* szExtendName;  // null on the end row
    EXTEND_NAME_TYPE nType;
    PFN_FILE_TYPE_TEST pfnIsType;  // null: never tested
    PFN_FILE_SIZE pfnGetSize;      // null: recognised but never carved
    unsigned int nCategory;        // one TW_CATEGORY_* bit (engine/Categories.h)
};

class CFileTypeJudge {
public:
    // ---- Recognition ----------------------------------------------------
    // The extension table in the order the types are tried, ended by a row
    // with a null extension, built from the formats' registrations on first
    // use. Plain text ('text') is tried only where no other row matched.
    static const _EXTEND_NAME_ITEM_* ExtendNameTable();
    static int ExtendNameRowCount();

    // The type of the first row, in table order, whose test recognises the buffer.
    static EXTEND_NAME_TYPE GetDataBufType(const unsigned char* pBuf, int nLen);
    // The same for a sector read from the device at u64Sector: the tests that
    // read on (transport streams, compound files) read there.
    static EXTEND_NAME_TYPE GetDataBufTypeAt(const unsigned char* pBuf, int nLen,
                                             CDiskReader* pDiskReader, int nBytesPerSector,
                                             unsigned long long u64Sector);
    // The type of the first row with this extension (case ignored); 49 if none.
    static EXTEND_NAME_TYPE GetExtendNameType(const char* szExtendName);
    // Whether a file name's extension has a row with a signature test, so that
    // a match says something about the data.
    static bool HasTypeTest(const char* szFileName);
    // 1 when the data matches the extension (or the extension is unknown), else
    // 0. The tests that read on read pDiskReader around u64StartSector, in a
    // context of their own without the transport-stream range check.
    static int IsFileTypeMatching(const unsigned char* pBuf, int nLen, const char* szExtendName,
                                  CDiskReader* pDiskReader, int nBytesPerSector,
                                  unsigned long long u64StartSector);
    // 1 for a name starting "word", 6 for "ppt", 4 for "xl" (case ignored), else 49.
    static EXTEND_NAME_TYPE ReturnFileType(const char* szName, int nLen);

    // The tests, each its format's (carving/formats/). Transport stream, MTS
    // and the compound-file and ZIP-based document tests also read the device
    // through the current context.
    static EXTEND_NAME_TYPE IsMpgType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsMp4Type(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsRmvbType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsAsfType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsSwfType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsAviType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsFlvType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE Is3pgType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsMkvType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsTsType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsMtsType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsMxfType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsMp3Type(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsMidType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsApeType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsWavType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsMovType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsMp2Type(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsMmfType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsFlaType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsGifType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsBmpType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsJpgType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsPngType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsPsdType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsTifType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsIcoType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsOffice2003Type(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsOffice2007Type(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsPdfType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsGzipType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE Is7zType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsZipType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsRarType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsCabType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsPeType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsGhoType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsSqlType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsDbxEmailType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsPstEmailType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsTtfType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsOggType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsFlacType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsPnmType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsXcfType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsWebpType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsHeifType(const unsigned char* pBuf, int nLen);
    static EXTEND_NAME_TYPE IsTextType(const unsigned char* pBuf, int nLen);

    // Compound file at m_u64CurrentSector: 0 doc, 3 xls, 5 ppt, 2 otherwise.
    static EXTEND_NAME_TYPE GetOffice2003Type(const unsigned char* pHeader, int nLen);
    // ZIP-based document at m_u64CurrentSector: 1 docx, 4 xlsx, 6 pptx, or 49.
    static EXTEND_NAME_TYPE GetOffice2007Type(const unsigned char* pBuf, int nLen);
    // The extension a ZIP archive whose head sector is pBuf is named with, by
    // its first member: "mimetype" gives odt, ods, odp, odg or epub by its
    // text, "META-INF/" jar (apk with an "AndroidManifest.xml" or
    // "classes.dex" among the members of its first 64 KiB, read at
    // m_u64CurrentSector), "AndroidManifest.xml" apk; anything else "zip".
    static const char* GetZipContainerExtension(const unsigned char* pBuf, int nLen);

    // ---- Measuring (the size routines are each format's) ----------------
    // The judge's own context: its carving engine makes it current (a
    // CCarveContextScope) around its calls of the static functions below.
    CCarveContext& Context() { return m_context; }

    // Sets the progress callback of the current context.
    static int InitCallBack(PFN_SCAN_CALLBACK pfnProgress, PFN_RECOVERY_CALLBACK pfnRecovery,
                            void* pParam, int nPercent);
    // On the current context: 0 when a file was recognised and measured, 87
    // when no carvable type was recognised, -9527 when the progress callback
    // asked to stop (any non-zero answer) during the measuring walk.
    static int ParseFileBuf(const unsigned char* pBuf, int nLen, unsigned long long u64StartSector,
                            unsigned long long u64ScanSectorCount,
                            unsigned long long u64SectorTotalCount, int nRemaidSecond,
                            unsigned long long u64FileCount, CDiskReader* pDiskReader,
                            int nBytesPerSector, char szFileName[256], EXTEND_NAME_TYPE* pType,
                            unsigned long long* pu64FileSize);

    // The size routines, each its format's; the default walks and end tests
    // are shared (CarveWalk.cpp).
    static unsigned long long GetMPGFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetMP4FileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetRMVBFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetASFFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetSWFFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetAVIFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetDefaultVedioFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetMKVFileBytes(const unsigned char* pBuf, int nLen);
    static unsigned long long GetTSFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetMP3FileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetMIDFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetAPEFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetWAVFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetDefaultAudioFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetFLAFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetGIFFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetBMPFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetJPGFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetPNGFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetDefaultPictureFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetICOFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetOFFICE2003FileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetOFFICE2003FileBytesSizeByFileHead(const unsigned char* pBuf,
                                                                   int nLen);
    static unsigned long long GetOFFICE2007FileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetPDFFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long Get7ZFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetZIPFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetRARFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetCABFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetDBFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetMailFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetTTFFileBytesSize(const unsigned char* pBuf, int nLen);
    // Sizes from the file's structure (FileTypeStructure.h), each falling back
    // to a sector walk when the structure does not parse cleanly.
    static unsigned long long GetISOMediaFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetOGGFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetFLACFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetPNMFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetXCFFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetWEBPFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetHEIFFileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetCR3FileBytesSize(const unsigned char* pBuf, int nLen);
    static unsigned long long GetTEXTFileBytesSize(const unsigned char* pBuf, int nLen);

    static int IsEndOfFile(const unsigned char* pChunk, int nLen, unsigned long long& u64Size);
    static int IsEndOfVedioFile(const unsigned char* pChunk, int nLen, unsigned long long& u64Size);
    static int IsEndOfMPGFile(const unsigned char* pChunk, int nLen, unsigned long long& u64Size);
    static int IsFileSystemSector(const unsigned char* pSector, int nLen);
    static int GetJPGFileTailOffset(const unsigned char* pBuf, int nLen,
                                    unsigned long long& u64Off);
    static int GetPNGFileTailOffset(const unsigned char* pBuf, int nLen,
                                    unsigned long long& u64Off);
    static int GetGIFFileTailOffset(const unsigned char* pBuf, int nLen,
                                    unsigned long long& u64Off);

private:
    CCarveContext m_context;
};

// How far a found file's data can be trusted: damaged when its engine found
// the first data sector unlike the type its name promises (health 0); good
// when it matched, or when the carver measured the file from its own
// content; unknown when no test exists for its extension (or it has none).
enum NODE_CONDITION { NODE_CONDITION_GOOD, NODE_CONDITION_DAMAGED, NODE_CONDITION_UNKNOWN };
NODE_CONDITION GetFileNodeCondition(const _FILE_NODE_& node);
