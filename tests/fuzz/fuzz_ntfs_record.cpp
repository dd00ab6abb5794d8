// The record parser on arbitrary records: fix-up (every sector size), record
// test, attribute walk, data pieces by VCN, attribute list.
#include <cstddef>
#include <cstdint>
#include <vector>
#include "ntfs/NtfsParse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 1) return 0;
    static const int kSectorSizes[] = {512, 1024, 2048, 4096};
    CNtfsParse parse;
    parse.Init(kSectorSizes[pData[0] % 4]);
    // Exactly one record of the size the sector size gives, as the engines hold it.
    std::vector<unsigned char> whole(static_cast<size_t>(parse.GetRecordSize()), 0);
    for (size_t i = 1; i < nSize && i - 1 < whole.size(); ++i) whole[i - 1] = pData[i];
    parse.FileRecordFixUp(whole.data());
    IsNtfsFileRecord(whole.data(), static_cast<int>(whole.size()));
    // The input's own length, so that ASan sees any read past it.
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
