// Putting titles back when a fatal error interrupts a stage.
//
// A fatal error ends the process wherever it happens. During a stage that
// could leave a title parked under the parking code, invisible in Add/Remove
// Programs, or split between two codes. The stages note what they move; the
// fatal error handler uses those notes, once, to bring every title back to a
// whole registration under the shared or the alternate code. It only moves a
// registration that is whole onto a code that is free, and says so when a
// title has to stay where it is.
#include "main/main.h"
#include "main/registry_text.h"
#include "misc/misc.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr std::size_t MAX_NOTED_MOVES = 4;

struct noted_move {
    const char* source;
    const char* dest;
};

stage_kind current_stage = stage_kind::none;
noted_move in_flight = {nullptr, nullptr};
noted_move completed[MAX_NOTED_MOVES];
std::size_t completed_count = 0;

// The product code that the first "{" of a text value of the entry names.
bool value_names_code(const char* entry_code, const char* value_name, const char* code)
{
    char path[TEXT_BUFFER_SIZE];
    HKEY key = nullptr;
    if (!format_uninstall_entry(path, entry_code) ||
        RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
        return false;
    }
    char text[TEXT_BUFFER_SIZE];
    bool terminated = false;
    const LONG result = read_text_value(key, value_name, text, &terminated);
    RegCloseKey(key);
    const char* found = result == ERROR_SUCCESS && terminated ? find_product_code(text) : nullptr;
    return found != nullptr && std::strncmp(found, code, PRODUCT_CODE_LENGTH) == 0;
}

// The same folder path with another product code in it.
bool folder_for_code(const char (&folder)[TEXT_BUFFER_SIZE], const char* code,
                     char (&other)[TEXT_BUFFER_SIZE])
{
    std::memcpy(other, folder, sizeof other);
    char* position = find_product_code(other);
    if (position == nullptr) {
        return false;
    }
    overwrite_product_code(position, code);
    return true;
}

// Entry and folder under code, and both texts naming it.
bool is_whole(const char* code)
{
    char folder[TEXT_BUFFER_SIZE];
    return read_entry_folder(code, folder) && is_folder(folder) &&
           value_names_code(code, "UninstallString", code) && value_names_code(code, "LogFile", code);
}

// Neither an entry nor a folder under code, taking the folder's place from
// the registration that would move there.
bool is_free_for(const char* code, const char* moving_code)
{
    if (uninstall_entry_exists(code)) {
        return false;
    }
    char folder[TEXT_BUFFER_SIZE];
    char target[TEXT_BUFFER_SIZE];
    return read_entry_folder(moving_code, folder) && folder_for_code(folder, code, target) &&
           !is_folder(target);
}

bool move_if_safe(const char* source, const char* dest)
{
    if (!is_whole(source) || !is_free_for(dest, source)) {
        return false;
    }
    relocate_whole_registration(source, dest);
    return true;
}

// A path with the second NUL of the shell's list form.
bool to_list(const char* path, char (&list)[TEXT_BUFFER_SIZE + 1])
{
    if (!format_text(list, TEXT_BUFFER_SIZE, "%s", path)) {
        return false;
    }
    list[std::strlen(list) + 1] = '\0';
    return true;
}

// Makes the folder follow the entry of code when an interrupted move left
// it under other.
void bring_folder_to_entry(const char* code, const char* other)
{
    char folder[TEXT_BUFFER_SIZE];
    char other_folder[TEXT_BUFFER_SIZE];
    if (!read_entry_folder(code, folder) || is_folder(folder) ||
        !folder_for_code(folder, other, other_folder) || !is_folder(other_folder)) {
        return;
    }
    char from_list[TEXT_BUFFER_SIZE + 1];
    char to_list_buffer[TEXT_BUFFER_SIZE + 1];
    if (to_list(other_folder, from_list) && to_list(folder, to_list_buffer)) {
        shell_rename(from_list, to_list_buffer);
    }
}

// A move interrupted half way: an entry whose texts already name the
// destination is moved on (the move repeats safely); otherwise the entry
// stays. Either way the folder then joins its entry.
void finish_interrupted_move()
{
    const noted_move move = in_flight;
    in_flight = {nullptr, nullptr};
    if (move.source == nullptr) {
        return;
    }
    if (uninstall_entry_exists(move.source) && (value_names_code(move.source, "UninstallString", move.dest) ||
                                                value_names_code(move.source, "LogFile", move.dest))) {
        move_uninstall_entry(move.source, move.dest);
    }
    if (uninstall_entry_exists(move.dest)) {
        bring_folder_to_entry(move.dest, move.source);
    } else if (uninstall_entry_exists(move.source)) {
        bring_folder_to_entry(move.source, move.dest);
    }
}

