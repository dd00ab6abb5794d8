#include "common/FaultGuard.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "common/DebugLog.h"

namespace {

// The jump point armed on this thread, or null. Plain pointer with static
// initialisation, so the signal handler can read it safely.
thread_local sigjmp_buf* t_pArmedJump = nullptr;

void OnMemoryFault(int nSignal) {
    sigjmp_buf* pJump = t_pArmedJump;
    if (pJump) {
        // Disarm first: a fault while the caller handles this one must not
        // jump back into the same region again.
        t_pArmedJump = nullptr;
        // The jump point does not save the signal mask (that would cost a
        // system call per armed region); unblock the signal here instead.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, nSignal);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        siglongjmp(*pJump, 1);
    }
    // Not ours to contain: die of the signal. The signal stays blocked until
    // the handler returns, then the re-raised one (or the repeated fault)
    // meets the default action.
    struct sigaction act;
    std::memset(&act, 0, sizeof(act));
    act.sa_handler = SIG_DFL;
    sigemptyset(&act.sa_mask);
    sigaction(nSignal, &act, nullptr);
    raise(nSignal);
}

bool IsOurs(int nSignal) {
    struct sigaction old;
    if (sigaction(nSignal, nullptr, &old) != 0) return false;
    return !(old.sa_flags & SA_SIGINFO) && old.sa_handler == OnMemoryFault;
}

std::atomic<bool> g_bInstalled{false};

// Installs once per process; arming runs per record and must stay cheap.
void EnsureHandlers() {
    if (!g_bInstalled.load(std::memory_order_acquire)) CFaultGuard::InstallHandlers();
}

}  // namespace

void CFaultGuard::InstallHandlers() {
    for (int nSignal : {SIGSEGV, SIGBUS}) {
        if (IsOurs(nSignal)) continue;
        struct sigaction act;
        std::memset(&act, 0, sizeof(act));
        act.sa_handler = OnMemoryFault;
        sigemptyset(&act.sa_mask);
        act.sa_flags = 0;
        sigaction(nSignal, &act, nullptr);
    }
    g_bInstalled.store(true, std::memory_order_release);
}

CFaultGuard::CFaultGuard(const char* szLogLine) : m_szLogLine(szLogLine ? szLogLine : "") {}

void CFaultGuard::Arm(sigjmp_buf* pJump) {
    EnsureHandlers();
    t_pArmedJump = pJump;
}

void CFaultGuard::Disarm() {
    t_pArmedJump = nullptr;
}

void CFaultGuard::ReportFault() const {
    TwDebug("%s", m_szLogLine);
}

CFaultGuard::CArmedRegion::CArmedRegion(CFaultGuard& guard)
    : m_guard(guard), m_pOuter(t_pArmedJump), m_bArmed(false) {}

void CFaultGuard::CArmedRegion::Arm(sigjmp_buf* pJump) {
    EnsureHandlers();
    m_bArmed = true;
    t_pArmedJump = pJump;
}

void CFaultGuard::CArmedRegion::Disarm() {
    if (!m_bArmed) return;
    m_bArmed = false;
    t_pArmedJump = m_pOuter;
}

void CFaultGuard::CArmedRegion::Caught() {
    // The handler cleared the pointer before jumping; give the outer region
    // back and log once.
    m_bArmed = true;
    Disarm();
    m_guard.ReportFault();
}
