// Starting the disc's setup and the real uninstaller as watchable chains.
//
// Installers often run as a chain: a first process copies the real engine
// to a temporary folder, starts it and ends at once. Waiting on the first
// process alone would take that early end for the end of the work. So the
// program is started suspended and put into a job object of its own before
// it runs a single instruction: every process it starts later belongs to
// the job too, and the job tells how many of them still run.
//
// Where the program cannot be started suspended (CreateProcessA refuses,
// for example because the program asks for elevation), the shell starts it
// and it is put into the job right after the start. A process that the
// program starts in the few milliseconds before that escapes the job; this
// is the race the patch accepts there. Where no job can be had at all
// (CreateJobObjectA or AssignProcessToJobObject fails, as for a patch that
// itself runs in a job that forbids another on Windows 7), the first
// process alone is watched, as before.
#include "main/program_chain.h"

#include "misc/misc.h"

#include <cstddef>
#include <cstring>

using namespace platform;

namespace
{

constexpr DWORD CHAIN_POLL_INTERVAL_MS = 50;

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
    if (chain->job != nullptr &&
        (chain->process == nullptr || !AssignProcessToJobObject(chain->job, chain->process))) {
        CloseHandle(chain->job);
        chain->job = nullptr;
    }
}

// Records the first process before it runs a single instruction, so that
// a kill right after the start still leaves the record.
void record_first_process(program_chain* chain, DWORD id)
{
    started_process first{id, {}};
    if (chain->process == nullptr || !process_creation_time(chain->process, &first.created)) {
        return;
    }
    chain->recorded[0] = first;
    chain->recorded_count = 1;
    record_started_processes(chain->recorded, 1);
}

// The entry of a process of the job: the one already recorded for its id,
// or a new one with its creation time. False when it cannot be had.
bool job_process_entry(const program_chain& chain, DWORD id, started_process* entry)
{
    for (DWORD i = 0; i < chain.recorded_count; ++i) {
        if (chain.recorded[i].id == id) {
            *entry = chain.recorded[i];
            return true;
        }
    }
    HANDLE process = open_started_process(id);
    if (process == nullptr) {
        return false;
    }
    entry->id = id;
    const bool known = process_creation_time(process, &entry->created);
    CloseHandle(process);
    return known;
}

bool same_processes(const started_process* a, DWORD a_count, const started_process* b, DWORD b_count)
{
    if (a_count != b_count) {
        return false;
    }
    for (DWORD i = 0; i < a_count; ++i) {
        if (a[i].id != b[i].id) {
            return false;
        }
    }
    return true;
}

// The record follows the job's processes (an engine started later is in
// it from the next poll on); it is written only when they changed. A job
// that cannot list them leaves the record as it is.
void record_job_processes(program_chain* chain)
{
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        std::uintptr_t more[STARTED_PROCESSES_MAX - 1];
    } ids{};
    if (!QueryInformationJobObject(chain->job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr) &&
        GetLastError() != static_cast<DWORD>(ERROR_MORE_DATA)) {
        return;
    }
    DWORD listed = ids.list.NumberOfProcessIdsInList;
    if (listed == 0) {
        return;
    }
    if (listed > STARTED_PROCESSES_MAX) {
        listed = STARTED_PROCESSES_MAX;
    }
    started_process current[STARTED_PROCESSES_MAX];
    DWORD count = 0;
    // The ids run on past the one-element array of the declaration.
    const BYTE* listed_ids =
        reinterpret_cast<const BYTE*>(&ids) + offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
    for (DWORD i = 0; i < listed; ++i) {
        std::uintptr_t listed_id = 0;
        std::memcpy(&listed_id, listed_ids + i * sizeof listed_id, sizeof listed_id);
        const DWORD id = static_cast<DWORD>(listed_id);
        if (job_process_entry(*chain, id, &current[count])) {
            ++count;
        }
    }
    if (count == 0 || same_processes(current, count, chain->recorded, chain->recorded_count)) {
        return;
    }
    for (DWORD i = 0; i < count; ++i) {
        chain->recorded[i] = current[i];
    }
    chain->recorded_count = count;
    record_started_processes(chain->recorded, count);
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
    chain->process = started.hProcess;
    join_job(chain);
    record_first_process(chain, started.dwProcessId);
    const bool resumed = ResumeThread(started.hThread) != 0xFFFFFFFFu;
    CloseHandle(started.hThread);
    if (!resumed) {
        // A program that never runs must not be waited for; the shell may
        // still start it.
        TerminateProcess(started.hProcess, 1);
        CloseHandle(started.hProcess);
        chain->process = nullptr;
        return false;
    }
    return true;
}

