// Aspect placement arithmetic. Platform-free.
#include "display_placement.h"

#include <cstdint>

namespace {
// Products are taken in double (exact for sides below 2^29), truncated to 64 bits, low 32 kept.
uint32_t truncate_product(int side, float factor)
{
    return uint32_t(int64_t(double(side) * double(factor)));
}
}  // namespace

void set_display_ratio(vout_display_place_t* place, int W, int H, float ratio)
{
    const int S = W < H ? W : H;
    const int L = W < H ? H : W;
    const float inv = ratio != 0.0f ? 1.0f / ratio : 0.0f;
    const double fitted_width = double(H) * double(ratio);

    if (double(W) > fitted_width) {  // wider than the picture: pillarbox
        place->width = truncate_product(S, ratio);
        place->height = uint32_t(S);
        place->x = int32_t(uint32_t(L / 2) - (place->width >> 1));
        place->y = 0;
    } else if (W > H && fitted_width > double(W)) {  // narrower: letterbox
        place->width = uint32_t(L);
        place->height = truncate_product(L, inv);
        place->x = 0;
        place->y = int32_t(uint32_t(S / 2) - (place->height >> 1));
    } else if (double(W) == fitted_width) {
        place->x = 0;
        place->y = 0;
        place->width = uint32_t(W);
        place->height = uint32_t(H);
    } else {
        place->width = uint32_t(S);
        place->height = truncate_product(S, inv);
        place->x = 0;
        place->y = int32_t(uint32_t(L / 2) - (place->height >> 1));
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
