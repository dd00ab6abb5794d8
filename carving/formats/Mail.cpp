// Mail stores (Outlook Express DBX, Outlook PST), measured to the next file.
#include "carving/CarveWalk.h"

using namespace carve;

const CARVE_SIGNATURE kDbxSignatures[] = {
    TW_SIG(0, "\xCF\xAD\x12\xFE"),
};

EXTEND_NAME_TYPE CFileTypeJudge::IsDbxEmailType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return AtSignature(kDbxSignatures, pBuf, nLen) ? FILE_TYPE_DBX : kNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPstEmailType(const unsigned char* pBuf, int nLen) {
    if (TooShort(pBuf, nLen, 16)) return kNone;
    return At(pBuf, nLen, 0, "!BDN") && At(pBuf, nLen, 8, "SM") ? FILE_TYPE_PST : kNone;
}

unsigned long long CFileTypeJudge::GetMailFileBytesSize(const unsigned char*, int) {
    return WalkSectors(2 * kGiB, END_OF_FILE, nullptr);
}

// Registration.
const CARVE_ROW kDbxRows[] = {
    {"dbx", FILE_TYPE_DBX, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetMailFileBytesSize},
};
const CARVE_SIGNATURE kPstSignatures[] = {
    TW_SIG(0, "!BDN"),
};
const CARVE_ROW kPstRows[] = {
    {"pst", FILE_TYPE_PST, TW_CATEGORY_DOCUMENT, &CFileTypeJudge::GetMailFileBytesSize},
};

TW_CARVE_FORMAT(Dbx, &CFileTypeJudge::IsDbxEmailType, kDbxSignatures, kDbxRows);
TW_CARVE_FORMAT(Pst, &CFileTypeJudge::IsPstEmailType, kPstSignatures, kPstRows);
