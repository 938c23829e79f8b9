// The part of the seam that starts programs as watchable chains (processes
// started suspended, job objects), and the patch's own file name and file
// copies in wide form. One to one onto the real calls.
#include "platform/win32/internal.h"

#include <tlhelp32.h>

using win32::dword_param;
using win32::real;
using win32::seam;
using win32::seam_call;
using win32::seam_effect;
using win32::security_attributes;
using win32::wide;

static_assert(sizeof(::JOBOBJECT_BASIC_ACCOUNTING_INFORMATION) ==
                  sizeof(platform::JOBOBJECT_BASIC_ACCOUNTING_INFORMATION),
              "same accounting record");
static_assert(sizeof(::JOBOBJECT_BASIC_LIMIT_INFORMATION) ==
                  sizeof(platform::JOBOBJECT_BASIC_LIMIT_INFORMATION),
              "same basic limit record");
static_assert(sizeof(::JOBOBJECT_EXTENDED_LIMIT_INFORMATION) ==
                  sizeof(platform::JOBOBJECT_EXTENDED_LIMIT_INFORMATION),
              "same extended limit record");

platform::BOOL platform::CreateProcessA(const char* application_name, char* command_line,
                                        void* process_security, void* thread_security,
                                        platform::BOOL inherit_handles, platform::DWORD creation_flags,
                                        void* environment, const char* current_directory,
                                        const platform::STARTUPINFOA* startup_info,
                                        platform::PROCESS_INFORMATION* process_information)
{
    seam_call(seam_effect::changes, __func__);
    if (!startup_info || !process_information) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ::STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = startup_info->dwFlags;
    startup.wShowWindow = startup_info->wShowWindow;
    ::PROCESS_INFORMATION started = {};
    const ::BOOL created =
        ::CreateProcessA(application_name, command_line, security_attributes(process_security),
                         security_attributes(thread_security), inherit_handles, creation_flags, environment,
                         current_directory, &startup, &started);
    // Both handles are handed over to the caller, who closes them.
    process_information->hProcess = seam(started.hProcess);
    process_information->hThread = seam(started.hThread);
    process_information->dwProcessId = started.dwProcessId;
    process_information->dwThreadId = started.dwThreadId;
    return created;
}

platform::DWORD platform::ResumeThread(platform::HANDLE thread)
{
    seam_call(seam_effect::changes, __func__);
    return ::ResumeThread(real(thread));
}

platform::BOOL platform::TerminateProcess(platform::HANDLE process, platform::UINT exit_code)
{
    seam_call(seam_effect::changes, __func__);
    return ::TerminateProcess(real(process), exit_code);
}

platform::HANDLE platform::CreateJobObjectA(void* security, const char* name)
{
    seam_call(seam_effect::looks, __func__);
    return seam(::CreateJobObjectA(security_attributes(security), name));
}

platform::BOOL platform::AssignProcessToJobObject(platform::HANDLE job, platform::HANDLE process)
{
    seam_call(seam_effect::looks, __func__);
    return ::AssignProcessToJobObject(real(job), real(process));
}

// The records of the seam have the Win32 layout (checked above), so they
// are handed through as they are.
platform::BOOL platform::QueryInformationJobObject(platform::HANDLE job, int info_class, void* info,
                                                   platform::DWORD info_length,
                                                   platform::DWORD* return_length)
{
    seam_call(seam_effect::looks, __func__);
    dword_param length(return_length);
    return ::QueryInformationJobObject(real(job), static_cast<::JOBOBJECTINFOCLASS>(info_class), info,
                                       info_length, length.get());
}

platform::BOOL platform::SetInformationJobObject(platform::HANDLE job, int info_class, void* info,
                                                 platform::DWORD info_length)
{
    seam_call(seam_effect::looks, __func__);
    return ::SetInformationJobObject(real(job), static_cast<::JOBOBJECTINFOCLASS>(info_class), info,
                                     info_length);
}

platform::DWORD platform::GetModuleFileNameW(void* module, platform::WCHAR* file_name, platform::DWORD size)
{
    seam_call(seam_effect::looks, __func__);
    return ::GetModuleFileNameW(static_cast<::HMODULE>(module), wide(file_name), size);
}

platform::BOOL platform::CopyFileW(const platform::WCHAR* existing, const platform::WCHAR* destination,
                                   platform::BOOL fail_if_exists)
{
    seam_call(seam_effect::changes, __func__);
    return ::CopyFileW(wide(existing), wide(destination), fail_if_exists);
}

