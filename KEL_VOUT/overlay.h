// overlay: bitmaps drawn over the video (subtitles, an on-screen display). The host's record is
// checked and its bitmap copied here; the instance keeps its overlays in an overlay_store, which
// the render thread copies when it changes; plan_overlays turns them into the frame plan's quads.
// Platform-free; the store does no locking of its own.
#ifndef KEL_VOUT_OVERLAY_H
#define KEL_VOUT_OVERLAY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "picture_transform.h"

struct frame_plan;
struct renderer_caps;

constexpr int kMaxOverlays = 16;
constexpr int32_t kOverlayMaxSide = 4096;
constexpr int32_t kOverlayMaxStride = 1 << 24;
constexpr size_t kOverlayBudgetBytes = size_t(64) << 20;  // an instance's bitmaps, all ids
constexpr int32_t kOverlayPicture = 0;  // x, y, w, h in the shown picture's pixels
constexpr int32_t kOverlayWindow = 1;   // in the child window's client pixels

// The public record's fields.
struct overlay_spec {
    int32_t width, height;  // the bitmap
    int32_t stride;         // bytes from one row to the next
    const uint8_t* bgra;    // premultiplied B, G, R, A, top row first
    int32_t coords;         // kOverlayPicture or kOverlayWindow
    int32_t x, y, w, h;     // destination; w or h 0: the bitmap's own size
    int32_t opacity;        // 0..255
};

enum class overlay_check {
    ok,
    no_bitmap,
    bad_size,     // width or height outside 1..kOverlayMaxSide
    bad_stride,   // below width * 4 or above kOverlayMaxStride
    bad_dest,     // a negative w or h
    bad_coords,   // neither kind
    bad_opacity,  // outside 0..255
};
overlay_check check_overlay(const overlay_spec& s);

// A bitmap as the instance keeps it: the host's width x height, of which only `content` is
// stored (what is not transparent, with a transparent pixel around it where the bitmap has one:
// a subtitle canvas is mostly empty, and nothing outside needs uploading or drawing), in rows of
// content.width * 4 bytes, premultiplied B, G, R, A. An empty content: nothing to draw. `serial`
// tells one bitmap from every other of the process (a renderer uploads a serial once).
struct overlay_bitmap {
    int32_t width = 0, height = 0;
    plan_rect content{};
    uint64_t serial = 0;
    std::vector<uint8_t> bgra;

    size_t bytes() const { return size_t(width) * size_t(height) * 4; }  // what the budget counts
};

// One id's overlay: the bitmap and where and how it is drawn.
struct overlay_entry {
    std::shared_ptr<const overlay_bitmap> bitmap;  // null: the id shows nothing
    int32_t coords = kOverlayWindow;
    int32_t x = 0, y = 0, w = 0, h = 0;
    int32_t opacity = 255;
};

// The checked record's bitmap, its content copied into tight rows, with the next serial of the
// process. Throws std::bad_alloc.
std::shared_ptr<const overlay_bitmap> copy_overlay_bitmap(const overlay_spec& s);
// The entry for a checked record and its copied bitmap.
overlay_entry overlay_entry_of(const overlay_spec& s, std::shared_ptr<const overlay_bitmap> bitmap);

// An instance's overlays by id.
class overlay_store {
public:
    // Replaces id's overlay (entry.bitmap may be null: removed). False, with nothing changed,
    // when the bitmaps would then exceed kOverlayBudgetBytes, or id is outside.
    bool set(int id, overlay_entry entry);
    // Changes with every set.
    uint32_t version() const { return m_version; }
    size_t bytes() const;
    const overlay_entry& operator[](int id) const { return m_entries[id]; }
    void copy_to(overlay_entry (&out)[kMaxOverlays]) const;

private:
    overlay_entry m_entries[kMaxOverlays];
    uint32_t m_version = 0;
};

// Adds the overlays, in id order, to `plan` as quads over its target: PICTURE ones mapped from
// the shown picture (the plan's crop, turned as its transform says) onto the target, WINDOW ones
// at their own pixels. Each quad is the part inside the target, its texture coordinates those of
// that part of the bitmap in a texture of the renderer's size for it (powers of two where it
// needs them). Overlays that show nothing (clipped away, opacity 0) and bitmaps beyond the
// renderer's largest texture are left out, and PICTURE ones while the plan's picture is not one
// of the host's (the black picture before the first frame, whose pixels mean nothing to it).
void plan_overlays(frame_plan* plan, const overlay_entry (&overlays)[kMaxOverlays], const renderer_caps& caps,
                   bool host_picture = true);

// Renderers count each overlay upload here: a test seam (an unchanged overlay is never uploaded
// again). Any thread.
void count_overlay_upload();
uint64_t overlay_uploads_for_testing();

#endif
