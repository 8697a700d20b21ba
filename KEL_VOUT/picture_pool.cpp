// Picture_Pool, the millisecond sleep and the render loops' clock and frame counter.
// put_pool runs on the host's thread, get_pool on the render thread.
#include "picture_pool.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "frame_counter.h"
#include "msg_wait.h"
#include "stream_copy.h"

namespace {
void* (*g_alloc)(size_t) = nullptr;

bool copy_frame(uint8_t* dst, size_t bytes, bool reused, void* context)
{
    frame_writer(bytes, reused).copy(dst, static_cast<const uint8_t*>(context), bytes);
    return true;
}
}  // namespace

// The block as allocated sits in the pointer-sized word just before the aligned buffer.
uint8_t* Picture_Pool::alloc_frame(size_t bytes)
{
    const size_t extra = kFrameAlignment + sizeof(void*);
    if (bytes > SIZE_MAX - extra)
        return nullptr;
    void* block = g_alloc ? g_alloc(bytes + extra) : std::malloc(bytes + extra);
    if (!block)
        return nullptr;
    const uintptr_t at = (reinterpret_cast<uintptr_t>(block) + extra) & ~uintptr_t(kFrameAlignment - 1);
    uint8_t* buf = reinterpret_cast<uint8_t*>(at);
    std::memcpy(buf - sizeof(void*), &block, sizeof(void*));
    return buf;
}

void Picture_Pool::free_frame(uint8_t* buf)
{
    if (!buf)
        return;
    void* block;
    std::memcpy(&block, buf - sizeof(void*), sizeof(void*));
    std::free(block);
}

void Picture_Pool::set_allocator_for_testing(void* (*alloc)(size_t))
{
    g_alloc = alloc;
}

Picture_Pool::Picture_Pool()
    : m_lock(SRWLOCK_INIT), m_frame_or_wake(CONDITION_VARIABLE_INIT), m_ready(false), m_wake_requested(false),
      m_picture(nullptr), m_capacity(nullptr), m_buffSze(0),
      m_max_index(-1), m_index(0), m_write_index(0), m_read_index(0), m_count(0), m_waiting_bytes(0),
      m_byte_limit(kDefaultByteLimit), m_queue_limit(0), m_dropped(0),
      m_taken(nullptr), m_pts(nullptr), m_count_seen(0), m_dropped_seen(0), m_spare(nullptr), m_spare_slots(0),
      m_spare_count(0), m_spare_bytes(0)
{
}

Picture_Pool::~Picture_Pool()
{
    free_pool();
    if (m_taken)
        CloseHandle(m_taken);
}

bool Picture_Pool::init_pool(int maxCount, int buffSze)
{
    if (maxCount <= 0 || maxCount > INT32_MAX - kMaxSpare || buffSze <= 0)
        return false;
    init_lock();
    m_picture = static_cast<PICTURE_T*>(std::calloc(size_t(maxCount), sizeof(PICTURE_T)));
    m_capacity = static_cast<int32_t*>(std::calloc(size_t(maxCount), sizeof(int32_t)));
    m_spare = static_cast<spare_t*>(std::calloc(size_t(maxCount) + kMaxSpare, sizeof(spare_t)));
    m_pts = static_cast<int64_t*>(std::calloc(size_t(maxCount), sizeof(int64_t)));
    if (!m_taken)
        m_taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_picture || !m_capacity || !m_spare || !m_pts || !m_taken) {
        std::free(m_picture);
        std::free(m_capacity);
        std::free(m_spare);
        std::free(m_pts);
        m_picture = nullptr;
        m_capacity = nullptr;
        m_spare = nullptr;
        m_pts = nullptr;
        return false;
    }
    m_spare_slots = maxCount + kMaxSpare;
    m_spare_count = 0;
    m_spare_bytes = 0;
    m_buffSze = buffSze;
    m_index = maxCount - 1;
    m_write_index = m_read_index = m_count = 0;
    m_max_index = maxCount - 1;
    m_queue_limit = maxCount;
    return true;
}

bool Picture_Pool::put_pool(PICTURE_T* picture)
{
    if (!picture || !picture->buf)
        return false;
    return put_pool_filled(*picture, &copy_frame, picture->buf);
}