// ---------------------------------------------------------------------------
// Programs an earlier run started.

static_assert(sizeof(::JOBOBJECT_BASIC_PROCESS_ID_LIST) == sizeof(platform::JOBOBJECT_BASIC_PROCESS_ID_LIST),
              "same process id list");
static_assert(sizeof(::FILETIME) == sizeof(platform::FILETIME), "same file time");

platform::HANDLE platform::OpenProcess(platform::DWORD access, platform::BOOL inherit,
                                       platform::DWORD process_id)
{
    seam_call(seam_effect::looks, __func__);
    return seam(::OpenProcess(access, inherit, process_id));
}

platform::BOOL platform::GetProcessTimes(platform::HANDLE process, platform::FILETIME* creation_time,
                                         platform::FILETIME* exit_time, platform::FILETIME* kernel_time,
                                         platform::FILETIME* user_time)
{
    seam_call(seam_effect::looks, __func__);
    ::FILETIME times[4] = {};
    const ::BOOL answered = ::GetProcessTimes(real(process), &times[0], &times[1], &times[2], &times[3]);
    platform::FILETIME* out[4] = {creation_time, exit_time, kernel_time, user_time};
    for (int i = 0; i < 4; ++i) {
        if (out[i] != nullptr) {
            out[i]->dwLowDateTime = times[i].dwLowDateTime;
            out[i]->dwHighDateTime = times[i].dwHighDateTime;
        }
    }
    return answered;
}

// ---------------------------------------------------------------------------
// The whole chain of a started program: processes with their parents' ids,
// and the timer that message boxes' own loops run.

platform::HANDLE platform::CreateToolhelp32Snapshot(platform::DWORD flags, platform::DWORD process_id)
{
    seam_call(seam_effect::looks, __func__);
    return seam(::CreateToolhelp32Snapshot(flags, process_id));
}

namespace
{

// One Toolhelp step into the seam's record (the two ids it needs).
platform::BOOL next_process(::HANDLE snapshot, platform::PROCESSENTRY32* entry, bool first)
{
    if (entry == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ::PROCESSENTRY32 real_entry = {};
    real_entry.dwSize = sizeof real_entry;
    const ::BOOL found =
        first ? ::Process32First(snapshot, &real_entry) : ::Process32Next(snapshot, &real_entry);
    if (found) {
        entry->th32ProcessID = real_entry.th32ProcessID;
        entry->th32ParentProcessID = real_entry.th32ParentProcessID;
    }
    return found;
}

// The seam's timer procedure has the platform's default calling
// convention; the system calls this one, which hands over to it.
platform::TIMERPROC seam_timer_proc = nullptr;

void CALLBACK call_seam_timer(::HWND window, ::UINT message, ::UINT_PTR id, ::DWORD time)
{
    if (seam_timer_proc != nullptr) {
        seam_timer_proc(reinterpret_cast<platform::HWND>(window), message, id, time);
    }
}

} // namespace

platform::BOOL platform::Process32First(platform::HANDLE snapshot, platform::PROCESSENTRY32* entry)
{
    seam_call(seam_effect::looks, __func__);
    return next_process(real(snapshot), entry, true);
}

platform::BOOL platform::Process32Next(platform::HANDLE snapshot, platform::PROCESSENTRY32* entry)
{
    seam_call(seam_effect::looks, __func__);
    return next_process(real(snapshot), entry, false);
}

std::uintptr_t platform::SetTimer(platform::HWND window, std::uintptr_t id, platform::UINT elapse,
                                  platform::TIMERPROC proc)
{
    seam_call(seam_effect::looks, __func__);
    seam_timer_proc = proc;
    return ::SetTimer(real(window), id, elapse, proc != nullptr ? call_seam_timer : nullptr);
}

platform::BOOL platform::KillTimer(platform::HWND window, std::uintptr_t id)
{
    seam_call(seam_effect::looks, __func__);
    const ::BOOL killed = ::KillTimer(real(window), id);
    seam_timer_proc = nullptr;
    return killed;
}

void platform::GetSystemTimeAsFileTime(platform::FILETIME* time)
{
    seam_call(seam_effect::looks, __func__);
    ::FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    time->dwLowDateTime = now.dwLowDateTime;
    time->dwHighDateTime = now.dwHighDateTime;
}
