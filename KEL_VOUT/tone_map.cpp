// Decoding, primaries, tone curves and encoding of a frame's light. Platform-free.
#include "tone_map.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// SMPTE ST 2084.
const double kM1 = 2610.0 / 16384.0;
const double kM2 = 2523.0 / 4096.0 * 128.0;
const double kC1 = 3424.0 / 4096.0;
const double kC2 = 2413.0 / 4096.0 * 32.0;
const double kC3 = 2392.0 / 4096.0 * 32.0;
// Past this the curve's denominator nears 0 (values no decoder makes).
const double kPqLimit = 1.9;

// ARIB STD-B67.
const double kHlgA = 0.17883277;
const double kHlgB = 0.28466892;
const double kHlgC = 0.55991073;
const double kHlgSystemGamma = 1.2;        // of a 1000 cd/m2 display
const double kHlgDisplayPeak = 1000.0;      // cd/m2

const double kDisplayGamma = 2.4;  // BT.1886

// The tables: R' up to kDecodeMax in steps of 1 / kDecodeSteps; the others kTableSteps over
// the square root of their range.
const double kDecodeMax = 1.5;
const int kDecodeSteps = 4096;
const int kTableSteps = 4096;

double hable(double x)
{
    const double a = 0.15, b = 0.50, c = 0.10, d = 0.20, e = 0.02, f = 0.30;
    return (x * (x * a + b * c) + d * e) / (x * (x * a + b) + d * f) - e / f;
}

// BT.2390's EETF on a PQ value e normalised to the source's range (0..1), its peak at maxLum:
// identity below the knee, a Hermite spline from the knee to maxLum at e = 1.
double eetf(double e, double max_lum)
{
    const double ks = std::max(1.5 * max_lum - 0.5, 0.0);
    if (e < ks)
        return e;
    const double t = (e - ks) / (1.0 - ks), t2 = t * t, t3 = t2 * t;
    return (2.0 * t3 - 3.0 * t2 + 1.0) * ks + (t3 - 2.0 * t2 + t) * (1.0 - ks) + (-2.0 * t3 + 3.0 * t2) * max_lum;
}

// The inverse of a 3 x 3 matrix (by its cofactors).
void invert(const double a[3][3], double out[3][3])
{
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            out[r][c] = (a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1]) / det;
        }
}

// The xy chromaticities of R, G and B, and their RGB to XYZ matrix (white D65).
void rgb_to_xyz(const double xy[3][2], double m[3][3])
{
    const double wx = 0.3127, wy = 0.3290;
    const double white[3] = {wx / wy, 1.0, (1.0 - wx - wy) / wy};
    double p[3][3];
    for (int c = 0; c < 3; ++c) {
        p[0][c] = xy[c][0] / xy[c][1];
        p[1][c] = 1.0;
        p[2][c] = (1.0 - xy[c][0] - xy[c][1]) / xy[c][1];
    }
    // Scale each primary so that R = G = B = 1 is the white.
    double inv[3][3];
    invert(p, inv);
    double s[3];
    for (int r = 0; r < 3; ++r)
        s[r] = inv[r][0] * white[0] + inv[r][1] * white[1] + inv[r][2] * white[2];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            m[r][c] = p[r][c] * s[c];
}

// One value to linear light, in units of SDR white.
double decode(const light_params& p, double e)
{
    e = std::max(e, 0.0);
    switch (p.transfer) {
    case transfer_fn::pq:
        return pq_eotf(std::min(e, kPqLimit)) * 10000.0 / double(p.sdr_white);
    case transfer_fn::hlg:
        return std::pow(hlg_inverse_oetf(e), kHlgSystemGamma) * kHlgDisplayPeak / double(p.sdr_white);
    default:
        return std::pow(e, kDisplayGamma);
    }
}

double encode(double x)
{
    return std::pow(std::min(std::max(x, 0.0), 1.0), 1.0 / kDisplayGamma);
}

// Linear interpolation in a table over 0..1 of `steps` steps.
float lookup(const std::vector<float>& t, float u)
{
    // u is clamped to 0..1 (a NaN reads the first entry); int, not size_t: a float converts to a signed
    // integer in one instruction on both architectures.
    const int last = int(t.size()) - 2;
    const float pos = std::max(0.0f, std::min(u, 1.0f)) * float(last + 1);
    const int i = std::min(int(pos), last);
    const float f = pos - float(i);
    return t[size_t(i)] + (t[size_t(i) + 1] - t[size_t(i)]) * f;
}

}  // namespace

double light_params::peak() const
{
    return double(max_luminance > 0 ? max_luminance : kDefaultPeakLuminance) / double(sdr_white);
}

bool light_params::operator==(const light_params& o) const
{
    return transfer == o.transfer && primaries == o.primaries && max_luminance == o.max_luminance &&
           curve == o.curve && sdr_white == o.sdr_white;
}

double pq_eotf(double e)
{
    const double p = std::pow(std::max(e, 0.0), 1.0 / kM2);
    return std::pow(std::max(p - kC1, 0.0) / (kC2 - kC3 * p), 1.0 / kM1);
}

