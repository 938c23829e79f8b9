// The install stage: the swap of registrations around the other title's
// setup. The installed title is parked while the setup runs, so that the
// setup finds the shared code free; the new title then moves to the
// alternate code and the parked title comes back.
#include "main/main.h"
#include "misc/misc.h"

using namespace platform;

namespace
{

// Parking one of two installed titles and running a setup again could only
// end in two registrations merged into one.
bool both_titles_installed()
{
    if (!uninstall_entry_exists(SHARED_PRODUCT_CODE) || !uninstall_entry_exists(ALTERNATE_PRODUCT_CODE)) {
        return false;
    }
    warn_user("Both titles are already installed (under %s and %s).\nNothing was changed.",
              SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE);
    return true;
}

// The setup is expected to have registered the new title under the shared
// code by the time it signalled.
bool new_title_registered()
{
    if (uninstall_entry_exists(SHARED_PRODUCT_CODE)) {
        return true;
    }
    warn_user("The setup did not register the new title under %s.\nThe installed title is kept as it was.",
              SHARED_PRODUCT_CODE);
    return false;
}

// The swap around the setup: the installed title is parked while it runs.
// 1 when the new title went to the alternate code and the installed title
// came back; 0 when the installed title came back alone.
int swap_around_setup()
{
    relocate_whole_registration(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE);
    if (!find_disc_and_run_setup() || !new_title_registered()) {
        relocate_whole_registration(PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE);
        return 0;
    }

    relocate_whole_registration(SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE);
    retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE);
    relocate_whole_registration(PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE);
    if (!prepare_uninstall_redirect(ALTERNATE_PRODUCT_CODE)) {
        warn_not_redirected(ALTERNATE_PRODUCT_CODE);
    }
    return 1;
}

void run_install_stage()
{
    if (put_right_interrupted_run() || both_titles_installed()) {
        return;
    }
    detect_installed_game();
    if (!shared_code_in_use) {
        // The shared code is free already: the setup registers there.
        find_disc_and_run_setup();
        return;
    }

    if (run_with_stage_recovery(swap_around_setup, resume_settling::at_stage_end)) {
        purge_arp_cache();
    }
}

} // namespace

// The disc's setup may go on a little after it has signalled; once the
// stage has ended the record of it goes (the stage is whole by then).
void install_stage()
{
    run_install_stage();
    forget_started_programs();
}
