// Moving a registration (product folder and uninstall entry) from one
// product code to another.
#include "log/log.h"
#include "misc/misc.h"
#include "registration/registration.h"
#include "registry/registry.h"

#include <cstring>

using namespace platform;

namespace
{

// Reads "UninstallString" of the entry of product_code into text. Returns 0
// when the product has no uninstall entry. Every other failure is fatal.
int read_uninstall_string(const char* product_code, char (&text)[TEXT_BUFFER_SIZE])
{
    char path[TEXT_BUFFER_SIZE];
    format_uninstall_entry(path, product_code);
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
        return 0;
    }
    bool terminated = false;
    const LONG result = read_text_value(key, "UninstallString", text, &terminated);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        fatal_error("Error when getting uninstall string (%ld)", static_cast<long>(GetLastError()));
    }
    if (!terminated) {
        fatal_error("Error in uninstall string");
    }
    return 1;
}

// The uninstall string must name the product folder as the installers
// write it: a quoted path, a "}" after the quote.
void check_folder_text(const char* uninstall_string)
{
    const char* quote = std::strchr(uninstall_string, '"');
    if (quote == nullptr || std::strchr(quote + 1, '}') == nullptr) {
        fatal_error("Error in uninstall string");
    }
}

// The product folder where it stands (found by its text or its known
// place) and its new name, both as the shell's lists of one name (a second
// NUL at the end). A folder that cannot be found for sure stops the move.
void product_folder_paths(const char* source_guid, const char* dest_guid,
                          char (&current)[TEXT_BUFFER_SIZE + 1], char (&renamed)[TEXT_BUFFER_SIZE + 1])
{
    char folder[TEXT_BUFFER_SIZE];
    DWORD error = 0;
    if (find_entry_folder(source_guid, folder, &error) == folder_state::unknown) {
        fatal_error(FOLDER_UNCERTAIN, source_guid, folder, static_cast<unsigned long>(error));
    }
    const std::size_t length = std::strlen(folder);
    std::memcpy(current, folder, length + 1);
    current[length + 1] = '\0';
    std::memcpy(renamed, current, length + 2);

    // A move repeated after an interruption finds the destination's code.
    char* code = find_product_code_of(renamed, source_guid, dest_guid);
    if (code == nullptr) {
        fatal_error("Error in uninstall string");
    }
    overwrite_product_code(code, dest_guid);
}

HKEY open_entry_for_move(const char* product_code)
{
    char path[TEXT_BUFFER_SIZE];
    format_uninstall_entry(path, product_code);
    HKEY key = nullptr;
    const LONG ret = RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key);
    ASSERT(ret == ERROR_SUCCESS);
    return key;
}

// Reads one text value of the entry and finds the product code in it: the
// first "{" must begin the code being moved (or, for a move repeated after
// an interruption, the code it moves to). Any other value fails before
// anything is written.
void read_product_code_value(HKEY key, const char* value_name, const char* read_failure,
                             const char* source_guid, const char* dest_guid, char (&text)[TEXT_BUFFER_SIZE],
                             char** ptr_out, DWORD* type)
{
    bool terminated = false;
    if (read_text_value(key, value_name, text, &terminated, type) != ERROR_SUCCESS) {
        const long last_error = static_cast<long>(GetLastError());
        RegCloseKey(key);
        fatal_error(read_failure, last_error);
    }
    char* ptr = terminated ? find_product_code_of(text, source_guid, dest_guid) : nullptr;
    if (ptr == nullptr) {
        RegCloseKey(key);
    }
    ASSERT(ptr);
    *ptr_out = ptr;
}

// A text keeps its type: REG_EXPAND_SZ stays expandable (its folder may be
// named through "%ProgramFiles%"); anything else is written as REG_SZ.
DWORD text_type(DWORD read_type)
{
    return read_type == REG_EXPAND_SZ ? REG_EXPAND_SZ : REG_SZ;
}

void write_text_value(HKEY key, const char* value_name, const char* text, DWORD type,
                      const char* write_failure)
{
    const DWORD size = static_cast<DWORD>(std::strlen(text) + 1);
    if (RegSetValueExA(key, value_name, 0, text_type(type), reinterpret_cast<const BYTE*>(text), size) !=
        ERROR_SUCCESS) {
        RegCloseKey(key);
        fatal_error("%s", write_failure);
    }
}

