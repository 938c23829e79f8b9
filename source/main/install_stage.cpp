// The install stage: the swap of registrations around the other title's setup.
#include "main/main.h"

void install_stage() {}