double pq_inverse_eotf(double l)
{
    const double y = std::pow(std::max(l, 0.0), kM1);
    return std::pow((kC1 + kC2 * y) / (1.0 + kC3 * y), kM2);
}

double hlg_inverse_oetf(double e)
{
    e = std::max(e, 0.0);
    return e <= 0.5 ? e * e / 3.0 : (std::exp((e - kHlgC) / kHlgA) + kHlgB) / 12.0;
}

double tone_curve_value(tone_curve curve, double sig, double peak, double sdr_white)
{
    switch (curve) {
    case tone_curve::hable:
        return hable(sig) / hable(peak);
    case tone_curve::clip:
        return std::min(std::max(sig, 0.0), 1.0);
    default: {
        // The source's range 0..peak in PQ, SDR white its display's peak. A source no brighter
        // than white needs no compression; values past the source's peak are held at it.
        if (peak <= 1.0)
            return std::min(std::max(sig, 0.0), 1.0);
        const double source = pq_inverse_eotf(peak * sdr_white / 10000.0);
        const double e = pq_inverse_eotf(std::min(std::max(sig, 0.0), peak) * sdr_white / 10000.0) / source;
        const double max_lum = pq_inverse_eotf(sdr_white / 10000.0) / source;
        return std::min(pq_eotf(eetf(e, max_lum) * source) * 10000.0 / sdr_white, 1.0);
    }
    }
}

void primaries_matrix(colour_primaries from, double m[3][3])
{
    static const double bt709[3][2] = {{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}};
    static const double bt2020[3][2] = {{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}};
    if (from != colour_primaries::bt2020) {
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                m[r][c] = r == c ? 1.0 : 0.0;
        return;
    }
    double to_xyz[3][3], from_xyz709[3][3], xyz709[3][3];
    rgb_to_xyz(bt2020, to_xyz);
    rgb_to_xyz(bt709, xyz709);
    invert(xyz709, from_xyz709);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            m[r][c] = from_xyz709[r][0] * to_xyz[0][c] + from_xyz709[r][1] * to_xyz[1][c] +
                      from_xyz709[r][2] * to_xyz[2][c];
}

void map_light(const light_params& p, const double in[3], double out[3])
{
    double lin[3], m[3][3];
    for (int c = 0; c < 3; ++c)
        lin[c] = decode(p, in[c]);
    primaries_matrix(p.primaries, m);
    double rgb[3];
    for (int r = 0; r < 3; ++r)
        rgb[r] = m[r][0] * lin[0] + m[r][1] * lin[1] + m[r][2] * lin[2];
    if (p.tone_maps()) {
        // The brightest channel sets the scale of all three.
        const double sig = std::max(std::max(rgb[0], std::max(rgb[1], rgb[2])), 1e-6);
        const double gain = tone_curve_value(p.curve, sig, p.peak(), double(p.sdr_white)) / sig;
        for (double& v : rgb)
            v *= gain;
    }
    for (int c = 0; c < 3; ++c)
        out[c] = encode(rgb[c]);
}

void light_shader_constants(const light_params& p, float dither, float c[kLightConstants][4])
{
    for (int i = 0; i < kLightConstants; ++i)
        for (int j = 0; j < 4; ++j)
            c[i][j] = 0.0f;
    const double white = double(p.sdr_white);
    if (p.converts()) {
        c[0][0] = p.transfer == transfer_fn::pq ? 2.0f : p.transfer == transfer_fn::hlg ? 3.0f : 1.0f;
        c[0][3] = p.transfer == transfer_fn::pq    ? float(10000.0 / white)
                  : p.transfer == transfer_fn::hlg ? float(kHlgDisplayPeak / white)
                                                   : 1.0f;
    }
    c[0][1] = p.tone_maps() ? float(int32_t(p.curve)) : -1.0f;
    c[0][2] = dither;
    double m[3][3];
    primaries_matrix(p.primaries, m);
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k)
            c[1 + r][k] = float(m[r][k]);
    const double peak = p.peak();
    if (p.curve == tone_curve::hable) {
        c[4][0] = float(1.0 / hable(peak));
    } else if (p.curve == tone_curve::bt2390) {
        const double source = pq_inverse_eotf(peak * white / 10000.0);
        const double max_lum = pq_inverse_eotf(white / 10000.0) / source;
        c[4][0] = float(source);
        c[4][1] = float(1.0 / source);
        c[4][2] = float(std::max(1.5 * max_lum - 0.5, 0.0));
        c[4][3] = float(max_lum);
    }
    c[5][0] = float(white / 10000.0);
    c[5][1] = float(10000.0 / white);
    c[5][2] = float(peak);
}

