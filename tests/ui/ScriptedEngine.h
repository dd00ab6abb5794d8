// An engine that plays a script instead of reading a medium: scan reports (one
// held until released or cancelled), hits, and the bytes saved and previewed.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/EngineBase.h"

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
    // name: the bytes saved and previewed (a name without any cannot be read)
    std::map<std::string, std::string> contents;
    int nHoldSave = 0;  // this save waits for a cancel
    std::atomic<int> nSaves{0};
    // name: its folders ("DCIM/100TEST/"), and how long reading it takes
    std::map<std::string, std::wstring> parents;
    std::map<std::string, int> delaysMs;
};

inline __SEARCH_FILE_INFO__ MakeHit(const char* szName, uint32_t nIndex, uint64_t u64Size) {
    __SEARCH_FILE_INFO__ hit{};
    std::strncpy(hit.szFileName, szName, sizeof(hit.szFileName) - 1);
    hit.nFileIndex = nIndex;
    hit.nDirId = 5;
    hit.u64FileSize = u64Size;
    return hit;
}

// A hit as the fast FAT engine records it, modified at llSeconds since 1970.
inline __SEARCH_FILE_INFO__ MakeFatHit(const char* szName, uint32_t nIndex, uint64_t u64Size,
                                       long long llSeconds) {
    __SEARCH_FILE_INFO__ hit = MakeHit(szName, nIndex, u64Size);
    hit.nEngineType = ENGINE_FAST_FAT;
    hit.bDataHealth = 1;
    hit.ftLastWriteTime.dwLowDateTime = static_cast<uint32_t>(llSeconds);
    hit.ftLastWriteTime.dwHighDateTime = static_cast<uint32_t>(llSeconds >> 32);
    return hit;
}

class ScriptedEngine : public CEngineBase {
public:
    explicit ScriptedEngine(std::shared_ptr<ScriptState> state) : m_state(std::move(state)) {}

    using IFileRecoveryParse::Init;
    unsigned int Init(const std::shared_ptr<CMediumSource>&, long long, long long,
                      wchar_t) override {
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
    unsigned int SearchFileNode(const wchar_t* wszKey,
                                std::vector<__SEARCH_FILE_INFO__>& vecHits) override {
        m_state->wstrSearchKey = wszKey ? wszKey : L"";
        vecHits = m_state->hits;
        for (__SEARCH_FILE_INFO__& hit : vecHits)
            if (m_state->contents.count(hit.szFileName))
                hit.u64FileSize = m_state->contents[hit.szFileName].size();
        if (m_pfnSearch) m_pfnSearch(m_pSearchContext, 50, const_cast<wchar_t*>(L"ignored"));
        return 0;
    }
    unsigned int GetFileNodeParentDirPath(const _FILE_NODE_* pNode, wchar_t* wszBuf,
                                          int nBufLen) override {
        auto it = m_state->parents.find(pNode->szFileName);
        const std::wstring wstr = it == m_state->parents.end() ? L"" : it->second;
        if (nBufLen <= static_cast<int>(wstr.size())) return TW_ERR_BAD_ARGUMENT;
        std::wcscpy(wszBuf, wstr.c_str());
        return 0;
    }
    unsigned int BuildBitMapInfo() override { return 0; }
    unsigned int GetUnUsedSectorCount(unsigned long long&, unsigned long long&) override {
        return TW_ERR_BAD_ARGUMENT;
    }
    unsigned int SaveFileData(const _FILE_NODE_* pNode, const wchar_t* wszTarget,
                              int nLevelOffset) override {
        if (++m_state->nSaves != m_state->nHoldSave)
            return CEngineBase::SaveFileData(pNode, wszTarget, nLevelOffset);
        int nStop;
        while ((nStop = m_pfnRecovery(m_pContext, 50, 100, 0, const_cast<wchar_t*>(wszTarget))) ==
               0)
            usleep(2000);
        return static_cast<unsigned int>(nStop);
    }

protected:
    unsigned int StreamNodeData(const _FILE_NODE_& node, uint64_t, const DataSink& sink) override {
        auto itDelay = m_state->delaysMs.find(node.szFileName);
        if (itDelay != m_state->delaysMs.end()) usleep(itDelay->second * 1000);
        auto it = m_state->contents.find(node.szFileName);
        if (it == m_state->contents.end()) return TW_ERR_SHORT_READ;
        return sink(reinterpret_cast<const unsigned char*>(it->second.data()), it->second.size());
    }

    std::shared_ptr<ScriptState> m_state;
};
