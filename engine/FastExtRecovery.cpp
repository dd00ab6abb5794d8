#include "engine/FastExtRecovery.h"

#include <unistd.h>
#include <cerrno>
#include <string>
#include "common/Platform.h"
#include "engine/EngineBase.h"

CFastExtRecovery::~CFastExtRecovery() {
    Close();
}

void CFastExtRecovery::Close() {
    if (m_nFd >= 0) ::close(m_nFd);
    m_nFd = -1;
}

unsigned int CFastExtRecovery::Init(int nDiskNo, long long llFirstSector, long long llSectorCount,
                                    wchar_t /*wcDriveLetter*/) {
    Close();
    m_nFd = tw::OpenDiskNode(nDiskNo);
    if (m_nFd < 0) return static_cast<unsigned int>(errno);
    m_llFirstSector = llFirstSector;
    m_llSectorCount = llSectorCount;
    return 0;
}

unsigned int CFastExtRecovery::Init(const wchar_t* wszPath, wchar_t /*wcDriveLetter*/) {
    if (!wszPath) return TW_ERR_BAD_ARGUMENT;
    Close();
    const std::string strPath = tw::WideToUtf8(wszPath);
    m_nFd = tw::OpenReadOnly(strPath.c_str());
    if (m_nFd < 0) return static_cast<unsigned int>(errno);
    // The whole file (or device) is the volume.
    uint64_t u64Count = 0;
    SourceSectorCount(m_nFd, 512, u64Count);
    m_llFirstSector = 0;
    m_llSectorCount = static_cast<long long>(u64Count);
    return 0;
}

unsigned int CFastExtRecovery::InitCallBack(PFN_SCAN_CALLBACK, PFN_RECOVERY_CALLBACK, void*, int) {
    return 0;
}

unsigned int CFastExtRecovery::ScanDevice(const wchar_t*) {
    return 0;
}

unsigned int CFastExtRecovery::GetChildrenFileNode(const _FILE_NODE_*, unsigned int,
                                                   std::vector<_FILE_NODE_>&) {
    return 0;
}

unsigned int CFastExtRecovery::GetChildrenFileCount(const _FILE_NODE_*, unsigned int,
                                                    unsigned int&) {
    return 0;
}

unsigned int CFastExtRecovery::GetLostFileCount() {
    return 0;
}

unsigned int CFastExtRecovery::GetFileNodeParentDirPath(const _FILE_NODE_*, wchar_t* wszBuf,
                                                        int nBufLen) {
    // No record has a parent here; leave the caller an empty path, not stale text.
    if (wszBuf && nBufLen > 0) wszBuf[0] = L'\0';
    return 0;
}

unsigned int CFastExtRecovery::SaveFileData(const _FILE_NODE_*, const wchar_t*, int) {
    return 0;
}

unsigned int CFastExtRecovery::GetUnUsedSectorCount(unsigned long long& u64StartSector,
                                                    unsigned long long& u64Count) {
    // No file of the volume is known, so every sector from the position to the
    // end of the volume is a candidate for the deep parsers and the carver.
    const unsigned long long u64Sectors =
        m_llSectorCount > 0 ? static_cast<unsigned long long>(m_llSectorCount) : 0;
    u64Count = u64StartSector < u64Sectors ? u64Sectors - u64StartSector : 0;
    return 0;
}

unsigned int CFastExtRecovery::InitSearchCallBack(PFN_SEARCH_CALLBACK, void*) {
    return 0;
}

unsigned int CFastExtRecovery::SearchFileNode(const wchar_t*, std::vector<__SEARCH_FILE_INFO__>&) {
    return 0;
}

unsigned int CFastExtRecovery::BuildBitMapInfo() {
    return 0;
}

unsigned int CFastExtRecovery::PreView(const _FILE_NODE_*, wchar_t*, unsigned char*, int& nLength,
                                       PFN_PREVIEW_CALLBACK, void*) {
    nLength = 0;  // nothing delivered
    return 0;
}
