// BMP decoding for the exported loader: checks a whole file held in memory against its own
// length, then turns its pixel rows into the caller's layout. Platform-free, no I/O; any thread.
#ifndef KEL_VOUT_BMP_DECODE_H
#define KEL_VOUT_BMP_DECODE_H

#include <cstddef>
#include <cstdint>

// Largest file the loader reads; a larger one counts as a file that cannot be opened.
constexpr size_t bmp_max_file_size = size_t{256} * 1024 * 1024;

// Largest width or height accepted; the pixel count is bounded further by what an int can report.
constexpr int32_t bmp_max_dimension = int32_t{1} << 24;

// What a file lets the loader report.
enum class bmp_status {
    invalid,    // not a BMP file we can trust: nothing at all is reported
    size_only,  // a sound file of a kind that is not converted (another depth, run-length
                // compression, non-standard colour masks): Width, Height and bufSize only
    decoded,    // Width, Height, bufSize and bufSize bytes of pixels
};

// How the pixel bytes of a decoded file are produced.
enum class bmp_pixels {
    none,
    indices8,  // 8-bit palette indices, copied as stored from the pixel start to the end of file
    bgr24,     // rows of blue, green, red -> packed red, green, blue, top row first
    bgrx32,    // rows of blue, green, red, unused -> packed red, green, blue, top row first
};

struct bmp_info {
    bmp_status status = bmp_status::invalid;
    bmp_pixels pixels = bmp_pixels::none;
    int width = 0;
    int height = 0;           // positive, also for files stored top row first
    int buf_size = 0;         // bytes the caller's buffer receives (size_only: bytes after the pixel start)
    size_t pixel_offset = 0;  // file offset of the first stored row
    size_t stride = 0;        // bytes from one stored row to the next, fill bytes included
    bool top_down = false;    // the first stored row is the top of the image
};

// Reads and checks the headers of the file held in file[0, size). Every offset, row and byte
// count of a result other than `invalid` lies inside those bytes, and buf_size fits an int.
bmp_info bmp_probe(const uint8_t* file, size_t size);

// Writes exactly info.buf_size bytes of pixels into out. Refuses (false, nothing written) unless
// info is a `decoded` result whose rows lie inside file[0, size) and out_size >= info.buf_size;
// info must come from bmp_probe on these same bytes for the pixels to mean anything.
bool bmp_decode(const bmp_info& info, const uint8_t* file, size_t size, uint8_t* out, size_t out_size);

#endif
