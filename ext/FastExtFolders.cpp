// The ext engine's folders: where each found file and folder is listed.
#include "ext/FastExtRecovery.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include "carving/FileTypeJudge.h"
#include "common/ByteOrder.h"
#include "common/DebugLog.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "ext/FastExtLimits.h"

namespace {

// No directory is read past 64 MiB.
const uint64_t kMaxDirBytes = 64ull << 20;
const char kLostDirName[] = "LostFiles";

void UnixToFileTime(uint32_t nSeconds, _FILETIME& ft) {
    const uint64_t u64 = nSeconds ? (nSeconds + 11644473600ull) * 10000000ull : 0;
    ft.dwLowDateTime = static_cast<uint32_t>(u64);
    ft.dwHighDateTime = static_cast<uint32_t>(u64 >> 32);
}

// A name as narrow text; bytes that are no UTF-8 become '_'.
void NameToNode(const std::string& strName, char* szOut, size_t nCap) {
    std::wstring wstr = tw::Utf8ToWide(strName.c_str());
    if (wstr.empty() && !strName.empty()) {
        std::string strSafe = strName;
        for (char& c : strSafe)
            if (static_cast<unsigned char>(c) >= 0x80) c = '_';
        wstr = tw::Utf8ToWide(strSafe.c_str());
    }
    if (tw::WideToNarrowBounded(wstr.c_str(), wstr.size(), szOut, nCap, nullptr) < 0) szOut[0] = 0;
}

}  // namespace

uint32_t CFastExtRecovery::PlaceFolder(uint32_t nDir) {
    // The folder and those above it that are not known yet, up to one that
    // is, with the names the scan and the free space gave them.
    uint32_t nAt = nDir;
    std::set<uint32_t> seen;
    while (nAt != kExtRootInode && !m_folders.mapDir.count(nAt) && seen.insert(nAt).second &&
           seen.size() < 256) {
        std::string strName = "LostFolder" + std::to_string(nAt);
        uint32_t nParent = kExtRootInode;
        auto named = m_mapNewest.find(nAt);
        auto free = m_mapFreeNames.find(nAt);
        if (named != m_mapNewest.end()) {
            strName = named->second.strName;
            nParent = named->second.nParent;
        } else if (free != m_mapFreeNames.end()) {
            strName = free->second.strName;
            nParent = free->second.nDir ? free->second.nDir : kExtRootInode;
        }
        auto up = m_mapFreeParents.find(nAt);
        if (up != m_mapFreeParents.end()) nParent = up->second;
        if (!AddDeletedFolder(nAt, strName, nParent)) break;
        nAt = nParent;
    }
    return nDir == kExtRootInode || m_folders.mapDir.count(nDir) ? nDir : kExtLostDir;
}

unsigned int CFastExtRecovery::FinishDeepScan() {
    if (!m_bDeep || !m_bReady || !m_pStore) return 0;
    const size_t nCopiesBefore = m_nJournalCopies;
    TakeFreeJournals();

    // Names whose data no copy mapped, with the copies met since; then the
    // names met in free space, under their folders.
    std::vector<NoData> todo;
    if (m_nJournalCopies != nCopiesBefore) todo.swap(m_vecNoData);
    std::vector<std::pair<uint32_t, const FreeName*>> vecFree;
    for (const auto& f : m_mapFreeNames)
        if (!m_setRecorded.count(f.first) && !m_mapNewest.count(f.first) &&
            !m_setOpened.count(f.first))
            vecFree.push_back({f.first, &f.second});
    std::sort(vecFree.begin(), vecFree.end());
    for (const auto& f : vecFree) {
        // Folders among them are placed as their files need them.
        std::vector<InodeVersion> versions;
        InodeVersions(f.first, versions);
        bool bFile = false;
        for (const InodeVersion& v : versions) bFile = bFile || v.inode.IsFile();
        if (bFile)
            todo.push_back({f.first, f.second->nDir ? PlaceFolder(f.second->nDir) : kExtLostDir,
                            f.second->strName});
    }
    SettleLevels();
    for (const NoData& n : todo) RecordFile(n.nIno, n.nParent, n.strName);
    RecordLost();
    m_cache.clear();
    m_folders.WriteTo(*m_pStore, [this](uint32_t nDir) { return LevelOf(nDir); });
    m_pStore->FlushBufToFile();
    return 0;
}

