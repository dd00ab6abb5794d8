// SQLite databases: their page size times their page count, when current.
#include "carving/CarveWalk.h"
#include "common/ByteOrder.h"

using namespace carve;

const CARVE_SIGNATURE kSqliteSignatures[] = {
    TW_SIG(0, "SQLite format 3\x00"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsSqlType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return AtSignature(kSqliteSignatures, pBuf, nLen) ? FILE_TYPE_DB : kNone;
}

unsigned long long CFileTypeJudge::GetDBFileBytesSize(const unsigned char* pBuf, int nLen) {
    // A database file is its page size times its page count, when the count is
    // current (the change counter at 24 equals the one the count was written with, at 92).
    if (pBuf && nLen >= 100 && Be32(pBuf + 24) == Be32(pBuf + 92) && Be32(pBuf + 28) != 0) {
        const uint32_t nPage = Be16(pBuf + 16) == 1 ? 65536 : Be16(pBuf + 16);
        if (nPage >= 512 && (nPage & (nPage - 1)) == 0)
            return Min(static_cast<u64>(nPage) * Be32(pBuf + 28), 6 * kGiB);
    }
    return WalkSectors(6 * kGiB, END_OF_FILE, nullptr);
}

// Registration.
const CARVE_ROW kSqliteRows[] = {
    {"db", FILE_TYPE_DB, TW_CATEGORY_OTHER, &CFileTypeJudge::GetDBFileBytesSize},
};

TW_CARVE_FORMAT(Sqlite, &CFileTypeJudge::IsSqlType, kSqliteSignatures, kSqliteRows);