bool Picture_Pool::put_pool_filled(const PICTURE_T& frame, fill_fn fill, void* context)
{
    if (!fill || frame.bufsize <= 0 || frame.bufsize > m_buffSze)
        return false;
    // Filled outside the lock so that the render thread never waits for a frame copy.
    int32_t capacity = frame.bufsize;
    uint8_t* copy = take_spare(frame.bufsize, &capacity);
    const bool reused = copy != nullptr;
    if (!copy)
        copy = alloc_frame(size_t(frame.bufsize));
    if (!copy)
        return false;
    if (!fill(copy, size_t(frame.bufsize), reused, context)) {
        give_back(copy, capacity);
        return false;
    }

    lock();
    if (!m_picture) {
        unlock();
        free_frame(copy);
        return false;
    }
    const int32_t slots = m_max_index + 1;
    // Full, or too many bytes waiting: the oldest waiting frames make room, their buffers kept
    // as spares. What the spares cannot take is freed after the lock (beyond kMaxTrim buffers in
    // one push, under it), so that the render thread seldom waits for a free.
    int64_t now_us = -1;  // read once, when a frame is let go
    uint8_t* unkept[kMaxTrim];
    int unkept_count = 0;
    while (m_count >= std::min(slots, m_queue_limit) ||
           (m_count > 0 && m_waiting_bytes + frame.bufsize > m_byte_limit)) {
        ++m_dropped;
        int32_t capacity_of = 0;
        const PICTURE_T oldest = take_oldest(&capacity_of);
        if (now_us < 0)
            now_us = clock_us();
        if (uint8_t* gone = keep_spare(oldest.buf, capacity_of, now_us)) {
            if (unkept_count < kMaxTrim)
                unkept[unkept_count++] = gone;
            else
                free_frame(gone);
        }
    }
    PICTURE_T& slot = m_picture[m_write_index];
    m_capacity[m_write_index] = capacity;
    slot = frame;
    slot.buf = copy;
    slot.capacity = capacity;
    m_write_index = (m_write_index + 1) % slots;
    ++m_count;
    m_waiting_bytes += frame.bufsize;
    wakeup();
    unlock();
    for (int i = 0; i < unkept_count; ++i)
        free_frame(unkept[i]);
    return true;
}

// Entered with the lock held and a frame waiting.
PICTURE_T Picture_Pool::take_oldest(int32_t* capacity)
{
    PICTURE_T taken = m_picture[m_read_index];
    *capacity = m_capacity[m_read_index];
    m_picture[m_read_index].buf = nullptr;
    m_read_index = (m_read_index + 1) % (m_max_index + 1);
    --m_count;
    m_waiting_bytes -= taken.bufsize;
    publish();
    SetEvent(m_taken);
    return taken;
}

// The oldest waiting frame, its capacity in taken->capacity, after waiting up to 40 ms when
// none waits. False when none came (or the pool is gone).
bool Picture_Pool::take_waiting(PICTURE_T* taken, DWORD wait_ms)
{
    uint8_t* stale[kMaxTrim];
    lock();
    if (m_picture && m_count == 0)
        timedwait(wait_ms);
    // Only buffers beyond the kMaxSpare kept for good can be stale.
    const int stale_count = m_picture && m_spare_count > kMaxSpare ? take_stale_spares(clock_us(), stale) : 0;
    const bool got = m_picture && m_count > 0;
    if (got) {
        int32_t capacity = 0;
        *taken = take_oldest(&capacity);
        taken->capacity = capacity;
    }
    unlock();
    for (int i = 0; i < stale_count; ++i)
        free_frame(stale[i]);
    return got;
}

int Picture_Pool::get_pool(PICTURE_T* picture, DWORD wait_ms)
{
    PICTURE_T taken{};
    if (!picture || !take_waiting(&taken, wait_ms))
        return 1;
    if (picture->buf)
        give_back(picture->buf, picture->capacity);
    *picture = taken;
    return 0;
}