void CFastExtRecovery::OpenDir(uint32_t nDir, bool bRoot, std::vector<uint32_t>& queue) {
    if (!m_setOpened.insert(nDir).second) return;
    std::vector<InodeVersion> versions;
    InodeVersions(nDir, versions);
    if (versions.empty()) return;
    const EXT_INODE& cur = versions[0].inode;
    const bool bLive = cur.IsDir() && IsInodeLive(cur, nDir);
    if (!bLive && bRoot) return;
    std::vector<Run> runs;
    EXT_INODE dir = cur;
    if (bLive) {
        m_setLiveDirs.insert(nDir);
        MapInode(cur, kOnDisk, false, runs);
    } else {
        InodeVersion chosen;
        bool bHealthy = false;
        if (ChooseVersion(nDir, true, chosen, runs, bHealthy)) dir = chosen.inode;
    }
    const bool bFileType = m_sb.nIncompat & EXT_INCOMPAT_FILETYPE;
    if (dir.nFlags & EXT_INODE_INLINE_DATA_FL) {
        std::vector<EXT_DIR_ENTRY> entries;
        ParseExtDirBlock(dir.block + 4, sizeof dir.block - 4, bFileType, m_sb.nInodes, entries);
        AddEntries(nDir, entries, kOnDisk, bLive, queue);
    }
    std::set<uint64_t> setBlocks;
    uint64_t u64Bytes = 0;
    for (const Run& r : runs) {
        for (uint64_t i = 0; i < r.u64Count && r.u64Physical && u64Bytes < kMaxDirBytes; ++i) {
            setBlocks.insert(r.u64Physical + i);
            u64Bytes += m_sb.nBlockBytes;
        }
    }
    std::vector<unsigned char> buf(m_sb.nBlockBytes);
    std::vector<EXT_DIR_ENTRY> entries;
    for (uint64_t u64Block : setBlocks) {
        // A deleted folder's block in use again holds someone else's data now.
        if ((bLive || !IsBlockInUse(u64Block)) && ReadBlocks(buf.data(), u64Block, 1) == 0) {
            entries.clear();
            ParseExtDirBlock(buf.data(), buf.size(), bFileType, m_sb.nInodes, entries);
            AddEntries(nDir, entries, kOnDisk, bLive, queue);
        }
        auto it = m_copies.find(u64Block);
        if (it == m_copies.end()) continue;
        for (const Copy& copy : it->second) {
            ReadCopy(copy, buf);
            if (buf.empty()) break;
            entries.clear();
            if (ParseExtDirBlock(buf.data(), buf.size(), bFileType, m_sb.nInodes, entries) ||
                !entries.empty())
                AddEntries(nDir, entries, copy.nSeq, false, queue);
        }
        buf.resize(m_sb.nBlockBytes);
    }
}

void CFastExtRecovery::AddEntries(uint32_t nDir, const std::vector<EXT_DIR_ENTRY>& vecEntries,
                                  uint64_t nSeq, bool bLiveBlock, std::vector<uint32_t>& queue) {
    const bool bFileType = m_sb.nIncompat & EXT_INCOMPAT_FILETYPE;
    for (const EXT_DIR_ENTRY& e : vecEntries) {
        // Names of the folder itself or of the root are no entries of a tree.
        if (e.strName == "." || e.strName == ".." || e.nInode == nDir || e.nInode == kExtRootInode)
            continue;
        uint8_t nType = e.nType;
        if (!bFileType) {
            // Without types in the entries, the inode tells (any of its versions).
            std::vector<InodeVersion> versions;
            InodeVersions(e.nInode, versions);
            nType = 0;
            for (const InodeVersion& v : versions)
                if (v.inode.IsDir() || v.inode.IsFile()) {
                    nType = v.inode.IsDir() ? EXT_FT_DIR : EXT_FT_FILE;
                    break;
                }
        }
        if (nType == EXT_FT_DIR) {
            if (bLiveBlock && e.bLive) {
                // A live folder: the tree the deleted files' paths run through.
                std::vector<InodeVersion> versions;
                InodeVersions(e.nInode, versions);
                if (!versions.empty() && !m_folders.mapDir.count(e.nInode)) {
                    FolderPaths::Folder folder;
                    FillNode(folder.node, versions[0].inode, e.nInode, e.strName);
                    folder.node.bIsDeleted = 0;
                    folder.node.u64RecordSector = versions[0].u64Sector;
                    folder.nParentId = nDir;
                    m_folders.mapDir[e.nInode] = folder;
                    m_mapDirParent[e.nInode] = nDir;
                }
            }
            if (!m_setOpened.count(e.nInode)) queue.push_back(e.nInode);
        }
        if (bLiveBlock && e.bLive) continue;
        auto it = m_mapNewest.find(e.nInode);
        if (it == m_mapNewest.end() || it->second.nSeq < nSeq)
            m_mapNewest[e.nInode] = Entry{nDir, e.strName, nType, nSeq};
    }
}

