// The file-backed store in which every engine keeps its finds. Records live in
// a node file (344 bytes each, record n at offset (n - 1) * 344); only the
// directory structure (child lists and named directories) is held in memory.
//
// Files, in the current scan folder of the scan-log store:
//   <name>            the node records, appended, no header;
//   <name>_Relation   the child map as text: " | key - [r1,r2,...]" per key,
//                     ascending keys;
//   <name>_DirInfo    the named directories, 264-byte _DIR_FILE_INFO_ records.
//
// Recording a find: p = CreateFileNode(344), fill the record, set its
// nFileIndex to GetFileIndex(), then AddChildren(parent id, parent depth,
// GetFileIndex(), own id, name for a directory or null for a file). Call
// FlushBufToFile before listing or counting; search flushes by itself.
// One thread at a time; no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>
#include "engine/FileNode.h"

// One directory that an engine registered with a name: 264 bytes on disk.
struct _DIR_FILE_INFO_ {
    uint32_t nDirId;      // directory id (first cluster, MFT record number)
    uint32_t nFileIndex;  // record number of the directory's node record
    char szDirName[256];  // NUL-terminated; bytes after the terminator mean nothing
};
static_assert(sizeof(_DIR_FILE_INFO_) == 264, "_DIR_FILE_INFO_ is 264 bytes");
static_assert(offsetof(_DIR_FILE_INFO_, nFileIndex) == 4, "layout");
static_assert(offsetof(_DIR_FILE_INFO_, szDirName) == 8, "layout");

// Category extension lists. A search key is a concatenation of some of them
// (and "*.other" for files of no known type); matching is a substring test.
inline constexpr char szPictureTypeList[] =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|"
    "*.cr2|*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|"
    "*.mos|*.x3f|*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|*.icns|"
    "*.ppm|*.webp|*.heic|*.heif|*.avif|*.cr3|*.xcf|";
inline constexpr char szMusicTypeList[] =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|"
    "*.acd|*.amr|*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd|*.flac|*.opus|*.oga|";
inline constexpr char szDocumentTypeList[] =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|"
    "*.html|*.pst|*.dbx|*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb|*.odp|*.odg|*.epub";
inline constexpr char szVideoTypeList[] =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|"
    "*.3g2|*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|"
    "*.hdmov|*.mod|*.mxf|*.lrv|*.ogv|";
inline constexpr char szArchiveTypeList[] =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso|"
    "*.exe|*.dmg|*.apk|";

// The lower-cased extension of a record's name (after its last '.'); "" when
// it has none.
std::string NodeExtension(const _FILE_NODE_& node);
// True when "*.<ext>" is one whole pattern of a type list ("*.a|*.b|..."): "c"
// is not in a list that holds "*.pcx", nor "ra" in one that holds "*.raw".
bool IsExtensionInTypeList(const std::string& strExt, const char* szList);

// Directory key -> record numbers of its children, in insertion order.
typedef std::map<uint64_t, std::vector<uint32_t>> DirRelationMap;

// Orders like the listing: files before directories, then names by strcasecmp.
bool VectorCmp(const _FILE_NODE_& a, const _FILE_NODE_& b);
bool SearchVectorCmp(const __SEARCH_FILE_INFO__& a, const __SEARCH_FILE_INFO__& b);

class CScanResultFileManager {
public:
    // Records per write buffer and per read piece of whole-file scans.
    static constexpr uint32_t kRecordSize = 344;
    static constexpr uint32_t kBufferCapacity = 200 * kRecordSize;  // 68,800 bytes
    // Above this node-file size "*.other" in a search key is ignored.
    static constexpr uint64_t kOtherTypesMaxFileSize = 0x7FFFFFF;

    CScanResultFileManager();
    ~CScanResultFileManager();  // flushes; the files stay on disk
    CScanResultFileManager(const CScanResultFileManager&) = delete;
    CScanResultFileManager& operator=(const CScanResultFileManager&) = delete;

    // Opens or creates the three files of this name in the current scan folder
    // and reloads what they hold. 0, errno, or 8 when the buffer cannot be made.
    unsigned int Init(const wchar_t* wszName);

    // Reserves the next record in the write buffer (writing the buffer out when
    // it is full) and counts it. Null when the store has no buffer (Init failed
    // or not called) or nSize is not in 1..capacity.
    void* CreateFileNode(int nSize);
    // The record counter: the number of the record just created (a reopened
    // store counts the records it holds).
    uint32_t GetFileIndex() const { return m_nFileIndex; }
    // Drops every record after the first nCount (and their places in the
    // lists): a resumed scan goes on from where its last saved state was.
    unsigned int KeepFirstRecords(uint32_t nCount);
    // Appends the child under key (depth << 32) | parent id; with a name also
    // registers the child as a named directory.
    void AddChildren(uint32_t nParentDirId, uint32_t nParentDepth, uint32_t nChildIndex,
                     uint32_t nChildDirId, const char* szName);

