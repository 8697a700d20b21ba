// kel_vout_base: instance base, frame pushes and factory. Runs on the host's thread; the
// render thread shares m_obj.
#include "kel_vout_base.h"

#include <cstdarg>
#include <cstdlib>
#include <new>

#include "msg_wait.h"
#include "plane_pack.h"

void kel_vout_logInfo(const char* format, ...)
{
    (void)format;
}

kel_vout_abstract::kel_vout_abstract() = default;

kel_vout_abstract::~kel_vout_abstract()
{
    kel_vout_logInfo("~kel_vout_abstract");
}

kel_vout_base::kel_vout_base() : m_picture{}
{
    m_picture.pix_width = 1;
    m_picture.pix_height = 1;
    kel_vout_logInfo("m_pictur=%p", static_cast<void*>(m_picture.buf), m_picture.bufsize, m_picture.pix_width,
                     m_picture.pix_height);
}

kel_vout_base::~kel_vout_base()
{
    kel_vout_logInfo("~kel_vout_base");
    delete[] m_picture.buf;
    m_picture.buf = nullptr;
}

kel_vout_base* kel_vout_base::create_instance(KEL_VOUT_CFG_T* cfg)
{
    if (!cfg)
        return nullptr;
    switch (cfg->vout_mode) {
    default:
        // No backend is built for this mode.
        return nullptr;
    }
}

bool kel_vout_base::destroy_instance(kel_vout_base* instance)
{
    if (!instance)
        return false;
    switch (instance->m_obj.vout_mode) {
    default:
        return false;
    }
}

bool kel_vout_base::start(const KEL_VOUT_CFG_T* cfg)
{
    m_picture = PICTURE_T{};
    const int64_t capacity = staging_capacity(cfg->source_format);
    m_picture.buf = new (std::nothrow) uint8_t[size_t(capacity)];
    if (!m_picture.buf)
        return false;

    m_obj.source_format = cfg->source_format;
    if (!init_kel_vout_display_t(&m_obj))
        return false;
    m_obj.vout_mode = cfg->vout_mode;
    m_obj.cfg.display_mode = cfg->display_mode;
    m_obj.place = cfg->place;
    m_obj.window_xid = cfg->windowId;
    m_obj.source_format = cfg->source_format;

    if (!create_window())
        return false;
    // The render thread sets `created` once its window exists and its loop runs.
    for (int i = 70; i > 0 && !m_obj.created; --i)
        wait_handling_sent_messages(nullptr, 10);
    return m_obj.created;
}

bool kel_vout_base::kel_vout_set_display_mode(DISPLAY_MODE display_mode)
{
    if (display_mode == m_obj.cfg.display_mode)
        return true;
    m_obj.lock(&m_obj.locker);
    m_obj.cfg.display_mode = display_mode;
    m_obj.cfg.is_ch_display_size = true;
    m_obj.unlock(&m_obj.locker);
    return true;
}

DISPLAY_MODE kel_vout_base::kel_vout_get_display_mode()
{
    m_obj.lock(&m_obj.locker);
    const DISPLAY_MODE mode = m_obj.cfg.display_mode;
    m_obj.unlock(&m_obj.locker);
    return mode;
}

bool kel_vout_base::kel_put_pool(const uint8_t* buf, int bufsize, int pix_width, int pix_height)
{
    if (m_obj.done || !m_obj.picture_pool)
        return false;
    if (check_packed_push(buf, bufsize, pix_width, pix_height, m_obj.source_format) != push_check::ok)
        return false;
    m_picture.bufsize = bufsize;
    m_picture.pix_width = pix_width;
    m_picture.pix_height = pix_height;
    // A packed frame needs no rearranging: the pool copies it straight from the host's buffer.
    PICTURE_T frame = m_picture;
    frame.buf = const_cast<uint8_t*>(buf);
    return m_obj.picture_pool->put_pool(&frame);
}

bool kel_vout_base::kel_put_pool_yuv(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int linesize,
                                     int pix_width, int pix_height)
{
    if (m_obj.done || !m_obj.picture_pool)
        return false;
    if (check_yuv_push(ybuf, ubuf, vbuf, linesize, pix_width, pix_height, m_obj.source_format) != push_check::ok)
        return false;
    const int64_t bytes = pack_yuv420(m_picture.buf, size_t(staging_capacity(m_obj.source_format)), ybuf, ubuf,
                                      vbuf, linesize, pix_width, pix_height);
    if (bytes < 0)
        return false;
    m_picture.bufsize = int32_t(bytes);
    m_picture.pix_width = pix_width;
    m_picture.pix_height = pix_height;
    return m_obj.picture_pool->put_pool(&m_picture);
}

void kel_vout_base::lock(vout_lock_t* lock)
{
    if (lock)
        WaitForSingleObject(lock->mutex, INFINITE);
}

void kel_vout_base::unlock(vout_lock_t* lock)
{
    if (lock)
        ReleaseMutex(lock->mutex);
}

void kel_vout_base::init_locker(vout_lock_t* lock)
{
    lock->mutex = CreateMutexA(nullptr, FALSE, nullptr);
}

void kel_vout_base::destroy_locker(vout_lock_t* lock)
{
    CloseHandle(lock->mutex);
}
