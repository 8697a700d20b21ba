// Light: what a frame's R', G', B' mean and how they reach an SDR display. SDR frames with
// BT.709 primaries are shown as their values are. Others are decoded to linear light (PQ, SMPTE
// ST 2084; HLG, ARIB STD-B67, as a 1000 cd/m2 display shows it; SDR through the BT.1886 display
// curve), converted from their primaries to BT.709, brought into the display's range by a tone
// curve on the brightest of R, G and B (every channel scaled alike, so hues stay), and encoded
// with the inverse of the BT.1886 curve (a 1/2.4 power). Linear light is counted in units of
// SDR white (`sdr_white` cd/m2 is 1.0). The per-pixel functions, the constants a shader takes,
// tables for the processor, and tables for shaders. Platform-free.
#ifndef KEL_VOUT_TONE_MAP_H
#define KEL_VOUT_TONE_MAP_H

#include <cstdint>
#include <vector>

// The values of the public enumerations.
enum class transfer_fn : int32_t { sdr = 0, pq = 1, hlg = 2 };
enum class colour_primaries : int32_t { bt709 = 0, bt2020 = 1 };
enum class tone_curve : int32_t { bt2390 = 0, hable = 1, clip = 2 };

constexpr int32_t kDefaultSdrWhite = 100;     // cd/m2
constexpr int32_t kMinSdrWhite = 80;
constexpr int32_t kMaxSdrWhite = 400;
constexpr int32_t kDefaultPeakLuminance = 1000;  // an HDR frame's peak when the host knows none

// The instance's choice of how HDR frames are brought into SDR.
struct tone_choice {
    tone_curve curve = tone_curve::bt2390;
    int32_t sdr_white = kDefaultSdrWhite;
};

// How one frame's light is shown: the frame's own (transfer, primaries, mastering peak) and the
// instance's choice (curve, SDR white).
struct light_params {
    transfer_fn transfer = transfer_fn::sdr;
    colour_primaries primaries = colour_primaries::bt709;
    int32_t max_luminance = 0;  // cd/m2; 0: unknown (kDefaultPeakLuminance)
    tone_curve curve = tone_curve::bt2390;
    int32_t sdr_white = kDefaultSdrWhite;

    // Whether the values need any of this (else they are shown as they are).
    bool converts() const { return transfer != transfer_fn::sdr || primaries != colour_primaries::bt709; }
    // Whether a tone curve applies (HDR frames).
    bool tone_maps() const { return transfer != transfer_fn::sdr; }
    // The frame's peak in units of SDR white.
    double peak() const;
    bool operator==(const light_params& o) const;
    bool operator!=(const light_params& o) const { return !(*this == o); }
};

// The transfer functions on one value, in double precision.
double pq_eotf(double e);          // 0..1 (and beyond: brighter than 10000 cd/m2) -> 0..1 of 10000 cd/m2
double pq_inverse_eotf(double l);  // and back
double hlg_inverse_oetf(double e);  // 0..1 -> scene light 0..1
// The tone curves on the brightest channel `sig` (units of SDR white) of a frame whose peak is
// `peak`: the new value, 0..1 (Hable and clip exactly as the reference tone-mapping filter
// computes them; BT.2390's EETF in the PQ domain, its knee at 1.5 * maxLum - 0.5).
double tone_curve_value(tone_curve curve, double sig, double peak, double sdr_white);

// One pixel: R', G', B' as the YUV matrix gives them (nominally 0..1) to the display's R', G',
// B' (0..1, clamped).
void map_light(const light_params& p, const double in[3], double out[3]);

// The 3 x 3 conversion of linear light from `from` to BT.709 primaries (rows R, G, B).
void primaries_matrix(colour_primaries from, double m[3][3]);

// The constants of a shader that does map_light (after the YUV matrix's four), as six vectors:
//   [0] x: the decoding (0 none, 1 BT.1886, 2 PQ, 3 HLG), y: the curve (tone_curve, -1 none),
//       z: the dither's amplitude, w: decoded light per unit of the function (10000 or 1000 cd/m2
//       over SDR white; 1 for BT.1886)
//   [1..3] the primaries' rows R, G, B (w 0)
//   [4] Hable: x 1 / hable(peak); BT.2390: x the source's peak in PQ, y its inverse, z the knee
//       in the source's PQ range, w SDR white there (maxLum)
//   [5] x SDR white / 10000 cd/m2, y its inverse, z the peak in units of SDR white
constexpr int kLightConstants = 6;
void light_shader_constants(const light_params& p, float dither, float c[kLightConstants][4]);

// map_light for the processor, from tables: within a hundredth of a level of map_light on 8-bit
// output, at a few table reads per pixel.
class light_tables {
public:
    // Makes the tables for p (kept when p is what they were made for).
    void prepare(const light_params& p);
    const light_params& params() const { return m_params; }
    // rgb: R', G', B' in, display R', G', B' (0..1) out.
    void map(float rgb[3]) const;

private:
    light_params m_params{};
    bool m_ready = false;
    float m_matrix[3][3] = {};
    std::vector<float> m_decode;  // over R' 0..kDecodeMax
    std::vector<float> m_gain;    // curve(sig) / sig, over sqrt(sig / m_sigMax)
    std::vector<float> m_encode;  // x^(1/2.4) over sqrt(x)
    float m_sigMax = 1.0f;
    float m_heldValue = 1.0f;  // the curve's value at m_sigMax
};

// The light as three one-channel tables that a shader samples with linear filtering, each
// kLightLutEntries texels, texel i at (i + 0.5) / kLightLutEntries. Where the processor's tables
// are read by index, a shader reads these at coordinates it computes with a few instructions
// (no powers, no exponentials):
//   lin  = decode[R' * coords[0] + coords[1]]   per channel, R' 0..kLightLutDecodeMax (clamped)
//   v    = primaries * lin                      (light_shader_constants' rows)
//   sig  = max(v.r, v.g, v.b, 1e-6)
//   gain = min(gain[sqrt(sig * coords[2]) * coords[3] + coords[1]], gain_limit / sig)
//                                               1 everywhere for frames without a tone curve
//   out  = encode[sqrt(clamp(v * gain, 0, 1)) * coords[3] + coords[1]]
// Within half a level of map_light on 8-bit output in 32-bit floats (R16F tables add up to about
// half a level more). The gain table ends at four times the peak (at least at 4); Hable's, which
// rises on, at 64 times (at least 64) and at least at twice the brightest decoded light, which a
// conversion of primaries cannot exceed. Past it the curve is held at its value there
// (gain_limit: exact for the curves that hold the peak at white); below it the limit changes
// nothing, as the curves rise.
constexpr int kLightLutEntries = 2048;
constexpr double kLightLutDecodeMax = 1.5;
struct light_lut {
    float decode[kLightLutEntries];  // linear light, units of SDR white
    float gain[kLightLutEntries];    // curve(sig) / sig
    float encode[kLightLutEntries];  // the display's R', 0..1
    float coords[4];
    float gain_limit;
};
void make_light_lut(const light_params& p, light_lut* lut);
// A table's value for a half-float texture: IEEE half precision, rounded to nearest, ties to even
// (beyond its range, infinity).
uint16_t half_float(float f);

#endif
