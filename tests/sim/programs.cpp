// Started programs, virtual time, named mutexes, the COM runtime and the
// DirectX diagnostics provider of the simulated machine.
#include "sim/machine.h"
#include "sim/sim.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace platform::sim::detail
{

namespace
{

constexpr INT_PTR SE_ERR_FNF = 2;
constexpr INT_PTR STARTED = 42;

DWORD add_saturating(DWORD a, DWORD b)
{
    return b > 0xFFFFFFFFu - a ? 0xFFFFFFFFu : a + b;
}

bool process_ended(const process_record& p, DWORD now)
{
    return !p.suspended && p.duration != INFINITE && now >= add_saturating(p.started_at, p.duration);
}

std::u16string program_key(const split_path& parsed, bool parsed_ok)
{
    machine& m = state();
    if (!parsed_ok)
        return {};
    std::u16string key = fold_name(join_path(parsed));
    return m.programs.count(key) ? key : std::u16string();
}

// A process's id, as CreateProcessA reports it.
DWORD process_id(std::size_t index)
{
    return static_cast<DWORD>(4 * index + 1000);
}

// Runs the scripted start of process index (if its path has one) as that
// process, and sets how long it runs.
void run_program(std::size_t index)
{
    machine& m = state();
    m.processes[index].started_at = m.now;
    auto behaviour = m.programs.find(m.processes[index].program);
    if (m.processes[index].program.empty() || behaviour == m.programs.end())
        return;
    program run = behaviour->second; // the program may change the table
    started_program request = m.processes[index].request;
    request.started_at = m.now;
    std::optional<std::size_t> outer = m.running_process;
    m.running_process = index;
    DWORD duration = run(request);
    m.running_process = outer;
    m.processes[index].duration = duration;
}

// A new process of program key; its own start runs unless it is suspended.
std::size_t launch(std::u16string key, const started_program& request, std::vector<std::size_t> jobs,
                   bool suspended, DWORD parent_id)
{
    machine& m = state();
    for (std::size_t job : jobs)
        ++m.jobs[job].total_processes;
    process_record record{request.started_at, INFINITE, suspended, std::move(key), request,
                          std::move(jobs),    m.now,    parent_id};
    m.processes.push_back(std::move(record));
    std::size_t index = m.processes.size() - 1;
    if (!suspended)
        run_program(index);
    return index;
}

std::string text_or_empty(const char* text)
{
    return text ? ansi_to_utf8(text) : std::string();
}

// The shell's answer to a start of file, before anything is started.
INT_PTR shell_answer(const char* file, split_path* parsed, bool* parsed_ok)
{
    INT_PTR forced = state().forced_shell_result;
    if (forced != 0 && forced <= 32)
        return forced;
    if (!file)
        return SE_ERR_FNF;
    LONG error = parse_path(file, parsed);
    *parsed_ok = error == 0;
    file_node* node = error ? nullptr : find_node(*parsed, &error);
    if (forced)
        return forced;
    if (!node || node->directory)
        return SE_ERR_FNF;
    return STARTED;
}

// Starts file the way the shell would, unless injected names the answer
// of a failure. Every request is recorded; *process is the new process
// when one was started.
INT_PTR start_program(const char* verb, const char* file, const char* parameters, const char* directory,
                      int show, const long* injected, std::size_t* process)
{
    machine& m = state();
    split_path parsed;
    bool parsed_ok = false;
    INT_PTR answer = injected ? static_cast<INT_PTR>(*injected) : shell_answer(file, &parsed, &parsed_ok);
    started_program started{text_or_empty(file),
                            text_or_empty(parameters),
                            text_or_empty(directory),
                            text_or_empty(verb),
                            show,
                            m.now,
                            answer,
                            process ? "ShellExecuteExA" : "ShellExecuteA"};
    m.started.push_back(started);
    if (injected || answer <= 32)
        return answer;
    record("start " + started.file + (started.parameters.empty() ? "" : " " + started.parameters));
    // The shell starts the program outside any job of the patch's.
    std::size_t index = launch(program_key(parsed, parsed_ok), started, {}, false, sim::PATCH_PROCESS_ID);
    if (process)
        *process = index;
    return answer;
}

// The text after a command line's program name (quoted or not) and the
// blanks that follow it.
std::string command_line_tail(const char* command_line)
{
    if (!command_line)
        return {};
    const char* p = command_line;
    if (*p == '"') {
        p = std::strchr(p + 1, '"');
        p = p ? p + 1 : command_line + std::strlen(command_line);
    } else {
        while (*p && *p != ' ' && *p != '\t')
            ++p;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

DWORD wait_for_process(const process_record& p, DWORD milliseconds)
{
    machine& m = state();
    if (process_ended(p, m.now))
        return WAIT_OBJECT_0;
    if (milliseconds == 0)
        return WAIT_TIMEOUT;
    if (p.duration == INFINITE && milliseconds == INFINITE)
        throw std::runtime_error("sim: WaitForSingleObject(INFINITE) on a process that runs for ever");
    DWORD end = p.duration == INFINITE ? 0xFFFFFFFFu : add_saturating(p.started_at, p.duration);
    DWORD until = milliseconds == INFINITE ? end : std::min(end, add_saturating(m.now, milliseconds));
    advance_clock(until - m.now);
    return process_ended(p, m.now) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

HANDLE new_handle(handle_kind kind, std::string text, std::size_t process)
{
    handle_entry entry{kind, nullptr, 0, std::move(text), process, {}};
    return reinterpret_cast<HANDLE>(add_handle(std::move(entry)));
}

} // namespace

void advance_clock(DWORD milliseconds)
{
    machine& m = state();
    DWORD target = add_saturating(m.now, milliseconds);
    // A patch that waits for ever (on a program that never ends) fails the
    // test instead of hanging it; the clock itself would wrap after 49 days.
    constexpr DWORD THIRTY_DAYS_MS = 30u * 24 * 60 * 60 * 1000;
    if (target >= THIRTY_DAYS_MS)
        throw std::runtime_error("sim: virtual time ran past 30 days (a wait that never ends?)");
    for (;;) {
        auto next = m.events.end();
        for (auto it = m.events.begin(); it != m.events.end(); ++it) {
            bool due = it->due <= target;
            bool earlier = next == m.events.end() || it->due < next->due ||
                           (it->due == next->due && it->order < next->order);
            if (due && earlier)
                next = it;
        }
        if (next == m.events.end())
            break;
        scheduled_event event = std::move(*next);
        m.events.erase(next);
        m.now = std::max(m.now, event.due);
        event.run();
    }
    m.now = target;
}

} // namespace platform::sim::detail

// ---------------------------------------------------------------------------
// The seam.

namespace platform
{

using namespace sim::detail;

INT_PTR ShellExecuteA(HWND owner, const char* operation, const char* file, const char* parameters,
                      const char* directory, int show)
{
    (void)owner;
    long code = 0;
    bool failed = injected_failure("ShellExecuteA", &code);
    return start_program(operation, file, parameters, directory, show, failed ? &code : nullptr, nullptr);
}

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info)
{
    long code = 0;
    bool failed = injected_failure("ShellExecuteExA", &code);
    if (!info) {
        set_last_error(failed ? static_cast<DWORD>(code) : ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::size_t process = 0;
    INT_PTR result = start_program(info->lpVerb, info->lpFile, info->lpParameters, info->lpDirectory,
                                   info->nShow, failed ? &code : nullptr, &process);
    info->hInstApp = result;
    info->hProcess = nullptr;
    if (failed || result <= 32) {
        // The shell's small error numbers are the matching Win32 codes.
        set_last_error(static_cast<DWORD>(result));
        return 0;
    }
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS)
        info->hProcess = new_handle(handle_kind::process, {}, process);
    return 1;
}

HANDLE OpenMutexA(DWORD access, BOOL inherit, const char* name)
{
    (void)access;
    (void)inherit;
    ++state().open_mutex_calls;
    long code = 0;
    if (injected_failure("OpenMutexA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return nullptr;
    }
    if (!name) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Kernel object names are compared with regard to case.
    if (!state().mutexes.count(name)) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return new_handle(handle_kind::mutex, name, 0);
}

BOOL CloseHandle(HANDLE handle)
{
    long code = 0;
    if (injected_failure("CloseHandle", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    if (close_own_mutex(handle))
        return 1;
    if (remove_handle(handle, handle_kind::mutex) || remove_handle(handle, handle_kind::process) ||
        remove_handle(handle, handle_kind::thread) || remove_handle(handle, handle_kind::job))
        return 1;
    if (remove_handle(handle, handle_kind::snapshot)) {
        state().snapshots.erase(reinterpret_cast<std::uintptr_t>(handle));
        return 1;
    }
    set_last_error(ERROR_INVALID_HANDLE);
    return 0;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    long code = 0;
    if (injected_failure("WaitForSingleObject", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return WAIT_FAILED;
    }
    if (find_handle(handle, handle_kind::mutex))
        return WAIT_OBJECT_0; // another process's mutex, free to take
    handle_entry* entry = find_handle(handle, handle_kind::process);
    if (!entry) {
        set_last_error(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    process_record p = state().processes[entry->process];
    return wait_for_process(p, milliseconds);
}

// Sleep(0) gives up the time slice; it costs a millisecond of virtual time
// so that a loop that polls and yields sees the clock move.
void Sleep(DWORD milliseconds)
{
    long code = 0;
    injected_failure("Sleep", &code);
    state().total_sleep = add_saturating(state().total_sleep, milliseconds);
    advance_clock(milliseconds == 0 ? 1 : milliseconds);
}

DWORD GetTickCount()
{
    long code = 0;
    injected_failure("GetTickCount", &code);
    return state().now;
}

// The machine's clock started on 1 January 2026 at midnight, local time.
// Not counted as a call (the log's stamp; see append_to_log).
void GetLocalTime(SYSTEMTIME* time)
{
    const DWORD seconds = state().now / 1000;
    *time = SYSTEMTIME{};
    time->wYear = 2026;
    time->wMonth = 1;
    time->wDay = static_cast<WORD>(1 + seconds / 86400 % 31);
    time->wHour = static_cast<WORD>(seconds / 3600 % 24);
    time->wMinute = static_cast<WORD>(seconds / 60 % 60);
    time->wSecond = static_cast<WORD>(seconds % 60);
    time->wMilliseconds = static_cast<WORD>(state().now % 1000);
}

// ---------------------------------------------------------------------------
// COM and the DirectX diagnostics provider.

HRESULT CoInitialize(void* reserved)
{
    (void)reserved;
    long code = 0;
    if (injected_failure("CoInitialize", &code))
        return static_cast<HRESULT>(code);
    return ++state().com_depth == 1 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    long code = 0;
    injected_failure("CoUninitialize", &code);
    if (state().com_depth > 0)
        --state().com_depth;
}

HRESULT dxdiag_open_system_info(DXDIAG_SESSION** session)
{
    long code = 0;
    if (session)
        *session = nullptr;
    if (injected_failure("dxdiag_open_system_info", &code))
        return static_cast<HRESULT>(code);
    if (!session)
        return E_POINTER;
    machine& m = state();
    if (m.com_depth == 0)
        return CO_E_NOTINITIALIZED;
    if (!m.dx_available)
        return REGDB_E_CLASSNOTREG;
    if (FAILED(m.dx_open_result))
        return m.dx_open_result;
    *session = reinterpret_cast<DXDIAG_SESSION*>(new_handle(handle_kind::dxdiag, {}, 0));
    return S_OK;
}

HRESULT dxdiag_get_property(DXDIAG_SESSION* session, const WCHAR* name, DXDIAG_PROPERTY* property)
{
    long code = 0;
    if (injected_failure("dxdiag_get_property", &code))
        return static_cast<HRESULT>(code);
    if (!find_handle(session, handle_kind::dxdiag) || !name || !property)
        return E_INVALIDARG;
    const auto& properties = state().dx_properties;
    auto found = properties.find(sim::utf16_to_utf8(name));
    if (found == properties.end())
        return E_INVALIDARG;
    *property = found->second;
    return S_OK;
}

void dxdiag_close(DXDIAG_SESSION* session)
{
    long code = 0;
    injected_failure("dxdiag_close", &code);
    remove_handle(session, handle_kind::dxdiag);
}

// ---------------------------------------------------------------------------
// Processes started suspended and job objects.

namespace
{

bool in_job(const process_record& p, std::size_t job)
{
    return std::find(p.jobs.begin(), p.jobs.end(), job) != p.jobs.end();
}

// Why CreateProcessA refuses to start application (0: it starts).
LONG create_process_error(const char* application, const char* directory, split_path* parsed)
{
    INT_PTR forced = state().forced_shell_result;
    if (forced != 0 && forced <= 32)
        return static_cast<LONG>(forced);
    if (!application)
        return ERROR_INVALID_PARAMETER; // the patch always names the program
    LONG error = parse_path(application, parsed);
    file_node* node = error ? nullptr : find_node(*parsed, &error);
    if (!node && forced == 0)
        return error == ERROR_PATH_NOT_FOUND ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    if (node && node->directory)
        return ERROR_ACCESS_DENIED;
    if (directory) {
        split_path folder;
        LONG folder_error = parse_path(directory, &folder);
        file_node* found = folder_error ? nullptr : find_node(folder, &folder_error);
        if (!found || !found->directory)
            return ERROR_DIRECTORY;
    }
    return 0;
}

// The ids of the job's processes that still run, as many as fit.
BOOL job_process_ids(std::size_t job, void* info, DWORD info_length, DWORD* return_length)
{
    constexpr DWORD header = 2 * sizeof(DWORD);
    if (info_length < header) {
        set_last_error(ERROR_BAD_LENGTH);
        return 0;
    }
    machine& m = state();
    std::vector<std::uintptr_t> ids;
    for (std::size_t i = 0; i < m.processes.size(); ++i) {
        if (in_job(m.processes[i], job) && !process_ended(m.processes[i], m.now))
            ids.push_back(process_id(i));
    }
    const std::size_t room =
        (info_length - offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList)) / sizeof(std::uintptr_t);
    const std::size_t listed = info_length < offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList)
                                   ? 0
                                   : std::min(room, ids.size());
    auto* list = static_cast<BYTE*>(info);
    const DWORD counts[2] = {static_cast<DWORD>(ids.size()), static_cast<DWORD>(listed)};
    std::memcpy(list, counts, sizeof counts);
    if (listed != 0)
        std::memcpy(list + offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList), ids.data(),
                    listed * sizeof(std::uintptr_t));
    if (return_length)
        *return_length = static_cast<DWORD>(offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList) +
                                            listed * sizeof(std::uintptr_t));
    if (listed < ids.size()) {
        set_last_error(ERROR_MORE_DATA);
        return 0;
    }
    return 1;
}

// A FILETIME of virtual time: the machine's clock began on 1 January 2026.
FILETIME file_time(DWORD milliseconds)
{
    constexpr std::uint64_t START = 134116992000000000ull;
    const std::uint64_t value = START + std::uint64_t{milliseconds} * 10000u;
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

bool process_handle_open(std::size_t index)
{
    for (const auto& handle : state().handles) {
        if (handle.second.kind == handle_kind::process && handle.second.process == index)
            return true;
    }
    return false;
}

} // namespace

BOOL CreateProcessA(const char* application_name, char* command_line, void* process_security,
                    void* thread_security, BOOL inherit_handles, DWORD creation_flags, void* environment,
                    const char* current_directory, const STARTUPINFOA* startup_info,
                    PROCESS_INFORMATION* process_information)
{
    (void)process_security;
    (void)thread_security;
    (void)inherit_handles;
    (void)environment;
    machine& m = state();
    long code = 0;
    bool failed = injected_failure("CreateProcessA", &code);
    if (process_information)
        *process_information = PROCESS_INFORMATION{nullptr, nullptr, 0, 0};
    if (!startup_info || !process_information) {
        set_last_error(failed ? static_cast<DWORD>(code) : ERROR_INVALID_PARAMETER);
        return 0;
    }
    split_path parsed;
    LONG error =
        failed ? static_cast<LONG>(code) : create_process_error(application_name, current_directory, &parsed);
    int show = (startup_info->dwFlags & STARTF_USESHOWWINDOW) ? startup_info->wShowWindow : SW_SHOW;
    sim::started_program started{text_or_empty(application_name),
                                 command_line_tail(command_line),
                                 text_or_empty(current_directory),
                                 "",
                                 show,
                                 m.now,
                                 error ? 0 : 42,
                                 "CreateProcessA"};
    m.started.push_back(started);
    if (error) {
        set_last_error(static_cast<DWORD>(error));
        return 0;
    }
    record("start " + started.file + (started.parameters.empty() ? "" : " " + started.parameters));
    // A program the patch starts itself inherits none of the patch's jobs
    // (the patch runs in none).
    std::size_t index = launch(program_key(parsed, true), started, {},
                               (creation_flags & CREATE_SUSPENDED) != 0, sim::PATCH_PROCESS_ID);
    process_information->hProcess = new_handle(handle_kind::process, {}, index);
    process_information->hThread = new_handle(handle_kind::thread, {}, index);
    process_information->dwProcessId = process_id(index);
    process_information->dwThreadId = static_cast<DWORD>(4 * index + 1004);
    return 1;
}

DWORD ResumeThread(HANDLE thread)
{
    long code = 0;
    if (injected_failure("ResumeThread", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0xFFFFFFFFu;
    }
    handle_entry* entry = find_handle(thread, handle_kind::thread);
    if (!entry) {
        set_last_error(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFFu;
    }
    std::size_t index = entry->process;
    if (!state().processes[index].suspended)
        return 0;
    state().processes[index].suspended = false;
    run_program(index);
    return 1;
}

// The process ends now (a suspended one without ever running).
BOOL TerminateProcess(HANDLE process, UINT exit_code)
{
    (void)exit_code;
    long code = 0;
    if (injected_failure("TerminateProcess", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    handle_entry* entry = find_handle(process, handle_kind::process);
    if (!entry) {
        set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    machine& m = state();
    process_record& p = m.processes[entry->process];
    if (process_ended(p, m.now)) {
        set_last_error(ERROR_ACCESS_DENIED);
        return 0;
    }
    p.suspended = false;
    p.duration = m.now - p.started_at;
    return 1;
}

HANDLE CreateJobObjectA(void* security, const char* name)
{
    (void)security;
    (void)name;
    long code = 0;
    if (injected_failure("CreateJobObjectA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return nullptr;
    }
    state().jobs.push_back(job_record{});
    return new_handle(handle_kind::job, {}, state().jobs.size() - 1);
}

// Jobs nest, as on Windows 8 and later (and Wine): a process may belong to
// several. A process that has ended can no longer be assigned.
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process)
{
    long code = 0;
    if (injected_failure("AssignProcessToJobObject", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    handle_entry* job_entry = find_handle(job, handle_kind::job);
    handle_entry* process_entry = find_handle(process, handle_kind::process);
    if (!job_entry || !process_entry) {
        set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    machine& m = state();
    process_record& p = m.processes[process_entry->process];
    if (process_ended(p, m.now)) {
        set_last_error(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (!in_job(p, job_entry->process)) {
        p.jobs.push_back(job_entry->process);
        ++m.jobs[job_entry->process].total_processes;
    }
    return 1;
}

BOOL QueryInformationJobObject(HANDLE job, int info_class, void* info, DWORD info_length,
                               DWORD* return_length)
{
    long code = 0;
    if (injected_failure("QueryInformationJobObject", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    handle_entry* entry = find_handle(job, handle_kind::job);
    if (!entry) {
        set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (info_class == JobObjectBasicProcessIdList && info)
        return job_process_ids(entry->process, info, info_length, return_length);
    if (info_class != JobObjectBasicAccountingInformation || !info) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (info_length < sizeof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION)) {
        set_last_error(ERROR_BAD_LENGTH);
        return 0;
    }
    machine& m = state();
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    accounting.TotalProcesses = m.jobs[entry->process].total_processes;
    for (const process_record& p : m.processes) {
        if (in_job(p, entry->process) && !process_ended(p, m.now))
            ++accounting.ActiveProcesses;
    }
    std::memcpy(info, &accounting, sizeof accounting);
    if (return_length)
        *return_length = sizeof accounting;
    return 1;
}

BOOL SetInformationJobObject(HANDLE job, int info_class, void* info, DWORD info_length)
{
    long code = 0;
    if (injected_failure("SetInformationJobObject", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    handle_entry* entry = find_handle(job, handle_kind::job);
    if (!entry) {
        set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    bool basic = info_class == JobObjectBasicLimitInformation;
    bool extended = info_class == JobObjectExtendedLimitInformation;
    if ((!basic && !extended) || !info) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (info_length !=
        (basic ? sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION) : sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION))) {
        set_last_error(ERROR_BAD_LENGTH);
        return 0;
    }
    JOBOBJECT_BASIC_LIMIT_INFORMATION limits{};
    std::memcpy(&limits, info, sizeof limits); // the extended record begins with it
    state().jobs[entry->process].limit_flags = limits.LimitFlags;
    return 1;
}

// A process that has ended stays to be found while a handle to it is open,
// as on Windows; after that its id names nothing.
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id)
{
    (void)inherit;
    long code = 0;
    if (injected_failure("OpenProcess", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return nullptr;
    }
    machine& m = state();
    const std::size_t index = process_id < 1000 ? 0 : (process_id - 1000) / 4;
    if (process_id < 1000 || process_id % 4 != 0 || index >= m.processes.size() ||
        (process_ended(m.processes[index], m.now) && !process_handle_open(index))) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if ((access & ~(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) != 0) {
        set_last_error(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return new_handle(handle_kind::process, {}, index);
}

BOOL GetProcessTimes(HANDLE process, FILETIME* creation_time, FILETIME* exit_time, FILETIME* kernel_time,
                     FILETIME* user_time)
{
    long code = 0;
    if (injected_failure("GetProcessTimes", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    handle_entry* entry = find_handle(process, handle_kind::process);
    if (!entry) {
        set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!creation_time || !exit_time || !kernel_time || !user_time) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    machine& m = state();
    const process_record& p = m.processes[entry->process];
    // Wine answers with a placeholder while a process that another one
    // started is still starting (CreateProcess returns to its caller only
    // once the process has its time).
    const bool starting = p.parent_id != sim::PATCH_PROCESS_ID &&
                          m.now < add_saturating(p.created_at, m.creation_time_unknown_ms);
    *creation_time = starting ? FILETIME{0x55555555u, 0x55555555u} : file_time(p.created_at);
    *exit_time =
        process_ended(p, m.now) ? file_time(add_saturating(p.started_at, p.duration)) : FILETIME{0, 0};
    *kernel_time = FILETIME{0, 0};
    *user_time = FILETIME{0, 0};
    return 1;
}

} // namespace platform

// ---------------------------------------------------------------------------
// The sim.h helpers.

namespace platform::sim
{

using namespace detail;

void add_program(const std::string& path, program behaviour)
{
    split_path parsed;
    if (parse_utf8_path(path, &parsed, false, true) != 0)
        throw std::invalid_argument("sim programs: bad path " + path);
    state().programs[fold_name(join_path(parsed))] = std::move(behaviour);
}

void start_child(const std::string& path, DWORD delay_ms, bool breakaway)
{
    machine& m = state();
    if (!m.running_process)
        throw std::logic_error("sim start_child: no scripted program is running");
    std::size_t parent = *m.running_process;
    split_path parsed;
    if (parse_utf8_path(path, &parsed, false, true) != 0)
        throw std::invalid_argument("sim start_child: bad path " + path);
    auto start = [parent, parsed, breakaway]() {
        machine& now = state();
        if (process_ended(now.processes[parent], now.now))
            throw std::logic_error("sim start_child: the parent has ended before its child starts");
        // Windows refuses a breakaway from a job that does not allow it.
        for (std::size_t job : now.processes[parent].jobs) {
            if (breakaway && (now.jobs[job].limit_flags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) == 0)
                throw std::logic_error("sim start_child: a job of the parent forbids the breakaway");
        }
        started_program request{join_path(parsed), "", "", "", SW_SHOW, now.now, 42, "child"};
        launch(program_key(parsed, true), request,
               breakaway ? std::vector<std::size_t>{} : now.processes[parent].jobs, false,
               process_id(parent));
    };
    if (delay_ms == 0) {
        start();
        return;
    }
    schedule(delay_ms, start);
}

int running_process_count(bool working_only)
{
    int running = 0;
    for (const process_record& p : state().processes) {
        if (!process_ended(p, state().now) && !(working_only && p.suspended))
            ++running;
    }
    return running;
}

void end_all_programs()
{
    machine& m = state();
    for (process_record& p : m.processes) {
        if (!process_ended(p, m.now)) {
            p.suspended = false;
            p.duration = m.now - p.started_at;
        }
    }
}

void force_shell_result(INT_PTR result)
{
    state().forced_shell_result = result;
}
const std::vector<started_program>& started_programs()
{
    return state().started;
}

DWORD now_ms()
{
    return state().now;
}

void schedule(DWORD delay_ms, std::function<void()> event)
{
    machine& m = state();
    m.events.push_back(
        scheduled_event{add_saturating(m.now, delay_ms), m.next_event_order++, std::move(event)});
}

void create_mutex(const std::string& name)
{
    state().mutexes.insert(utf8_to_ansi(name));
}
void remove_mutex(const std::string& name)
{
    state().mutexes.erase(utf8_to_ansi(name));
}
int open_mutex_calls()
{
    return state().open_mutex_calls;
}
DWORD total_sleep_ms()
{
    return state().total_sleep;
}

void set_dxdiag_available(bool available)
{
    state().dx_available = available;
}
void set_dxdiag_open_result(HRESULT result)
{
    state().dx_open_result = result;
}

void set_dxdiag_property(const std::string& name, const DXDIAG_PROPERTY& property)
{
    DXDIAG_PROPERTY stored = property;
    stored.bstrVal[63] = 0;
    state().dx_properties[name] = stored;
}

void remove_dxdiag_property(const std::string& name)
{
    state().dx_properties.erase(name);
}

void set_dxdiag_version(DWORD major, DWORD minor, const std::string& letter)
{
    DXDIAG_PROPERTY number{};
    number.vt = VT_UI4;
    number.ulVal = major;
    set_dxdiag_property("dwDirectXVersionMajor", number);
    number.ulVal = minor;
    set_dxdiag_property("dwDirectXVersionMinor", number);
    DXDIAG_PROPERTY text{};
    text.vt = VT_BSTR;
    std::u16string units = utf8_to_utf16(letter).substr(0, 63);
    std::copy(units.begin(), units.end(), text.bstrVal);
    set_dxdiag_property("szDirectXVersionLetter", text);
}

} // namespace platform::sim

// ---------------------------------------------------------------------------
// Interruption safety: the patch's own named mutexes. A name taken by
// create_mutex (another process) or by an open handle of the patch exists.

namespace platform::sim::detail
{

bool close_own_mutex(const void* handle)
{
    handle_entry* entry = find_handle(handle, handle_kind::mutex);
    if (!entry)
        return false;
    machine& m = state();
    auto own = m.own_mutex_handles.find(entry->text);
    if (own == m.own_mutex_handles.end())
        return false;
    if (--own->second == 0) {
        m.mutexes.erase(own->first);
        m.own_mutex_handles.erase(own);
    }
    remove_handle(handle, handle_kind::mutex);
    return true;
}

void close_own_mutexes()
{
    machine& m = state();
    for (const auto& own : m.own_mutex_handles)
        m.mutexes.erase(own.first);
    m.own_mutex_handles.clear();
    for (auto it = m.handles.begin(); it != m.handles.end();) {
        if (it->second.kind == handle_kind::mutex && !m.mutexes.count(it->second.text))
            it = m.handles.erase(it);
        else
            ++it;
    }
}

} // namespace platform::sim::detail

namespace platform
{

using namespace sim::detail;

HANDLE CreateMutexA(void* security, BOOL initial_owner, const char* name)
{
    (void)security;
    (void)initial_owner;
    long code = 0;
    if (injected_failure("CreateMutexA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return nullptr;
    }
    if (!name) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    machine& m = state();
    const bool exists = m.mutexes.count(name) != 0;
    if (!exists) {
        m.mutexes.insert(name);
        record(std::string("create mutex ") + name);
    }
    auto own = m.own_mutex_handles.find(name);
    if (!exists || own != m.own_mutex_handles.end())
        ++m.own_mutex_handles[name];
    set_last_error(exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return new_handle(handle_kind::mutex, name, 0);
}

} // namespace platform

// ---------------------------------------------------------------------------
// Toolhelp's process list and the patch's thread timer.

namespace platform
{

using namespace sim::detail;

// The system's first process, the patch itself and every process that
// still runs, each with the id of the process that started it.
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD process_id_filter)
{
    (void)process_id_filter;
    long code = 0;
    if (injected_failure("CreateToolhelp32Snapshot", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return INVALID_HANDLE_VALUE;
    }
    if ((flags & TH32CS_SNAPPROCESS) == 0) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    machine& m = state();
    std::vector<PROCESSENTRY32> listed = {{4, 0}, {sim::PATCH_PROCESS_ID, 4}};
    for (std::size_t i = 0; i < m.processes.size(); ++i) {
        if (!process_ended(m.processes[i], m.now))
            listed.push_back({process_id(i), m.processes[i].parent_id});
    }
    HANDLE snapshot = new_handle(handle_kind::snapshot, {}, 0);
    m.snapshots[reinterpret_cast<std::uintptr_t>(snapshot)] = std::move(listed);
    return snapshot;
}

namespace
{

BOOL snapshot_entry(HANDLE snapshot, PROCESSENTRY32* entry, bool first)
{
    handle_entry* found = find_handle(snapshot, handle_kind::snapshot);
    if (!found || !entry) {
        set_last_error(found ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return 0;
    }
    if (first)
        found->process = 0;
    const auto& listed = state().snapshots[reinterpret_cast<std::uintptr_t>(snapshot)];
    if (found->process >= listed.size()) {
        set_last_error(ERROR_NO_MORE_FILES);
        return 0;
    }
    *entry = listed[found->process++];
    return 1;
}

} // namespace

BOOL Process32First(HANDLE snapshot, PROCESSENTRY32* entry)
{
    long code = 0;
    if (injected_failure("Process32First", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    return snapshot_entry(snapshot, entry, true);
}

BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32* entry)
{
    long code = 0;
    if (injected_failure("Process32Next", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    return snapshot_entry(snapshot, entry, false);
}

void GetSystemTimeAsFileTime(FILETIME* time)
{
    long code = 0;
    injected_failure("GetSystemTimeAsFileTime", &code); // cannot fail; counted only
    *time = file_time(state().now);
}

std::uintptr_t SetTimer(HWND window, std::uintptr_t id, UINT elapse, TIMERPROC proc)
{
    (void)id;
    long code = 0;
    if (injected_failure("SetTimer", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    if (window || !proc) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    machine& m = state();
    // Without a window the system picks the id.
    m.timer =
        machine::thread_timer{0x7FF0, elapse == 0 ? 1 : elapse, proc, m.now + (elapse == 0 ? 1 : elapse)};
    return m.timer.id;
}

BOOL KillTimer(HWND window, std::uintptr_t id)
{
    (void)window;
    long code = 0;
    if (injected_failure("KillTimer", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    machine& m = state();
    if (m.timer.id == 0 || m.timer.id != id) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    m.timer = machine::thread_timer{};
    return 1;
}

} // namespace platform

namespace platform::sim::detail
{

// The box's message loop while the user takes box_wait to answer: the
// timer's procedure runs whenever it falls due, events meanwhile.
void run_box_message_loop()
{
    machine& m = state();
    const DWORD end = add_saturating(m.now, m.box_wait);
    while (m.timer.id != 0 && m.timer.next_due <= end) {
        advance_clock(m.timer.next_due > m.now ? m.timer.next_due - m.now : 0);
        machine::thread_timer due = m.timer;
        m.timer.next_due = add_saturating(m.now, due.interval);
        due.proc(nullptr, 0x0113 /* WM_TIMER */, due.id, m.now);
    }
    advance_clock(end > m.now ? end - m.now : 0);
}

} // namespace platform::sim::detail

namespace platform::sim
{

void set_box_wait(DWORD milliseconds)
{
    detail::state().box_wait = milliseconds;
}

void set_creation_time_unknown_for(DWORD milliseconds)
{
    detail::state().creation_time_unknown_ms = milliseconds;
}

} // namespace platform::sim
