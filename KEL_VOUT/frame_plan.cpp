// The frame plan: one decision of how a frame is drawn, for every backend. Platform-free.
#include "frame_plan.h"

#include "surface_copy.h"
#include "texture_fit.h"

namespace {

// The whole texture from the top-left texel to (s, t) of it.
plan_corners corners_to(float s, float t)
{
    return plan_corners{{0.0f, s, 0.0f, s}, {0.0f, 0.0f, t, t}};
}

plan_texture texture_of(texel_format format, int32_t width, int32_t height, int32_t texture_width,
                        int32_t texture_height)
{
    plan_texture t{};
    t.format = format;
    t.width = texture_width;
    t.height = texture_height;
    t.content_width = width;
    t.content_height = height;
    t.corners = corners_to(float(width) / float(texture_width), float(height) / float(texture_height));
    return t;
}

bool fits(int32_t size, int32_t limit)
{
    return limit <= 0 || size <= limit;
}

// The driver's conversion suits the older pushes' BT.601 limited-range frames only, as it always
// did (drivers get other colours wrong, and this Wine's does not even expand the range), with
// chroma of (w/2) x (h/2).
bool driver_converts(const frame_shape& s, int32_t width, int32_t height)
{
    return s.older_push && s.transfer == 0 && s.primaries == 0 && s.colorspace == colour_space::bt601 && s.range == colour_range::limited &&
           s.chroma_width == width / 2 && s.chroma_height == height / 2;
}

// Three one-channel textures at the planes' own sizes, of bytes or (10 bits) of 16-bit samples.
// Subsampled chroma texture coordinates reach w / (2 * cw) across, so that chroma sample i stays
// centred on luma 2i and 2i+1: with cw = w / 2 an odd last column lies past the last chroma
// sample and the edge clamp repeats it; with cw = (w + 1) / 2 it takes the left half of its own
// sample. Chroma at full resolution lies over luma as it is. A frame without chroma (1 pixel
// wide or high) samples one grey texel.
void plan_planes(const frame_shape& s, int32_t w, int32_t h, frame_plan* p)
{
    const texel_format format = s.bits > 8 ? texel_format::r16 : texel_format::r8;
    p->route = draw_route::planes;
    p->texture_count = 3;
    p->textures[0] = texture_of(format, w, h, w, h);
    const int32_t cw = s.chroma_width, ch = s.chroma_height;
    for (int i = 1; i < 3; ++i) {
        if (cw > 0 && ch > 0) {
            p->textures[i] = texture_of(format, cw, ch, cw, ch);
            p->textures[i].corners =
                corners_to(float(w) / float(s.chroma_step_x * cw), float(h) / float(s.chroma_step_y * ch));
        } else {
            p->textures[i] = texture_of(format, 1, 1, 1, 1);
            p->textures[i].grey = true;
        }
    }
}

// The YV12 surface, and the picture texture of its size, within the largest texture.
bool yv12_fits(int32_t w, int32_t h, const renderer_caps& caps)
{
    int32_t sw = w, sh = h;
    yv12_surface_size(w, h, &sw, &sh);
    return fits(sw, caps.max_texture_width) && fits(sh, caps.max_texture_height);
}

// A YV12 surface a little larger than the frame (yv12_surface_size), drawn from its top-left.
void plan_yv12(int32_t w, int32_t h, frame_plan* p)
{
    int32_t sw = w, sh = h;
    yv12_surface_size(w, h, &sw, &sh);
    p->route = draw_route::yv12;
    p->texture_count = 1;
    p->textures[0] = texture_of(texel_format::yv12, w, h, sw, sh);
}

// One RGB picture: the frame's own pixels, or its YUV converted on the processor; reduced first
// where it lies in a texture smaller than the frame, and at powers of two where the renderer
// needs them (the picture in the top-left corner).
void plan_rgb(const frame_shape& s, int32_t w, int32_t h, const renderer_caps& caps, frame_plan* p)
{
    p->route = draw_route::rgb;
    p->texture_count = 1;
    int32_t cw = w, ch = h;
    if (caps.rgb_in_texture) {
        cw = fits(w, caps.max_texture_width) ? w : caps.max_texture_width;
        ch = fits(h, caps.max_texture_height) ? h : caps.max_texture_height;
    }
    p->convert_yuv = s.format == pixel_format::i420;
    p->reduce = cw != w || ch != h;
    p->bgra_to_rgb = s.format == pixel_format::bgra && (p->reduce || !caps.bgra_upload);
    const texel_format format =
        s.format == pixel_format::bgra && !p->bgra_to_rgb ? texel_format::bgra : texel_format::rgb24;
    int tw = cw, th = ch;
    texture_size_for(cw, ch, caps.rgb_in_texture && caps.power_of_two, &tw, &th);
    p->textures[0] = texture_of(format, cw, ch, tw, th);
}

// Texture coordinates of the crop, mirrored and turned: a frame point (px, py) lies at
// (px / w * S, py / h * T) of a texture whose corners reach (S, T) for the whole frame, chroma
// included (so a crop at an odd offset samples chroma where the whole frame does).
void transform_corners(const frame_plan& p, plan_corners* c)
{
    const float s = c->s[3], t = c->t[3];
    const plan_rect& r = p.source;
    const float x[2] = {float(r.x) / float(p.width) * s, float(r.x + r.width) / float(p.width) * s};
    const float y[2] = {float(r.y) / float(p.height) * t, float(r.y + r.height) / float(p.height) * t};
    int source[4];
    corner_sources(p.transform, source);
    for (int k = 0; k < 4; ++k) {
        c->s[k] = x[source[k] & 1];
        c->t[k] = y[source[k] >> 1];
    }
}

}  // namespace

