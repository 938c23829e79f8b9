// The uninstall stage and the real uninstaller it runs.
//
// A title under the alternate code is removed through a copy of the patch
// in its product folder: the removal runs the patch from a ".tmp" copy,
// which puts the title under the shared code for the time of the removal,
// so that the installer's real uninstaller finds it where it expects it.
#include "main/main.h"
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

// Puts both titles back where they stood when the stage began; the stage
// has nothing left to recover then.
void undo_swap(int parked)
{
    relocate_whole_registration(SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE);
    if (parked) {
        relocate_whole_registration(PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE);
    }
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
        if (show_box(UNINSTALL_STILL_RUNNING, PATCH_CAPTION, MB_RETRYCANCEL | MB_ICONINFORMATION) !=
            IDRETRY) {
            return wait_for_chain_end(chain, 0);
        }
    }
    return true;
}

} // namespace

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
    show_box(WAIT_FOR_UNINSTALL, PATCH_CAPTION, MB_OK | MB_ICONINFORMATION);
    const bool ended = wait_until_uninstaller_ended(&chain);
    close_program_chain(&chain);
    return ended ? 1 : UNINSTALLER_STILL_RUNNING;
}

namespace
{

// How the swap around the real uninstaller ended. The two warnings that
// go with an unfinished swap are shown once the stage's recovery has ended:
// a fatal error while one is up must not move registrations, least of all
// under an uninstaller that is still at work.
enum swap_end : int { SWAP_DONE, OTHER_TITLE_NOT_MOVED_ASIDE, UNINSTALLER_LEFT_RUNNING };

// The swap: the title under the shared code is parked, the title under the
// alternate code moves to the shared code for the real uninstaller, and
// the parked title comes back once the removal is over.
int swap_around_uninstaller()
{
    const int parked = move_install_info_folder(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE);
    if (parked) {
        move_uninstall_entry(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE);
    } else if (uninstall_entry_exists(SHARED_PRODUCT_CODE)) {
        // Moving the other title in now would merge two registrations.
        return OTHER_TITLE_NOT_MOVED_ASIDE;
    }

    relocate_whole_registration(ALTERNATE_PRODUCT_CODE, SHARED_PRODUCT_CODE);

    const int uninstalled = run_real_uninstaller(SHARED_PRODUCT_CODE);
    if (uninstalled == UNINSTALLER_STILL_RUNNING) {
        // Whatever moves now could be removed or overwritten by the
        // uninstaller that is still at work; the next run of the patch puts
        // the registrations right once it has ended.
        return UNINSTALLER_LEFT_RUNNING;
    }
    if (!uninstalled) {
        // The title is still installed: its folder must not be deleted.
        undo_swap(parked);
        return SWAP_DONE;
    }

    if (uninstall_entry_exists(SHARED_PRODUCT_CODE)) {
        // The real uninstaller left its title registered (the user may have
        // cancelled it): deleting its folder now would break that title.
        warn_user(
            "The uninstall did not complete: the title is still registered.\nIt stays installed as before.");
        undo_swap(parked);
        return SWAP_DONE;
    }

    char folder[TEXT_BUFFER_SIZE];
    if (format_product_folder(folder, sizeof folder, SHARED_PRODUCT_CODE)) {
        flush_registry(); // the uninstaller's removal, on disc before its folder goes
        delete_folder(folder);
    }
    if (parked) {
        relocate_whole_registration(PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE);
    }
    return SWAP_DONE;
}

} // namespace

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
    // An uninstaller often ends with a restart: the run at the next logon
    // puts the titles right once the uninstaller's chain has ended.
    const int ended = run_with_stage_recovery(swap_around_uninstaller, resume_settling::at_run_end);
    if (ended == OTHER_TITLE_NOT_MOVED_ASIDE) {
        warn_user("The title registered under %s could not be moved aside, so the uninstall cannot go on.\n"
                  "Nothing was changed.",
                  SHARED_PRODUCT_CODE);
    } else if (ended == UNINSTALLER_LEFT_RUNNING) {
        warn_user("%s", UNINSTALL_LEFT_RUNNING);
    }
}
