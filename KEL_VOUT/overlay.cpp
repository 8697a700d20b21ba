// Overlays: the checks, the copies, the store and the quads. Platform-free.
#include "overlay.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "frame_plan.h"
#include "texture_fit.h"

namespace {

std::atomic<uint64_t> g_next_serial{1};
std::atomic<uint64_t> g_uploads{0};

}  // namespace

void count_overlay_upload()
{
    g_uploads.fetch_add(1, std::memory_order_relaxed);
}

uint64_t overlay_uploads_for_testing()
{
    return g_uploads.load(std::memory_order_relaxed);
}

overlay_check check_overlay(const overlay_spec& s)
{
    if (!s.bgra)
        return overlay_check::no_bitmap;
    if (s.width < 1 || s.width > kOverlayMaxSide || s.height < 1 || s.height > kOverlayMaxSide)
        return overlay_check::bad_size;
    if (s.stride < s.width * 4 || s.stride > kOverlayMaxStride)
        return overlay_check::bad_stride;
    if (s.w < 0 || s.h < 0)
        return overlay_check::bad_dest;
    if (s.coords != kOverlayPicture && s.coords != kOverlayWindow)
        return overlay_check::bad_coords;
    if (s.opacity < 0 || s.opacity > 255)
        return overlay_check::bad_opacity;
    return overlay_check::ok;
}

namespace {

bool empty_pixel(const uint8_t* p)
{
    return (p[0] | p[1] | p[2] | p[3]) == 0;
}

// Whether a row of `bytes` (a multiple of 4) is all zero, eight bytes at a time.
bool empty_row(const uint8_t* row, size_t bytes)
{
    uint64_t any = 0;
    size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        uint64_t w;
        std::memcpy(&w, row + i, 8);
        any |= w;
    }
    for (; i < bytes; ++i)
        any |= row[i];
    return any == 0;
}

