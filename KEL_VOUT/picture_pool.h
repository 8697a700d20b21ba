// Picture_Pool: the ring of frame copies between the host's pushes (one writer thread) and the
// instance's render thread (one reader). Also the millisecond sleep, the clock and the frame
// counter of the render loops.
#ifndef KEL_VOUT_PICTURE_POOL_H
#define KEL_VOUT_PICTURE_POOL_H

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "frame_pack.h"
#include "frame_timing.h"
#include "picture_transform.h"

// One frame. In a pool slot `buf` is owned by the slot; in a caller's record it is the caller's.
typedef struct picture_t {
    uint8_t* buf;
    int32_t bufsize;  // bytes of the frame
    int32_t pix_width;
    int32_t pix_height;
    bool bDestroy;
    int32_t capacity;   // bytes `buf` holds (get_pool's records)
    frame_shape shape;  // how the bytes are laid out, and their colours
    int64_t pushed_us;  // clock_us() of the push
    picture_transform transform;  // how it is shown, as it was when the frame was pushed
    uint32_t transform_version;   // which of the instance's transforms that was
    int64_t pts_us = kPtsNone;    // when it is due on the instance's clock; kPtsNone: at once
} picture_t, PICTURE_T;

// A fixed ring of frames guarded by one slim lock (no kernel call unless contended). The writer never waits: when every slot holds a
// waiting frame, or the waiting frames would hold more than the byte limit, a push discards the
// oldest ones. The reader takes frames once each, in push
// order; when none is waiting it waits up to 40 ms for one, woken early by a push.
class Picture_Pool {
public:
    Picture_Pool();
    ~Picture_Pool();
    Picture_Pool(const Picture_Pool&) = delete;
    Picture_Pool& operator=(const Picture_Pool&) = delete;

    // maxCount slots; buffSze is the largest frame a slot takes (the reader's buffer size).
    bool init_pool(int maxCount, int buffSze);
    // Copies the frame into the ring. False (nothing queued) for a frame without bytes, one larger
    // than buffSze, a pool without slots, or a failed allocation.
    bool put_pool(PICTURE_T* picture);
    // Queues a frame of frame.bufsize bytes (size and shape from `frame`, its buf unused) that
    // fill() writes straight into the slot's buffer, outside the lock: one copy per push. False
    // (nothing queued) as put_pool, or when fill answers false. `reused`: the buffer held an
    // earlier frame (false: newly allocated).
    typedef bool (*fill_fn)(uint8_t* dst, size_t bytes, bool reused, void* context);
    bool put_pool_filled(const PICTURE_T& frame, fill_fn fill, void* context);
    // Takes the oldest waiting frame, waiting up to wait_ms (40 by default) when none waits, a
    // push or wake() ending the wait early. Without a copy: the picture's record takes the slot's
    // buffer and hands its own to the pool. picture->buf must be null or from alloc_frame, of
    // picture->capacity bytes; after a take it is the pool's kind again, freed with free_frame.
    // 0 when a frame was taken; 1 when not (picture left untouched).
    static const DWORD kWaitMs = 40;
    int get_pool(PICTURE_T* picture, DWORD wait_ms = kWaitMs);
    // Takes the waiting frame `choose` picks by the frames' pts (oldest first), letting go of
    // the ones it drops (their buffers kept as spares, counted in dropped()), as get_pool takes
    // the oldest, and frees stale spares as get_pool does. Waits up
    // to wait_ms when none waits, or when the choice is to take nothing yet and look again
    // later than kCoarseUs from now; a push or wake() makes it choose again at once. `choice`
    // tells what the last choice was (drops, late ones, when to look again). 0 when a frame was
    // taken; 1 when not.
    typedef schedule_choice (*choose_fn)(const int64_t* pts, int count, void* context);
    static const int64_t kCoarseUs = 17000;  // the most a timed wait of the system may overshoot
    int get_pool_chosen(PICTURE_T* picture, choose_fn choose, void* context, DWORD wait_ms,
                        schedule_choice* choice);
    // Waits until at most `frames` frames wait, timeout_ms pass or give_up() answers true,
    // handling messages sent to the calling thread meanwhile. True when reached.
    bool wait_for_room(int frames, DWORD timeout_ms, bool (*give_up)(void*), void* context);
    void free_pool();

