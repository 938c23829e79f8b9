// Starting a program so that the patch can tell when the whole chain of
// processes it starts has ended.
#pragma once

#include "platform/platform.h"

// A started program: its first process and, where the platform gives one,
// a job object that every process of the chain belongs to. Either handle
// may be null.
// recorded: the chain's processes as the record of started programs
// holds them (see below).
struct started_process {
    platform::DWORD id;
    platform::FILETIME created;
};
constexpr platform::DWORD STARTED_PROCESSES_MAX = 16;
struct program_chain {
    platform::HANDLE process;
    platform::HANDLE job;
    started_process recorded[STARTED_PROCESSES_MAX];
    platform::DWORD recorded_count;
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

// The record of the programs a run started, kept in the registry while
// they run (HKLM\SOFTWARE\Kestova Patch, value "Started programs": for
// each process its id and then its creation time's low and high halves,
// three little-endian DWORDs). A run that is killed, or that leaves a
// program running on purpose, leaves it behind for the next run.
constexpr char STARTED_PROGRAMS_KEY[] = "SOFTWARE\\Kestova Patch";
constexpr char STARTED_PROGRAMS_VALUE[] = "Started programs";
constexpr char EARLIER_PROGRAM_AT_WORK[] =
    "A setup or uninstaller that an earlier run of Kestova Patch started is still at work.\n"
    "Let it finish (or close it), then run the patch again.\nNothing was changed.";

// Writes the record anew with count processes (0: removes it).
void record_started_processes(const started_process* processes, platform::DWORD count);
void forget_started_programs();
// A handle to the process with that id that can be waited on and asked for
// its times, or null.
platform::HANDLE open_started_process(platform::DWORD id);
// The creation time of a process handle; false when it cannot be had.
bool process_creation_time(platform::HANDLE process, platform::FILETIME* created);
// At the start of a run that would act: when a recorded process still
// runs, tells the user so and returns 1 (nothing may be changed then).
// Otherwise removes the record (also one that cannot be read) and returns 0.
int earlier_started_programs_at_work();
