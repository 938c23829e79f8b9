// Coming back after a restart while the disc's setup runs.
//
// Setups often ask for a restart, and a machine may be restarted at any
// time. Before the install stage parks a title it leaves a RunOnce entry
// naming a copy of the patch in a lasting place; the system runs it once at
// the next logon (and deletes the entry before doing so), and that run only
// finishes or undoes what the stage left. Every run removes the arrangement
// when it has ended, so the patch never runs again on its own.
#include "log/log.h"
#include "misc/misc.h"
#include "recovery/recovery.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr char RUN_ONCE_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr char RUN_ONCE_VALUE[] = "Kestova Patch";
constexpr char LASTING_COPY_NAME[] = "\\kestova-patch.exe";

// "<all users' application data>\Kestova Patch", which also holds the log.
bool lasting_folder(char (&folder)[TEXT_BUFFER_SIZE])
{
    return patch_data_folder(folder, sizeof folder);
}

bool lasting_copy(char (&path)[TEXT_BUFFER_SIZE])
{
    return lasting_folder(path) && append_path(path, LASTING_COPY_NAME);
}

bool running_from(const char* path)
{
    return compare_ignoring_case(module_path, path) == 0;
}

void delete_run_once_value()
{
    key_owner key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, RUN_ONCE_KEY, key.receive()) != ERROR_SUCCESS) {
        return;
    }
    RegDeleteValueA(key.get(), RUN_ONCE_VALUE);
}

} // namespace

int arrange_resume_after_restart()
{
    char folder[TEXT_BUFFER_SIZE];
    char copy[TEXT_BUFFER_SIZE];
    char command[TEXT_BUFFER_SIZE];
    if (!lasting_folder(folder) || !lasting_copy(copy) ||
        !format_text(command, sizeof command, "\"%s\" %s", copy, RESUME_ARGUMENT)) {
        return 0;
    }
    log_line("Arranging a run after a restart: %s", command);
    CreateDirectoryA(folder, nullptr);
    if (!running_from(copy) && !copy_own_executable(copy, 1)) {
        return 0;
    }
    key_owner key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, RUN_ONCE_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                        nullptr, key.receive(), &disposition) != ERROR_SUCCESS) {
        return 0;
    }
    const LONG written =
        RegSetValueExA(key.get(), RUN_ONCE_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                       static_cast<DWORD>(std::strlen(command) + 1));
    return written == ERROR_SUCCESS ? 1 : 0;
}

// The copy that a resumed run is itself running from cannot go yet; the
// next run of the patch deletes it. The RunOnce value's deletion is on disc
// before the copy goes: after a power cut the logon would otherwise find a
// command naming a program that is no longer there. The folder stays, with
// the log in it.
void remove_resume_arrangement()
{
    delete_run_once_value();
    char copy[TEXT_BUFFER_SIZE];
    if (lasting_copy(copy) && !running_from(copy) && is_file(copy)) {
        log_line("The run after a restart is no longer needed: deleting %s", copy);
        flush_registry();
        delete_folder(copy);
    }
}

void settle_resume_arrangement()
{
    if (!uninstall_entry_exists(PARKING_PRODUCT_CODE) && !started_programs_recorded()) {
        remove_resume_arrangement();
    }
}
