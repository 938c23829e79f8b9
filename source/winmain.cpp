// The Windows GUI entry point. The patch reads its own command line through
// GetCommandLineA, so none of WinMain's arguments is passed on.
#include "main/main.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return patch_main();
}
