#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/DebugLog.h"
#include "common/FaultGuard.h"

namespace {

std::vector<std::string> g_log;
void CollectLog(const char* szLine) {
    g_log.emplace_back(szLine);
}

// A page that may not be touched: reading it raises SIGSEGV.
volatile unsigned char* NoAccessPage() {
    static void* pPage = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return static_cast<volatile unsigned char*>(pPage);
}

int Fault() {
    return NoAccessPage()[100];
}

CFaultGuard g_guard("FaultGuardTest recvSignal");
CFaultGuard g_inner("Inner recvSignal");

class FaultGuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        tw::SetLogSink(CollectLog);
        ASSERT_NE(NoAccessPage(), MAP_FAILED);
    }
    void TearDown() override { tw::SetLogSink(nullptr); }
};

// Someone else's handler for the memory faults, as a sanitizer runtime or a
// test framework installs: the guard wins over it while armed.
void ForeignHandler(int) {
    _exit(3);
}

TEST_F(FaultGuardTest, AFaultingRecordIsSkippedAndTheLoopGoesOn) {
    struct sigaction act, oldSegv, oldBus;
    std::memset(&act, 0, sizeof(act));
    act.sa_handler = ForeignHandler;
    sigaction(SIGSEGV, &act, &oldSegv);
    sigaction(SIGBUS, &act, &oldBus);
    CFaultGuard::InstallHandlers();
    volatile int nParsed = 0, nSkipped = 0;
    for (int nRecord = 0; nRecord < 6; ++nRecord) {
        TW_FAULT_TRY(g_guard) {
            if (nRecord % 3 == 1) nParsed += Fault();
            ++nParsed;
        }
        TW_FAULT_CATCH(g_guard) {
            ++nSkipped;
            continue;
        }
        TW_FAULT_END(g_guard);
    }
    sigaction(SIGSEGV, &oldSegv, nullptr);
    sigaction(SIGBUS, &oldBus, nullptr);
    CFaultGuard::InstallHandlers();
    EXPECT_EQ(nParsed, 4);
    EXPECT_EQ(nSkipped, 2);
    // One line per caught fault, the guard's own.
    ASSERT_EQ(g_log.size(), 2u);
    EXPECT_EQ(g_log[0], "FaultGuardTest recvSignal");
}

TEST_F(FaultGuardTest, RegionsNestAndLeavingEarlyDisarms) {
    volatile int nOuterCaught = 0, nInnerCaught = 0;
    TW_FAULT_TRY(g_guard) {
        for (int i = 0; i < 3; ++i) {
            TW_FAULT_TRY(g_inner) {
                if (i == 0) continue;  // leaves the inner region early
                if (i == 1) Fault();
            }
            TW_FAULT_CATCH(g_inner) {
                ++nInnerCaught;
            }
            TW_FAULT_END(g_inner);
        }
        // The inner regions are over: this fault belongs to the outer one.
        Fault();
    }
    TW_FAULT_CATCH(g_guard) {
        ++nOuterCaught;
    }
    TW_FAULT_END(g_guard);
    EXPECT_EQ(nInnerCaught, 1);
    EXPECT_EQ(nOuterCaught, 1);
    ASSERT_EQ(g_log.size(), 2u);
    EXPECT_EQ(g_log[0], "Inner recvSignal");
    EXPECT_EQ(g_log[1], "FaultGuardTest recvSignal");
}

// A fault that no armed region of this thread covers takes the default action:
// the process dies by the signal, never reporting the crash as success.
TEST(FaultGuardDeathTest, AFaultOutsideAnArmedRegionOfThisThreadKills) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process of this binary
    ASSERT_NE(NoAccessPage(), MAP_FAILED);
    const struct {
        const char* szWhat;
        void (*pfnRun)();
        int nSignal;
    } cases[] = {
        {"after the guarded loop", [] { Fault(); }, SIGSEGV},
        {"after a region left by break",
         [] {
             for (;;) {
                 TW_FAULT_TRY(g_guard) {
                     break;
                 }
                 TW_FAULT_CATCH(g_guard) {}
                 TW_FAULT_END(g_guard);
             }
             Fault();
         },
         SIGSEGV},
        {"a bus error", [] { raise(SIGBUS); }, SIGBUS},
        {"on another thread while this one is armed",
         [] {
             TW_FAULT_TRY(g_guard) {
                 std::thread([] { Fault(); }).join();
             }
             TW_FAULT_CATCH(g_guard) {
                 _exit(5);
             }
             TW_FAULT_END(g_guard);
         },
         SIGSEGV},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szWhat);
        EXPECT_EXIT(
            {
                // One caught fault first, so the guard's handlers are the ones installed.
                TW_FAULT_TRY(g_guard) {
                    Fault();
                }
                TW_FAULT_CATCH(g_guard) {}
                TW_FAULT_END(g_guard);
                c.pfnRun();
                _exit(0);
            },
            ::testing::KilledBySignal(c.nSignal), "");
    }
}

}  // namespace