bool start_through_shell(const char* program, const char* directory, program_chain* chain)
{
    SHELLEXECUTEINFOA info{};
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = program;
    info.lpDirectory = directory;
    info.nShow = SW_SHOW;
    const BOOL started = ShellExecuteExA(&info);
    chain->process = info.hProcess;
    if (!started || info.hInstApp <= 32) {
        return false;
    }
    join_job(chain);
    if (chain->job != nullptr) {
        record_job_processes(chain);
    }
    return true;
}

// Processes of the job that still run; -1 when the job cannot answer.
long active_processes(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                   nullptr)) {
        return -1;
    }
    return static_cast<long>(accounting.ActiveProcesses);
}

// The first process has ended (or cannot be waited on).
bool process_ended(HANDLE process, DWORD milliseconds)
{
    const DWORD wait = WaitForSingleObject(process, milliseconds);
    return wait == WAIT_OBJECT_0 || wait == WAIT_FAILED;
}

bool job_chain_ended(program_chain* chain, DWORD milliseconds)
{
    const DWORD started = GetTickCount();
    for (;;) {
        const long active = active_processes(chain->job);
        if (active < 0) {
            // The job stopped answering: the first process is all that is left to watch.
            CloseHandle(chain->job);
            chain->job = nullptr;
            return chain->process == nullptr || process_ended(chain->process, milliseconds);
        }
        if (active == 0) {
            return true;
        }
        record_job_processes(chain);
        const DWORD waited = GetTickCount() - started;
        if (waited >= milliseconds) {
            return false;
        }
        const DWORD left = milliseconds - waited;
        const DWORD slice = left < CHAIN_POLL_INTERVAL_MS ? left : CHAIN_POLL_INTERVAL_MS;
        // While the first process runs, waiting on it costs nothing; after
        // it, the job is asked again after each short sleep.
        if (chain->process == nullptr || process_ended(chain->process, 0)) {
            Sleep(slice);
        } else {
            WaitForSingleObject(chain->process, slice);
        }
    }
}

// Nothing of the chain runs any more (or it never started).
void forget_chain_record(program_chain* chain)
{
    if (chain->recorded_count != 0) {
        forget_started_programs();
        chain->recorded_count = 0;
    }
}

} // namespace

bool start_program_chain(const char* program, const char* directory, program_chain* chain)
{
    chain->process = nullptr;
    chain->recorded_count = 0;
    chain->job = create_chain_job();
    if (start_suspended(program, directory, chain) || start_through_shell(program, directory, chain)) {
        return true;
    }
    close_program_chain(chain);
    forget_chain_record(chain);
    return false;
}

bool chain_can_be_watched(const program_chain& chain)
{
    return chain.job != nullptr || chain.process != nullptr;
}

bool wait_for_chain_end(program_chain* chain, DWORD milliseconds)
{
    const bool ended = chain->job != nullptr
                           ? job_chain_ended(chain, milliseconds)
                           : chain->process == nullptr || process_ended(chain->process, milliseconds);
    if (ended) {
        forget_chain_record(chain);
    }
    return ended;
}

void close_program_chain(program_chain* chain)
{
    if (chain->process != nullptr) {
        CloseHandle(chain->process);
        chain->process = nullptr;
    }
    if (chain->job != nullptr) {
        CloseHandle(chain->job);
        chain->job = nullptr;
    }
}
