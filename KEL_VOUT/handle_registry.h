// handle_registry: the live instances behind the handles hosts hold. A handle is a number that
// is never given out twice, not an address: a handle that was destroyed (also through a copy)
// or never made finds nothing, and nothing is touched through it. Every export pins the instance
// for the length of its call, so that a destroy on another thread (or re-entered from a message
// the call dispatches) never frees memory a call still uses: the last unpin frees. Any thread.
#ifndef KEL_VOUT_HANDLE_REGISTRY_H
#define KEL_VOUT_HANDLE_REGISTRY_H

#include "kel_vout_global.h"

class kel_vout_base;

// Frees an instance once it is out of the registry and nothing uses it.
typedef void (*instance_deleter)(kel_vout_base* instance);

// Registers a running instance; its handle, or null when no memory is left for the entry.
void* registry_add(kel_vout_base* instance, instance_deleter deleter);

// The live instance of a handle, pinned until registry_release; null for any other value.
kel_vout_base* registry_acquire(void* handle);
void registry_release(kel_vout_base* instance);

// Takes the handle's instance out of the registry, so that no call finds it any more, and hands
// the registry's pin to the caller (who stops the instance and then releases it); null when the
// handle is not live, for example because a destroy of it is already under way.
kel_vout_base* registry_remove(void* handle);

// Live instances now.
int registry_count();

// An acquired instance, released when the guard goes.
class pinned_instance {
public:
    explicit pinned_instance(void* handle) : m_instance(registry_acquire(handle)) {}
    ~pinned_instance()
    {
        if (m_instance)
            registry_release(m_instance);
    }
    pinned_instance(const pinned_instance&) = delete;
    pinned_instance& operator=(const pinned_instance&) = delete;
    kel_vout_base* get() const { return m_instance; }
    kel_vout_base* operator->() const { return m_instance; }
    explicit operator bool() const { return m_instance != nullptr; }

private:
    kel_vout_base* m_instance;
};

#endif
