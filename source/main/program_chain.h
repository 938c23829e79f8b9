// Starting a program so that the patch can tell when the whole chain of
// processes it starts has ended.
#pragma once

#include "platform/platform.h"

// A started program: its first process and, where the platform gives one,
// a job object that every process of the chain belongs to. Either handle
// may be null.
struct program_chain {
    platform::HANDLE process;
    platform::HANDLE job;
};

// Starts program (an executable) with directory as its working folder
// (null: the patch's own), shown with SW_SHOW and no arguments. True when
// it was started; *chain then holds what can be watched.
bool start_program_chain(const char* program, const char* directory, program_chain* chain);

// Waits up to milliseconds (0: only looks) for every process of the chain
// to end. True when they all have. Without a job it watches the first
// process alone; with neither handle nothing can be watched and the answer
// is true at once (chain_can_be_watched tells that case apart).
bool wait_for_chain_end(program_chain* chain, platform::DWORD milliseconds);
bool chain_can_be_watched(const program_chain& chain);

// Closes both handles. The programs go on running.
void close_program_chain(program_chain* chain);
