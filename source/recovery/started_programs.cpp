// The record of the programs the patch started (the disc's setup, the real
// uninstaller and the processes of their chains), the chain rule that tells
// which running processes belong to them, and the check at the start of
// every run that none of them still works. A run killed while such a chain
// runs must not be followed by a run that moves registrations under that
// chain's feet.
#include "recovery/recovery.h"

#include "misc/misc.h"

using namespace platform;

namespace
{

constexpr DWORD RECORD_ENTRY_SIZE = 12;
// Opened with the right to read alone.
constexpr WCHAR STARTED_PROGRAMS_KEY_WIDE[] = u"SOFTWARE\\Kestova Patch";
// Processes a snapshot is read for; a system runs far fewer.
constexpr DWORD SNAPSHOT_MAX = 1024;

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

unsigned long long time_value(const FILETIME& time)
{
    return static_cast<unsigned long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

// A creation time later than the present is none yet: Wine tells a
// placeholder (0x5555555555555555) while a new process is still starting.
// A minute's leeway covers clocks of differing grain.
bool creation_time_known(const FILETIME& created)
{
    constexpr unsigned long long ONE_MINUTE = 60ull * 10000000ull;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return time_value(created) <= time_value(now) + ONE_MINUTE;
}

bool running_process_created(DWORD id, FILETIME* created)
{
    return look_at_process(id, created) == process_state::running;
}

// The recorded process still runs: its id names a running process created
// at the recorded time (a process that got the id later is another one).
bool still_runs(const started_process& recorded)
{
    FILETIME created{};
    return running_process_created(recorded.id, &created) && same_time(created, recorded.created);
}

// A process created at child_created whose parent's id is parent.id was
// started by that member: it is not older than the member, and no process
// that holds the member's id now was there before it (an id given to
// another process after the member ended; one still starting came later).
bool started_by(const started_process& parent, const FILETIME& child_created)
{
    if (time_value(child_created) < time_value(parent.created)) {
        return false;
    }
    FILETIME holder{};
    return !running_process_created(parent.id, &holder) || same_time(holder, parent.created) ||
           time_value(holder) > time_value(child_created);
}

// The index of the member with that id, or count.
DWORD member_with_id(const started_process* members, DWORD count, DWORD id)
{
    DWORD i = 0;
    while (i < count && members[i].id != id) {
        ++i;
    }
    return i;
}

// The running processes with their parents' ids; 0 without a snapshot.
DWORD take_process_snapshot(PROCESSENTRY32 (&listed)[SNAPSHOT_MAX])
{
    const handle_owner snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) {
        return 0;
    }
    DWORD count = 0;
    PROCESSENTRY32 entry{};
    for (BOOL found = Process32First(snapshot.get(), &entry); found && count < SNAPSHOT_MAX;
         found = Process32Next(snapshot.get(), &entry)) {
        listed[count++] = entry;
    }
    return count;
}

// One pass over the snapshot: the processes started by a member join the
// members; one still starting sets *starting (it joins at a later look).
// True when one joined.
bool add_children(const PROCESSENTRY32* listed, DWORD listed_count, started_process* members, DWORD* count,
                  bool* starting)
{
    bool added = false;
    for (DWORD i = 0; i < listed_count && *count < STARTED_PROCESSES_MAX; ++i) {
        const DWORD parent = member_with_id(members, *count, listed[i].th32ParentProcessID);
        if (parent == *count || member_with_id(members, *count, listed[i].th32ProcessID) != *count) {
            continue;
        }
        started_process child{listed[i].th32ProcessID, {}};
        const process_state state = look_at_process(child.id, &child.created);
        if (state == process_state::starting) {
            *starting = true;
        } else if (state == process_state::running && started_by(members[parent], child.created)) {
            members[(*count)++] = child;
            added = true;
        }
    }
    return added;
}

// The record's processes; 0 when there is none or it cannot be read as one.
DWORD read_record(started_process (&processes)[STARTED_PROCESSES_MAX], bool* key_exists)
{
    *key_exists = false;
    key_owner key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, STARTED_PROGRAMS_KEY_WIDE, 0, KEY_QUERY_VALUE, key.receive()) !=
        ERROR_SUCCESS) {
        return 0;
    }
    *key_exists = true;
    BYTE bytes[STARTED_PROCESSES_MAX * RECORD_ENTRY_SIZE];
    DWORD type = REG_NONE;
    DWORD size = sizeof bytes;
    const LONG read = RegQueryValueExA(key.get(), STARTED_PROGRAMS_VALUE, nullptr, &type, bytes, &size);
    key.close();
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

// The recorded chains with every process they have started since; true
// when one of them still runs (the record then holds them all).
bool recorded_chain_runs(bool* key_exists)
{
    started_process members[STARTED_PROCESSES_MAX];
    const DWORD recorded = read_record(members, key_exists);
    if (recorded == 0) {
        return false;
    }
    bool starting = false;
    const DWORD count = add_chain_descendants(members, recorded, &starting);
    if (!starting && !any_started_process_runs(members, count)) {
        return false;
    }
    if (count != recorded) {
        record_started_processes(members, count);
    }
    return true;
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

process_state look_at_process(DWORD id, FILETIME* created)
{
    handle_owner process(open_started_process(id));
    if (!process.valid()) {
        return process_state::gone;
    }
    const bool runs = WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT &&
                      process_creation_time(process.get(), created);
    process.close();
    if (!runs) {
        return process_state::gone;
    }
    return creation_time_known(*created) ? process_state::running : process_state::starting;
}

DWORD add_chain_descendants(started_process* members, DWORD count, bool* starting)
{
    *starting = false;
    if (count == 0 || count >= STARTED_PROCESSES_MAX) {
        return count;
    }
    PROCESSENTRY32 listed[SNAPSHOT_MAX];
    const DWORD listed_count = take_process_snapshot(listed);
    // A grandchild may be listed before its parent: pass again while
    // processes join.
    while (add_children(listed, listed_count, members, &count, starting)) {
    }
    return count;
}

bool any_started_process_runs(const started_process* processes, DWORD count)
{
    for (DWORD i = 0; i < count; ++i) {
        if (still_runs(processes[i])) {
            return true;
        }
    }
    return false;
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
    key_owner key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, STARTED_PROGRAMS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, key.receive(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExA(key.get(), STARTED_PROGRAMS_VALUE, 0, REG_BINARY, bytes, count * RECORD_ENTRY_SIZE);
}

// The key holds the record alone.
void forget_started_programs()
{
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, STARTED_PROGRAMS_KEY);
}

bool started_programs_recorded()
{
    key_owner key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, STARTED_PROGRAMS_KEY_WIDE, 0, KEY_QUERY_VALUE, key.receive()) ==
           ERROR_SUCCESS;
}

int earlier_started_programs_at_work()
{
    bool key_exists = false;
    if (recorded_chain_runs(&key_exists)) {
        warn_user("%s", EARLIER_PROGRAM_AT_WORK);
        return 1;
    }
    if (key_exists) {
        forget_started_programs();
    }
    return 0;
}

int wait_for_earlier_started_programs()
{
    bool key_exists = false;
    while (recorded_chain_runs(&key_exists)) {
        if (show_box(EARLIER_PROGRAM_AT_WORK_RETRY, PATCH_CAPTION, MB_RETRYCANCEL | MB_ICONWARNING) !=
            IDRETRY) {
            return 1;
        }
    }
    if (key_exists) {
        forget_started_programs();
    }
    return 0;
}
