// The tests' machine on the real platform: the registry itself (under Wine,
// the prefix's registry). Only the tests' own scratch key is touched.
#include "both.h"
#include "main/main.h"

const char SCRATCH_KEY[] = "SOFTWARE\\KestovaTests";

void reset_test_machine()
{
    // A missing key is the normal case; any other failure would leave one
    // test's keys to the next, so it fails the test.
    const platform::DWORD deleted = platform::SHDeleteKeyA(platform::HKEY_LOCAL_MACHINE, SCRATCH_KEY);
    if (deleted != platform::ERROR_SUCCESS && deleted != platform::ERROR_FILE_NOT_FOUND) {
        ADD_FAILURE() << "could not remove HKLM\\" << SCRATCH_KEY << ": error " << deleted;
    }
    reset_process_state();
}
