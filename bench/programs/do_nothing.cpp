// A Windows program that does nothing: the cost of starting and ending a
// process under Wine, the baseline of the install-stage timing.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return 0;
}