struct product_code_values {
    char uninstall_string[TEXT_BUFFER_SIZE];
    char log_file[TEXT_BUFFER_SIZE];
    char* uninstall_code;
    char* log_code;
    DWORD uninstall_type;
    DWORD log_type;
};

// Reads and checks both texts of the entry; every failure is fatal, before
// anything is written. The key stays open for the caller.
HKEY read_product_code_values(const char* source_guid, const char* dest_guid, product_code_values* values)
{
    HKEY key = open_entry_for_move(source_guid);
    read_product_code_value(key, "UninstallString", "Error when getting uninstall string (%ld)", source_guid,
                            dest_guid, values->uninstall_string, &values->uninstall_code,
                            &values->uninstall_type);
    read_product_code_value(key, "LogFile", "Error when getting logfile name (%ld)", source_guid, dest_guid,
                            values->log_file, &values->log_code, &values->log_type);
    return key;
}

// Rewrites the product code in "UninstallString" and "LogFile" of the
// entry. Both are read and checked before either is written, so a bad
// value leaves the entry as it was.
void rewrite_product_code_values(const char* source_guid, const char* dest_guid)
{
    product_code_values values;
    HKEY key = read_product_code_values(source_guid, dest_guid, &values);
    overwrite_product_code(values.uninstall_code, dest_guid);
    overwrite_product_code(values.log_code, dest_guid);
    write_text_value(key, "UninstallString", values.uninstall_string, values.uninstall_type,
                     "Failed to set uninstall string");
    write_text_value(key, "LogFile", values.log_file, values.log_type, "Failed to set logfile string");
    RegCloseKey(key);
}

// A source entry that stays after its copy would register the title
// twice, so a failed deletion is fatal (the recovery then finishes it).
void delete_uninstall_entry(const char* product_code)
{
    HKEY key = nullptr;
    const LONG ret = RegOpenKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, &key);
    ASSERT(ret == ERROR_SUCCESS);
    const DWORD deleted = SHDeleteKeyA(key, product_code);
    RegCloseKey(key);
    if (deleted != ERROR_SUCCESS) {
        fatal_error("Failed to delete uninstall entry %s (%lu)", product_code,
                    static_cast<unsigned long>(deleted));
    }
}

// Writes the first product code of one text value of an open entry.
void rewrite_code_in_value(HKEY key, const char* value_name, const char* code)
{
    char text[TEXT_BUFFER_SIZE];
    bool terminated = false;
    DWORD type = REG_SZ;
    if (read_text_value(key, value_name, text, &terminated, &type) != ERROR_SUCCESS || !terminated) {
        return;
    }
    char* position = find_product_code(text);
    if (position == nullptr) {
        return;
    }
    overwrite_product_code(position, code);
    RegSetValueExA(key, value_name, 0, text_type(type), reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(std::strlen(text) + 1));
}

void delete_entry_quietly(const char* product_code)
{
    HKEY uninstall = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, &uninstall) == ERROR_SUCCESS) {
        SHDeleteKeyA(uninstall, product_code);
        RegCloseKey(uninstall);
    }
}

// The move under way, for the fatal error handler.
noted_move in_flight = {nullptr, nullptr};

} // namespace

// Windows writes registry changes to disc lazily and a folder rename at
// once, so after a power cut the registry may be older than the folders.
// Whatever a folder move (or deletion) follows from in the registry (an
// entry move, the restart arrangement, a setup's own registration, an
// uninstaller's removal) is flushed first; the repair puts right any state
// between two flushes.
void flush_registry()
{
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, SOFTWARE_KEY, &key) == ERROR_SUCCESS) {
        RegFlushKey(key);
        RegCloseKey(key);
    }
}

void note_move_started(const char* source, const char* dest)
{
    in_flight = {source, dest};
}

void note_move_finished()
{
    in_flight = {nullptr, nullptr};
}

noted_move take_noted_move()
{
    const noted_move move = in_flight;
    in_flight = {nullptr, nullptr};
    return move;
}

