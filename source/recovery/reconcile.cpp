// Finishing or undoing what an interrupted run left.
//
// A run can be killed at any moment, the machine restarted while the disc's
// setup runs, or a fatal error can end a stage half way. Every stage
// therefore starts by reading the registrations under the three product
// codes and bringing them to a whole state: each title whole (entry and
// folder, both texts naming its code) under the shared or the alternate
// code, nothing parked, the title under the alternate code redirected, and
// no leftover folder of a removed title under the shared code. The state
// itself tells what was under way:
//   - an entry whose texts name another code: an entry move was cut off;
//   - an entry without its folder, the folder under another, free code: a
//     move stopped between the folder and the entry;
//   - a parked title and a new, unredirected title under the shared code: a
//     setup finished and the swap did not;
//   - a parked title and a redirected title under the shared code (or a
//     redirected title there alone): an uninstall stage was interrupted
//     before its uninstaller removed that title;
//   - a parked title and nothing under the shared code: put it back.
// Each step runs at most once per process, so a step that fails the same way
// every time is never repeated; the fatal error handler carries on with the
// remaining steps.
#include "log/log.h"
#include "misc/misc.h"
#include "recovery/recovery.h"

#include <cstdarg>
#include <cstring>

using namespace platform;

namespace
{

enum class step_kind {
    none,
    finish_entry_move,
    undo_entry_move,
    join_folder,
    delete_leftover,
    move,
    retarget,
    redirect
};

struct step {
    step_kind kind;
    const char* from;
    const char* to;
};

constexpr step NO_STEP = {step_kind::none, nullptr, nullptr};
constexpr std::size_t MAX_STEPS = 48;

// The steps taken or given up in this process.
step taken[MAX_STEPS];
std::size_t taken_count = 0;

// What the box at the end says.
bool titles_touched[2] = {false, false}; // Kestova 2, Kestova 3
bool leftover_deleted = false;
bool changed_something = false;

// Codes are compared by their text, without regard to case: a step noted
// with one module's copy of a code is the same step as one with another's.
bool same_code(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    return compare_ignoring_case(a, b) == 0;
}

bool same_step(const step& a, const step& b)
{
    return a.kind == b.kind && same_code(a.from, b.from) && same_code(a.to, b.to);
}

bool was_taken(const step& s)
{
    for (std::size_t i = 0; i < taken_count; ++i) {
        if (same_step(taken[i], s)) {
            return true;
        }
    }
    return false;
}

void mark_taken(const step& s)
{
    if (s.kind != step_kind::none && !was_taken(s) && taken_count < MAX_STEPS) {
        taken[taken_count++] = s;
    }
}

// A step that may still run; NO_STEP when it was taken already.
step candidate(step_kind kind, const char* from, const char* to)
{
    const step s = {kind, from, to};
    return was_taken(s) ? NO_STEP : s;
}

bool has_entry(const char* code)
{
    return uninstall_entry_exists(code) != 0;
}

// Another of the three codes that a text of the entry already names.
const char* other_code_named(const char* code)
{
    for (const char* other : ALL_PRODUCT_CODES) {
        if (!same_code(other, code) &&
            (value_names_code(code, "UninstallString", other) || value_names_code(code, "LogFile", other))) {
            return other;
        }
    }
    return nullptr;
}

bool texts_name_own_code(const char* code)
{
    return value_names_code(code, "UninstallString", code) && value_names_code(code, "LogFile", code);
}

// The folder path with another product code in it.
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

bool file_in_entry_folder(const char* code, const char* file_name, char (&path)[TEXT_BUFFER_SIZE])
{
    return read_entry_folder(code, path) && append_path(path, file_name);
}

// Redirected: the real uninstaller beside a "setup.exe" that is this very
// program (a torn copy, or an older build's, is redirected anew).
bool is_fully_redirected(const char* code)
{
    char installer[TEXT_BUFFER_SIZE];
    return has_real_uninstaller_beside(code) && file_in_entry_folder(code, INSTALLER_PROGRAM, installer) &&
           is_own_executable(installer);
}

// A registration that can move: its entry's texts name its code, and its
// folder stands where the entry says.
bool is_whole(const char* code)
{
    char folder[TEXT_BUFFER_SIZE];
    return has_entry(code) && texts_name_own_code(code) && read_entry_folder(code, folder) &&
           is_folder(folder);
}

// Nothing under dest that a move from source would run into.
bool is_free_for(const char* dest, const char* source)
{
    char folder[TEXT_BUFFER_SIZE];
    char target[TEXT_BUFFER_SIZE];
    return !has_entry(dest) && read_entry_folder(source, folder) && folder_for_code(folder, dest, target) &&
           !is_folder(target);
}

bool names_differ(const char* a, const char* b)
{
    char name_a[DISPLAY_NAME_BUFFER_SIZE];
    char name_b[DISPLAY_NAME_BUFFER_SIZE];
    return read_display_name(a, name_a) && read_display_name(b, name_b) && std::strcmp(name_a, name_b) != 0;
}

void note_title(const char* code)
{
    char name[DISPLAY_NAME_BUFFER_SIZE];
    if (!read_display_name(code, name)) {
        return;
    }
    if (std::strcmp(name, KS2_DISPLAY_NAME) == 0) {
        titles_touched[0] = true;
    } else if (std::strcmp(name, KS3_DISPLAY_NAME) == 0) {
        titles_touched[1] = true;
    }
}

// An entry move cut off: finished, or undone when it cannot be finished
// (another title stands under the destination, or finishing failed).
step next_entry_step()
{
    for (const char* code : ALL_PRODUCT_CODES) {
        if (!has_entry(code)) {
            continue;
        }
        const char* dest = other_code_named(code);
        if (dest == nullptr) {
            continue;
        }
        if (!has_entry(dest) || is_copy_of_entry(dest, code)) {
            const step finish = candidate(step_kind::finish_entry_move, code, dest);
            if (finish.kind != step_kind::none) {
                return finish;
            }
        }
        const step undo = candidate(step_kind::undo_entry_move, code, dest);
        if (undo.kind != step_kind::none) {
            return undo;
        }
    }
    return NO_STEP;
}

// A folder that moved while its entry stayed goes back to the entry.
step next_folder_step()
{
    for (const char* code : ALL_PRODUCT_CODES) {
        char folder[TEXT_BUFFER_SIZE];
        if (!has_entry(code) || !texts_name_own_code(code) || !read_entry_folder(code, folder) ||
            is_folder(folder)) {
            continue;
        }
        for (const char* other : ALL_PRODUCT_CODES) {
            char other_folder[TEXT_BUFFER_SIZE];
            if (!same_code(other, code) && !has_entry(other) &&
                folder_for_code(folder, other, other_folder) && is_folder(other_folder)) {
                const step join = candidate(step_kind::join_folder, other, code);
                if (join.kind != step_kind::none) {
                    return join;
                }
            }
        }
    }
    return NO_STEP;
}

// Every entry's folder is where the entry says (or nowhere to be found).
bool no_folder_astray()
{
    for (const char* code : ALL_PRODUCT_CODES) {
        char folder[TEXT_BUFFER_SIZE];
        if (!has_entry(code) || !read_entry_folder(code, folder) || is_folder(folder)) {
            continue;
        }
        for (const char* other : ALL_PRODUCT_CODES) {
            char other_folder[TEXT_BUFFER_SIZE];
            if (!same_code(other, code) && folder_for_code(folder, other, other_folder) &&
                is_folder(other_folder)) {
                return false;
            }
        }
    }
    return true;
}

// What the real uninstaller left of a removed title under the shared code:
// the folder of a title removed through the patch (it still holds the real
// uninstaller's "setup_is.exe"), or any folder there while a title is
// parked, whose move back it would block. A folder without either sign is
// no business of the patch's.
step next_leftover_step()
{
    char folder[TEXT_BUFFER_SIZE];
    char real_uninstaller[TEXT_BUFFER_SIZE];
    if (has_entry(SHARED_PRODUCT_CODE) ||
        !format_product_folder(folder, sizeof folder, SHARED_PRODUCT_CODE) || !is_folder(folder) ||
        !no_folder_astray()) {
        return NO_STEP;
    }
    std::memcpy(real_uninstaller, folder, sizeof real_uninstaller);
    const bool redirected =
        append_path(real_uninstaller, REAL_UNINSTALLER_PROGRAM) && is_file(real_uninstaller);
    if (!redirected && !has_entry(PARKING_PRODUCT_CODE)) {
        return NO_STEP;
    }
    return candidate(step_kind::delete_leftover, SHARED_PRODUCT_CODE, nullptr);
}

step move_if_free(const char* from, const char* to)
{
    if (!is_whole(from) || !is_free_for(to, from)) {
        return NO_STEP;
    }
    return candidate(step_kind::move, from, to);
}

// Where the whole titles belong. The title under the alternate code is
// redirected once nothing else moves, even while a title stays parked (its
// move back may have failed in this process): the redirection touches only
// its own folder.
step next_title_step()
{
    const bool parked = has_entry(PARKING_PRODUCT_CODE);
    const bool shared = has_entry(SHARED_PRODUCT_CODE);
    const bool shared_redirected = shared && has_real_uninstaller_beside(SHARED_PRODUCT_CODE);
    const bool alternate_unredirected =
        is_whole(ALTERNATE_PRODUCT_CODE) && !is_fully_redirected(ALTERNATE_PRODUCT_CODE);
    step s = NO_STEP;
    if (parked && !shared) {
        // With the new title moved on, the swap retargets its shortcut
        // before the parked title comes back.
        s = alternate_unredirected ? candidate(step_kind::retarget, ALTERNATE_PRODUCT_CODE, nullptr)
                                   : NO_STEP;
        if (s.kind == step_kind::none) {
            s = move_if_free(PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE);
        }
    } else if (shared_redirected || (parked && names_differ(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE))) {
        // A redirected title is one being removed; an unredirected one is
        // the new title of a swap that did not finish. Either way it goes to
        // the alternate code and the parked title comes back.
        s = move_if_free(SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE);
    }
    if (s.kind == step_kind::none && alternate_unredirected) {
        s = candidate(step_kind::redirect, ALTERNATE_PRODUCT_CODE, nullptr);
    }
    return s;
}

step next_step()
{
    step s = next_entry_step();
    if (s.kind == step_kind::none) {
        s = next_folder_step();
    }
    if (s.kind == step_kind::none) {
        s = next_leftover_step();
    }
    if (s.kind == step_kind::none) {
        s = next_title_step();
    }
    return s;
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

bool join_folder(const char* from, const char* to)
{
    char folder[TEXT_BUFFER_SIZE];
    char astray[TEXT_BUFFER_SIZE];
    char from_list[TEXT_BUFFER_SIZE + 1];
    char to_list_buffer[TEXT_BUFFER_SIZE + 1];
    if (!read_entry_folder(to, folder) || !folder_for_code(folder, from, astray) ||
        !to_list(astray, from_list) || !to_list(folder, to_list_buffer)) {
        return false;
    }
    flush_registry();
    log_line("Joining the product folder %s to %s", astray, folder);
    const int result = shell_rename(from_list, to_list_buffer);
    log_line(result == 0 ? "Folder joined" : "Folder not joined (error %d)", result);
    return result == 0;
}

// The Start-menu shortcut is the title's own: which one follows from its name.
bool retarget_shortcut_of(const char* code)
{
    char name[DISPLAY_NAME_BUFFER_SIZE];
    if (!read_display_name(code, name)) {
        return false;
    }
    if (std::strcmp(name, KS2_DISPLAY_NAME) == 0) {
        installing_ks2 = 1;
    } else if (std::strcmp(name, KS3_DISPLAY_NAME) == 0) {
        installing_ks3 = 1;
    } else {
        return false;
    }
    return retarget_uninstall_shortcut(code) != 0;
}

// The rest of a redirection that stopped half way, or the whole of it;
// the user is told when it cannot be done.
bool redirect(const char* code)
{
    if (prepare_uninstall_redirect(code)) {
        return true;
    }
    warn_not_redirected(code);
    return false;
}

bool delete_leftover_folder()
{
    char folder[TEXT_BUFFER_SIZE];
    if (!format_product_folder(folder, sizeof folder, SHARED_PRODUCT_CODE)) {
        return false;
    }
    flush_registry();
    log_line("Deleting the empty leftover folder %s", folder);
    return delete_folder(folder);
}

bool run_step(const step& s)
{
    switch (s.kind) {
    case step_kind::finish_entry_move:
        move_uninstall_entry(s.from, s.to);
        note_title(s.to);
        return true;
    case step_kind::undo_entry_move:
        undo_uninstall_entry_move(s.from, s.to);
        note_title(s.from);
        return true;
    case step_kind::join_folder:
        return join_folder(s.from, s.to);
    case step_kind::delete_leftover:
        leftover_deleted = delete_leftover_folder();
        return leftover_deleted;
    case step_kind::move:
        relocate_whole_registration(s.from, s.to);
        note_title(s.to);
        return true;
    case step_kind::retarget:
        return retarget_shortcut_of(s.from);
    case step_kind::redirect:
        if (!redirect(s.from)) {
            return false;
        }
        note_title(s.from);
        return true;
    case step_kind::none:
        break;
    }
    return false;
}

// Takes the steps one at a time, each at most once. A fatal error inside a
// step comes back here through the fatal error handler, which carries on
// without that step. The handler is set again before every step, also when
// this runs inside the handler: that is where a failing step recurses into
// the handler, one level deeper for each step that fails.
void run_steps()
{
    for (;;) {
        const step s = next_step();
        if (s.kind == step_kind::none) {
            break;
        }
        mark_taken(s);
        set_fatal_error_handler(recover_after_fatal_error);
        if (run_step(s)) {
            changed_something = true;
        }
    }
    set_fatal_error_handler(nullptr);
    if (changed_something) {
        purge_arp_cache();
    }
}

void warn_parked_title()
{
    char title[DISPLAY_NAME_BUFFER_SIZE];
    if (!read_display_name(PARKING_PRODUCT_CODE, title)) {
        std::strcpy(title, "A title");
    }
    warn_user("%s is still registered under %s: it could not be moved back safely.\n"
              "Run the patch again to put it back.",
              title, PARKING_PRODUCT_CODE);
}

void append_line(char (&text)[1024], const char* format, ...) __attribute__((format(printf, 2, 3)));
void append_line(char (&text)[1024], const char* format, ...)
{
    const std::size_t used = std::strlen(text);
    va_list args;
    va_start(args, format);
    format_bounded(text + used, sizeof text - used, format, args);
    va_end(args);
}

const char* code_of_title(const char* title)
{
    for (const char* code : ALL_PRODUCT_CODES) {
        char name[DISPLAY_NAME_BUFFER_SIZE];
        if (read_display_name(code, name) && std::strcmp(name, title) == 0) {
            return code;
        }
    }
    return nullptr;
}

void report_put_right()
{
    char text[1024] = "An earlier run of the patch was interrupted. This run has put right what it left:\n";
    const char* const titles[2] = {KS2_DISPLAY_NAME, KS3_DISPLAY_NAME};
    for (int i = 0; i < 2; ++i) {
        const char* code = titles_touched[i] ? code_of_title(titles[i]) : nullptr;
        if (same_code(code, SHARED_PRODUCT_CODE)) {
            append_line(text, "- %s is registered under %s again.\n", titles[i], code);
        } else if (same_code(code, ALTERNATE_PRODUCT_CODE)) {
            append_line(text, "- %s is registered under %s; removing it goes through the patch.\n", titles[i],
                        code);
        }
    }
    if (leftover_deleted) {
        append_line(text, "- The product folder that a removed title had left behind was deleted.\n");
    }
    append_line(text, "Nothing else was done in this run.");
    show_box(text, PATCH_CAPTION, MB_OK | MB_ICONINFORMATION);
}

} // namespace

bool has_real_uninstaller_beside(const char* code)
{
    char path[TEXT_BUFFER_SIZE];
    return file_in_entry_folder(code, REAL_UNINSTALLER_PROGRAM, path) && is_file(path);
}

void reset_reconciliation()
{
    taken_count = 0;
    titles_touched[0] = titles_touched[1] = false;
    leftover_deleted = false;
    changed_something = false;
}

void reconcile_after_fatal_error(const char* failed_source, const char* failed_dest)
{
    if (failed_source != nullptr) {
        // The move that failed is undone, never repeated in this process.
        mark_taken({step_kind::move, failed_source, failed_dest});
        mark_taken({step_kind::finish_entry_move, failed_source, failed_dest});
        mark_taken({step_kind::undo_entry_move, failed_source, failed_dest});
        set_fatal_error_handler(recover_after_fatal_error);
        undo_uninstall_entry_move(failed_source, failed_dest);
    }
    run_steps();
    if (has_entry(PARKING_PRODUCT_CODE)) {
        warn_parked_title();
    }
}

// A product folder whose place the system cannot tell for sure stops the
// run before anything changes: any move could split that registration.
bool folder_uncertain()
{
    for (const char* code : ALL_PRODUCT_CODES) {
        char folder[TEXT_BUFFER_SIZE];
        DWORD error = 0;
        if (has_entry(code) && find_entry_folder(code, folder, &error) == folder_state::unknown) {
            warn_user(FOLDER_UNCERTAIN, code, folder, static_cast<unsigned long>(error));
            return true;
        }
    }
    return false;
}

// An empty product folder without an entry (left behind long ago) would
// block every move onto its code. Removing it loses nothing, and the system
// removes only a folder that holds nothing; it is not worth a box.
void remove_empty_leftover_folders()
{
    for (const char* code : ALL_PRODUCT_CODES) {
        char folder[TEXT_BUFFER_SIZE];
        if (!has_entry(code) && format_product_folder(folder, sizeof folder, code) && is_folder(folder)) {
            RemoveDirectoryA(folder);
        }
    }
}

int put_right_interrupted_run()
{
    reset_reconciliation();
    if (folder_uncertain()) {
        return 1;
    }
    remove_empty_leftover_folders();
    run_steps();
    if (has_entry(PARKING_PRODUCT_CODE)) {
        char title[DISPLAY_NAME_BUFFER_SIZE];
        if (!read_display_name(PARKING_PRODUCT_CODE, title)) {
            std::strcpy(title, "A title");
        }
        warn_user("%s is still registered under %s from an interrupted run, and it cannot be put back "
                  "safely beside the titles under %s and %s.\nNothing else was changed.",
                  title, PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE);
        return 1;
    }
    if (!changed_something) {
        // All was whole: an arrangement for a restart left by a run that
        // ended (or was ended) after its work goes now, before anything in
        // this run can stop it with a fatal error.
        settle_resume_arrangement();
        return 0;
    }
    report_put_right();
    return 1;
}
