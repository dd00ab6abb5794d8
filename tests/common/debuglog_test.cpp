#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "common/DebugLog.h"

namespace {
std::vector<std::string> g_lines;
void Collect(const char* szLine) {
    g_lines.emplace_back(szLine);
}
}  // namespace

TEST(DebugLog, OneLinePerMessageAndNothingWithoutSink) {
    g_lines.clear();
    TwDebug("dropped %d", 1);
    tw::SetLogSink(Collect);
    TwDebug("lseek failed %lld\n", 123456789012LL);
    tw::SetLogSink(nullptr);
    TwDebug("dropped too");
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0], "lseek failed 123456789012\n");
}
