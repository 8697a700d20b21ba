// Frames and reference conversions made by make_reference.sh (ffmpeg, never the library), and
// the comparison of a snapshot with them.
#ifndef KEL_VOUT_TESTS_REFERENCE_FRAMES_H
#define KEL_VOUT_TESTS_REFERENCE_FRAMES_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_window.h"
#include "kel_vout.h"

inline std::vector<uint8_t> read_file(const std::string& path)
{
    std::vector<uint8_t> data;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
            data.insert(data.end(), buf, buf + n);
        std::fclose(f);
    }
    return data;
}

inline std::string reference_dir()
{
    const char* dir = std::getenv("KEL_VOUT_REFERENCE");
    return dir ? std::string(dir) + "/" : std::string();
}

// Peak signal-to-noise ratio of the snapshot against a reference of the same size, in dB
// (99 when identical, 0 when the sizes differ).
inline double psnr(const Snapshot& s, const std::vector<uint8_t>& reference)
{
    if (s.rgb.size() != reference.size() || reference.empty())
        return 0.0;
    double sum = 0.0;
    for (size_t i = 0; i < reference.size(); ++i) {
        const double d = double(s.rgb[i]) - double(reference[i]);
        sum += d * d;
    }
    return sum == 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * double(reference.size()) / sum);
}

// Writes what was presented beside the references, for a look when a case falls short.
inline void keep_picture(const Snapshot& s, const std::string& name)
{
    const std::string path = reference_dir() + name + ".got.rgb";
    if (FILE* out = std::fopen(path.c_str(), "wb")) {
        std::fwrite(s.rgb.data(), 1, s.rgb.size(), out);
        std::fclose(out);
    }
}

inline int align32(int n)
{
    return (n + 31) / 32 * 32;
}

// A decoder's frame in the layout of `format`, every plane at its own 32-byte-aligned stride
// (1366 wide: luma 1376, chroma 704), the padding filled with a colour that must never show.
struct HostFrame {
    std::vector<uint8_t> planes[3];
    KEL_VOUT_FRAME_T frame{};

    // From tightly packed I420 (chroma (w+1)/2 x (h+1)/2).
    HostFrame(const std::vector<uint8_t>& i420, int w, int h, int format, int colorspace, int range)
    {
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        const uint8_t* y = i420.data();
        const uint8_t* u = y + size_t(w) * h;
        const uint8_t* v = u + size_t(cw) * ch;
        frame.format = format;
        frame.width = w;
        frame.height = h;
        frame.colorspace = colorspace;
        frame.range = range;
        add(0, y, w, h, w);
        if (format == KEL_VOUT_FMT_I420) {
            add(1, u, cw, ch, cw);
            add(2, v, cw, ch, cw);
        } else {
            std::vector<uint8_t> uv(size_t(cw) * ch * 2);
            for (size_t i = 0; i < size_t(cw) * ch; ++i) {
                uv[2 * i] = u[i];
                uv[2 * i + 1] = v[i];
            }
            add(1, uv.data(), 2 * cw, ch, 2 * cw);
        }
    }
    // From packed RGB rows of w * 3 bytes, as RGB24 or BGRA.
    HostFrame(const std::vector<uint8_t>& rgb, int w, int h, int format)
    {
        frame.format = format;
        frame.width = w;
        frame.height = h;
        frame.colorspace = 77;  // ignored for RGB
        frame.range = -1;
        if (format == KEL_VOUT_FMT_RGB24) {
            add(0, rgb.data(), 3 * w, h, 3 * w);
            return;
        }
        std::vector<uint8_t> bgra(size_t(w) * h * 4);
        for (size_t i = 0; i < size_t(w) * h; ++i) {
            bgra[4 * i] = rgb[3 * i + 2];
            bgra[4 * i + 1] = rgb[3 * i + 1];
            bgra[4 * i + 2] = rgb[3 * i];
            bgra[4 * i + 3] = uint8_t(i);  // alpha: ignored
        }
        add(0, bgra.data(), 4 * w, h, 4 * w);
    }
    void add(int p, const uint8_t* src, int row, int rows, int src_stride)
    {
        const int stride = align32(row);
        planes[p].assign(size_t(stride) * size_t(rows), 0xEE);
        for (int r = 0; r < rows; ++r)
            std::memcpy(&planes[p][size_t(r) * size_t(stride)], src + size_t(r) * size_t(src_stride), size_t(row));
        frame.planes[p] = planes[p].data();
        frame.strides[p] = stride;
    }
};

// A parameterised case against the references: a backend, a content and a size (for the tests
// that take it: `using reference::Case;`).
namespace reference {
struct Case {
    VOUT_MODE backend;
    const char* content;
    int w, h;
    bool shaderless;  // Direct3D as on a device without pixel shaders: the processor converts
};

inline std::string case_name(const ::testing::TestParamInfo<Case>& info)
{
    const Case& c = info.param;
    return std::string(c.shaderless ? "D3dShaderless" : backend_label(c.backend)) + c.content +
           std::to_string(c.w) + "x" + std::to_string(c.h);
}
}  // namespace reference

// Shows a black frame first, so that the case that follows cannot pass on the picture before.
inline void show_black(KEL_VOUT_HANDLE h, int w, int hgt)
{
    const std::vector<uint8_t> black(size_t(w) * hgt * 3, 0);
    HostFrame f(black, w, hgt, KEL_VOUT_FMT_RGB24);
    ASSERT_EQ(kel_vout_put_frame(h, &f.frame), 0);
    Snapshot s;
    EXPECT_TRUE(snapshot_until(h, s, [](const Snapshot& sn) {
        return !sn.rgb.empty() && *std::max_element(sn.rgb.begin(), sn.rgb.end()) == 0;
    }));
}

// The snapshot of a frame just pushed: the first snapshot may come from a paint that began
// before the push, the second cannot. Snapshots are taken until one reaches `enough` dB (or the
// patience runs out).
inline double presented_psnr(KEL_VOUT_HANDLE h, const std::vector<uint8_t>& reference, Snapshot& s,
                             double enough = 35.0)
{
    double best = 0.0;
    int taken = 0;
    snapshot_until(h, s, [&](const Snapshot& sn) {
        if (++taken >= 2)
            best = std::max(best, psnr(sn, reference));
        return best >= enough;
    });
    return best;
}

#endif