    // Pending records, then the relation and directory files.
    void FlushBufToFile();
    unsigned int FlushFileNodeToFile();
    unsigned int FlushRelationToFile();
    unsigned int FlushDirFileInfoVec();

    // Appends the visible children of the key (0: the smallest key), then sorts
    // the whole vector with VectorCmp. 0 or the errno of a failed read.
    unsigned int GetChildrenFileNode(uint64_t u64Key, std::vector<_FILE_NODE_>& vecChildren);
    // Number of file records in the whole subtree below the key.
    unsigned int GetChildrenFileCount(uint64_t u64Key, uint32_t& nCount);
    // The chain of parent directories, nearest first. 87 for a null node or an
    // unknown parent (the parents found so far stay in vecParents).
    unsigned int GetParentFileNode(const _FILE_NODE_* pNode, std::vector<_FILE_NODE_>& vecParents);
    // "DIR/SUB/" for a file in DIR/SUB, "" at the top level; 0 or -1.
    int GetParentDirPath(const _FILE_NODE_* pNode, wchar_t* wszBuf, int nBufLen);
    // First directory record with that id, read from the node file; 87 if none.
    unsigned int GetFileNodeByClusterNO(uint32_t nDirId, _FILE_NODE_* pNode);
    bool IsDirFileNodeExist(long long llDirId, uint32_t nDepth) const;

    unsigned int InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch, void* pContext);
    // Type filter over all file records; 1, or 0 when the node file cannot be
    // opened (the hit vector then only sorted).
    int SearchFileNodeInfo(const wchar_t* wszKey, std::vector<__SEARCH_FILE_INFO__>& vecHits);
    // The same search, each hit handed to onHit in record order as it is read,
    // none kept; a non-zero return of onHit ends the search. 1, or 0 when the
    // node file cannot be opened.
    int ForEachSearchHit(const wchar_t* wszKey,
                         const std::function<int(const __SEARCH_FILE_INFO__&)>& onHit);

    // Parses relation text (never beyond nLength bytes) into the map; a later
    // list under the same key replaces an earlier one. Returns 0.
    static int GetDirRelationMap(const char* szText, int nLength, DirRelationMap& mapOut);
    // Builds the relation text of a map (the format GetDirRelationMap reads).
    static std::string BuildRelationText(const DirRelationMap& map);

    // Paths of the three files (empty before Init).
    const std::string& GetNodeFilePath() const { return m_strNodePath; }
    const std::string& GetRelationFilePath() const { return m_strRelationPath; }
    const std::string& GetDirInfoFilePath() const { return m_strDirInfoPath; }

private:
    void CloseFiles();
    bool IsHiddenDamagedPicture(const _FILE_NODE_& node) const;
    unsigned int ReadRecord(uint32_t nIndex, _FILE_NODE_* pNode);
    const std::vector<uint32_t>* FindList(uint64_t u64Key) const;
    // Lists or named directories were cut (a resumed scan): the files are
    // rewritten at the next flush, the look-ups made again when next needed.
    void NoteStructureCut();
    // The key of the first list (in ascending key order) that holds the
    // record; false when none does.
    bool ListKeyOf(uint32_t nIndex, uint64_t& u64Key);
    // The first named directory with that id; null when there is none.
    const _DIR_FILE_INFO_* DirInfoOf(uint32_t nDirId);

    uint32_t m_nBufUsed;
    uint32_t m_nBufCapacity;
    uint32_t m_nFileIndex;
    unsigned char* m_pBuf;
    int m_nNodeFd;
    int m_nRelationFd;
    int m_nDirInfoFd;
    PFN_SEARCH_CALLBACK m_pfnSearch;
    void* m_pSearchContext;
    std::string m_strNodePath;
    std::string m_strRelationPath;
    std::string m_strDirInfoPath;
    DirRelationMap m_mapRelation;
    std::vector<_DIR_FILE_INFO_> m_vecDirInfo;
    std::string m_strAllTypes;
    // Length of the relation text last written, so a shorter text truncates.
    uint64_t m_u64RelationLen;
    // What the files do not hold yet: a flush rewrites only what changed.
    bool m_bRelationDirty = false;
    bool m_bDirInfoDirty = false;
    // Parent look-ups, made from the map and list when first needed and kept
    // up to date after: per record number, the smallest key whose list holds
    // it (kNoKey: none); per directory id, its first entry in the list.
    static constexpr uint64_t kNoKey = UINT64_MAX;
    std::vector<uint64_t> m_vecListKey;
    bool m_bListKeyValid = false;
    std::unordered_map<uint32_t, size_t> m_mapDirInfoById;
    bool m_bDirInfoByIdValid = false;
    // The piece of the node file read last by listing and counting.
    std::vector<unsigned char> m_vecReadCache;
    uint64_t m_u64CacheOffset;
    uint32_t m_nCacheLen;
};
