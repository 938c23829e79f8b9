// The uninstall redirection, the uninstall stage it leads to, and the purge
// of the Add/Remove Programs cache.
//
// A title under the alternate code is removed through a copy of the patch
// in its product folder: the removal runs the patch from a ".tmp" copy,
// which puts the title under the shared code for the time of the removal,
// so that the installer's real uninstaller finds it where it expects it.
#include "main/main.h"
#include "main/program_chain.h"
#include "main/registry_text.h"
#include "misc/misc.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr char WAIT_FOR_UNINSTALL[] = "Please wait till the uninstall is complete, then click on okay";
constexpr char UNINSTALL_STILL_RUNNING[] =
    "The uninstall is still running.\n\nPlease wait till the uninstall is "
    "complete, then click on Retry.\nClick on Cancel to stop waiting.";
constexpr char UNINSTALL_LEFT_RUNNING[] =
    "The uninstall is still running, so the patch leaves the titles' registrations as they are for now.\n"
    "When the uninstall has ended, run kestova-patch.exe again: it puts everything right.";
constexpr DWORD UNINSTALLER_GRACE_MS = 2000;
constexpr char REDIRECT_COPY_NAME[] = "\\setup.exe.new";

// The product folder named by the quoted path in the entry's
// "UninstallString": from the first double quote up to and including the
// first "}" after it.
void product_folder_from_entry(const char* code, char (&folder)[TEXT_BUFFER_SIZE])
{
    char path[TEXT_BUFFER_SIZE];
    format_uninstall_entry(path, code);
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
        fatal_error("Could not find uninstall guid key in registry");
    }
    char text[TEXT_BUFFER_SIZE];
    bool terminated = false;
    const LONG result = read_text_value(key, "UninstallString", text, &terminated);
    const long last_error = static_cast<long>(GetLastError());
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        fatal_error("Error when getting uninstall string from registry (%ld)", last_error);
    }
    const char* quote = terminated ? std::strchr(text, '"') : nullptr;
    if (quote == nullptr) {
        fatal_error("Error in uninstall string");
    }
    const char* brace = std::strchr(quote + 1, '}');
    if (brace == nullptr) {
        fatal_error("Error in uninstall string");
    }
    // Where the folder stands: the text with its variables expanded, or the
    // folder's known place.
    DWORD error = 0;
    if (find_entry_folder(code, folder, &error) == folder_state::unknown) {
        fatal_error(FOLDER_UNCERTAIN, code, folder, static_cast<unsigned long>(error));
    }
}

// folder joined with a file name, followed by a second NUL (the shell's list
// form). A path without room for both is an unusable uninstall string.
void file_in_folder(const char (&folder)[TEXT_BUFFER_SIZE], const char* file_name,
                    char (&path)[TEXT_BUFFER_SIZE])
{
    std::memcpy(path, folder, sizeof path);
    if (!append_path(path, sizeof path - 1, file_name)) {
        fatal_error("Error in uninstall string");
    }
    path[std::strlen(path) + 1] = '\0';
}

// Puts both titles back where they stood when the stage began; the stage
// has nothing left to recover then.
void undo_swap(int parked)
{
    relocate_whole_registration(SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE);
    if (parked) {
        relocate_whole_registration(PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE);
    }
    end_stage_recovery();
}

// A click that comes while the real uninstaller's chain is still running
// is too early: what the stage does next depends on the removal being
// over. The user is asked again until every process of the chain has
// ended, or until they choose to stop waiting (an uninstaller that never
// ends must not trap them). False when they stopped waiting while it still
// runs (a chain that ended while the box was up counts as ended).
bool wait_until_uninstaller_ended(program_chain* chain)
{
    while (!wait_for_chain_end(chain, UNINSTALLER_GRACE_MS)) {
        if (MessageBoxA(nullptr, UNINSTALL_STILL_RUNNING, PATCH_CAPTION,
                        MB_RETRYCANCEL | MB_ICONINFORMATION) != IDRETRY) {
            return wait_for_chain_end(chain, 0);
        }
    }
    return true;
}

} // namespace

// The redirection: the installer's own "setup.exe" kept as "setup_is.exe"
// (renamed first, so that nothing ever takes its place while it is the
// only copy), then a copy of the running patch written under a temporary
// name and moved over "setup.exe" in one replacing, write-through step, so
// that a kill or a full disc never leaves a torn "setup.exe". A copy that
// fails leaves the folder without a "setup.exe" rather than with the
// installer's own, which would act under the shared code on the other
// title; the next run redirects it.
int prepare_uninstall_redirect(const char* code)
{
    char folder[TEXT_BUFFER_SIZE];
    product_folder_from_entry(code, folder);
    char installer[TEXT_BUFFER_SIZE];
    char real_uninstaller[TEXT_BUFFER_SIZE];
    char copy[TEXT_BUFFER_SIZE];
    file_in_folder(folder, INSTALLER_PROGRAM, installer);
    file_in_folder(folder, REAL_UNINSTALLER_PROGRAM, real_uninstaller);
    file_in_folder(folder, REDIRECT_COPY_NAME, copy);

    if (!is_file(real_uninstaller) && shell_rename(installer, real_uninstaller) != 0) {
        return 0;
    }
    return replace_with_own_executable(installer, copy);
}