frame_plan plan_frame(const frame_shape& shape, int32_t width, int32_t height, int32_t target_width,
                      int32_t target_height, const renderer_caps& caps, const picture_transform& transform,
                      const tone_choice& tone)
{
    frame_plan p{};
    p.shape = shape;
    p.width = width;
    p.height = height;
    if (shape.format == pixel_format::i420) {
        const packed_planes l = planes_of(shape, width, height);
        const int32_t bytes = shape.sample_bytes();
        p.plane_count = 3;
        p.planes[0] = plan_plane{l.y, width * bytes, width, height};
        p.planes[1] = plan_plane{l.u, shape.chroma_width * bytes, shape.chroma_width, shape.chroma_height};
        p.planes[2] = plan_plane{l.v, shape.chroma_width * bytes, shape.chroma_width, shape.chroma_height};
    } else {
        p.plane_count = 1;
        p.planes[0] = plan_plane{0, shape.stride, width, height};
    }
    p.coefficients = yuv_coefficients_for(shape.colorspace, shape.range);
    p.transform = transform;
    p.source = crop_of(transform, width, height);
    p.target = plan_rect{0, 0, target_width, target_height};

    const bool yuv = shape.format == pixel_format::i420;
    const bool within = fits(width, caps.max_texture_width) && fits(height, caps.max_texture_height);
    const bool deep = shape.bits > 8;
    if (yuv) {
        p.light.transfer = transfer_fn(shape.transfer);
        p.light.primaries = colour_primaries(shape.primaries);
        p.light.max_luminance = shape.max_luminance;
        p.light.curve = tone.curve;
        p.light.sdr_white = tone.sdr_white;
    }
    const bool shader_light = !p.light.converts() || caps.light_shader;
    if (yuv && caps.yuv_shader && !caps.power_of_two && within && (!deep || caps.r16_textures) && shader_light)
        plan_planes(shape, width, height, &p);
    else if (yuv && caps.yv12_surfaces && !caps.power_of_two && yv12_fits(width, height, caps) &&
             driver_converts(shape, width, height))
        plan_yv12(width, height, &p);
    else
        plan_rgb(shape, width, height, caps, &p);
    yuv_shader_constants(shape, p.route == draw_route::planes && deep ? 65535.0 : 255.0, p.constants);
    p.dither = p.route == draw_route::planes && deep ? 1.0f / 255.0f : 0.0f;
    if (p.route == draw_route::planes)
        light_shader_constants(p.light, p.route == draw_route::planes && (deep || p.light.converts()) ? 1.0f / 255.0f : 0.0f,
                               p.light_constants);
    if (p.route == draw_route::planes && p.light.converts())
        p.dither = 1.0f / 255.0f;
    for (int i = 0; i < p.texture_count; ++i)
        transform_corners(p, &p.textures[i].corners);
    return p;
}

bool same_textures(const frame_plan& a, const frame_plan& b)
{
    if (a.route != b.route || a.texture_count != b.texture_count)
        return false;
    for (int i = 0; i < a.texture_count; ++i) {
        const plan_texture &x = a.textures[i], &y = b.textures[i];
        if (x.format != y.format || x.width != y.width || x.height != y.height || x.grey != y.grey)
            return false;
    }
    return true;
}
