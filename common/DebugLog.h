// The engines' debug channel. The core has no Qt: the application installs a
// sink that forwards each line to its debug-message handler; the command line
// may send it to standard error. Without a sink, lines are dropped.
#pragma once

namespace tw {
using LogSink = void (*)(const char* szLine);
void SetLogSink(LogSink pSink);
}  // namespace tw

// printf-style; one call is one debug message.
void TwDebug(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
