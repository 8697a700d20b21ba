// Picture_Pool: the ring of frame copies between the host's pushes (one writer thread) and the
// instance's render thread (one reader). Also the millisecond sleep, the clock and the frame
// counter of the render loops.
#ifndef KEL_VOUT_PICTURE_POOL_H
#define KEL_VOUT_PICTURE_POOL_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

// One frame. In a pool slot `buf` is owned by the slot; in a caller's record it is the caller's.
typedef struct picture_t {
    uint8_t* buf;
    int32_t bufsize;
    int32_t pix_width;
    int32_t pix_height;
    bool bDestroy;
} picture_t, PICTURE_T;

// A fixed ring of frames guarded by one mutex. The writer never waits: when every slot holds a
// waiting frame, a push discards the oldest one. The reader takes frames once each, in push
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
    // Takes the oldest waiting frame into picture->buf (which holds buffSze bytes), waiting up to
    // 40 ms when none waits. 0 when a frame was taken; 1 when not (picture left untouched).
    int get_pool(PICTURE_T* picture);
    void free_pool();

    int waiting();  // frames waiting to be read
    // Ends the reader's current wait at once (a stop or a snapshot request needs a pass now).
    void wake();

    // Test seam: the allocator of slot buffers (null restores malloc).
    static void set_allocator_for_testing(void* (*alloc)(size_t));

private:
    void init_lock();
    void destroy_lock();
    void lock();
    void unlock();
    DWORD timedwait(int duration);
    void wakeup();
    uint8_t* take_spare(int32_t bytes, int32_t* capacity);
    void give_back(uint8_t* buf, int32_t capacity);

    // Buffers of frames already read, kept for the next pushes so that steady playback
    // allocates nothing. At most kMaxSpare, each with its capacity.
    static const int kMaxSpare = 4;
    struct spare_t {
        uint8_t* buf;
        int32_t capacity;
    };

    HANDLE m_locker;
    HANDLE m_event;
    bool m_is_event_reset;
    PICTURE_T* m_picture;  // slot array, m_max_index + 1 entries
    int32_t* m_capacity;   // allocated size of each slot's buffer
    int32_t m_buffSze;
    int32_t m_max_index;
    int32_t m_index;
    int32_t m_write_index;  // slot the next put fills
    int32_t m_read_index;   // slot the next get reads
    int32_t m_count;        // frames waiting, from m_read_index on
    spare_t m_spare[kMaxSpare];
    int m_spare_count;
};

// Suspends the calling thread for m_sec milliseconds, truncated to a whole number.
void _msleep(float m_sec);

// Counts a frame of a render loop in one-second windows (t0 < 0: none opened yet).
void freamrate_count(double& t0, int& frames);

#endif
