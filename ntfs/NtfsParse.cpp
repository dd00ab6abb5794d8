#include "ntfs/NtfsParse.h"

#include <cstring>

#include "common/Utf16.h"

namespace {

template <typename T>
T ReadLe(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Fills attr from the attribute at pRecord + nOff (already bounded: its header
// says nLength bytes and they all lie in the buffer).
bool ParseValueAttr(const unsigned char* pRecord, size_t nOff, const NTFS_ATTR_HEADER& h,
                    NTFS_DATA_ATTR& attr) {
    const unsigned char* p = pRecord + nOff;
    attr = NTFS_DATA_ATTR{};
    attr.nAttrFlags = h.nAttrFlags;
    if (!h.bNonResident) {
        if (h.nLength < sizeof(NTFS_RESIDENT_ATTR)) return false;
        NTFS_RESIDENT_ATTR r;
        std::memcpy(&r, p, sizeof r);
        if (r.nValueOffset > h.nLength || r.nValueLength > h.nLength - r.nValueOffset) return false;
        attr.bPresent = true;
        attr.bResident = true;
        attr.nValueOffset = static_cast<uint32_t>(nOff + r.nValueOffset);
        attr.nValueLength = r.nValueLength;
        attr.u64DataSize = r.nValueLength;
        attr.u64AllocatedSize = r.nValueLength;
        return true;
    }
    if (h.nLength < sizeof(NTFS_NONRESIDENT_ATTR)) return false;
    NTFS_NONRESIDENT_ATTR n;
    std::memcpy(&n, p, sizeof n);
    attr.bPresent = true;
    attr.u64StartVcn = n.u64StartVcn;
    attr.u64DataSize = n.u64DataSize;
    attr.u64AllocatedSize = n.u64AllocatedSize;
    attr.nRunStatus = CNtfsParse::GetRunList(p, h.nLength, attr.vecRuns);
    return true;
}

// Header checks shared by every reader of a record: "FILE", the first attribute
// and the bytes in use inside the record. The walk limit is returned.
int CheckRecordHeader(const unsigned char* pRecord, size_t nSize, NTFS_FILE_RECORD_HEADER& hdr,
                      size_t& nLimit) {
    if (!pRecord || nSize < sizeof(NTFS_FILE_RECORD_HEADER)) return NTFS_REC_NOT_FILE;
    std::memcpy(&hdr, pRecord, sizeof hdr);
    if (hdr.nSignature != NTFS_FILE_SIGNATURE) return NTFS_REC_NOT_FILE;
    if (hdr.nBytesInUse > nSize || hdr.nFirstAttrOffset < sizeof(NTFS_FILE_RECORD_HEADER) ||
        hdr.nFirstAttrOffset >= hdr.nBytesInUse)
        return NTFS_REC_BAD_HEADER;
    nLimit = hdr.nBytesInUse;
    return NTFS_REC_OK;
}

bool IsUnnamedData(uint32_t nType, const NTFS_ATTR_HEADER& h) {
    return nType != NTFS_ATTR_DATA || h.nNameLength == 0;
}

}  // namespace

bool IsNtfsFileRecord(const unsigned char* pRecord, int nSize) {
    if (!pRecord || nSize < 512) return false;
    if (ReadLe<uint32_t>(pRecord) != NTFS_FILE_SIGNATURE) return false;
    if (ReadLe<uint32_t>(pRecord + 0x18) > static_cast<uint32_t>(nSize)) return false;
    if (ReadLe<uint32_t>(pRecord + 0x1C) != static_cast<uint32_t>(nSize)) return false;
    return ReadLe<uint16_t>(pRecord + 0x30) == ReadLe<uint16_t>(pRecord + 0x1FE);
}

int CNtfsParse::Init(int nBytesPerSector, int nRecordBytes) {
    m_nBytesPerSector = nBytesPerSector;
    m_nSectorsPerRecord = nBytesPerSector == 512 ? 2 : 1;
    if (nRecordBytes >= nBytesPerSector && nBytesPerSector > 0)
        m_nSectorsPerRecord = nRecordBytes / nBytesPerSector;
    return 0;
}

int NtfsRecordBytes(const unsigned char* pBoot) {
    NTFS_BOOT_SECTOR boot;
    std::memcpy(&boot, pBoot, sizeof boot);
    const unsigned int nBps = boot.nBytesPerSector ? boot.nBytesPerSector : 512;
    const unsigned int nSpc = NtfsSectorsPerCluster(boot.nSectorsPerCluster, nBps);
    const long long llBytes =
        boot.nClustersPerRecord < 0
            ? (boot.nClustersPerRecord >= -31 ? 1ll << -boot.nClustersPerRecord : 0)
            : static_cast<long long>(boot.nClustersPerRecord) * nSpc * nBps;
    return llBytes == 1024 || llBytes == 2048 || llBytes == 4096 ? static_cast<int>(llBytes) : 0;
}

int CNtfsParse::FileRecordFixUp(unsigned char* pRecord) const {
    if (!pRecord || pRecord[0] == 0) return -1;
    const size_t nSize = static_cast<size_t>(GetRecordSize());
    const size_t nBlocks = nSize / NTFS_FIXUP_STRIDE;
    if (nBlocks == 0 || 0x32 + 2 * nBlocks > nSize) return -2;
    const uint16_t nUsn = ReadLe<uint16_t>(pRecord + 0x30);
    for (size_t i = 1; i <= nBlocks; ++i) {
        if (ReadLe<uint16_t>(pRecord + i * NTFS_FIXUP_STRIDE - 2) != nUsn) return -2;
    }
    for (size_t i = 1; i <= nBlocks; ++i)
        std::memcpy(pRecord + i * NTFS_FIXUP_STRIDE - 2, pRecord + 0x30 + 2 * i, 2);
    return 0;
}

int CNtfsParse::GetRunList(const unsigned char* pAttr, size_t nAvail,
                           std::vector<__RUNLIST__>& vecRuns) {
    if (!pAttr || nAvail < 0x22) return TW_ERR_BAD_ARGUMENT;
    size_t nEnd = ReadLe<uint32_t>(pAttr + 4);
    if (nEnd > nAvail) nEnd = nAvail;
    size_t nPos = ReadLe<uint16_t>(pAttr + 0x20);
    while (nPos < nEnd) {
        const unsigned nHeader = pAttr[nPos];
        if (nHeader == 0) return 0;
        const unsigned nL = nHeader & 0x0F, nF = nHeader >> 4;
        if (nL == 0 || nL > 7 || nF > 7) return TW_ERR_BAD_ARGUMENT;
        if (nPos + 1 + nL + nF > nEnd) return TW_ERR_BAD_ARGUMENT;
        uint64_t u64Length = 0;
        for (unsigned i = 0; i < nL; ++i)
            u64Length |= static_cast<uint64_t>(pAttr[nPos + 1 + i]) << (8 * i);
        uint64_t u64Offset = 0;
        for (unsigned i = 0; i < nF; ++i)
            u64Offset |= static_cast<uint64_t>(pAttr[nPos + 1 + nL + i]) << (8 * i);
        if (nF > 0 && (pAttr[nPos + nL + nF] & 0x80))  // sign-extend
            u64Offset |= ~0ull << (8 * nF);
        if (u64Length == 0) return TW_ERR_BAD_ARGUMENT;
        vecRuns.push_back({u64Length, static_cast<int64_t>(u64Offset), nF == 0 ? 1u : 0u});
        nPos += 1 + nL + nF;
    }
    return TW_ERR_BAD_ARGUMENT;  // no end byte inside the attribute
}

void AppendRunExtent(std::vector<__RUNLIST__>& vecRuns, const std::vector<__RUNLIST__>& vecExtent) {
    uint64_t u64Sum = 0;  // unsigned: wraps instead of overflowing on crafted lists
    for (const __RUNLIST__& r : vecRuns)
        if (!r.bSparse) u64Sum += static_cast<uint64_t>(r.i64Offset);
    bool bFirst = true;
    for (__RUNLIST__ r : vecExtent) {
        if (!r.bSparse && bFirst) {
            r.i64Offset = static_cast<int64_t>(static_cast<uint64_t>(r.i64Offset) - u64Sum);
            bFirst = false;
        }
        vecRuns.push_back(r);
    }
}

uint64_t RunListClusters(const std::vector<__RUNLIST__>& vecRuns) {
    uint64_t u64Total = 0;
    for (const __RUNLIST__& r : vecRuns)
        if (__builtin_add_overflow(u64Total, r.u64Length, &u64Total)) return UINT64_MAX;
    return u64Total;
}

unsigned int CheckRunsInVolume(const std::vector<__RUNLIST__>& vecRuns, uint64_t u64Clusters,
                               uint64_t u64ClusterBytes) {
    int64_t i64Lcn = 0;
    uint64_t u64Bytes = 0;
    for (const __RUNLIST__& r : vecRuns) {
        // Lengths of up to 2^56 clusters: the run's bytes and the file's must fit.
        uint64_t u64RunBytes = 0;
        if (__builtin_mul_overflow(r.u64Length, u64ClusterBytes, &u64RunBytes) ||
            __builtin_add_overflow(u64Bytes, u64RunBytes, &u64Bytes))
            return TW_ERR_BAD_ARGUMENT;
        if (r.bSparse) continue;
        if (__builtin_add_overflow(i64Lcn, r.i64Offset, &i64Lcn)) return TW_ERR_BAD_ARGUMENT;
        if (i64Lcn < 0 || r.u64Length > u64Clusters ||
            static_cast<uint64_t>(i64Lcn) > u64Clusters - r.u64Length)
            return TW_ERR_BAD_ARGUMENT;
    }
    return 0;
}

int NtfsParseRecord(const unsigned char* pRecord, size_t nSize, NTFS_RECORD_INFO& info) {
    info = NTFS_RECORD_INFO{};
    NTFS_FILE_RECORD_HEADER hdr;
    size_t nLimit = 0;
    int nResult = CheckRecordHeader(pRecord, nSize, hdr, nLimit);
    if (nResult != NTFS_REC_OK) return nResult;
    info.nFlags = hdr.nFlags;
    info.nRecordNumber = hdr.nRecordNumber;
    info.nSequence = hdr.nSequence;
    info.u64BaseRecord = hdr.u64BaseRecord & 0xFFFFFFFFFFFFull;

    int nWalk = WalkNtfsAttributes(
        pRecord, nLimit, hdr.nFirstAttrOffset, [&](size_t nOff, const NTFS_ATTR_HEADER& h) {
            if (h.nType == NTFS_ATTR_FILE_NAME && !h.bNonResident &&
                h.nLength >= sizeof(NTFS_RESIDENT_ATTR)) {
                NTFS_RESIDENT_ATTR r;
                std::memcpy(&r, pRecord + nOff, sizeof r);
                if (r.nValueOffset > h.nLength || r.nValueLength > h.nLength - r.nValueOffset ||
                    r.nValueLength < sizeof(NTFS_FILE_NAME_VALUE))
                    return true;
                NTFS_FILE_NAME_VALUE fn;
                const unsigned char* pValue = pRecord + nOff + r.nValueOffset;
                std::memcpy(&fn, pValue, sizeof fn);
                if (sizeof fn + 2u * fn.nNameLength > r.nValueLength) return true;
                if (!info.bHasName) {
                    info.bHasName = true;
                    info.u64ParentRef = fn.u64ParentRef;
                    info.u64CreateTime = fn.u64CreateTime;
                    info.u64ModifyTime = fn.u64ModifyTime;
                    info.u64AccessTime = fn.u64AccessTime;
                    info.u64NameDataSize = fn.u64DataSize;
                    info.wstrName = Utf16LeToWide(pValue + sizeof fn, fn.nNameLength);
                } else if (fn.nNameSpace == 1) {
                    info.wstrName = Utf16LeToWide(pValue + sizeof fn, fn.nNameLength);
                }
            } else if (h.nType == NTFS_ATTR_DATA && h.nNameLength == 0 && !info.data.bPresent) {
                ParseValueAttr(pRecord, nOff, h, info.data);
            } else if (h.nType == NTFS_ATTR_LIST && !info.bHasAttrList) {
                info.bHasAttrList = ParseValueAttr(pRecord, nOff, h, info.attrList);
            }
            return true;
        });
    info.bWalkDamaged = nWalk != 0;
    return NTFS_REC_OK;
}

bool NtfsFindAttribute(const unsigned char* pRecord, size_t nSize, uint32_t nType, uint64_t u64Vcn,
                       NTFS_DATA_ATTR& attr) {
    NTFS_FILE_RECORD_HEADER hdr;
    size_t nLimit = 0;
    if (CheckRecordHeader(pRecord, nSize, hdr, nLimit) != NTFS_REC_OK) return false;
    bool bFound = false;
    WalkNtfsAttributes(pRecord, nLimit, hdr.nFirstAttrOffset,
                       [&](size_t nOff, const NTFS_ATTR_HEADER& h) {
                           if (h.nType != nType || !IsUnnamedData(nType, h)) return true;
                           NTFS_DATA_ATTR a;
                           if (!ParseValueAttr(pRecord, nOff, h, a)) return true;
                           if ((a.bResident ? 0 : a.u64StartVcn) != u64Vcn) return true;
                           attr = std::move(a);
                           bFound = true;
                           return false;
                       });
    return bFound;
}

bool NtfsRefMatches(uint64_t u64Ref, uint16_t nRecordSequence, bool bInUse) {
    const uint16_t nRefSequence = static_cast<uint16_t>(u64Ref >> 48);
    if (nRefSequence == 0 || nRecordSequence == nRefSequence) return true;
    const uint16_t nFreed = nRefSequence == 0xFFFF ? 1 : static_cast<uint16_t>(nRefSequence + 1);
    return !bInUse && nRecordSequence == nFreed;
}

int NtfsParseAttrList(const unsigned char* pValue, size_t nLength,
                      std::vector<NTFS_LIST_ENTRY>& vecEntries) {
    size_t nOff = 0;
    while (nOff + sizeof(NTFS_ATTR_LIST_ENTRY) <= nLength) {
        NTFS_ATTR_LIST_ENTRY e;
        std::memcpy(&e, pValue + nOff, sizeof e);
        if (e.nType == 0 || e.nType == NTFS_ATTR_END || e.nLength == 0) return 0;
        if (e.nLength < sizeof e || e.nLength > nLength - nOff) return TW_ERR_BAD_ARGUMENT;
        vecEntries.push_back({static_cast<uint32_t>(nOff), e.nType, e.nNameLength, e.u64StartVcn,
                              e.u64Reference & 0xFFFFFFFFFFFFull});
        nOff += e.nLength;
    }
    return 0;
}
