// The DLL's entry: classes of ours must not outlive the code of their window procedure. Runs on
// the thread that loads or unloads the library, under the loader's lock: nothing here waits.
#include <windows.h>

#include "kel_vout_window.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // At process exit (reserved set) everything goes anyway; only a FreeLibrary unregisters.
    if (reason == DLL_PROCESS_DETACH && !reserved)
        unregister_window_classes();
    return TRUE;
}