int move_install_info_folder(const char* source_guid, const char* dest_guid)
{
    // clang-format off
    ASSERT(strlen (source_guid) == 38);
    ASSERT(strlen (dest_guid) == 38);
    // clang-format on

    note_move_started(source_guid, dest_guid);
    char uninstall_string[TEXT_BUFFER_SIZE];
    if (!read_uninstall_string(source_guid, uninstall_string)) {
        return 0;
    }
    check_folder_text(uninstall_string);
    char current[TEXT_BUFFER_SIZE + 1];
    char renamed[TEXT_BUFFER_SIZE + 1];
    product_folder_paths(source_guid, dest_guid, current, renamed);
    // The entry move that follows the folder's must not find out only then
    // that its texts cannot be rewritten: a folder moved without its entry
    // would split the registration.
    product_code_values values;
    RegCloseKey(read_product_code_values(source_guid, dest_guid, &values));

    flush_registry();
    log_line("Moving the product folder %s to %s", current, renamed);
    const int result = shell_rename(current, renamed);
    log_line(result == 0 ? "Folder moved" : "Folder not moved (error %d)", result);
    return result == 0 ? 1 : 0;
}

// The two text values are rewritten in the source entry first, so that the
// copy carries the new texts; then the whole entry is copied and the source
// entry deleted.
int move_uninstall_entry(const char* source_guid, const char* dest_guid)
{
    log_line("Moving the uninstall entry %s to %s", source_guid, dest_guid);
    note_move_started(source_guid, dest_guid);
    rewrite_product_code_values(source_guid, dest_guid);

    // A copy left half done by an interrupted run is finished from the
    // source, which stays whole until the copy is complete.
    char source_path[TEXT_BUFFER_SIZE];
    char dest_path[TEXT_BUFFER_SIZE];
    format_uninstall_entry(source_path, source_guid);
    format_uninstall_entry(dest_path, dest_guid);
    copy_registry_tree(HKEY_LOCAL_MACHINE, source_path, dest_path);
    delete_uninstall_entry(source_guid);
    flush_registry();
    note_move_finished();
    log_line("Entry moved");
    return 1;
}

// Undoes an entry move that stopped half way: the copy under dest_guid
// goes (unless another title stands there) and the source's texts name
// source_guid again. Nothing is done when the source is gone (the move was
// complete). A source that lacks a key of its copy was half deleted (the
// deletion fails part way): the copy is then the whole entry and the move
// is finished instead; when the registry cannot tell, both stay for the
// next run. Never fatal.
void undo_uninstall_entry_move(const char* source_guid, const char* dest_guid)
{
    char source_path[TEXT_BUFFER_SIZE];
    char dest_path[TEXT_BUFFER_SIZE];
    HKEY key = nullptr;
    if (!format_uninstall_entry(source_path, source_guid) || !format_uninstall_entry(dest_path, dest_guid) ||
        RegOpenKeyA(HKEY_LOCAL_MACHINE, source_path, &key) != ERROR_SUCCESS) {
        return;
    }
    log_line("Undoing the unfinished move of the uninstall entry %s to %s", source_guid, dest_guid);
    if (uninstall_entry_exists(dest_guid) && is_copy_of_entry(dest_guid, source_guid)) {
        const int source_whole = registry_tree_contains(source_path, dest_path);
        if (source_whole != 1) {
            RegCloseKey(key);
            if (source_whole == 0) {
                delete_entry_quietly(source_guid);
            }
            return;
        }
        delete_entry_quietly(dest_guid);
    }
    rewrite_code_in_value(key, "UninstallString", source_guid);
    rewrite_code_in_value(key, "LogFile", source_guid);
    RegCloseKey(key);
}

int relocate_registration(const char* source_guid, const char* dest_guid)
{
    const int folder_moved = move_install_info_folder(source_guid, dest_guid);
    move_uninstall_entry(source_guid, dest_guid);
    return folder_moved;
}

// Moves a registration only as a whole: when the folder cannot be renamed
// while it is there, the entry stays with it and the move is fatal. An
// entry moves alone only when no folder stands, for sure, either where its
// text names it or at its known place.
int relocate_whole_registration(const char* source_guid, const char* dest_guid)
{
    if (!move_install_info_folder(source_guid, dest_guid)) {
        char folder[TEXT_BUFFER_SIZE];
        DWORD error = 0;
        if (find_entry_folder(source_guid, folder, &error) != folder_state::absent) {
            fatal_error("Could not move the product folder %s to %s.\nThe title stays registered under %s.",
                        folder, dest_guid, source_guid);
        }
    }
    move_uninstall_entry(source_guid, dest_guid);
    return 1;
}
