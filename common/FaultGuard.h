// Second line of defence around the parsing of untrusted device data: a memory
// fault (SIGSEGV, SIGBUS) while one record is parsed skips that record. The
// guard jumps only on the thread that armed it; a fault on any other thread, or
// outside an armed region, takes the default action (the process dies with the
// signal, so a crash is never reported as success). Bounds checks come first:
// no test may pass because of the guard.
//
// Use, one guard per module (its log line names the module):
//
//   static CFaultGuard g_guard("CFastFatRecovery recvSignal");
//   for (each record) {
//       TW_FAULT_TRY(g_guard) { parse(record); }
//       TW_FAULT_CATCH(g_guard) { continue; }   // the record faulted
//       TW_FAULT_END(g_guard);
//   }
#pragma once

#include <csetjmp>

class CFaultGuard {
public:
    explicit CFaultGuard(const char* szLogLine);
    // Arms the guard on the calling thread with the jump point given.
    void Arm(sigjmp_buf* pJump);
    // Disarms it: later faults take the default action.
    void Disarm();
    // Called after a jump back: logs nothing more, stays usable.
    const char* LogLine() const { return m_szLogLine; }

private:
    const char* m_szLogLine;
};

#define TW_FAULT_TRY(guard)                              \
    {                                                    \
        sigjmp_buf tw_fault_jump__;                      \
        (guard).Arm(&tw_fault_jump__);                   \
        if (sigsetjmp(tw_fault_jump__, 1) == 0) {
#define TW_FAULT_CATCH(guard) \
    (guard).Disarm();         \
    }                         \
    else {                    \
        (guard).Disarm();
#define TW_FAULT_END(guard) \
    }                       \
    }
