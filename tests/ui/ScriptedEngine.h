// An engine that plays a script instead of reading a medium, for driving the
// application's pages: scan reports (one of them held until the test lets go
// or the user cancels), listing hits, previews and saves.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Platform.h"
#include "engine/IFileRecoveryParse.h"

struct ScanStep {
    int nPercent, nScale, nSecondsLeft;
    unsigned long long u64Cur, u64Total, u64Found;
    bool bHold = false;  // repeated until bRelease or a stop
};

// What the test sets and reads; outlives the engine the window deletes.
struct ScriptState {
    std::vector<ScanStep> scan;
    std::vector<__SEARCH_FILE_INFO__> hits;
    std::atomic<bool> bRelease{false};
    std::atomic<int> nScanReports{0};
    std::atomic<bool> bScanStopped{false};
    std::wstring wstrSearchKey;
    std::map<std::string, std::string> contents;  // name: the bytes saved and previewed
    std::map<std::string, std::string> pictures;  // name: the picture file previewed
    int nHoldSave = 0;                            // this save waits for a cancel
    std::atomic<int> nSaves{0};
};

inline __SEARCH_FILE_INFO__ MakeHit(const char* szName, uint32_t nIndex, uint64_t u64Size) {
    __SEARCH_FILE_INFO__ hit{};
    std::strncpy(hit.szFileName, szName, sizeof(hit.szFileName) - 1);
    hit.nFileIndex = nIndex;
    hit.nDirId = 5;
    hit.u64FileSize = u64Size;
    return hit;
}

class ScriptedEngine : public IFileRecoveryParse {
public:
    explicit ScriptedEngine(std::shared_ptr<ScriptState> state) : m_state(std::move(state)) {}

    unsigned int InitCallBack(PFN_SCAN_CALLBACK pfnScan, PFN_RECOVERY_CALLBACK pfnRecovery,
                              void* pContext, int) override {
        m_pfnScan = pfnScan;
        m_pfnRecovery = pfnRecovery;
        m_pContext = pContext;
        return 0;
    }
    unsigned int ScanDevice(const wchar_t*) override {
        for (const ScanStep& step : m_state->scan) {
            do {
                ++m_state->nScanReports;
                if (m_pfnScan(m_pContext, step.nPercent, step.nScale, step.nSecondsLeft,
                              step.u64Cur, step.u64Total, step.u64Found, nullptr) != 0) {
                    m_state->bScanStopped = true;
                    return TW_ERR_CANCELLED;
                }
                if (step.bHold) usleep(2000);
            } while (step.bHold && !m_state->bRelease);
        }
        return 0;
    }
    unsigned int InitSearchCallBack(PFN_SEARCH_CALLBACK pfnSearch, void* pContext) override {
        m_pfnSearch = pfnSearch;
        m_pSearchContext = pContext;
        return 0;
    }
    unsigned int SearchFileNode(const wchar_t* wszKey,
                                std::vector<__SEARCH_FILE_INFO__>& vecHits) override {
        m_state->wstrSearchKey = wszKey ? wszKey : L"";
        vecHits = m_state->hits;
        if (m_pfnSearch) m_pfnSearch(m_pSearchContext, 50, const_cast<wchar_t*>(L"ignored"));
        return 0;
    }
    // Not used by the pages.
    unsigned int Init(int, long long, long long, wchar_t) override { return 0; }
    unsigned int Init(const wchar_t*, wchar_t) override { return 0; }
    unsigned int GetChildrenFileNode(const _FILE_NODE_*, unsigned int,
                                     std::vector<_FILE_NODE_>&) override {
        return 0;
    }
    unsigned int GetChildrenFileCount(const _FILE_NODE_*, unsigned int, unsigned int&) override {
        return 0;
    }
    unsigned int GetLostFileCount() override { return 0; }
    unsigned int GetFileNodeParentDirPath(const _FILE_NODE_*, wchar_t*, int) override { return 87; }
    // Writes the scripted bytes; a name without any fails.
    unsigned int SaveFileData(const _FILE_NODE_* pNode, const wchar_t* wszTarget, int) override {
        wchar_t* wszPath = const_cast<wchar_t*>(wszTarget);
        if (++m_state->nSaves == m_state->nHoldSave) {
            int nStop;
            while ((nStop = m_pfnRecovery(m_pContext, 50, 100, 0, wszPath)) == 0) usleep(2000);
            return static_cast<unsigned int>(nStop);
        }
        auto it = m_state->contents.find(pNode->szFileName);
        FILE* pFile = it == m_state->contents.end()
                          ? nullptr
                          : std::fopen(tw::WideToUtf8(wszTarget).c_str(), "wb");
        unsigned int nResult = pFile ? 0 : 5;
        if (pFile)
            nResult =
                std::fwrite(it->second.data(), 1, it->second.size(), pFile) == it->second.size()
                    ? 0
                    : 5;
        if (pFile) std::fclose(pFile);
        const int nStop = m_pfnRecovery(m_pContext, 100, 100, static_cast<int>(nResult), wszPath);
        return nStop ? static_cast<unsigned int>(nStop) : nResult;
    }
    unsigned int GetUnUsedSectorCount(unsigned long long&, unsigned long long&) override {
        return 87;
    }
    unsigned int BuildBitMapInfo() override { return 0; }
    unsigned int PreView(const _FILE_NODE_* pNode, wchar_t* wszPreviewPath, unsigned char* pBuf,
                         int& nLength, PFN_PREVIEW_CALLBACK pfnPreview, void* pContext) override {
        auto it = m_state->pictures.find(pNode->szFileName);
        if (it != m_state->pictures.end()) {
            std::wcscpy(wszPreviewPath, tw::Utf8ToWide(it->second.c_str()).c_str());
        } else {
            const std::string& strData = m_state->contents[pNode->szFileName];
            nLength = std::min<int>(nLength, static_cast<int>(strData.size()));
            std::memcpy(pBuf, strData.data(), static_cast<size_t>(nLength));
        }
        return pfnPreview(pContext, 100, 0);
    }

protected:
    std::shared_ptr<ScriptState> m_state;
    PFN_SCAN_CALLBACK m_pfnScan = nullptr;
    PFN_RECOVERY_CALLBACK m_pfnRecovery = nullptr;
    void* m_pContext = nullptr;
    PFN_SEARCH_CALLBACK m_pfnSearch = nullptr;
    void* m_pSearchContext = nullptr;
};
