// Putting titles back when a fatal error interrupts a stage.
//
// A fatal error ends the process wherever it happens. The moves note the
// one under way (relocation.cpp); the fatal error handler undoes that move
// (it would fail the same way if repeated) and then brings every
// registration to a whole state, as the start of every run does
// (reconcile.cpp). It tells the user when a title has to stay parked.
#include "recovery/recovery.h"
#include "misc/misc.h"

using namespace platform;

void recover_after_fatal_error()
{
    const noted_move move = take_noted_move();
    reconcile_after_fatal_error(move.source, move.dest);
    settle_resume_arrangement();
}

int run_with_stage_recovery(int (*body)(), resume_settling settling)
{
    note_move_finished();
    reset_reconciliation();
    set_fatal_error_handler(recover_after_fatal_error);
    arrange_resume_after_restart();
    const int result = body();
    set_fatal_error_handler(nullptr);
    if (settling == resume_settling::at_stage_end) {
        settle_resume_arrangement();
    }
    return result;
}
