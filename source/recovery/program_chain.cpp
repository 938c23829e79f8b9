// Starting the disc's setup and the real uninstaller as watchable chains.
//
// Installers often run as a chain: a first process copies the real engine
// to a temporary folder, starts it and ends at once. Waiting on the first
// process alone would take that early end for the end of the work. So the
// program is started suspended and put into a job object of its own before
// it runs a single instruction: every process it starts later belongs to
// the job too, and the job tells how many of them still run.
//
// A job does not hold everything: a process may leave it when it asks to
// (CREATE_BREAKAWAY_FROM_JOB, which the job allows so as not to break the
// program), a program the shell starts joins it only after its start, and
// on some systems no job can be had at all. So the chain is also followed
// by its processes' parents (Toolhelp), and its members are recorded in
// the registry as soon as they are seen, also while a box of the patch is
// up: its message loop runs a timer that looks again.
#include "log/log.h"
#include "recovery/recovery.h"

#include "misc/misc.h"

#include <cstddef>
#include <cstring>

using namespace platform;

namespace
{

constexpr DWORD CHAIN_POLL_INTERVAL_MS = 50;
// How often the processes are listed by parent, while waiting and while a
// box is up. A list of every process of the system is the dearest look
// (under Wine it reads a file of the system for each process and thread):
// where the job holds the chain, the list is needed only for a process that
// left the job, and its parent is known from the job's own list meanwhile;
// without a job the list is all there is.
constexpr DWORD MEMBER_LOOK_INTERVAL_WITH_JOB_MS = 5000;
constexpr DWORD MEMBER_LOOK_INTERVAL_MS = 250;

// The chain whose record the boxes' timer keeps up to date, and the timer.
program_chain* watched_chain = nullptr;
std::uintptr_t box_timer = 0;

// A job that lets a process of the chain leave it when it asks for that
// explicitly (CREATE_BREAKAWAY_FROM_JOB): without this such a start would
// fail and break the program. A job that refuses the setting is kept.
HANDLE create_chain_job()
{
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

// Puts the process into the job; without that, the job is of no use.
void join_job(program_chain* chain)
{
    if (chain->job.valid() &&
        (!chain->process.valid() || !AssignProcessToJobObject(chain->job.get(), chain->process.get()))) {
        chain->job.close();
    }
}

bool is_member(const program_chain& chain, DWORD id)
{
    for (DWORD i = 0; i < chain.member_count; ++i) {
        if (chain.members[i].id == id) {
            return true;
        }
    }
    return false;
}

// Records the first process before it runs a single instruction, so that
// a kill right after the start still leaves the record.
void record_first_process(program_chain* chain, DWORD id)
{
    started_process first{id, {}};
    if (!chain->process.valid() || !process_creation_time(chain->process.get(), &first.created)) {
        return;
    }
    chain->members[0] = first;
    chain->member_count = 1;
    record_started_processes(chain->members, 1);
}

// With every place taken, the members that have ended make room.
void drop_ended_members(program_chain* chain)
{
    DWORD kept = 0;
    for (DWORD i = 0; i < chain->member_count; ++i) {
        if (any_started_process_runs(&chain->members[i], 1)) {
            chain->members[kept++] = chain->members[i];
        }
    }
    chain->member_count = kept;
}

// The job's processes that are not members yet join them. A job that
// cannot list them adds none. False when one could not be recorded yet (it
// is still starting), so that the job is listed again at the next look.
bool add_job_processes(program_chain* chain)
{
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        std::uintptr_t more[STARTED_PROCESSES_MAX - 1];
    } ids{};
    if (!QueryInformationJobObject(chain->job.get(), JobObjectBasicProcessIdList, &ids, sizeof ids,
                                   nullptr) &&
        GetLastError() != static_cast<DWORD>(ERROR_MORE_DATA)) {
        return true;
    }
    DWORD listed = ids.list.NumberOfProcessIdsInList;
    if (listed > STARTED_PROCESSES_MAX) {
        listed = STARTED_PROCESSES_MAX;
    }
    // The ids run on past the one-element array of the declaration.
    const BYTE* listed_ids =
        reinterpret_cast<const BYTE*>(&ids) + offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
    bool all_recorded = true;
    for (DWORD i = 0; i < listed && chain->member_count < STARTED_PROCESSES_MAX; ++i) {
        std::uintptr_t listed_id = 0;
        std::memcpy(&listed_id, listed_ids + i * sizeof listed_id, sizeof listed_id);
        started_process member{static_cast<DWORD>(listed_id), {}};
        if (is_member(*chain, member.id)) {
            continue;
        }
        // A process still starting joins at a later look; the job counts it.
        const process_state state = look_at_process(member.id, &member.created);
        if (state == process_state::running) {
            chain->members[chain->member_count++] = member;
        } else if (state == process_state::starting) {
            all_recorded = false;
        }
    }
    return all_recorded;
}

// Asks the job how many of its processes run, and lists them when one has
// joined since the last list (the job counts every process it ever held).
// A job that stops answering is given up: its processes are followed by
// parent.
void look_at_job(program_chain* chain)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!QueryInformationJobObject(chain->job.get(), JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr)) {
        chain->job.close();
        chain->job_active = 0;
        return;
    }
    chain->job_active = accounting.ActiveProcesses;
    if (accounting.TotalProcesses != chain->job_listed_total && add_job_processes(chain)) {
        chain->job_listed_total = accounting.TotalProcesses;
    }
}