int Picture_Pool::get_pool_chosen(PICTURE_T* picture, choose_fn choose, void* context, DWORD wait_ms,
                                  schedule_choice* choice)
{
    *choice = schedule_choice{};
    if (!picture || !choose)
        return 1;
    uint8_t* unkept[kMaxTrim];
    int unkept_count = 0;
    PICTURE_T taken{};
    bool got = false;
    const DWORD start = GetTickCount();
    uint8_t* stale[kMaxTrim];
    lock();
    // Only buffers beyond the kMaxSpare kept for good can be stale.
    const int stale_count = m_picture && m_spare_count > kMaxSpare ? take_stale_spares(clock_us(), stale) : 0;
    for (;;) {
        if (!m_picture)
            break;
        const DWORD elapsed = GetTickCount() - start;
        const DWORD left = elapsed < wait_ms ? wait_ms - elapsed : 0;
        if (m_count == 0) {
            // As timedwait, but a wake() stays noted for the rest of this call.
            const DWORD begun = GetTickCount();
            while (m_count == 0 && !m_wake_requested) {
                const DWORD spent = GetTickCount() - begun;
                if (spent >= left)
                    break;
                SleepConditionVariableSRW(&m_frame_or_wake, &m_lock, left - spent, 0);
            }
            if (m_count == 0)
                break;
        }
        const int slots = m_max_index + 1;
        for (int i = 0; i < m_count; ++i)
            m_pts[i] = m_picture[(m_read_index + i) % slots].pts_us;
        const schedule_choice c = choose(m_pts, m_count, context);
        choice->drop += c.drop;
        choice->late += c.late;
        choice->take = c.take;
        choice->show_at = c.show_at;
        choice->due = c.due;
        choice->look_again = c.look_again;
        const int64_t now_us = c.drop > 0 ? clock_us() : 0;
        // Let go of as the ring lets go of frames: counted with them, as the count falls.
        for (int i = 0; i < c.drop && m_count > 0; ++i) {
            ++m_dropped;
            int32_t capacity_of = 0;
            const PICTURE_T gone = take_oldest(&capacity_of);
            if (uint8_t* unkeepable = keep_spare(gone.buf, capacity_of, now_us)) {
                if (unkept_count < kMaxTrim)
                    unkept[unkept_count++] = unkeepable;
                else
                    free_frame(unkeepable);
            }
        }
        if (c.take && m_count > 0) {
            int32_t capacity = 0;
            taken = take_oldest(&capacity);
            taken.capacity = capacity;
            got = true;
            break;
        }
        if (c.drop > 0 && m_count > 0)
            continue;  // what is left may be due already
        // Nothing to take yet: sleep until the choice may change, but no closer to it than the
        // system's timer can be trusted (the caller waits the rest precisely).
        if (left == 0 || m_wake_requested)
            break;
        DWORD nap = left;  // nothing due before a push or a new clock: the whole wait
        if (c.look_again != kNever) {
            const int64_t until = c.look_again - clock_us() - kCoarseUs;
            if (until <= 0)
                break;
            nap = DWORD(std::min<int64_t>(left, (until + 999) / 1000));
        }
        SleepConditionVariableSRW(&m_frame_or_wake, &m_lock, nap, 0);
    }
    m_wake_requested = false;
    publish();
    unlock();
    for (int i = 0; i < unkept_count; ++i)
        free_frame(unkept[i]);
    for (int i = 0; i < stale_count; ++i)
        free_frame(stale[i]);
    if (!got)
        return 1;
    if (picture->buf)
        give_back(picture->buf, picture->capacity);
    *picture = taken;
    return 0;
}

bool Picture_Pool::wait_for_room(int frames, DWORD timeout_ms, bool (*give_up)(void*), void* context)
{
    if (!m_taken)
        return false;
    const int64_t deadline = clock_us() + int64_t(timeout_ms) * 1000;
    for (;;) {
        if (give_up && give_up(context))
            return false;
        ResetEvent(m_taken);  // before the count: a take after it sets it again
        if (waiting() <= frames)
            return true;
        const int64_t left = deadline - clock_us();
        if (left <= 0)
            return false;
        // Another waiter may reset the event just set: each wait is a few ms at most.
        wait_handling_sent_messages(m_taken, DWORD(std::min<int64_t>((left + 999) / 1000, 10)));
    }
}

// The buffer given back last that fits: the one most likely still in the processor's cache.
uint8_t* Picture_Pool::take_spare(int32_t bytes, int32_t* capacity)
{
    uint8_t* buf = nullptr;
    lock();
    for (int i = m_spare_count - 1; i >= 0; --i) {
        if (m_spare[i].capacity >= bytes) {
            buf = m_spare[i].buf;
            *capacity = m_spare[i].capacity;
            m_spare_bytes -= m_spare[i].capacity;
            for (int j = i + 1; j < m_spare_count; ++j)
                m_spare[j - 1] = m_spare[j];
            --m_spare_count;
            break;
        }
    }
    unlock();
    return buf;
}

void Picture_Pool::give_back(uint8_t* buf, int32_t capacity)
{
    lock();
    if (m_picture)
        buf = keep_spare(buf, capacity, clock_us());
    unlock();
    free_frame(buf);
}

