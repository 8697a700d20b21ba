// Frames and reference conversions made by make_reference.sh (ffmpeg, never the library), and
// the comparison of a snapshot with them.
#ifndef KEL_VOUT_TESTS_REFERENCE_FRAMES_H
#define KEL_VOUT_TESTS_REFERENCE_FRAMES_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host_window.h"

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

#endif
