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
//
// The region is disarmed however it is left (end of block, break, continue,
// return), and regions nest: leaving an inner one re-arms the outer one. A
// fault logs the guard's line once, after the jump back, outside the signal
// handler. As with any jump back, a local variable changed inside the TRY block
// and read after a fault must be volatile. Objects with destructors made inside
// the TRY block are not destroyed when a fault jumps out of it.
#pragma once

#include <csetjmp>

class CFaultGuard {
public:
    explicit CFaultGuard(const char* szLogLine);
    // Arms the guard on the calling thread with the jump point given (the
    // macros below do this; a direct Arm/Disarm pair does not nest).
    void Arm(sigjmp_buf* pJump);
    // Disarms it: later faults take the default action.
    void Disarm();
    const char* LogLine() const { return m_szLogLine; }
    // Writes the log line; called after a jump back.
    void ReportFault() const;

    // Installs the process-wide handlers for SIGSEGV and SIGBUS unless they are
    // in place. The first Arm does this; call it again after code that installs
    // its own handlers for these signals.
    static void InstallHandlers();

    // One armed region on the calling thread; restores the region that was
    // armed before it when it ends.
    class CArmedRegion {
    public:
        explicit CArmedRegion(CFaultGuard& guard);
        ~CArmedRegion() { Disarm(); }
        CArmedRegion(const CArmedRegion&) = delete;
        CArmedRegion& operator=(const CArmedRegion&) = delete;
        void Arm(sigjmp_buf* pJump);
        void Disarm();
        // After the jump back: the handler has already disarmed; log the fault.
        void Caught();

    private:
        CFaultGuard& m_guard;
        sigjmp_buf* m_pOuter;
        bool m_bArmed;
    };

private:
    const char* m_szLogLine;
};

#define TW_FAULT_TRY(guard)                                 \
    {                                                       \
        sigjmp_buf tw_fault_jump__;                         \
        CFaultGuard::CArmedRegion tw_fault_region__(guard); \
        if (sigsetjmp(tw_fault_jump__, 0) == 0) {           \
            tw_fault_region__.Arm(&tw_fault_jump__);
#define TW_FAULT_CATCH(guard)   \
    tw_fault_region__.Disarm(); \
    }                           \
    else {                      \
        tw_fault_region__.Caught();
#define TW_FAULT_END(guard) \
    }                       \
    }
