// Aspect placement arithmetic. Platform-free.
#include "display_placement.h"

#include <cmath>
#include <cstdint>

namespace {
// Products are taken in double (exact for sides below 2^29), truncated to 64 bits, low 32 kept.
// A product that is not a number or beyond 64 bits (only a degenerate ratio gives one) is 0.
uint32_t truncate_product(int side, float factor)
{
    const double product = double(side) * double(factor);
    if (!(std::fabs(product) < 9.2e18))
        return 0;
    return uint32_t(int64_t(product));
}
}  // namespace

void set_display_ratio(vout_display_place_t* place, int W, int H, float ratio)
{
    const float inv = ratio != 0.0f ? 1.0f / ratio : 0.0f;
    const double fitted_width = double(H) * double(ratio);

    if (double(W) > fitted_width) {
        // Wider than the picture: a pillarbox of the area's full height, centred. (The smaller
        // side as that height, which suits only landscape areas, would shrink a portrait picture
        // in a tall area and push it off-centre.)
        place->width = truncate_product(H, ratio);
        place->height = uint32_t(H);
        place->x = int32_t(uint32_t(W / 2) - (place->width >> 1));
        place->y = 0;
    } else if (double(W) == fitted_width) {
        place->x = 0;
        place->y = 0;
        place->width = uint32_t(W);
        place->height = uint32_t(H);
    } else {
        // Narrower than the picture (or a ratio that is not a number): a letterbox of the area's
        // full width, centred.
        place->width = uint32_t(W);
        place->height = truncate_product(W, inv);
        place->x = 0;
        place->y = int32_t(uint32_t(H / 2) - (place->height >> 1));
    }
}

vout_display_place_t fit_display_rect(int display_mode, int W, int H, unsigned pix_width, unsigned pix_height)
{
    vout_display_place_t place{};
    switch (display_mode) {
    case VOUT_4_3:
        set_display_ratio(&place, W, H, 4.0f / 3.0f);
        break;
    case VOUT_16_9:
        set_display_ratio(&place, W, H, 16.0f / 9.0f);
        break;
    case VOUT_PREFERRED:
        set_display_ratio(&place, W, H, pix_height ? float(double(pix_width) / double(pix_height)) : 0.0f);
        break;
    default:
        place.width = uint32_t(W);
        place.height = uint32_t(H);
        break;
    }
    return place;
}
