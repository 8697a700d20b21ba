// Helpers of the Windows tests: a backend that draws nothing, a thread count, and the end of
// the render threads.
#ifndef KEL_VOUT_TEST_SUPPORT_H
#define KEL_VOUT_TEST_SUPPORT_H

#include <windows.h>

#include "handle_registry.h"
#include "host_window.h"
#include "process_counts.h"
#include "kel_vout_base.h"

// A destroy answers before its render thread has released everything: waits (pumping) until
// every instance's render thread has let go of it, as it does within a pass or a device's
// release.
inline bool render_threads_end(DWORD ms = kPatienceMs)
{
    return HostWindow::pump_until([] { return kel_vout_base::running_render_threads() == 0; }, ms);
}

// Host windows are reused only once no destroyed instance is still tearing down (HostWindow's
// destructor).
inline const bool kHostWindowsWaitForTeardowns =
    (HostWindow::settled() = [] { return kel_vout_base::teardowns_in_flight() == 0; }, true);

// An instance whose render thread only reports that it runs and waits to be stopped. Frames
// stay in the pool for the test to read.
class test_vout final : public kel_vout_base {
public:
    // A running instance with a handle, as kel_vout_create makes them, or null.
    static test_vout* create(KEL_VOUT_CFG_T cfg, bool start_thread = true)
    {
        auto* t = new test_vout(start_thread);
        if (!t->start(&cfg)) {
            free_test_vout(t);
            return nullptr;
        }
        t->m_handle = registry_add(t, &free_test_vout);
        return t;
    }
    // As kel_vout_destroy does. This object goes with it: the handle is passed from a copy.
    void destroy()
    {
        KEL_VOUT_HANDLE h = m_handle;
        kel_vout_destroy(&h);
    }
    KEL_VOUT_HANDLE handle() const { return m_handle; }

    kel_vout_display_t& display() { return m_obj; }
    Picture_Pool& pool() { return *m_obj.picture_pool; }

protected:
    explicit test_vout(bool start_thread) : m_start_thread(start_thread) {}

    bool create_window() override
    {
        if (!m_start_thread)
            return true;
        m_obj.vot_pid = CreateThread(nullptr, 0, &thread_main, &m_obj, 0, nullptr);
        return m_obj.vot_pid != nullptr;
    }
    bool destroy_window() override { return release_kel_vout_display_t(&m_obj); }
    bool init_kel_vout_display_t(kel_vout_display_t* obj) override
    {
        init_locker(&obj->locker);
        init_locker(&obj->release_locker);
        obj->created = false;
        obj->lock = &kel_vout_base::lock;
        obj->unlock = &kel_vout_base::unlock;
        obj->picture_pool = new Picture_Pool();
        const int capacity = obj->source_format == VOUT_YUV420 ? 4147200 : 8294400;
        obj->picture_pool->init_pool(kQueueFrames, int(kMaxPackedFrameBytes));
        obj->picture.buf = Picture_Pool::alloc_frame(size_t(capacity));
        obj->picture.capacity = capacity;
        return true;
    }
    bool release_kel_vout_display_t(kel_vout_display_t* obj) override
    {
        obj->lock(&obj->release_locker);
        obj->done = true;
        if (obj->vot_pid) {
            WaitForSingleObject(obj->vot_pid, INFINITE);
            CloseHandle(obj->vot_pid);
            obj->vot_pid = nullptr;
        }
        delete obj->picture_pool;
        obj->picture_pool = nullptr;
        Picture_Pool::free_frame(obj->picture.buf);
        obj->picture.buf = nullptr;
        destroy_locker(&obj->locker);
        obj->unlock(&obj->release_locker);
        destroy_locker(&obj->release_locker);
        return true;
    }

private:
    static void free_test_vout(kel_vout_base* instance)
    {
        auto* t = static_cast<test_vout*>(instance);
        t->destroy_window();
        delete t;
    }

    static DWORD WINAPI thread_main(void* arg)
    {
        auto* obj = static_cast<kel_vout_display_t*>(arg);
        while (!obj->done) {
            obj->created = true;
            Sleep(1);
        }
        return 0;
    }

    bool m_start_thread;
    KEL_VOUT_HANDLE m_handle = nullptr;
};

#endif