void light_tables::prepare(const light_params& p)
{
    if (m_ready && p == m_params)
        return;
    m_params = p;
    double m[3][3];
    primaries_matrix(p.primaries, m);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            m_matrix[r][c] = float(m[r][c]);
    const int decode_entries = int(kDecodeMax * kDecodeSteps) + 1;
    m_decode.resize(size_t(decode_entries));
    for (int i = 0; i < decode_entries; ++i)
        m_decode[size_t(i)] = float(decode(p, double(i) / kDecodeSteps));
    m_sigMax = float(std::max(4.0 * p.peak(), 4.0));
    m_gain.resize(kTableSteps + 1);
    for (int i = 0; i <= kTableSteps; ++i) {
        const double u = double(i) / kTableSteps;
        const double sig = std::max(u * u * double(m_sigMax), 1e-6);
        m_gain[size_t(i)] = float(tone_curve_value(p.curve, sig, p.peak(), double(p.sdr_white)) / sig);
    }
    m_heldValue = float(tone_curve_value(p.curve, double(m_sigMax), p.peak(), double(p.sdr_white)));
    m_encode.resize(kTableSteps + 1);
    for (int i = 0; i <= kTableSteps; ++i) {
        const double u = double(i) / kTableSteps;
        m_encode[size_t(i)] = float(encode(u * u));
    }
    m_ready = true;
}

void light_tables::map(float rgb[3]) const
{
    float lin[3];
    for (int c = 0; c < 3; ++c) {
        const float e = std::max(rgb[c], 0.0f);
        lin[c] = e < float(kDecodeMax) ? lookup(m_decode, e / float(kDecodeMax)) : float(decode(m_params, e));
    }
    float v[3];
    for (int r = 0; r < 3; ++r)
        v[r] = m_matrix[r][0] * lin[0] + m_matrix[r][1] * lin[1] + m_matrix[r][2] * lin[2];
    if (m_params.tone_maps()) {
        const float sig = std::max(std::max(v[0], std::max(v[1], v[2])), 1e-6f);
        // Past the table BT.2390 and clip hold their value (the peak's); Hable rises on, without
        // powers.
        const float gain = sig < m_sigMax                       ? lookup(m_gain, std::sqrt(sig / m_sigMax))
                           : m_params.curve != tone_curve::hable ? m_heldValue / sig
                                                                 : float(tone_curve_value(m_params.curve, double(sig),
                                                                                          m_params.peak(),
                                                                                          double(m_params.sdr_white)) /
                                                                         double(sig));
        for (float& x : v)
            x *= gain;
    }
    for (int c = 0; c < 3; ++c)
        rgb[c] = lookup(m_encode, std::sqrt(std::min(std::max(v[c], 0.0f), 1.0f)));
}

void make_light_lut(const light_params& p, light_lut* lut)
{
    const int n = kLightLutEntries;
    // Hable rises on past the peak, slower and slower: its table reaches further, and at least to
    // twice the brightest light the decoding table gives (the conversion of BT.2020 primaries
    // raises a channel by up to 1.7 times), as from a low peak it still rises visibly there.
    const double reach = p.curve == tone_curve::hable ? 64.0 : 4.0;
    double sig_max = std::max(reach * p.peak(), reach);
    if (p.curve == tone_curve::hable && p.tone_maps())
        sig_max = std::max(sig_max, 2.0 * decode(p, kLightLutDecodeMax));
    for (int i = 0; i < n; ++i) {
        const double u = double(i) / (n - 1);
        lut->decode[i] = float(decode(p, u * kLightLutDecodeMax));
        const double sig = std::max(u * u * sig_max, 1e-6);
        lut->gain[i] = p.tone_maps()
                           ? float(tone_curve_value(p.curve, sig, p.peak(), double(p.sdr_white)) / sig)
                           : 1.0f;
        lut->encode[i] = float(encode(u * u));
    }
    // A value v of a table's range 0..max is at texel v / max * (n - 1), so at the coordinate
    // (v / max * (n - 1) + 0.5) / n.
    const double span = double(n - 1) / n;
    lut->coords[0] = float(span / kLightLutDecodeMax);
    lut->coords[1] = float(0.5 / n);
    lut->coords[2] = float(1.0 / sig_max);
    lut->coords[3] = float(span);
    lut->gain_limit =
        p.tone_maps() ? float(tone_curve_value(p.curve, sig_max, p.peak(), double(p.sdr_white))) : 1e6f;
}

// IEEE half precision, rounded to nearest, ties to even (a value beyond its range to infinity).
uint16_t half_float(float f)
{
    uint32_t x;
    std::memcpy(&x, &f, sizeof(x));
    const uint32_t sign = (x >> 16) & 0x8000u;
    const int exponent = int((x >> 23) & 0xFF) - 127 + 15;
    uint32_t mantissa = x & 0x7FFFFFu;
    if (exponent >= 31)
        return uint16_t(sign | 0x7C00u);
    if (exponent <= 0) {  // below the smallest normal: a subnormal, or 0
        if (exponent < -10)
            return uint16_t(sign);
        mantissa |= 0x800000u;
        const int shift = 14 - exponent;
        return uint16_t(sign | ((mantissa + (1u << (shift - 1)) - 1u + ((mantissa >> shift) & 1u)) >> shift));
    }
    return uint16_t(sign | ((uint32_t(exponent) << 10) + ((mantissa + 0xFFFu + ((mantissa >> 13) & 1u)) >> 13)));
}

