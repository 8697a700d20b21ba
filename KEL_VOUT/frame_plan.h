// frame_plan: what drawing one frame takes, decided once for every backend. From the frame's
// shape, what the renderer offers and the child window's size it works out the route a frame
// takes (planes converted by a shader, one RGB picture, or a surface the driver converts), the
// textures to make and fill and from which bytes, the texture coordinates at the target's
// corners, the colour constants, the target rectangle and the quads drawn over the picture. A
// backend only makes what the plan names, uploads it and draws it. Platform-free; runs on the
// render thread.
#ifndef KEL_VOUT_FRAME_PLAN_H
#define KEL_VOUT_FRAME_PLAN_H

#include <cstddef>
#include <cstdint>

#include "frame_pack.h"
#include "picture_transform.h"
#include "tone_map.h"
#include "yuv_convert.h"

// What a renderer offers, as far as the plan needs to know.
struct renderer_caps {
    bool yuv_shader = false;     // YUV planes are converted by a shader (else on the processor)
    bool yv12_surfaces = false;  // without the shader, the driver converts YV12 surfaces (Direct3D 9)
    bool power_of_two = false;   // textures only at powers of two
    // The largest texture, each side; 0: no limit. A YUV frame larger goes the processor's way.
    int32_t max_texture_width = 0;
    int32_t max_texture_height = 0;
    // The RGB picture lies in a texture (OpenGL), so a picture beyond the limit is reduced to it;
    // false: in a surface of any size (Direct3D 9).
    bool rgb_in_texture = false;
    bool bgra_upload = true;  // B, G, R, A pixels go into the RGB texture as they are
    // One-channel 16-bit textures, filtered at their precision: 10-bit planes go to the shader in
    // them (else they are converted on the processor).
    bool r16_textures = false;
    // The shader also decodes, converts and tone-maps light (else frames that need it are
    // converted on the processor).
    bool light_shader = false;
};

// How a frame reaches the back buffer.
enum class draw_route : int32_t {
    planes,  // Y, U and V each in a one-channel texture (r8, or r16 for 10 bits), converted by the shader
    rgb,     // one RGB picture: the frame's own pixels, or YUV converted on the processor
    yv12,    // one YV12 surface that the driver converts and stretches (Direct3D 9)
};

// The bytes of one texel of an upload.
enum class texel_format : int32_t { r8, rgb24, bgra, yv12, r16 };

// Texture coordinates drawn at the target's top-left, top-right, bottom-left and bottom-right
// corners (0..1 across the texture).
struct plan_corners {
    float s[4];
    float t[4];
};

// One plane of the frame as it lies in the picture's buffer.
struct plan_plane {
    size_t offset;  // its first byte
    int32_t stride;  // bytes from one row to the next
    int32_t width;   // samples
    int32_t height;
};

// One texture (or surface) to make and fill.
struct plan_texture {
    texel_format format;
    int32_t width, height;                  // the texture's size
    int32_t content_width, content_height;  // the texels the upload writes, from the top-left
    bool grey;  // a frame without chroma: one grey sample stands in for the plane
    plan_corners corners;
};

struct overlay_bitmap;

// An overlay's quad drawn over the picture, premultiplied: out = tex * opacity + dst * (1 - tex.a
// * opacity). Its bitmap lies in the top-left of a texture of its own, zero beyond it.
struct plan_quad {
    plan_rect target;      // back-buffer pixels, inside the plan's target
    plan_corners corners;  // of the texture
    int32_t texture;       // the overlay's id: each id has a texture of its own
    int32_t texture_width, texture_height;
    float opacity;                 // 0..1
    const overlay_bitmap* bitmap;  // the render thread's, for the pass
};

struct frame_plan {
    static const int kMaxQuads = 16;

    draw_route route;
    frame_shape shape;      // the frame's: format (i420: planes Y, U, V, packed; rgb24, bgra), colours
    int32_t width, height;  // the frame's
    int32_t plane_count;    // 3 for YUV, 1 for RGB
    plan_plane planes[3];   // the frame in the picture's buffer
    int32_t texture_count;
    plan_texture textures[3];  // planes: Y, U, V; rgb and yv12: the picture
    // Route rgb: what the processor does before the upload, in this order.
    bool convert_yuv;  // YUV to R, G, B with `coefficients`
    bool bgra_to_rgb;  // B, G, R, A to R, G, B (for a texture that takes no BGRA, or a reduction)
    bool reduce;       // box filter to the texture's content size
    yuv_coefficients coefficients;
    // YUV frames: how their light is shown (light.converts(): decoded, converted and tone-mapped,
    // by the shader on route planes, by the processor on route rgb).
    light_params light;
    // Route planes: the amplitude of the dither added to the shader's output (1/255 for 10-bit
    // frames, 0 for 8-bit ones).
    float dither;
    // Route planes: the shader's constants for the light and the dither (light_shader_constants);
    // a renderer uses its light shader when light.converts() or dither is not 0.
    float light_constants[kLightConstants][4];
    bool light_shader() const { return route == draw_route::planes && (light.converts() || dither != 0.0f); }
    // Route planes: the shader's constants, what Y, U and V add to R, G, B (c0..c2) and the
    // constant term with alpha 1 (c3), on 0..1 texture values.
    float constants[4][4];
    picture_transform transform;  // as the frame was pushed
    plan_rect source;  // the part of the frame shown (the crop), frame pixels
    plan_rect target;  // where it is drawn, back-buffer pixels (the whole back buffer)
    int32_t quad_count;  // plan_overlays adds them
    plan_quad quads[kMaxQuads];
    uint32_t overlay_ids;  // bit i: overlay id i holds a bitmap (shown or not); a renderer frees
                           // what it made for the others
};

// The plan for a frame of `shape` and width x height, shown as `transform` says (checked with
// check_transform), drawn over a target_width x target_height back buffer by a renderer offering
// `caps`. Sizes must be positive (the target may be empty). Every texture's corners then reach
// the crop, mirrored and turned: a crop, a flip or a rotation is texture coordinates, the same
// textures and uploads.
frame_plan plan_frame(const frame_shape& shape, int32_t width, int32_t height, int32_t target_width,
                      int32_t target_height, const renderer_caps& caps, const picture_transform& transform = {},
                      const tone_choice& tone = {});

// True when two plans need the same textures: a renderer keeps what it made for the one and
// fills it with the other (new colours, a new target, other bytes).
bool same_textures(const frame_plan& a, const frame_plan& b);

#endif
