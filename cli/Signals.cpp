#include "Signals.h"

#include <signal.h>

#include <cstring>
#include <initializer_list>

namespace {

volatile sig_atomic_t g_nSignal = 0;
volatile int g_bInterrupted = 0;

void OnStopSignal(int nSignal) {
    if (!g_nSignal) g_nSignal = nSignal;
    g_bInterrupted = 1;
}

}  // namespace

void InstallStopSignals() {
    struct sigaction act;
    std::memset(&act, 0, sizeof(act));
    act.sa_handler = OnStopSignal;
    sigemptyset(&act.sa_mask);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP}) sigaction(nSignal, &act, nullptr);
}

const volatile int& Interrupted() {
    return g_bInterrupted;
}

int InterruptedExitStatus() {
    return 128 + (g_nSignal ? static_cast<int>(g_nSignal) : SIGINT);
}
