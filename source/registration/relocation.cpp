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

// Reads the entry of product_code, whose "UninstallString" must name the
// product folder as the installers write it (a quoted path, a "}" after
// the quote). Returns 0 when the product has no uninstall entry. Every
// other failure is fatal.
int read_entry_for_move(const char* product_code, uninstall_entry* entry)
{
    if (!read_uninstall_entry(product_code, entry)) {
        return 0;
    }
    if (entry->uninstall_string.result != ERROR_SUCCESS) {
        fatal_error("Error when getting uninstall string (%ld)",
                    static_cast<long>(entry->uninstall_string.last_error));
    }
    char folder_text[TEXT_BUFFER_SIZE];
    if (!folder_text_of(*entry, folder_text)) {
        fatal_error("Error in uninstall string");
    }
    return 1;
}

// The product folder where it stands (found by its text or its known
// place) and its new name, both as the shell's lists of one name (a second
// NUL at the end). A folder that cannot be found for sure stops the move.
void product_folder_paths(const uninstall_entry& entry, const char* dest_guid,
                          char (&current)[TEXT_BUFFER_SIZE + 1], char (&renamed)[TEXT_BUFFER_SIZE + 1])
{
    char folder[TEXT_BUFFER_SIZE];
    DWORD error = 0;
    if (find_entry_folder(entry, folder, &error) == folder_state::unknown) {
        fatal_error(FOLDER_UNCERTAIN, entry.code, folder, static_cast<unsigned long>(error));
    }
    const std::size_t length = std::strlen(folder);
    std::memcpy(current, folder, length + 1);
    current[length + 1] = '\0';
    std::memcpy(renamed, current, length + 2);

    // A move repeated after an interruption finds the destination's code.
    char* code = find_product_code_of(renamed, entry.code, dest_guid);
    if (code == nullptr) {
        fatal_error("Error in uninstall string");
    }
    overwrite_product_code(code, dest_guid);
}

// The product code in one text of the entry (in place, in the record): the
// first "{" must begin the code being moved (or, for a move repeated after
// an interruption, the code it moves to). Any other value fails before
// anything is written.
char* product_code_in(entry_text& value, const char* read_failure, const char* source_guid,
                      const char* dest_guid)
{
    if (value.result != ERROR_SUCCESS) {
        fatal_error(read_failure, static_cast<long>(value.last_error));
    }
    char* ptr = value.terminated ? find_product_code_of(value.text, source_guid, dest_guid) : nullptr;
    ASSERT(ptr);
    return ptr;
}

struct product_code_positions {
    char* uninstall_code;
    char* log_code;
};

// Checks both texts of the entry; every failure is fatal, before anything
// is written.
product_code_positions find_product_codes(uninstall_entry& entry, const char* dest_guid)
{
    return {product_code_in(entry.uninstall_string, "Error when getting uninstall string (%ld)", entry.code,
                            dest_guid),
            product_code_in(entry.log_file, "Error when getting logfile name (%ld)", entry.code, dest_guid)};
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
        fatal_error("%s", write_failure);
    }
}

// Rewrites the product code in "UninstallString" and "LogFile" of the
// entry. Both are read and checked before either is written, so a bad
// value leaves the entry as it was.
void rewrite_product_code_values(const char* source_guid, const char* dest_guid)
{
    char path[TEXT_BUFFER_SIZE];
    format_uninstall_entry(path, source_guid);
    key_owner key;
    const LONG ret = RegOpenKeyA(HKEY_LOCAL_MACHINE, path, key.receive());
    ASSERT(ret == ERROR_SUCCESS);
    uninstall_entry entry;
    read_open_uninstall_entry(key.get(), source_guid, &entry);
    const product_code_positions codes = find_product_codes(entry, dest_guid);
    overwrite_product_code(codes.uninstall_code, dest_guid);
    overwrite_product_code(codes.log_code, dest_guid);
    write_text_value(key.get(), "UninstallString", entry.uninstall_string.text, entry.uninstall_string.type,
                     "Failed to set uninstall string");
    write_text_value(key.get(), "LogFile", entry.log_file.text, entry.log_file.type,
                     "Failed to set logfile string");
}

// A source entry that stays after its copy would register the title
// twice, so a failed deletion is fatal (the recovery then finishes it).
void delete_uninstall_entry(const char* product_code)
{
    key_owner key;
    const LONG ret = RegOpenKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, key.receive());
    ASSERT(ret == ERROR_SUCCESS);
    const DWORD deleted = SHDeleteKeyA(key.get(), product_code);
    key.close();
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
    key_owner uninstall;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, uninstall.receive()) == ERROR_SUCCESS) {
        SHDeleteKeyA(uninstall.get(), product_code);
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
    key_owner key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, SOFTWARE_KEY, key.receive()) == ERROR_SUCCESS) {
        RegFlushKey(key.get());
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
    uninstall_entry entry;
    if (!read_entry_for_move(source_guid, &entry)) {
        return 0;
    }
    char current[TEXT_BUFFER_SIZE + 1];
    char renamed[TEXT_BUFFER_SIZE + 1];
    product_folder_paths(entry, dest_guid, current, renamed);
    // The entry move that follows the folder's must not find out only then
    // that its texts cannot be rewritten: a folder moved without its entry
    // would split the registration.
    find_product_codes(entry, dest_guid);

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
    key_owner key;
    if (!format_uninstall_entry(source_path, source_guid) || !format_uninstall_entry(dest_path, dest_guid) ||
        RegOpenKeyA(HKEY_LOCAL_MACHINE, source_path, key.receive()) != ERROR_SUCCESS) {
        return;
    }
    log_line("Undoing the unfinished move of the uninstall entry %s to %s", source_guid, dest_guid);
    if (uninstall_entry_exists(dest_guid) && is_copy_of_entry(dest_guid, source_guid)) {
        const int source_whole = registry_tree_contains(source_path, dest_path);
        if (source_whole != 1) {
            key.close();
            if (source_whole == 0) {
                delete_entry_quietly(source_guid);
            }
            return;
        }
        delete_entry_quietly(dest_guid);
    }
    rewrite_code_in_value(key.get(), "UninstallString", source_guid);
    rewrite_code_in_value(key.get(), "LogFile", source_guid);
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
