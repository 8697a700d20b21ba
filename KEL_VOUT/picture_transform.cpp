// The picture transform's checks and geometry. Platform-free.
#include "picture_transform.h"

#include <algorithm>

namespace {

bool ratio_ok(int32_t num, int32_t den)
{
    if (num < 0 || den < 0 || num > kMaxRatioTerm || den > kMaxRatioTerm)
        return false;
    return num == 0 || den > 0;  // 0/0 and 0/n: unset (n/0 has no value)
}

bool quarter_turned(const picture_transform& t)
{
    return t.rotation == 90 || t.rotation == 270;
}

uint64_t gcd(uint64_t a, uint64_t b)
{
    while (b) {
        const uint64_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

}  // namespace

transform_check check_transform(const picture_transform& t)
{
    if (t.rotation != 0 && t.rotation != 90 && t.rotation != 180 && t.rotation != 270)
        return transform_check::bad_rotation;
    if (t.flip & ~(kFlipH | kFlipV))
        return transform_check::bad_flip;
    if (!ratio_ok(t.sar_num, t.sar_den) || !ratio_ok(t.dar_num, t.dar_den))
        return transform_check::bad_ratio;
    if (t.crop_x < 0 || t.crop_y < 0 || t.crop_width < 0 || t.crop_height < 0)
        return transform_check::bad_crop;
    return transform_check::ok;
}

plan_rect crop_of(const picture_transform& t, int32_t w, int32_t h)
{
    const plan_rect whole{0, 0, w, h};
    const int64_t x0 = t.crop_x, y0 = t.crop_y;
    const int64_t x1 = std::min<int64_t>(w, x0 + t.crop_width), y1 = std::min<int64_t>(h, y0 + t.crop_height);
    if (x1 <= x0 || y1 <= y0)
        return whole;  // all zero, or nothing of the crop inside the frame
    return plan_rect{int32_t(x0), int32_t(y0), int32_t(x1 - x0), int32_t(y1 - y0)};
}

void shown_aspect(const picture_transform& t, int32_t w, int32_t h, uint32_t* num, uint32_t* den)
{
    uint64_t n, d;
    if (t.dar_num > 0) {
        n = uint64_t(t.dar_num);
        d = uint64_t(t.dar_den);
    } else {
        const plan_rect c = crop_of(t, w, h);
        const bool square = t.sar_num <= 0 || t.sar_den <= 0;
        n = uint64_t(c.width) * (square ? 1u : uint64_t(t.sar_num));
        d = uint64_t(c.height) * (square ? 1u : uint64_t(t.sar_den));
        if (quarter_turned(t))
            std::swap(n, d);
    }
    const uint64_t g = n && d ? gcd(n, d) : 1;
    n /= g;
    d /= g;
    // The older pushes allow frames far wider than 4096: terms beyond 32 bits are halved
    // together (the proportions stay within one part in the smaller term), and proportions beyond
    // what 32-bit terms can say are held at their limit.
    if (n > UINT32_MAX || d > UINT32_MAX) {
        const double ratio = double(n) / double(d);
        if (ratio >= double(UINT32_MAX)) {
            n = UINT32_MAX;
            d = 1;
        } else if (ratio <= 1.0 / double(UINT32_MAX)) {
            n = 1;
            d = UINT32_MAX;
        }
        while (n > UINT32_MAX || d > UINT32_MAX) {
            n = (n + 1) / 2;
            d = (d + 1) / 2;
        }
    }
    *num = uint32_t(n);
    *den = uint32_t(d);
}

void shown_size(const picture_transform& t, int32_t w, int32_t h, int32_t* width, int32_t* height)
{
    const plan_rect c = crop_of(t, w, h);
    *width = quarter_turned(t) ? c.height : c.width;
    *height = quarter_turned(t) ? c.width : c.height;
}

// The shown picture is rotation(flip(frame)). A flip left-right shows the top-right corner
// top-left; a quarter turn clockwise shows the bottom-left corner top-left. Corner k of the result
// shows corner by_rotation[k] of the flipped frame, which shows corner by_flip[that] of the frame.
void corner_sources(const picture_transform& t, int source[4])
{
    static const int by_rotation[4][4] = {
        {0, 1, 2, 3},  // 0
        {2, 0, 3, 1},  // 90
        {3, 2, 1, 0},  // 180
        {1, 3, 0, 2},  // 270
    };
    static const int by_flip[4][4] = {
        {0, 1, 2, 3},  // none
        {1, 0, 3, 2},  // left-right
        {2, 3, 0, 1},  // upside down
        {3, 2, 1, 0},  // both
    };
    const int r = (t.rotation / 90) & 3, f = t.flip & (kFlipH | kFlipV);
    for (int k = 0; k < 4; ++k)
        source[k] = by_flip[f][by_rotation[r][k]];
}
