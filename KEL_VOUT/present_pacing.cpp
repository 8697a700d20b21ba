// present_pacing: where the system's present spins.
#include "present_pacing.h"

bool presents_spin_while_queued()
{
    // Wine's ntdll exports its version; no Windows ntdll does.
    static const bool wine = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    // Asked once a device exists: Direct3D through something other than wined3d (a Vulkan
    // translation, say) does not spin.
    return wine && GetModuleHandleW(L"wined3d.dll") != nullptr;
}
