// The hook that every function of the Win32 seam calls as its first
// statement, naming itself and what it does to the machine.
//
// The crash-test build (compile definition KESTOVA_CRASH_TEST, the target
// kestova-patch-crashtest) counts the calls that change the machine and can
// end its own process at the entry of a chosen one, as Task Manager or a
// power cut would (crash_test.cpp). In every other build the hook is an
// empty inline function: the release exe carries nothing of it.
// scripts/check-seam-hooks.py, run by every windows build, fails when a
// seam function does not call it first.
#pragma once

namespace win32
{

// What a call does, as another program or the next run of the patch sees
// the machine afterwards.
enum class seam_effect {
    looks,   // reads, waits, asks the user, or works inside the process only
    changes, // writes or deletes registry keys or files, starts or ends a program
    flushes, // asks for the registry's changes to be on disc
    logs,    // writes the patch's own log, which no run reads back
};

#if defined(KESTOVA_CRASH_TEST)
void seam_call(seam_effect effect, const char* name);
#else
inline void seam_call(seam_effect, const char*) {}
#endif

} // namespace win32