bool CFastExtRecovery::AddDeletedFolder(uint32_t nDir, const std::string& strName,
                                        uint32_t nParent) {
    std::vector<InodeVersion> versions;
    InodeVersions(nDir, versions);
    if (versions.empty()) return false;
    FolderPaths::Folder folder;
    EXT_INODE in = versions[0].inode;
    for (const InodeVersion& v : versions)
        if (v.inode.IsDir()) {
            in = v.inode;
            break;
        }
    FillNode(folder.node, in, nDir, strName);
    folder.node.bIsDir = 1;
    folder.node.u64FileSize = 0;
    folder.node.u64RecordSector = versions[0].u64Sector;
    folder.nParentId = nParent;
    m_folders.mapDir[nDir] = folder;
    return true;
}

void CFastExtRecovery::SettleFolders() {
    // Deleted folders: their newest name, or a made-up one under the root.
    for (uint32_t nDir : m_setOpened) {
        if (nDir == kExtRootInode || m_setLiveDirs.count(nDir) || m_folders.mapDir.count(nDir))
            continue;
        auto it = m_mapNewest.find(nDir);
        if (it != m_mapNewest.end()) {
            AddDeletedFolder(nDir, it->second.strName, it->second.nParent);
        } else {
            auto p = m_mapDirParent.find(nDir);
            AddDeletedFolder(nDir, "LostFolder" + std::to_string(nDir),
                             p != m_mapDirParent.end() ? p->second : kExtRootInode);
        }
    }
    FolderPaths::Folder lost;
    std::memset(&lost.node, 0, sizeof lost.node);
    lost.node.nDriveLetter = m_src.nDriveLetter;
    lost.node.nEngineType = ENGINE_FAST_EXT;
    lost.node.bIsDir = 1;
    lost.node.bIsDeleted = 1;
    lost.node.bDataHealth = 1;
    lost.node.nDirId = kExtLostDir;
    lost.node.nClusterBytes = m_sb.nBlockBytes;
    lost.node.u64PartitionStartSector = m_src.u64Start;
    std::strcpy(lost.node.szFileName, kLostDirName);
    lost.nParentId = kExtRootInode;
    m_folders.mapDir[kExtLostDir] = lost;
    SettleLevels();
}

void CFastExtRecovery::SettleLevels() {
    // A parent that is not known, or a chain that loops, puts the folder at the root.
    for (auto& d : m_folders.mapDir) {
        std::set<uint32_t> seen{d.first};
        uint32_t nAt = d.second.nParentId;
        while (nAt != kExtRootInode) {
            auto p = m_folders.mapDir.find(nAt);
            if (p == m_folders.mapDir.end() || !seen.insert(nAt).second) {
                d.second.nParentId = kExtRootInode;
                break;
            }
            nAt = p->second.nParentId;
        }
    }
    m_mapDirLevel.clear();
    m_mapDirLevel[kExtRootInode] = 0;
    for (const auto& d : m_folders.mapDir) {
        std::vector<uint32_t> chain;
        uint32_t nAt = d.first;
        while (!m_mapDirLevel.count(nAt)) {
            chain.push_back(nAt);
            auto p = m_folders.mapDir.find(nAt);
            nAt = p == m_folders.mapDir.end() ? kExtRootInode : p->second.nParentId;
        }
        unsigned int nLevel = m_mapDirLevel[nAt];
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) m_mapDirLevel[*it] = ++nLevel;
    }
}

unsigned int CFastExtRecovery::LevelOf(uint32_t nDir) const {
    auto it = m_mapDirLevel.find(nDir);
    return it == m_mapDirLevel.end() ? 0 : it->second;
}

