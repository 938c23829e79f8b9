// The record of the programs the patch started (the disc's setup, the real
// uninstaller and the processes of their chains), and the check at the
// start of every run that none of them still works. A run killed while
// such a chain runs must not be followed by a run that moves
// registrations under that chain's feet.
#include "main/program_chain.h"

#include "misc/misc.h"

using namespace platform;

namespace
{

constexpr DWORD RECORD_ENTRY_SIZE = 12;
// Opened with the right to read alone.
constexpr WCHAR STARTED_PROGRAMS_KEY_WIDE[] = u"SOFTWARE\\Kestova Patch";

void put_le32(BYTE* bytes, DWORD value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<BYTE>(value >> (8 * i));
    }
}

DWORD get_le32(const BYTE* bytes)
{
    return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
           static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

bool same_time(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The recorded process still runs: its id names a running process created
// at the recorded time (a process that got the id later is another one).
bool still_runs(const started_process& recorded)
{
    HANDLE process = open_started_process(recorded.id);
    if (process == nullptr) {
        return false;
    }
    FILETIME created{};
    const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
                      process_creation_time(process, &created) && same_time(created, recorded.created);
    CloseHandle(process);
    return runs;
}

// The record's processes; 0 when there is none or it cannot be read as one.
DWORD read_record(started_process (&processes)[STARTED_PROCESSES_MAX], bool* key_exists)
{
    *key_exists = false;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, STARTED_PROGRAMS_KEY_WIDE, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return 0;
    }
    *key_exists = true;
    BYTE bytes[STARTED_PROCESSES_MAX * RECORD_ENTRY_SIZE];
    DWORD type = REG_NONE;
    DWORD size = sizeof bytes;
    const LONG read = RegQueryValueExA(key, STARTED_PROGRAMS_VALUE, nullptr, &type, bytes, &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_BINARY || size == 0 || size > sizeof bytes ||
        size % RECORD_ENTRY_SIZE != 0) {
        return 0;
    }
    const DWORD count = size / RECORD_ENTRY_SIZE;
    for (DWORD i = 0; i < count; ++i) {
        const BYTE* entry = bytes + i * RECORD_ENTRY_SIZE;
        processes[i].id = get_le32(entry);
        processes[i].created = FILETIME{get_le32(entry + 4), get_le32(entry + 8)};
    }
    return count;
}

} // namespace

// The limited right exists from Vista on; before that the full query right
// is asked for.
HANDLE open_started_process(DWORD id)
{
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, 0, id);
    if (process == nullptr && GetLastError() == static_cast<DWORD>(ERROR_ACCESS_DENIED)) {
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, 0, id);
    }
    return process;
}

bool process_creation_time(HANDLE process, FILETIME* created)
{
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    return GetProcessTimes(process, created, &exited, &kernel, &user) != 0;
}

void record_started_processes(const started_process* processes, DWORD count)
{
    if (count == 0) {
        forget_started_programs();
        return;
    }
    if (count > STARTED_PROCESSES_MAX) {
        count = STARTED_PROCESSES_MAX;
    }
    BYTE bytes[STARTED_PROCESSES_MAX * RECORD_ENTRY_SIZE];
    for (DWORD i = 0; i < count; ++i) {
        BYTE* entry = bytes + i * RECORD_ENTRY_SIZE;
        put_le32(entry, processes[i].id);
        put_le32(entry + 4, processes[i].created.dwLowDateTime);
        put_le32(entry + 8, processes[i].created.dwHighDateTime);
    }
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, STARTED_PROGRAMS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExA(key, STARTED_PROGRAMS_VALUE, 0, REG_BINARY, bytes, count * RECORD_ENTRY_SIZE);
    RegCloseKey(key);
}

// The key holds the record alone.
void forget_started_programs()
{
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, STARTED_PROGRAMS_KEY);
}

int earlier_started_programs_at_work()
{
    started_process processes[STARTED_PROCESSES_MAX];
    bool key_exists = false;
    const DWORD count = read_record(processes, &key_exists);
    for (DWORD i = 0; i < count; ++i) {
        if (still_runs(processes[i])) {
            warn_user("%s", EARLIER_PROGRAM_AT_WORK);
            return 1;
        }
    }
    if (key_exists) {
        forget_started_programs();
    }
    return 0;
}
