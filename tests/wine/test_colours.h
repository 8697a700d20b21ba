// Colours of the Windows tests: frames of one colour and what they must show, worked out by hand
// from the BT.601 limited-range formula (R = 1.1643835 (Y - 16) + 1.5960268 (V - 128), ...).
#ifndef KEL_VOUT_TEST_COLOURS_H
#define KEL_VOUT_TEST_COLOURS_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

struct Colour {
    uint8_t yuv[3];
    uint8_t rgb[3];
};

// 1.1643835 x 65 + 1.5960268 x 112 = 254.44, and so on; negative results clamp to 0.
const Colour kRed{{81, 90, 240}, {254, 0, 0}};
const Colour kGreen{{145, 54, 34}, {0, 255, 1}};
const Colour kBlue{{41, 240, 110}, {0, 0, 255}};
const Colour kWhite{{235, 128, 128}, {255, 255, 255}};
const Colour kBlack{{16, 128, 128}, {0, 0, 0}};

// The formula itself, in double precision, for pictures with many colours.
inline void reference_rgb(int y, int u, int v, uint8_t rgb[3])
{
    const double yy = 1.1643835 * (y - 16);
    const double c[3] = {yy + 1.5960268 * (v - 128), yy - 0.3917623 * (u - 128) - 0.81296766 * (v - 128),
                         yy + 2.0172322 * (u - 128)};
    for (int i = 0; i < 3; ++i)
        rgb[i] = uint8_t(std::lround(std::fmin(255.0, std::fmax(0.0, c[i]))));
}

// Red, green, blue and white quadrants (top-left, top-right, bottom-left, bottom-right) of a
// tightly packed 4:2:0 frame, as the older planar push takes it.
inline std::vector<uint8_t> quadrants(int w, int h)
{
    const Colour* q[4] = {&kRed, &kGreen, &kBlue, &kWhite};
    std::vector<uint8_t> f(size_t(w) * h * 3 / 2);
    uint8_t* Y = f.data();
    uint8_t* U = Y + size_t(w) * h;
    uint8_t* V = U + size_t(w / 2) * (h / 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Colour* c = q[(y >= h / 2) * 2 + (x >= w / 2)];
            Y[size_t(y) * w + x] = c->yuv[0];
            if (x % 2 == 0 && y % 2 == 0) {
                U[size_t(y / 2) * (w / 2) + x / 2] = c->yuv[1];
                V[size_t(y / 2) * (w / 2) + x / 2] = c->yuv[2];
            }
        }
    return f;
}

// A tightly packed 4:2:0 frame of one colour, as the older planar push takes it.
inline std::vector<uint8_t> solid_yuv(int w, int h, const Colour& c)
{
    std::vector<uint8_t> f(size_t(w) * h * 3 / 2);
    std::fill(f.begin(), f.begin() + w * h, c.yuv[0]);
    std::fill(f.begin() + w * h, f.begin() + w * h + (w / 2) * (h / 2), c.yuv[1]);
    std::fill(f.begin() + w * h + (w / 2) * (h / 2), f.end(), c.yuv[2]);
    return f;
}

inline bool close_to(const uint8_t* px, const uint8_t want[3], int tolerance = 2)
{
    for (int i = 0; i < 3; ++i)
        if (std::abs(int(px[i]) - int(want[i])) > tolerance)
            return false;
    return true;
}

#endif