// When the spares are full (all their slots, or beyond kMaxSpare the byte limit, which the
// waiting frames and the spares share), the smallest goes, unless the buffer given back is
// smaller still: frames of varying sizes settle on buffers that fit all.
uint8_t* Picture_Pool::keep_spare(uint8_t* buf, int32_t capacity, int64_t now_us)
{
    uint8_t* gone = nullptr;
    const bool full = m_spare_count == m_spare_slots ||
                      (m_spare_count >= kMaxSpare && m_waiting_bytes + m_spare_bytes + capacity > m_byte_limit);
    if (full) {
        int smallest = 0;
        for (int i = 1; i < m_spare_count; ++i)
            if (m_spare[i].capacity < m_spare[smallest].capacity)
                smallest = i;
        if (m_spare_count == 0 || m_spare[smallest].capacity > capacity)
            return buf;
        gone = m_spare[smallest].buf;
        m_spare_bytes -= m_spare[smallest].capacity;
        for (int j = smallest + 1; j < m_spare_count; ++j)
            m_spare[j - 1] = m_spare[j];
        --m_spare_count;
    }
    m_spare[m_spare_count++] = spare_t{buf, capacity, now_us};
    m_spare_bytes += capacity;
    return gone;
}

int Picture_Pool::take_stale_spares(int64_t now_us, uint8_t* out[kMaxTrim])
{
    int n = 0;
    while (n < kMaxTrim && m_spare_count - n > kMaxSpare && now_us - m_spare[n].given_us >= kSpareKeepUs) {
        out[n] = m_spare[n].buf;
        m_spare_bytes -= m_spare[n].capacity;
        ++n;
    }
    if (n > 0) {
        for (int j = n; j < m_spare_count; ++j)
            m_spare[j - n] = m_spare[j];
        m_spare_count -= n;
    }
    return n;
}

void Picture_Pool::wake()
{
    if (!m_ready)
        return;
    lock();
    m_wake_requested = true;
    WakeAllConditionVariable(&m_frame_or_wake);
    unlock();
    if (m_taken)
        SetEvent(m_taken);
}

uint64_t Picture_Pool::dropped()
{
    return m_dropped_seen.load(std::memory_order_relaxed);
}

bool Picture_Pool::set_queue_limit(int frames)
{
    if (!m_ready || frames < 1)
        return false;
    lock();
    const bool ok = frames <= m_max_index + 1;
    if (ok)
        m_queue_limit = frames;
    unlock();
    return ok;
}

int Picture_Pool::waiting()
{
    return m_count_seen.load(std::memory_order_relaxed);
}

// Lock held: the counts for lock-free readers.
void Picture_Pool::publish()
{
    m_count_seen.store(m_count, std::memory_order_relaxed);
    m_dropped_seen.store(m_dropped, std::memory_order_relaxed);
}

void Picture_Pool::free_pool()
{
    if (m_ready) {
        lock();
        if (m_picture) {
            for (int32_t i = 0; i <= m_max_index; ++i) {
                free_frame(m_picture[i].buf);
                m_picture[i].buf = nullptr;
            }
        }
        std::free(m_picture);
        std::free(m_capacity);
        std::free(m_pts);
        m_picture = nullptr;
        m_capacity = nullptr;
        m_pts = nullptr;
        m_count = 0;
        m_waiting_bytes = 0;
        publish();
        for (int i = 0; i < m_spare_count; ++i)
            free_frame(m_spare[i].buf);
        std::free(m_spare);
        m_spare = nullptr;
        m_spare_slots = 0;
        m_spare_count = 0;
        m_spare_bytes = 0;
        unlock();
    }
    destroy_lock();
}

void Picture_Pool::init_lock()
{
    m_ready = true;
}

void Picture_Pool::destroy_lock()
{
    m_ready = false;
}

void Picture_Pool::lock()
{
    AcquireSRWLockExclusive(&m_lock);
}

void Picture_Pool::unlock()
{
    ReleaseSRWLockExclusive(&m_lock);
}

// Entered with the lock held: waits up to `duration` ms for a frame or a wake(), the lock
// released meanwhile. A push or wake() between the caller's check and this wait is not lost:
// both change what is checked here under the same lock.
void Picture_Pool::timedwait(DWORD duration)
{
    const DWORD start = GetTickCount();
    while (m_count == 0 && !m_wake_requested) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= duration)
            break;
        SleepConditionVariableSRW(&m_frame_or_wake, &m_lock, duration - elapsed, 0);
    }
    m_wake_requested = false;
}

// Lock held: a frame is waiting.
void Picture_Pool::wakeup()
{
    publish();
    WakeConditionVariable(&m_frame_or_wake);
}

void _msleep(float m_sec)
{
    Sleep(m_sec > 0 ? DWORD(m_sec) : 0);
}

namespace {
double current_time_s()
{
    return double(clock_us()) / 1000000.0;
}
}  // namespace

void freamrate_count(double& t0, int& frames)
{
    freamrate_step(current_time_s(), t0, frames);
}

int64_t clock_us()
{
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return int64_t(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return int64_t(c.QuadPart / frequency * 1000000 + c.QuadPart % frequency * 1000000 / frequency);
}
