#include "both.h"
#include "main/main.h"
#include "platform/sim/sim.h"

const char SCRATCH_KEY[] = "SOFTWARE\\KestovaTests";

void reset_test_machine()
{
    platform::sim::reset();
    reset_process_state();
}
