// picture_transform: the picture as the stream means it: the part of each frame shown (crop),
// mirrored, rotated in quarter turns, with the proportions of its pixels or of the display.
// What the host sets is checked here; the frame plan turns it into texture coordinates and the
// placement into the child window's proportions. Platform-free; any thread.
#ifndef KEL_VOUT_PICTURE_TRANSFORM_H
#define KEL_VOUT_PICTURE_TRANSFORM_H

#include <cstdint>

// A rectangle in pixels.
struct plan_rect {
    int32_t x, y, width, height;
};

// The public record's fields. All zero: the frame as it is.
struct picture_transform {
    int32_t rotation;          // clockwise degrees: 0, 90, 180 or 270, after the flip
    int32_t flip;              // kFlipH | kFlipV, applied to the frame first
    int32_t sar_num, sar_den;  // sample (pixel) aspect ratio; a zero numerator: square pixels
    int32_t crop_x, crop_y, crop_width, crop_height;  // frame pixels; all four 0: the whole frame
    int32_t dar_num, dar_den;  // the shown proportions for VOUT_PREFERRED; a zero numerator: none
};

constexpr int32_t kFlipH = 1;  // mirror left-right
constexpr int32_t kFlipV = 2;  // upside down
constexpr int32_t kMaxRatioTerm = 65535;

// Why a transform was refused; transform_check::ok means it may be taken.
enum class transform_check {
    ok,
    bad_rotation,  // not 0, 90, 180 or 270
    bad_flip,      // bits other than kFlipH and kFlipV
    bad_ratio,     // a negative term, a zero denominator under a non-zero numerator, a term above
                   // kMaxRatioTerm
    bad_crop,      // a negative crop value
};
transform_check check_transform(const picture_transform& t);

// The part of a w x h frame shown: the crop clipped to the frame; the whole frame when the crop
// is all zero or nothing of it lies inside.
plan_rect crop_of(const picture_transform& t, int32_t w, int32_t h);

// The proportions of the picture shown, reduced to lowest terms: the crop's width x sar_num to
// its height x sar_den, swapped for 90 and 270; or dar_num : dar_den when that is set.
void shown_aspect(const picture_transform& t, int32_t w, int32_t h, uint32_t* num, uint32_t* den);

// The pixels of the picture shown at its own size: the crop's, swapped for 90 and 270.
void shown_size(const picture_transform& t, int32_t w, int32_t h, int32_t* width, int32_t* height);

// Which corner of the crop (0 top-left, 1 top-right, 2 bottom-left, 3 bottom-right) each corner
// of the shown picture, in the same order, shows.
void corner_sources(const picture_transform& t, int source[4]);

#endif
