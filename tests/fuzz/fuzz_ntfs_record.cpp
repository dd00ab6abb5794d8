// The record parser on arbitrary records: fix-up, the attribute walk, the
// search for data pieces by VCN, and the attribute list of the record.
#include <cstddef>
#include <cstdint>
#include <vector>
#include "ntfs/NtfsParse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 1) return 0;
    CNtfsParse parse;
    parse.Init(pData[0] & 1 ? 4096 : 512);
    std::vector<unsigned char> record(pData + 1, pData + nSize);
    if (record.size() >= static_cast<size_t>(parse.GetRecordSize())) {
        record.resize(static_cast<size_t>(parse.GetRecordSize()));
        parse.FileRecordFixUp(record.data());
    }
    NTFS_RECORD_INFO info;
    if (NtfsParseRecord(record.data(), record.size(), info) != NTFS_REC_OK) return 0;
    NTFS_DATA_ATTR attr;
    NtfsFindAttribute(record.data(), record.size(), NTFS_ATTR_DATA, 0, attr);
    NtfsFindAttribute(record.data(), record.size(), NTFS_ATTR_DATA, info.data.u64StartVcn, attr);
    if (info.bHasAttrList && info.attrList.bResident) {
        std::vector<NTFS_LIST_ENTRY> entries;
        NtfsParseAttrList(record.data() + info.attrList.nValueOffset, info.attrList.nValueLength,
                          entries);
    }
    return 0;
}