    // The most bytes the waiting frames hold together; a larger single frame still waits, alone.
    static const int64_t kDefaultByteLimit = int64_t{256} << 20;

    // Frame buffers as the pool allocates them: aligned on 64 bytes, the processor's cache line,
    // so that streamed pushes write whole lines (a buffer 32 bytes off a line, as the 32-bit heap
    // hands out large blocks, took a tenth longer to fill).
    static const size_t kFrameAlignment = 64;
    static uint8_t* alloc_frame(size_t bytes);
    static void free_frame(uint8_t* buf);

    int waiting();  // frames waiting to be read (without taking the lock)
    uint64_t dropped();  // frames let go unread (full ring, byte bound, queue limit); lock-free
    // The most frames that may wait (1 .. the slots); the oldest beyond go at the next push.
    bool set_queue_limit(int frames);
    // Ends the reader's current wait at once (a stop or a snapshot request needs a pass now),
    // and the waits for room, which look again.
    void wake();

    // Test seam: the allocator of slot buffers (null restores malloc).
    static void set_allocator_for_testing(void* (*alloc)(size_t));

private:
    void init_lock();
    void destroy_lock();
    void lock();
    void unlock();
    void timedwait(DWORD duration);
    void publish();
    void wakeup();
    uint8_t* take_spare(int32_t bytes, int32_t* capacity);
    void give_back(uint8_t* buf, int32_t capacity);
    PICTURE_T take_oldest(int32_t* capacity);
    bool take_waiting(PICTURE_T* taken, DWORD wait_ms);

    // Buffers of frames already read or let go, kept for the next pushes so that playback
    // allocates nothing: kMaxSpare of them for good, and as many more as the ring has slots
    // (within the byte limit, which they share with the waiting frames) for kSpareKeepUs after
    // they came back, so that a host refilling the ring after a drain or a seek reuses the
    // buffers it had (a fresh 1080p buffer costs three copies of the frame under Wine, in page
    // faults).
    static const int kMaxSpare = 4;
    static const int64_t kSpareKeepUs = 1000000;
    static const int kMaxTrim = 8;  // extra spares one pass of the reader frees
    struct spare_t {
        uint8_t* buf;
        int32_t capacity;
        int64_t given_us;  // clock_us() when it came back
    };
    // Lock held: keeps buf as a spare, or answers the buffer that has to go instead (null when
    // none has to).
    uint8_t* keep_spare(uint8_t* buf, int32_t capacity, int64_t now_us);
    // Lock held: takes the extra spares unused for kSpareKeepUs (at most kMaxTrim) into `out`.
    int take_stale_spares(int64_t now_us, uint8_t* out[kMaxTrim]);

    SRWLOCK m_lock;
    CONDITION_VARIABLE m_frame_or_wake;  // signalled by a push or wake()
    bool m_ready;                        // init_pool succeeded and free_pool has not run
    bool m_wake_requested;               // wake() asked the reader to return now
    PICTURE_T* m_picture;  // slot array, m_max_index + 1 entries
    int32_t* m_capacity;   // allocated size of each slot's buffer
    int32_t m_buffSze;
    int32_t m_max_index;
    int32_t m_index;
    int32_t m_write_index;  // slot the next put fills
    int32_t m_read_index;   // slot the next get reads
    int32_t m_count;        // frames waiting, from m_read_index on
    int64_t m_waiting_bytes;  // bytes of the waiting frames
    int64_t m_byte_limit;
    int32_t m_queue_limit;  // frames that may wait, at most the slots
    uint64_t m_dropped;
    HANDLE m_taken;   // manual-reset: a frame left the queue, or wake()
    int64_t* m_pts;   // the waiting frames' pts for a choice, a slot each
    // Copies of m_count and m_dropped for readers that must not take the lock (statistics).
    std::atomic<int32_t> m_count_seen;
    std::atomic<uint64_t> m_dropped_seen;
    spare_t* m_spare;  // m_spare_slots entries, the newest last
    int m_spare_slots;
    int m_spare_count;
    int64_t m_spare_bytes;
};

// Microseconds of the performance counter (a steady clock, unaffected by the time of day).
int64_t clock_us();

// Suspends the calling thread for m_sec milliseconds, truncated to a whole number.
void _msleep(float m_sec);

// Counts a frame of a render loop in one-second windows (t0 < 0: none opened yet).
void freamrate_count(double& t0, int& frames);

#endif
