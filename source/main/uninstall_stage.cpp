// The uninstall stage: the removal of the title under the alternate code.
#include "main/main.h"

void uninstall_stage() {}
