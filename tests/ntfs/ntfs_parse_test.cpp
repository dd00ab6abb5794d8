// The NTFS record toolkit on hand-made records: fix-up, run lists, record
// recognition, cluster sizes and the bounded attribute walk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include "ntfs/NtfsParse.h"

namespace {

template <typename T>
void Put(std::vector<unsigned char>& v, size_t nOff, T value) {
    std::memcpy(v.data() + nOff, &value, sizeof value);
}

// A non-resident attribute header with the run-list bytes at 0x40.
std::vector<unsigned char> NonResidentAttr(const std::vector<unsigned char>& vecRuns,
                                           uint32_t nLength = 0) {
    std::vector<unsigned char> v(0x40 + vecRuns.size() + 8, 0);
    Put<uint32_t>(v, 0, NTFS_ATTR_DATA);
    Put<uint32_t>(v, 4, nLength ? nLength : static_cast<uint32_t>(v.size()));
    v[8] = 1;
    Put<uint16_t>(v, 0x20, 0x40);
    std::memcpy(v.data() + 0x40, vecRuns.data(), vecRuns.size());
    return v;
}

// Runs as "length@offset" (offsets relative to the run before), "s" for sparse.
std::string RunsText(const std::vector<__RUNLIST__>& runs) {
    std::string str;
    for (const __RUNLIST__& r : runs)
        str += std::to_string(r.u64Length) + "@" + std::to_string(r.i64Offset) +
               (r.bSparse ? "s " : " ");
    return str;
}

TEST(NtfsRunList, DecodesRunsAndStopsAtBadHeadersAndTheAttributeEnd) {
    const struct {
        std::vector<unsigned char> bytes;
        uint32_t nLength;  // the attribute's length field; 0: the bytes it holds
        int nStatus;
        const char* szRuns;
    } cases[] = {
        {{0x31, 0x10, 0x00, 0x10, 0x00, 0x00}, 0, 0, "16@4096 "},
        // Signed offsets; header 0x01 has no offset field: a sparse run.
        {{0x11, 0x08, 0xF0, 0x01, 0x20, 0x21, 0x04, 0x00, 0x01, 0x00}, 0, 0, "8@-16 32@0s 4@256 "},
        // An offset half above 7 ends the list.
        {{0x11, 0x04, 0x10, 0x81, 0x18, 0x00}, 0, 87, "4@16 "},
        // A run whose fields run past the attribute's length is not decoded (a
        // run list or an attribute past the buffer: the run-list fuzz target).
        {{0x11, 0x04, 0x10, 0x44, 1, 2, 3, 4, 5, 6, 7, 8, 0}, 0x40 + 6, 87, "4@16 "},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> attr = NonResidentAttr(c.bytes, c.nLength);
        std::vector<__RUNLIST__> runs;
        EXPECT_EQ(CNtfsParse::GetRunList(attr.data(), attr.size(), runs), c.nStatus) << c.szRuns;
        EXPECT_EQ(RunsText(runs), c.szRuns);
    }
}

TEST(NtfsRunList, PiecesJoinAndRunsAreCheckedAgainstTheVolume) {
    // Piece 1: 4 clusters at 100, 2 at 90. Piece 2 starts again from cluster 0:
    // a sparse run, 3 clusters at 500, 1 at 503.
    std::vector<__RUNLIST__> runs = {{4, 100, 0}, {2, -10, 0}};
    AppendRunExtent(runs, {{5, 0, 1}, {3, 500, 0}, {1, 3, 0}});
    ASSERT_EQ(runs.size(), 5u);
    int64_t lcn = 0;
    std::vector<int64_t> starts;
    for (const auto& r : runs)
        if (!r.bSparse) starts.push_back(lcn += r.i64Offset);
    EXPECT_EQ(starts, (std::vector<int64_t>{100, 90, 500, 503}));
    EXPECT_EQ(RunListClusters(runs), 15u);
    EXPECT_EQ(CheckRunsInVolume(runs, 504, 4096), 0u);
    EXPECT_EQ(CheckRunsInVolume(runs, 503, 4096), 87u);  // the last cluster is outside
    EXPECT_EQ(CheckRunsInVolume({{1, -5, 0}}, 100, 4096), 87u);
    EXPECT_EQ(CheckRunsInVolume({{1, INT64_MAX, 0}, {1, INT64_MAX, 0}}, ~0ull, 1), 87u);
    // Run bytes that wrap: a sparse run of 2^56 - 1 clusters, and two real
    // runs whose sum of bytes does not fit.
    EXPECT_EQ(CheckRunsInVolume({{(1ull << 56) - 1, 0, 1}}, 1000, 4096), 87u);
    EXPECT_EQ(CheckRunsInVolume({{1ull << 51, 0, 1}}, 1000, 4096), 0u);
    EXPECT_EQ(CheckRunsInVolume({{1ull << 62, 0, 0}, {1ull << 62, 0, 0}}, ~0ull, 2), 87u);
}

// A 1,024-byte record (or one sector of the size given) with the update
// sequence number 0x0007 at every 512-byte end and the saved values 0xA1A0,
// 0xA3A2, ... in the array.
std::vector<unsigned char> FixupRecord(size_t nSize) {
    std::vector<unsigned char> r(nSize, 0x55);
    Put<uint32_t>(r, 0, NTFS_FILE_SIGNATURE);
    Put<uint16_t>(r, 0x30, 0x0007);
    for (size_t i = 1; i <= nSize / 512; ++i) {
        Put<uint16_t>(r, 0x30 + 2 * i, static_cast<uint16_t>(0xA0A0 + 0x0202 * (i - 1) + 0x0100));
        Put<uint16_t>(r, i * 512 - 2, 0x0007);
    }
    return r;
}

TEST(NtfsFixUp, RestoresEvery512ByteEndAndRefusesTornRecords) {
    CNtfsParse parse;
    parse.Init(512);
    auto r = FixupRecord(1024);
    EXPECT_EQ(parse.FileRecordFixUp(r.data()), 0);
    EXPECT_EQ(r[510], 0xA0);
    EXPECT_EQ(r[511], 0xA1);
    EXPECT_EQ(r[1022], 0xA2);
    EXPECT_EQ(r[1023], 0xA3);

    // A 4,096-byte sector holds one record guarded at all eight 512-byte ends.
    parse.Init(4096);
    r = FixupRecord(4096);
    EXPECT_EQ(parse.FileRecordFixUp(r.data()), 0);
    for (size_t i = 1; i <= 8; ++i) {
        uint16_t v;
        std::memcpy(&v, r.data() + i * 512 - 2, 2);
        EXPECT_EQ(v, 0xA0A0 + 0x0202 * (i - 1) + 0x0100) << "block " << i;
    }

    // A torn record (one end does not hold the sequence number) stays as it is.
    parse.Init(512);
    r = FixupRecord(1024);
    Put<uint16_t>(r, 1022, 0x0008);
    auto before = r;
    EXPECT_EQ(parse.FileRecordFixUp(r.data()), -2);
    EXPECT_EQ(r, before);
}

TEST(NtfsFileRecord, RecognisesOnlyWholeConsistentRecords) {
    auto r = FixupRecord(1024);
    Put<uint32_t>(r, 0x18, 600);
    Put<uint32_t>(r, 0x1C, 1024);
    EXPECT_TRUE(IsNtfsFileRecord(r.data(), 1024));
    Put<uint32_t>(r, 0x1C, 4096);
    EXPECT_FALSE(IsNtfsFileRecord(r.data(), 1024));
    Put<uint32_t>(r, 0x1C, 1024);
    Put<uint32_t>(r, 0x18, 1025);
    EXPECT_FALSE(IsNtfsFileRecord(r.data(), 1024));
    Put<uint32_t>(r, 0x18, 600);
    Put<uint16_t>(r, 0x1FE, 0x0009);
    EXPECT_FALSE(IsNtfsFileRecord(r.data(), 1024));
    EXPECT_FALSE(IsNtfsFileRecord(r.data(), 100));
}

TEST(NtfsBootSector, SectorsPerClusterIncludesThePowerOfTwoEncoding) {
    EXPECT_EQ(NtfsSectorsPerCluster(8, 512), 8u);
    EXPECT_EQ(NtfsSectorsPerCluster(0x80, 512), 128u);   // 64 KiB clusters
    EXPECT_EQ(NtfsSectorsPerCluster(0xF8, 512), 256u);   // 2^(256-248): 128 KiB
    EXPECT_EQ(NtfsSectorsPerCluster(0xF4, 512), 4096u);  // 2 MiB, the largest
    EXPECT_EQ(NtfsSectorsPerCluster(0xF3, 512), 0u);
    EXPECT_EQ(NtfsSectorsPerCluster(0xFF, 4096), 2u);
    EXPECT_EQ(NtfsSectorsPerCluster(0x81, 512), 0u);  // 2^127
    EXPECT_EQ(NtfsSectorsPerCluster(3, 512), 0u);
    EXPECT_EQ(NtfsSectorsPerCluster(0, 512), 0u);
}

// A record builder for the attribute walk.
class RecordBuilder {
public:
    RecordBuilder() : m_rec(1024, 0) {
        Put<uint32_t>(m_rec, 0, NTFS_FILE_SIGNATURE);
        Put<uint16_t>(m_rec, 0x14, 0x38);
        Put<uint32_t>(m_rec, 0x1C, 1024);
        Put<uint32_t>(m_rec, 0x2C, 77);
        m_nOff = 0x38;
    }
    // A resident file-name attribute with the name (ASCII) and name space.
    size_t AddName(const char* szName, uint8_t nSpace, uint64_t u64Parent) {
        size_t nName = std::strlen(szName);
        size_t nValue = sizeof(NTFS_FILE_NAME_VALUE) + 2 * nName;
        size_t nLen = (0x18 + nValue + 7) & ~size_t(7);
        size_t at = Begin(NTFS_ATTR_FILE_NAME, nLen);
        Put<uint32_t>(m_rec, at + 0x10, static_cast<uint32_t>(nValue));
        Put<uint16_t>(m_rec, at + 0x14, 0x18);
        Put<uint64_t>(m_rec, at + 0x18, u64Parent | (3ull << 48));
        Put<uint64_t>(m_rec, at + 0x18 + 0x30, 12345);
        m_rec[at + 0x18 + 0x40] = static_cast<uint8_t>(nName);
        m_rec[at + 0x18 + 0x41] = nSpace;
        for (size_t i = 0; i < nName; ++i) m_rec[at + 0x18 + 0x42 + 2 * i] = szName[i];
        return at;
    }
    size_t AddResidentData(const char* szData) {
        size_t n = std::strlen(szData);
        size_t at = Begin(NTFS_ATTR_DATA, (0x18 + n + 7) & ~size_t(7));
        Put<uint32_t>(m_rec, at + 0x10, static_cast<uint32_t>(n));
        Put<uint16_t>(m_rec, at + 0x14, 0x18);
        std::memcpy(m_rec.data() + at + 0x18, szData, n);
        return at;
    }
    std::vector<unsigned char>& End() {
        Put<uint32_t>(m_rec, m_nOff, NTFS_ATTR_END);
        Put<uint32_t>(m_rec, 0x18, static_cast<uint32_t>(m_nOff + 8));
        return m_rec;
    }
    std::vector<unsigned char> m_rec;

private:
    size_t Begin(uint32_t nType, size_t nLen) {
        size_t at = m_nOff;
        Put<uint32_t>(m_rec, at, nType);
        Put<uint32_t>(m_rec, at + 4, static_cast<uint32_t>(nLen));
        m_nOff += nLen;
        return at;
    }
    size_t m_nOff;
};

TEST(NtfsRecordParse, TakesTheFirstNameUnlessAWin32NameFollows) {
    RecordBuilder b;
    b.AddName("LONGNA~1.TXT", 2, 0x1000000028ull);
    b.AddName("Long name.txt", 1, 0x1000000028ull);
    b.AddResidentData("hello");
    NTFS_RECORD_INFO info;
    auto& rec = b.End();
    ASSERT_EQ(NtfsParseRecord(rec.data(), rec.size(), info), 0);
    EXPECT_EQ(info.wstrName, L"Long name.txt");
    // The record number keeps its 48 bits; the sequence number is apart.
    EXPECT_EQ(NtfsRefRecord(info.u64ParentRef), 0x1000000028ull);
    EXPECT_EQ(info.u64ParentRef >> 48, 3u);
    EXPECT_EQ(info.nRecordNumber, 77u);
    ASSERT_TRUE(info.data.bPresent);
    EXPECT_TRUE(info.data.bResident);
    EXPECT_EQ(info.data.nValueLength, 5u);
    EXPECT_EQ(std::memcmp(rec.data() + info.data.nValueOffset, "hello", 5), 0);
    EXPECT_FALSE(info.bWalkDamaged);

    RecordBuilder posix;
    posix.AddName("posix name", 0, 5);
    posix.AddName("DOSNAM~1", 2, 5);
    auto& rec2 = posix.End();
    ASSERT_EQ(NtfsParseRecord(rec2.data(), rec2.size(), info), 0);
    EXPECT_EQ(info.wstrName, L"posix name");
}

TEST(NtfsRecordParse, DamagedAttributesEndTheWalkWithWhatWasFound) {
    // Length 0, a length past the bytes in use, a value past its attribute.
    for (int nCase = 0; nCase < 3; ++nCase) {
        RecordBuilder b;
        b.AddName("kept.txt", 3, 5);
        size_t at = b.AddResidentData("data that should not be taken");
        auto& rec = b.End();
        if (nCase == 0) Put<uint32_t>(rec, at + 4, 0);
        if (nCase == 1) Put<uint32_t>(rec, at + 4, 0xFFF0);
        if (nCase == 2) Put<uint32_t>(rec, at + 0x10, 0x1000);
        NTFS_RECORD_INFO info;
        ASSERT_EQ(NtfsParseRecord(rec.data(), rec.size(), info), 0) << nCase;
        EXPECT_EQ(info.wstrName, L"kept.txt") << nCase;
        EXPECT_FALSE(info.data.bPresent) << nCase;
        EXPECT_EQ(info.bWalkDamaged, nCase != 2) << nCase;
    }
    // The first attribute past the bytes in use (bytes in use past the record:
    // the record fuzz target, whose records have their exact size).
    RecordBuilder b;
    b.AddName("x", 3, 5);
    auto& rec = b.End();
    Put<uint32_t>(rec, 0x18, 0x40);
    Put<uint16_t>(rec, 0x14, 0x40);
    NTFS_RECORD_INFO info;
    EXPECT_EQ(NtfsParseRecord(rec.data(), rec.size(), info), NTFS_REC_BAD_HEADER);
}

TEST(NtfsAttrList, EntriesAreBoundedByTheValue) {
    std::vector<unsigned char> v(0x40, 0);
    Put<uint32_t>(v, 0, NTFS_ATTR_DATA);
    Put<uint16_t>(v, 4, 0x20);
    Put<uint64_t>(v, 8, 7);  // start VCN
    Put<uint64_t>(v, 0x10, 99 | (2ull << 48));
    Put<uint32_t>(v, 0x20, NTFS_ATTR_DATA);
    Put<uint16_t>(v, 0x24, 0x30);  // runs past the value
    std::vector<NTFS_LIST_ENTRY> entries;
    EXPECT_EQ(NtfsParseAttrList(v.data(), v.size(), entries), 87);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].u64StartVcn, 7u);
    EXPECT_EQ(entries[0].u64Record, 99u);
}

}  // namespace
