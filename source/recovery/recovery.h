// Keeping the titles whole whatever interrupts a run: the repair of what an
// interrupted run left, the recovery after a fatal error, the arrangement
// that brings the patch back after a restart, and the programs the patch
// starts, watched as whole chains and recorded while they work. Built on
// registration and below; the workflow (main) calls it.
//
// Which file holds what:
//   recovery.cpp          the fatal error handler of a stage
//   reconcile.cpp         finishing or undoing what an interrupted run left
//   resume.cpp            the arrangement to come back after a restart
//   program_chain.cpp     starting a program as a chain that can be waited for
//   started_programs.cpp  the record of started programs that keeps later runs
//                         from acting while one still works
#pragma once

#include "platform/platform.h"
#include "registration/registration.h"

// ---------------------------------------------------------------------------
// recovery.cpp

// Recovery after a fatal error inside a stage: the moves note the one under
// way (relocation.cpp), and the fatal error handler undoes it and then
// brings every registration to a whole state (as the start of a run does).
//
// recover_after_fatal_error is set as misc's fatal error handler (by
// run_with_stage_recovery, and again by reconcile.cpp before each of its
// steps): the one way a fatal error in registration, registry or misc
// reaches back up into this module.
void recover_after_fatal_error();

// Runs a stage's changes (body) with its recovery around them, so that no
// way out of body can leave the handler behind: first no move is noted, the
// steps of any earlier stage are forgotten, the handler is set and the
// arrangement to come back after a restart is made; once body returns, the
// handler goes and, with resume_settling::at_stage_end, the arrangement is
// settled at once (at_run_end: the run's end settles it). Returns what body
// returned. A fatal error inside body never comes back here (the process
// ends there): the handler does the recovery.
enum class resume_settling { at_stage_end, at_run_end };
int run_with_stage_recovery(int (*body)(), resume_settling settling);

// ---------------------------------------------------------------------------
// reconcile.cpp

// What an interrupted run left (killed, the machine restarted, a fatal
// error): finished or undone at the start of every stage. Returns 1 when it
// changed something or found a state it cannot put right, after telling
// the user in one box; the stage then ends. 0 when all was whole.
int put_right_interrupted_run();
// Brings the registrations to a whole state, as far as it can, after a
// fatal error (the in-flight step is never repeated). Shows no box of its own.
void reconcile_after_fatal_error(const char* failed_source, const char* failed_dest);
// Forgets the steps taken so far (a new stage begins).
void reset_reconciliation();
// True when the installer's real uninstaller ("setup_is.exe") stands in the
// product folder of the entry under code: its uninstaller was redirected
// through the patch.
bool has_real_uninstaller_beside(const char* code);

// ---------------------------------------------------------------------------
// resume.cpp

// Coming back after a restart: the command line of the run that the system
// starts once at the next logon, the arrangement made before a title is
// parked (1 when made), and its removal when a run has ended.
constexpr char RESUME_ARGUMENT[] = "/resume-after-restart";
int arrange_resume_after_restart();
void remove_resume_arrangement();
// At the end of a run: the arrangement stays while a title is parked or a
// program the patch started may still work (the run after the next logon
// puts that right); otherwise it goes.
void settle_resume_arrangement();

// ---------------------------------------------------------------------------
// program_chain.cpp

// A process of a chain: its id and its creation time (an id alone may
// have been given to another process since).
struct started_process {
    platform::DWORD id;
    platform::FILETIME created;
};
constexpr platform::DWORD STARTED_PROCESSES_MAX = 32;

// A started program: its first process and, where the platform gives one,
// a job object that the chain's processes belong to (either handle may be
// null), and every process of the chain seen so far, ended ones too while
// there is room (their children are known by their parent's id).
//
// A process belongs to the chain when it is in the job, or one of these,
// or its parent belongs to the chain and it was created after that parent
// (a Toolhelp snapshot's parent ids, transitively). So a process that
// leaves the job (CREATE_BREAKAWAY_FROM_JOB), or any child where no job
// can be had, still counts, and so does one started between two looks.
struct program_chain {
    platform::handle_owner process;
    platform::handle_owner job;
    started_process members[STARTED_PROCESSES_MAX];
    platform::DWORD member_count;
    bool looked;                      // the processes have been listed by parent
    platform::DWORD last_look_at;     // when (GetTickCount)
    bool child_starting;              // then a process a member started was still starting
    platform::DWORD job_active;       // the job's processes running at the last look
    platform::DWORD job_listed_total; // processes the job had held when last listed
};

// Starts program (an executable) with directory as its working folder
// (null: the patch's own), shown with SW_SHOW and no arguments. True when
// it was started; *chain then holds what can be watched. Until the chain is
// closed, the message loop of every box the patch shows keeps the record
// of it up to date.
bool start_program_chain(const char* program, const char* directory, program_chain* chain);

// Waits up to milliseconds (0: only looks) for every process of the chain
// to end, at next to no processor cost. True when they all have (then the
// record goes); with nothing to watch (chain_can_be_watched false) the
// answer is true at once.
bool wait_for_chain_end(program_chain* chain, platform::DWORD milliseconds);
bool chain_can_be_watched(const program_chain& chain);

// Closes both handles and stops keeping the record during boxes. The
// programs go on running.
void close_program_chain(program_chain* chain);

// ---------------------------------------------------------------------------
// started_programs.cpp

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
constexpr char EARLIER_PROGRAM_AT_WORK_RETRY[] =
    "A setup or uninstaller that an earlier run of Kestova Patch started is still at work.\n\n"
    "The patch puts the titles right once it has ended: let it finish (or close it), then click on "
    "Retry.\nClick on Cancel to do this at the next logon instead.";

// Writes the record anew with count processes (0: removes it).
void record_started_processes(const started_process* processes, platform::DWORD count);
void forget_started_programs();
// True when a record is kept (whatever it holds).
bool started_programs_recorded();
// A handle to the process with that id that can be waited on and asked for
// its times, or null.
platform::HANDLE open_started_process(platform::DWORD id);
// The creation time of a process handle; false when it cannot be had.
bool process_creation_time(platform::HANDLE process, platform::FILETIME* created);
// Whether the process with that id runs and, when it does, its creation
// time. A process still starting may not know its creation time yet (Wine
// tells a placeholder until its program is loaded): it runs, but cannot be
// recorded until a later look.
enum class process_state { gone, starting, running };
process_state look_at_process(platform::DWORD id, platform::FILETIME* created);
// Adds to members (count of them, at most STARTED_PROCESSES_MAX) every
// running process whose parent is a member and that was created after it,
// transitively; returns the new count. *starting tells whether a process
// started by a member is still starting (it runs, and joins at a later
// look). Without a snapshot, none.
platform::DWORD add_chain_descendants(started_process* members, platform::DWORD count, bool* starting);
// True when one of the processes still runs (the same id and creation time).
bool any_started_process_runs(const started_process* processes, platform::DWORD count);
// At the start of a run that would act: when a process of a recorded
// chain still runs, tells the user so and returns 1 (nothing may be
// changed then). Otherwise removes the record (also one that cannot be
// read) and returns 0.
int earlier_started_programs_at_work();
// The same for the run the system starts after a restart: it asks the
// user to retry until the chain has ended (then 0, as above) or to leave
// it to the next logon (then 1).
int wait_for_earlier_started_programs();
