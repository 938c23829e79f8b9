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

void begin_stage_recovery(stage_kind stage)
{
    (void)stage;
    note_move_finished();
    reset_reconciliation();
    set_fatal_error_handler(recover_after_fatal_error);
}

void end_stage_recovery()
{
    set_fatal_error_handler(nullptr);
}
