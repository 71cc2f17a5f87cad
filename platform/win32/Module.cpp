// The DLL's entry point. Loading does no work; the driver has nothing to do when threads
// of the host start or end, so the system need not call in for them.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(module);
    return TRUE;
}