// The smallest rectangle holding every pixel that is not all zero (a premultiplied pixel with
// colour but no alpha still adds light), grown by a pixel on each side within the bitmap; empty
// when there is none.
plan_rect content_of(const overlay_spec& s)
{
    int32_t x0 = s.width, x1 = -1, y0 = s.height, y1 = -1;
    for (int32_t y = 0; y < s.height; ++y) {
        const uint8_t* row = s.bgra + size_t(y) * size_t(s.stride);
        if (empty_row(row, size_t(s.width) * 4))
            continue;
        int32_t first = 0;
        while (empty_pixel(row + size_t(first) * 4))
            ++first;
        int32_t last = s.width - 1;
        while (empty_pixel(row + size_t(last) * 4))
            --last;
        x0 = std::min(x0, first);
        x1 = std::max(x1, last);
        y0 = std::min(y0, y);
        y1 = y;
    }
    if (x1 < 0)
        return plan_rect{0, 0, 0, 0};
    x0 = std::max(x0 - 1, 0);
    y0 = std::max(y0 - 1, 0);
    x1 = std::min(x1 + 1, s.width - 1);
    y1 = std::min(y1 + 1, s.height - 1);
    return plan_rect{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

}  // namespace

std::shared_ptr<const overlay_bitmap> copy_overlay_bitmap(const overlay_spec& s)
{
    auto b = std::make_shared<overlay_bitmap>();
    b->width = s.width;
    b->height = s.height;
    b->content = content_of(s);
    const plan_rect& c = b->content;
    const size_t row = size_t(c.width) * 4;
    b->bgra.reserve(row * size_t(c.height));  // filled row by row, never zeroed first
    for (int32_t y = 0; y < c.height; ++y) {
        const uint8_t* src = s.bgra + size_t(c.y + y) * size_t(s.stride) + size_t(c.x) * 4;
        b->bgra.insert(b->bgra.end(), src, src + row);
    }
    b->serial = g_next_serial.fetch_add(1, std::memory_order_relaxed);
    return b;
}

overlay_entry overlay_entry_of(const overlay_spec& s, std::shared_ptr<const overlay_bitmap> bitmap)
{
    overlay_entry e;
    e.bitmap = std::move(bitmap);
    e.coords = s.coords;
    e.x = s.x;
    e.y = s.y;
    e.w = s.w;
    e.h = s.h;
    e.opacity = s.opacity;
    return e;
}

size_t overlay_store::bytes() const
{
    size_t total = 0;
    for (const overlay_entry& e : m_entries)
        if (e.bitmap)
            total += e.bitmap->bytes();
    return total;
}

bool overlay_store::set(int id, overlay_entry entry)
{
    if (id < 0 || id >= kMaxOverlays)
        return false;
    const size_t old = m_entries[id].bitmap ? m_entries[id].bitmap->bytes() : 0;
    const size_t now = entry.bitmap ? entry.bitmap->bytes() : 0;
    if (bytes() - old + now > kOverlayBudgetBytes)
        return false;
    m_entries[id] = std::move(entry);
    ++m_version;
    return true;
}

void overlay_store::copy_to(overlay_entry (&out)[kMaxOverlays]) const
{
    for (int i = 0; i < kMaxOverlays; ++i)
        out[i] = m_entries[i];
}

void plan_overlays(frame_plan* plan, const overlay_entry (&overlays)[kMaxOverlays], const renderer_caps& caps,
                   bool host_picture)
{
    frame_plan& p = *plan;
    p.quad_count = 0;
    p.overlay_ids = 0;
    for (int id = 0; id < kMaxOverlays; ++id)
        if (overlays[id].bitmap)
            p.overlay_ids |= 1u << id;
    const plan_rect& t = p.target;
    if (t.width <= 0 || t.height <= 0)
        return;
    int32_t pw = 1, ph = 1;
    shown_size(p.transform, p.width, p.height, &pw, &ph);
    const double sx = double(t.width) / double(std::max(pw, 1));
    const double sy = double(t.height) / double(std::max(ph, 1));
    for (int id = 0; id < kMaxOverlays && p.quad_count < frame_plan::kMaxQuads; ++id) {
        const overlay_entry& e = overlays[id];
        if (!e.bitmap || e.opacity <= 0 || (e.coords == kOverlayPicture && !host_picture))
            continue;
        const overlay_bitmap& b = *e.bitmap;
        const plan_rect& c = b.content;
        if (c.width <= 0 || c.height <= 0)
            continue;
        int tw = c.width, th = c.height;
        texture_size_for(c.width, c.height, caps.power_of_two, &tw, &th);
        if ((caps.max_texture_width > 0 && tw > caps.max_texture_width) ||
            (caps.max_texture_height > 0 && th > caps.max_texture_height))
            continue;
        const double w = e.w > 0 ? e.w : b.width, h = e.h > 0 ? e.h : b.height;
        // The destination in target pixels, whole pixels (a picture's scaled to the nearest).
        double x0 = double(e.x), y0 = double(e.y), x1 = x0 + w, y1 = y0 + h;
        if (e.coords == kOverlayPicture) {
            x0 = std::floor(x0 * sx + 0.5);
            x1 = std::floor(x1 * sx + 0.5);
            y0 = std::floor(y0 * sy + 0.5);
            y1 = std::floor(y1 * sy + 0.5);
        }
        x0 += t.x;
        x1 += t.x;
        y0 += t.y;
        y1 += t.y;
        if (!(x1 > x0 && y1 > y0))
            continue;
        // Target pixels per bitmap pixel, and the content's place in whole target pixels (grown
        // to them: the content's transparent edge covers the rest).
        const double kx = (x1 - x0) / double(b.width), ky = (y1 - y0) / double(b.height);
        const double ox0 = std::floor(x0 + c.x * kx), ox1 = std::ceil(x0 + (c.x + c.width) * kx);
        const double oy0 = std::floor(y0 + c.y * ky), oy1 = std::ceil(y0 + (c.y + c.height) * ky);
        const double cx0 = std::max({ox0, x0, double(t.x)}), cx1 = std::min({ox1, x1, double(t.x) + t.width});
        const double cy0 = std::max({oy0, y0, double(t.y)}), cy1 = std::min({oy1, y1, double(t.y) + t.height});
        if (!(cx1 > cx0 && cy1 > cy0))
            continue;
        // Where the quad's edges fall in the content's texture: a target pixel X shows bitmap
        // pixel (X - x0) / kx, which is content texel that less c.x.
        const auto s_at = [&](double x) { return float(((x - x0) / kx - c.x) / tw); };
        const auto t_at = [&](double y) { return float(((y - y0) / ky - c.y) / th); };
        const float s0 = s_at(cx0), s1 = s_at(cx1), t0 = t_at(cy0), t1 = t_at(cy1);
        plan_quad& q = p.quads[p.quad_count++];
        q.target = plan_rect{int32_t(cx0), int32_t(cy0), int32_t(cx1 - cx0), int32_t(cy1 - cy0)};
        q.corners = plan_corners{{s0, s1, s0, s1}, {t0, t0, t1, t1}};
        q.texture = id;
        q.texture_width = tw;
        q.texture_height = th;
        q.opacity = float(e.opacity) / 255.0f;
        q.bitmap = &b;
    }
}