bool is_redirected(const char* code)
{
    char folder[TEXT_BUFFER_SIZE];
    return read_entry_folder(code, folder) && append_path(folder, REAL_UNINSTALLER_PROGRAM) &&
           GetFileAttributesA(folder) != INVALID_FILE_ATTRIBUTES;
}

// After an interrupted install stage: the parked title goes back to the
// shared code, and a new title that the setup registered there first moves
// on to the alternate code, with its uninstaller redirected.
void recover_install_stage()
{
    if (uninstall_entry_exists(PARKING_PRODUCT_CODE) && uninstall_entry_exists(SHARED_PRODUCT_CODE)) {
        move_if_safe(SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE);
    }
    if (uninstall_entry_exists(PARKING_PRODUCT_CODE)) {
        move_if_safe(PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE);
    }
    if (is_whole(ALTERNATE_PRODUCT_CODE) && !is_redirected(ALTERNATE_PRODUCT_CODE)) {
        prepare_uninstall_redirect(ALTERNATE_PRODUCT_CODE);
    }
}

bool was_noted(const char* source, const char* dest)
{
    for (std::size_t i = 0; i < completed_count; ++i) {
        if (std::strcmp(completed[i].source, source) == 0 && std::strcmp(completed[i].dest, dest) == 0) {
            return true;
        }
    }
    return false;
}

// After an interrupted uninstall stage: while the remaining title is still
// parked, whatever stands under the shared code is the title being removed,
// which goes back to the alternate code before the parked title returns.
// Without a remaining title, a swapped-in title goes back the same way.
void recover_uninstall_stage()
{
    if (uninstall_entry_exists(PARKING_PRODUCT_CODE)) {
        if (uninstall_entry_exists(SHARED_PRODUCT_CODE)) {
            move_if_safe(SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE);
        }
        move_if_safe(PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE);
        return;
    }
    const bool parked = was_noted(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE);
    const bool swapped = was_noted(ALTERNATE_PRODUCT_CODE, SHARED_PRODUCT_CODE);
    if (swapped && !parked && uninstall_entry_exists(SHARED_PRODUCT_CODE)) {
        move_if_safe(SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE);
    }
}

void read_display_name(const char* code, char (&name)[64])
{
    std::strcpy(name, "A title");
    char path[TEXT_BUFFER_SIZE];
    HKEY key = nullptr;
    if (!format_uninstall_entry(path, code) || RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
        return;
    }
    char value[64];
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, "DisplayName", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
            ERROR_SUCCESS &&
        size > 0 && std::memchr(value, '\0', size) != nullptr && value[0] != '\0') {
        std::memcpy(name, value, sizeof name);
    }
    RegCloseKey(key);
}

void recover_after_fatal_error()
{
    const stage_kind stage = current_stage;
    current_stage = stage_kind::none;
    finish_interrupted_move();
    if (stage == stage_kind::install) {
        recover_install_stage();
    } else if (stage == stage_kind::uninstall) {
        recover_uninstall_stage();
    }
    if (uninstall_entry_exists(PARKING_PRODUCT_CODE)) {
        char title[64];
        read_display_name(PARKING_PRODUCT_CODE, title);
        warn_user("%s is still registered under %s: it could not be moved back safely.\n"
                  "Run the patch again to put it back.",
                  title, PARKING_PRODUCT_CODE);
    }
}

} // namespace

void begin_stage_recovery(stage_kind stage)
{
    current_stage = stage;
    in_flight = {nullptr, nullptr};
    completed_count = 0;
    set_fatal_error_handler(recover_after_fatal_error);
}

void end_stage_recovery()
{
    current_stage = stage_kind::none;
    set_fatal_error_handler(nullptr);
}

void note_move_started(const char* source, const char* dest)
{
    in_flight = {source, dest};
}

void note_move_finished()
{
    in_flight = {nullptr, nullptr};
}

void note_relocation_done(const char* source, const char* dest)
{
    if (completed_count < MAX_NOTED_MOVES) {
        completed[completed_count++] = {source, dest};
    }
}
