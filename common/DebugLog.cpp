#include "common/DebugLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<tw::LogSink> g_sink{nullptr};
}

namespace tw {
void SetLogSink(LogSink pSink) { g_sink.store(pSink); }
}  // namespace tw

void TwDebug(const char* szFormat, ...) {
    tw::LogSink sink = g_sink.load();
    if (!sink) return;
    char szLine[1024];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szLine, sizeof(szLine), szFormat, args);
    va_end(args);
    sink(szLine);
}