void warn_not_redirected(const char* code)
{
    char title[DISPLAY_NAME_BUFFER_SIZE];
    if (!read_display_name(code, title)) {
        std::strcpy(title, "The title");
    }
    warn_user(
        "The uninstaller of %s (under %s) could not be redirected through the patch.\n"
        "Both titles are installed. Do not remove %s until kestova-patch.exe has run again: its next run "
        "redirects it.",
        title, code, title);
}

int run_real_uninstaller(const char* code)
{
    char folder[TEXT_BUFFER_SIZE];
    product_folder_from_entry(code, folder);
    char program[TEXT_BUFFER_SIZE];
    file_in_folder(folder, REAL_UNINSTALLER_PROGRAM, program);

    program_chain chain{};
    if (!start_program_chain(program, nullptr, &chain)) {
        warn_user("Failed to run setup_is.exe");
        return 0;
    }
    MessageBoxA(nullptr, WAIT_FOR_UNINSTALL, PATCH_CAPTION, MB_OK | MB_ICONINFORMATION);
    const bool ended = wait_until_uninstaller_ended(&chain);
    close_program_chain(&chain);
    return ended ? 1 : UNINSTALLER_STILL_RUNNING;
}

int purge_arp_cache()
{
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, ARP_CACHE_KEY, &key) != ERROR_SUCCESS) {
        return 0;
    }
    SHDeleteKeyA(key, SHARED_PRODUCT_CODE);
    SHDeleteKeyA(key, ALTERNATE_PRODUCT_CODE);
    RegCloseKey(key);
    return 1;
}

// The record of the real uninstaller goes when its chain has ended; when
// the user stopped waiting while it still runs, it stays for the next run.
void uninstall_stage()
{
    if (put_right_interrupted_run()) {
        return;
    }
    if (!uninstall_entry_exists(ALTERNATE_PRODUCT_CODE)) {
        warn_user(
            "No title is registered under %s, so there is nothing to uninstall here.\nNothing was changed.",
            ALTERNATE_PRODUCT_CODE);
        return;
    }
    begin_stage_recovery(stage_kind::uninstall);
    // An uninstaller often ends with a restart: the run at the next logon
    // puts the titles right once the uninstaller's chain has ended.
    arrange_resume_after_restart();
    const int parked = move_install_info_folder(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE);
    if (parked) {
        move_uninstall_entry(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE);
    } else if (uninstall_entry_exists(SHARED_PRODUCT_CODE)) {
        // Moving the other title in now would merge two registrations.
        end_stage_recovery();
        warn_user("The title registered under %s could not be moved aside, so the uninstall cannot go on.\n"
                  "Nothing was changed.",
                  SHARED_PRODUCT_CODE);
        return;
    }

    relocate_whole_registration(ALTERNATE_PRODUCT_CODE, SHARED_PRODUCT_CODE);

    const int uninstalled = run_real_uninstaller(SHARED_PRODUCT_CODE);
    if (uninstalled == UNINSTALLER_STILL_RUNNING) {
        // Whatever moves now could be removed or overwritten by the
        // uninstaller that is still at work; the next run of the patch puts
        // the registrations right once it has ended.
        end_stage_recovery();
        warn_user("%s", UNINSTALL_LEFT_RUNNING);
        return;
    }
    if (!uninstalled) {
        // The title is still installed: its folder must not be deleted.
        undo_swap(parked);
        return;
    }

    if (uninstall_entry_exists(SHARED_PRODUCT_CODE)) {
        // The real uninstaller left its title registered (the user may have
        // cancelled it): deleting its folder now would break that title.
        warn_user(
            "The uninstall did not complete: the title is still registered.\nIt stays installed as before.");
        undo_swap(parked);
        return;
    }

    char folder[TEXT_BUFFER_SIZE];
    if (format_product_folder(folder, sizeof folder, SHARED_PRODUCT_CODE)) {
        flush_registry(); // the uninstaller's removal, on disc before its folder goes
        delete_folder(folder);
    }
    if (parked) {
        relocate_whole_registration(PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE);
    }
    end_stage_recovery();
}
