// handle_registry: the live instances behind the hosts' handles. Any thread.
#include "handle_registry.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>

namespace {

struct entry {
    uintptr_t handle;
    kel_vout_base* instance;
    instance_deleter deleter;
    int pins;   // the registry's own (while live) and one per call in progress
    bool live;  // still reachable through its handle
    entry* next;
};

// Constant-initialised: nothing runs when the library is loaded.
SRWLOCK g_lock = SRWLOCK_INIT;
entry* g_entries = nullptr;
uint32_t g_next_id = 0;
int g_live = 0;

// Handles are numbers tagged in their low bits, so that small integers and addresses a host may
// pass by mistake are unlikely to be one; ids run to 2^28 before they wrap.
const uintptr_t kTag = 0xB;

entry* find(uintptr_t handle)
{
    for (entry* e = g_entries; e; e = e->next)
        if (e->handle == handle && e->live)
            return e;
    return nullptr;
}

}  // namespace

void* registry_add(kel_vout_base* instance, instance_deleter deleter)
{
    entry* e = static_cast<entry*>(std::calloc(1, sizeof(entry)));
    if (!e)
        return nullptr;
    AcquireSRWLockExclusive(&g_lock);
    uintptr_t handle;
    do {  // a number still in use (after 2^28 creations) is skipped
        g_next_id = (g_next_id + 1) & 0x0FFFFFFFu;
        handle = (uintptr_t(g_next_id) << 4) | kTag;
    } while (g_next_id == 0 || find(handle));
    *e = entry{handle, instance, deleter, 1, true, g_entries};
    g_entries = e;
    ++g_live;
    ReleaseSRWLockExclusive(&g_lock);
    return reinterpret_cast<void*>(handle);
}

kel_vout_base* registry_acquire(void* handle)
{
    if (!handle)
        return nullptr;
    AcquireSRWLockExclusive(&g_lock);
    entry* e = find(reinterpret_cast<uintptr_t>(handle));
    if (e)
        ++e->pins;
    ReleaseSRWLockExclusive(&g_lock);
    return e ? e->instance : nullptr;
}

void registry_release(kel_vout_base* instance)
{
    entry* gone = nullptr;
    AcquireSRWLockExclusive(&g_lock);
    for (entry** link = &g_entries; *link; link = &(*link)->next) {
        entry* e = *link;
        if (e->instance != instance)
            continue;
        if (--e->pins == 0) {
            *link = e->next;
            gone = e;
        }
        break;
    }
    ReleaseSRWLockExclusive(&g_lock);
    if (gone) {
        gone->deleter(gone->instance);
        std::free(gone);
    }
}

kel_vout_base* registry_remove(void* handle)
{
    if (!handle)
        return nullptr;
    AcquireSRWLockExclusive(&g_lock);
    entry* e = find(reinterpret_cast<uintptr_t>(handle));
    if (e) {
        e->live = false;
        --g_live;
    }
    ReleaseSRWLockExclusive(&g_lock);
    return e ? e->instance : nullptr;
}

int registry_count()
{
    AcquireSRWLockShared(&g_lock);
    const int n = g_live;
    ReleaseSRWLockShared(&g_lock);
    return n;
}
