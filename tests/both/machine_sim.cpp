#include "both.h"
#include "main/main.h"
#include "sim/sim.h"

const char SCRATCH_KEY[] = "SOFTWARE\\KestovaTests";

void reset_test_machine()
{
    platform::sim::reset();
    // The running program's own file, as on Windows.
    platform::sim::add_file("C:\\Patch\\kestova-patch.exe", {'M', 'Z', 'p', 'a', 't', 'c', 'h'});
    reset_process_state();
}