void CFastExtRecovery::FillNode(_FILE_NODE_& node, const EXT_INODE& inode, uint32_t nIno,
                                const std::string& strName) {
    std::memset(&node, 0, sizeof(node));
    node.nDriveLetter = m_src.nDriveLetter;
    node.nEngineType = ENGINE_FAST_EXT;
    node.bIsDir = inode.IsDir() ? 1 : 0;
    node.bIsDeleted = 1;
    node.bDataHealth = 1;
    node.nDirId = nIno;
    node.nClusterBytes = m_sb.nBlockBytes;
    UnixToFileTime(inode.nCrtime ? inode.nCrtime : inode.nCtime, node.ftCreateTime);
    UnixToFileTime(inode.nAtime, node.ftLastAccessTime);
    UnixToFileTime(inode.nMtime, node.ftLastWriteTime);
    node.u64FileSize = node.bIsDir ? 0 : inode.u64Size;
    node.u64PartitionStartSector = m_src.u64Start;
    NameToNode(strName, node.szFileName, sizeof node.szFileName);
}

void CFastExtRecovery::RecordFile(uint32_t nIno, uint32_t nParent, const std::string& strName) {
    if (m_setRecorded.count(nIno)) return;
    InodeVersion chosen;
    std::vector<Run> runs;
    bool bHealthy = false;
    if (!ChooseVersion(nIno, false, chosen, runs, bHealthy)) {
        std::vector<InodeVersion> versions;
        InodeVersions(nIno, versions);
        if (!versions.empty() && !IsInodeLive(versions[0].inode, nIno)) {
            ++m_nNamesWithoutData;
            // Tried again when the deep scan meets more copies.
            if (m_bDeep && !strName.empty() && m_vecNoData.size() < kExtMaxFreeNames)
                m_vecNoData.push_back({nIno, nParent, strName});
        }
        return;
    }
    // The first block of the data (0 when the file begins with a hole).
    const uint64_t u64First = !runs.empty() && runs[0].u64Logical == 0 ? runs[0].u64Physical : 0;
    std::string strOwn = strName;
    if (strOwn.empty()) {
        strOwn = "#" + std::to_string(nIno);
        const std::string strExt = u64First ? GuessExtension(u64First) : std::string();
        if (!strExt.empty()) strOwn += "." + strExt;
    }
    _FILE_NODE_* pNode = static_cast<_FILE_NODE_*>(m_pStore->CreateFileNode(sizeof(_FILE_NODE_)));
    if (!pNode) return;
    FillNode(*pNode, chosen.inode, nIno, strOwn);
    pNode->u64RecordSector = chosen.u64Sector;
    pNode->u64DataStartSector = u64First * (m_sb.nBlockBytes / 512);
    pNode->bDataHealth = bHealthy ? DataHealth(*pNode) : 0;
    pNode->nFileIndex = m_pStore->GetFileIndex();
    m_pStore->AddChildren(nParent, LevelOf(nParent), pNode->nFileIndex, nIno, nullptr);
    m_folders.AddPath(nParent, kExtRootInode);
    m_setRecorded.insert(nIno);
    ++m_u64FilesFound;
}

uint32_t CFastExtRecovery::DataHealth(const _FILE_NODE_& node) {
    char szExt[sizeof(node.szFileName)] = {0};
    if (node.u64FileSize == 0 || node.u64DataStartSector == 0 ||
        GetExtendName(node.szFileName, szExt) != 0 || !szExt[0])
        return 1;
    unsigned char sector[512];
    const uint64_t u64Sector = m_src.u64Start + node.u64DataStartSector;
    unsigned int nRead = 0;
    if (m_src.reader.ReadData(sector, 1, static_cast<long long>(u64Sector), 512, &nRead) != 0)
        return 1;
    return CFileTypeJudge::IsFileTypeMatching(sector, sizeof sector, szExt, &m_src.reader, 512,
                                              u64Sector) != 0;
}

std::string CFastExtRecovery::GuessExtension(uint64_t u64Block) {
    unsigned char sector[512];
    unsigned int nRead = 0;
    if (m_src.reader.ReadData(sector, 1, static_cast<long long>(BlockSector(u64Block)), 512,
                              &nRead) != 0)
        return std::string();
    const EXTEND_NAME_TYPE nType = CFileTypeJudge::GetDataBufTypeAt(
        sector, sizeof sector, &m_src.reader, 512, BlockSector(u64Block));
    for (const _EXTEND_NAME_ITEM_* pRow = CFileTypeJudge::ExtendNameTable(); pRow->szExtendName;
         ++pRow) {
        if (pRow->nType == nType) return pRow->szExtendName;
    }
    return std::string();
}