// Brings the members up to date and writes the record when new ones were
// seen: the job (one cheap call) every time, the processes started by a
// member (a list of every process of the system) when by_parent is set.
void look_for_members(program_chain* chain, bool by_parent)
{
    if (chain->member_count == STARTED_PROCESSES_MAX) {
        drop_ended_members(chain);
    }
    const DWORD before = chain->member_count;
    if (chain->job.valid()) {
        look_at_job(chain);
    }
    if (by_parent) {
        chain->looked = true;
        chain->last_look_at = GetTickCount();
        chain->member_count =
            add_chain_descendants(chain->members, chain->member_count, &chain->child_starting);
    }
    if (chain->member_count != before) {
        record_started_processes(chain->members, chain->member_count);
    }
}

void look_for_members(program_chain* chain)
{
    const DWORD interval = chain->job.valid() ? MEMBER_LOOK_INTERVAL_WITH_JOB_MS : MEMBER_LOOK_INTERVAL_MS;
    look_for_members(chain, !chain->looked || GetTickCount() - chain->last_look_at >= interval);
}

// While a box is up, its message loop calls this.
void look_for_members_during_box(HWND, UINT, std::uintptr_t, DWORD)
{
    if (watched_chain != nullptr) {
        look_for_members(watched_chain);
    }
}

void watch_during_boxes(program_chain* chain)
{
    watched_chain = chain;
    box_timer = SetTimer(nullptr, 0, MEMBER_LOOK_INTERVAL_MS, look_for_members_during_box);
}

bool start_suspended(const char* program, const char* directory, program_chain* chain)
{
    char command_line[600];
    if (!format_text(command_line, sizeof command_line, "\"%s\"", program)) {
        return false;
    }
    STARTUPINFOA startup{STARTF_USESHOWWINDOW, static_cast<WORD>(SW_SHOW)};
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(program, command_line, nullptr, nullptr, 0, CREATE_SUSPENDED, nullptr, directory,
                        &startup, &started)) {
        return false;
    }
    chain->process.reset(started.hProcess);
    handle_owner thread(started.hThread);
    join_job(chain);
    record_first_process(chain, started.dwProcessId);
    const bool resumed = ResumeThread(thread.get()) != 0xFFFFFFFFu;
    thread.close();
    if (!resumed) {
        // A program that never runs must not be waited for; the shell may
        // still start it.
        TerminateProcess(chain->process.get(), 1);
        chain->process.close();
        return false;
    }
    return true;
}

// The shell gives no id with the process handle; the job (when the process
// could join it) lists it.
bool start_through_shell(const char* program, const char* directory, program_chain* chain)
{
    SHELLEXECUTEINFOA info{};
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = program;
    info.lpDirectory = directory;
    info.nShow = SW_SHOW;
    const BOOL started = ShellExecuteExA(&info);
    chain->process.reset(info.hProcess);
    if (!started || info.hInstApp <= 32) {
        return false;
    }
    join_job(chain);
    if (chain->job.valid()) {
        look_for_members(chain, true);
    }
    return true;
}

// The first process has ended (or cannot be waited on).
bool process_ended(HANDLE process, DWORD milliseconds)
{
    const DWORD wait = WaitForSingleObject(process, milliseconds);
    return wait == WAIT_OBJECT_0 || wait == WAIT_FAILED;
}

// A process of the chain still runs, as the last look saw the job: one in
// the job, the first one, or a member that left the job or was never in one.
bool chain_runs(program_chain* chain)
{
    if (chain->job.valid() && chain->job_active > 0) {
        return true;
    }
    if (chain->child_starting || (chain->process.valid() && !process_ended(chain->process.get(), 0))) {
        return true;
    }
    return any_started_process_runs(chain->members, chain->member_count);
}

// Nothing of the chain runs any more (or it never started).
void forget_chain_record(program_chain* chain)
{
    if (chain->member_count != 0) {
        forget_started_programs();
        chain->member_count = 0;
    }
}

} // namespace

bool start_program_chain(const char* program, const char* directory, program_chain* chain)
{
    chain->process.close();
    chain->member_count = 0;
    chain->looked = false;
    chain->child_starting = false;
    chain->job_active = 0;
    chain->job_listed_total = 0;
    chain->job.reset(create_chain_job());
    log_line("Starting %s", program);
    if (start_suspended(program, directory, chain) || start_through_shell(program, directory, chain)) {
        watch_during_boxes(chain);
        return true;
    }
    log_line("Could not start it (error %lu)", static_cast<unsigned long>(GetLastError()));
    close_program_chain(chain);
    forget_chain_record(chain);
    return false;
}

bool chain_can_be_watched(const program_chain& chain)
{
    return chain.job.valid() || chain.process.valid() || chain.member_count != 0;
}

bool wait_for_chain_end(program_chain* chain, DWORD milliseconds)
{
    const DWORD started = GetTickCount();
    for (;;) {
        look_for_members(chain);
        if (!chain_runs(chain)) {
            // A member may have started another just before it ended.
            look_for_members(chain, true);
            if (!chain_runs(chain)) {
                forget_chain_record(chain);
                log_line("Every program it started has ended");
                return true;
            }
        }
        const DWORD now = GetTickCount();
        if (now - started >= milliseconds) {
            return false;
        }
        const DWORD left = milliseconds - (now - started);
        const DWORD slice = left < CHAIN_POLL_INTERVAL_MS ? left : CHAIN_POLL_INTERVAL_MS;
        // While the first process runs, waiting on it costs nothing; after
        // it, the chain is asked again after each short sleep.
        if (!chain->process.valid() || process_ended(chain->process.get(), 0)) {
            Sleep(slice);
        } else {
            WaitForSingleObject(chain->process.get(), slice);
        }
    }
}

void close_program_chain(program_chain* chain)
{
    if (watched_chain == chain) {
        if (box_timer != 0) {
            KillTimer(nullptr, box_timer);
        }
        watched_chain = nullptr;
        box_timer = 0;
    }
    chain->process.close();
    chain->job.close();
}
