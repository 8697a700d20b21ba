// The BMP decoder: what each kind of file yields, and that no damaged or hostile header gets a
// byte read or written outside the data present. Test images are made here by a small writer;
// tests/data holds a few files written by ImageMagick.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bmp_decode.h"

namespace {

constexpr uint32_t bi_rgb = 0, bi_rle8 = 1, bi_rle4 = 2, bi_bitfields = 3, bi_jpeg = 4, bi_png = 5,
                   bi_alphabitfields = 6;
constexpr uint8_t fill_byte = 0xEE;     // row fill bytes
constexpr uint8_t unused_byte = 0x77;   // fourth byte of a 32-bit pixel
constexpr uint8_t gap_byte = 0xAB;      // between the headers and the pixels
constexpr uint8_t trailing_byte = 0xCD; // after the last row

// The picture every writer-made file holds: a colour per pixel (row 0 at the top), and for
// 8-bit files an index per pixel.
uint8_t red(int x, int y) { return uint8_t(x * 13 + y * 7 + 1); }
uint8_t green(int x, int y) { return uint8_t(x * 5 + y * 29 + 2); }
uint8_t blue(int x, int y) { return uint8_t(x * 11 + y * 3 + 3); }
uint8_t index_at(int x, int y) { return uint8_t(x * 7 + y * 31); }

struct bmp_shape {
    int32_t width = 1;
    int32_t height = 1;  // negative: rows stored top row first
    uint16_t bit_count = 24;
    uint32_t compression = bi_rgb;
    uint32_t header_size = 40;
    uint32_t colours_used = 0;
    int palette_entries = -1;  // -1: colours_used, else the full 1 << bit_count (1 to 8 bits)
    uint32_t masks[3] = {0x00FF0000, 0x0000FF00, 0x000000FF};
    size_t gap = 0;             // bytes between palette and pixels
    size_t trailing = 0;        // bytes after the last row
    bool last_row_fill = true;  // the last row carries its fill bytes
};

struct bmp_file {
    std::vector<uint8_t> bytes;
    size_t pixel_start = 0;
    size_t stride = 0;
    size_t rows_end = 0;  // end of the last row's pixels (without its fill bytes)
};

void put_u16(std::vector<uint8_t>& b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

void put_u32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

bmp_file write_bmp(const bmp_shape& s)
{
    bmp_file f;
    const int w = s.width;
    const int h = std::abs(s.height);
    const size_t row_bytes = (size_t(w) * s.bit_count + 7) / 8;
    f.stride = (size_t(w) * s.bit_count + 31) / 32 * 4;
    size_t masks_after = 0;  // colour masks after a 40-byte header
    if (s.header_size == 40 && s.compression == bi_bitfields)
        masks_after = 12;
    else if (s.header_size == 40 && s.compression == bi_alphabitfields)
        masks_after = 16;
    size_t palette = 0;
    if (s.palette_entries >= 0)
        palette = size_t(s.palette_entries);
    else if (s.bit_count >= 1 && s.bit_count <= 8)
        palette = s.colours_used ? s.colours_used : size_t{1} << s.bit_count;
    f.pixel_start = 14 + s.header_size + masks_after + 4 * palette + s.gap;
    f.rows_end = f.pixel_start + f.stride * size_t(h - 1) + row_bytes;
    const size_t pixels_end = f.pixel_start + f.stride * size_t(h - 1) + (s.last_row_fill ? f.stride : row_bytes);

    std::vector<uint8_t>& b = f.bytes;
    b.assign(pixels_end + s.trailing, 0);
    b[0] = 'B';
    b[1] = 'M';
    put_u32(b, 2, uint32_t(b.size()));
    put_u32(b, 10, uint32_t(f.pixel_start));
    put_u32(b, 14, s.header_size);
    put_u32(b, 18, uint32_t(s.width));
    put_u32(b, 22, uint32_t(s.height));
    put_u16(b, 26, 1);
    put_u16(b, 28, s.bit_count);
    put_u32(b, 30, s.compression);
    put_u32(b, 34, uint32_t(pixels_end - f.pixel_start));
    put_u32(b, 38, 2835);
    put_u32(b, 42, 2835);
    put_u32(b, 46, s.colours_used);
    if (s.header_size >= 52 || masks_after)
        for (int i = 0; i < 3; ++i)
            put_u32(b, 54 + 4 * size_t(i), s.masks[i]);
    if (s.header_size >= 108)
        put_u32(b, 70, 0x73524742);  // colour space "sRGB"
    const size_t palette_start = 14 + s.header_size + masks_after;
    for (size_t i = 0; i < palette; ++i)
        put_u32(b, palette_start + 4 * i, uint32_t(i) * 0x010203u);
    for (size_t i = 0; i < s.gap; ++i)
        b[palette_start + 4 * palette + i] = gap_byte;
    for (size_t i = pixels_end; i < b.size(); ++i)
        b[i] = trailing_byte;

    for (int r = 0; r < h; ++r) {
        const int y = s.height < 0 ? r : h - 1 - r;  // image row held by stored row r
        uint8_t* row = b.data() + f.pixel_start + size_t(r) * f.stride;
        const size_t row_end = size_t(r) == size_t(h - 1) && !s.last_row_fill ? row_bytes : f.stride;
        for (size_t i = row_bytes; i < row_end; ++i)
            row[i] = fill_byte;
        for (int x = 0; x < w; ++x) {
            switch (s.bit_count) {
            case 8:
                row[x] = index_at(x, y);
                break;
            case 24:
                row[3 * x] = blue(x, y);
                row[3 * x + 1] = green(x, y);
                row[3 * x + 2] = red(x, y);
                break;
            case 32:
                row[4 * x] = blue(x, y);
                row[4 * x + 1] = green(x, y);
                row[4 * x + 2] = red(x, y);
                row[4 * x + 3] = unused_byte;
                break;
            default:
                break;
            }
        }
        if (s.bit_count != 8 && s.bit_count != 24 && s.bit_count != 32)
            for (size_t i = 0; i < row_bytes; ++i)
                row[i] = uint8_t(i + size_t(r));
    }
    return f;
}

// Packed red, green, blue, top row first: what 24- and 32-bit files decode to.
std::vector<uint8_t> expected_rgb(int w, int h)
{
    std::vector<uint8_t> p;
    p.reserve(size_t(w) * size_t(h) * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            p.push_back(red(x, y));
            p.push_back(green(x, y));
            p.push_back(blue(x, y));
        }
    return p;
}

struct decoded {
    bmp_info info;
    bool ok = false;
    std::vector<uint8_t> pixels;  // exactly buf_size bytes, so AddressSanitizer sees any overrun
};

// Probes a copy of exactly `size` bytes (so any read past them is caught) and decodes it.
decoded decode(const std::vector<uint8_t>& file, size_t size)
{
    const std::vector<uint8_t> bytes(file.begin(), file.begin() + std::ptrdiff_t(size));
    decoded d;
    d.info = bmp_probe(bytes.data(), bytes.size());
    if (d.info.status == bmp_status::decoded) {
        d.pixels.assign(size_t(d.info.buf_size), 0);
        d.ok = bmp_decode(d.info, bytes.data(), bytes.size(), d.pixels.data(), d.pixels.size());
    }
    return d;
}

decoded decode(const std::vector<uint8_t>& file)
{
    return decode(file, file.size());
}

// A file that decodes, with everything the loader reports checked against what was written.
void expect_decoded(const bmp_shape& s)
{
    SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << " " << s.bit_count << " bits, header "
                                    << s.header_size << ", compression " << s.compression << ", gap " << s.gap);
    const bmp_file f = write_bmp(s);
    const decoded d = decode(f.bytes);
    ASSERT_EQ(d.info.status, bmp_status::decoded);
    ASSERT_TRUE(d.ok);
    const int h = std::abs(s.height);
    EXPECT_EQ(d.info.width, s.width);
    EXPECT_EQ(d.info.height, h);
    EXPECT_EQ(d.info.top_down, s.height < 0);
    if (s.bit_count == 8) {
        // Index bytes exactly as stored, fill bytes and all, up to the end of the file.
        EXPECT_EQ(d.info.pixels, bmp_pixels::indices8);
        ASSERT_EQ(size_t(d.info.buf_size), f.bytes.size() - f.pixel_start);
        EXPECT_TRUE(std::equal(d.pixels.begin(), d.pixels.end(), f.bytes.begin() + std::ptrdiff_t(f.pixel_start)));
    } else {
        ASSERT_EQ(d.info.buf_size, s.width * h * 3);
        EXPECT_EQ(d.pixels, expected_rgb(s.width, h));
    }
}

// A sound file of a kind that is not converted: its size is reported, no pixels.
void expect_size_only(const bmp_file& f, int width, int height, const char* what)
{
    const decoded d = decode(f.bytes);
    EXPECT_EQ(d.info.status, bmp_status::size_only) << what;
    EXPECT_EQ(d.info.pixels, bmp_pixels::none) << what;
    EXPECT_EQ(d.info.width, width) << what;
    EXPECT_EQ(d.info.height, height) << what;
    EXPECT_EQ(size_t(d.info.buf_size), f.bytes.size() - f.pixel_start) << what;
    std::vector<uint8_t> out(f.bytes.size(), 0x5A);
    EXPECT_FALSE(bmp_decode(d.info, f.bytes.data(), f.bytes.size(), out.data(), out.size())) << what;
    EXPECT_EQ(out, std::vector<uint8_t>(f.bytes.size(), 0x5A)) << what;
}

void expect_invalid(const std::vector<uint8_t>& file, const std::string& what)
{
    const decoded d = decode(file);
    EXPECT_EQ(d.info.status, bmp_status::invalid) << what;
}

std::vector<uint8_t> read_data_file(const std::string& name)
{
    // The data folder sits beside this file's folder; the compiler sees this file by its full path.
    std::string dir = __FILE__;
    dir.erase(dir.find_last_of("/\\") + 1);
    std::ifstream in(dir + "../data/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(BmpDecode, EveryDepthDecodesAtOddSizesBothRowOrders)
{
    for (uint16_t bits : {8, 24, 32})
        for (int w = 1; w <= 5; ++w)
            for (int h = 1; h <= 3; ++h)
                for (bool top_down : {false, true}) {
                    bmp_shape s;
                    s.bit_count = bits;
                    s.width = w;
                    s.height = top_down ? -h : h;
                    expect_decoded(s);
                }
}

TEST(BmpDecode, LargeOddImageDecodesAtEveryDepth)
{
    for (uint16_t bits : {8, 24, 32})
        for (int32_t height : {481, -481}) {
            bmp_shape s;
            s.bit_count = bits;
            s.width = 641;
            s.height = height;
            expect_decoded(s);
        }
}

TEST(BmpDecode, TwentyFourBitFillBytesAreSkipped)
{
    bmp_shape s;
    s.width = 5;
    s.height = 3;
    const bmp_file f = write_bmp(s);
    ASSERT_EQ(f.stride, 16u);  // 15 bytes of pixels and one fill byte per row
    const decoded d = decode(f.bytes);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.info.buf_size, 45);
    EXPECT_EQ(d.pixels, expected_rgb(5, 3));
}

TEST(BmpDecode, LastRowWithoutFillBytesIsEnough)
{
    for (uint16_t bits : {8, 24}) {
        bmp_shape s;
        s.bit_count = bits;
        s.width = 5;
        s.height = 3;
        s.last_row_fill = false;
        expect_decoded(s);
    }
}

TEST(BmpDecode, BytesAfterTheRowsAreIgnoredExceptForIndices)
{
    for (uint16_t bits : {8, 24, 32}) {
        bmp_shape s;
        s.bit_count = bits;
        s.width = 3;
        s.height = 2;
        s.trailing = 7;  // not a multiple of 3 or 4
        expect_decoded(s);  // 8 bits: bufSize runs to the end of the file
    }
}

TEST(BmpDecode, PixelsStartWhereTheFileHeaderSays)
{
    for (uint32_t header : {40u, 52u, 56u, 108u, 124u})
        for (size_t gap : {size_t{0}, size_t{1}, size_t{2}, size_t{13}})
            for (uint16_t bits : {8, 24, 32}) {
                bmp_shape s;
                s.header_size = header;
                s.gap = gap;
                s.bit_count = bits;
                s.width = 3;
                s.height = 2;
                expect_decoded(s);
            }
}

TEST(BmpDecode, StandardColourMasksAreHonoured)
{
    for (uint32_t header : {40u, 52u, 56u, 108u, 124u})
        for (int32_t height : {2, -2}) {
            bmp_shape s;
            s.header_size = header;
            s.bit_count = 32;
            s.compression = bi_bitfields;
            s.width = 3;
            s.height = height;
            expect_decoded(s);
        }
}

TEST(BmpDecode, MasksInAHeaderAreIgnoredWithoutBitfields)
{
    bmp_shape s;
    s.header_size = 124;
    s.bit_count = 32;
    s.masks[0] = 0x000000FF;  // meaningless for uncompressed rows
    s.masks[2] = 0x00FF0000;
    s.width = 2;
    s.height = 2;
    expect_decoded(s);
}

TEST(BmpDecode, UnconvertedKindsReportOnlyTheirSize)
{
    struct Case {
        const char* what;
        uint16_t bits;
        uint32_t compression;
        uint32_t header;
        uint32_t masks[3];
    };
    const uint32_t rgb_masks[3] = {0x00FF0000, 0x0000FF00, 0x000000FF};
    const Case cases[] = {
        {"32-bit red and blue masks swapped", 32, bi_bitfields, 40, {0x000000FF, 0x0000FF00, 0x00FF0000}},
        {"32-bit masks in the high bytes", 32, bi_bitfields, 124, {0xFF000000, 0x00FF0000, 0x0000FF00}},
        {"32-bit 10-bit masks", 32, bi_bitfields, 56, {0x3FF00000, 0x000FFC00, 0x000003FF}},
        {"32-bit red mask alone differs", 32, bi_bitfields, 108, {0xFF000000, 0x0000FF00, 0x000000FF}},
        {"32-bit green mask alone differs", 32, bi_bitfields, 52, {0x00FF0000, 0x00FF0000, 0x000000FF}},
        {"32-bit blue mask alone differs", 32, bi_bitfields, 40, {0x00FF0000, 0x0000FF00, 0x0000007F}},
        {"32-bit alpha bitfields", 32, bi_alphabitfields, 40, {}},
        {"24-bit bitfields", 24, bi_bitfields, 40, {}},
        {"8-bit run-length", 8, bi_rle8, 40, {}},
        {"4-bit run-length", 4, bi_rle4, 40, {}},
        {"8-bit bitfields", 8, bi_bitfields, 40, {}},
        {"jpeg", 24, bi_jpeg, 124, {}},
        {"png", 32, bi_png, 124, {}},
        {"unknown compression", 24, 0x12345678, 40, {}},
        {"1 bit", 1, bi_rgb, 40, {}},
        {"2 bits", 2, bi_rgb, 40, {}},
        {"4 bits", 4, bi_rgb, 40, {}},
        {"16 bits", 16, bi_rgb, 40, {}},
        {"16-bit 565 masks", 16, bi_bitfields, 124, {0xF800, 0x07E0, 0x001F}},
        {"48 bits", 48, bi_rgb, 40, {}},
        {"64 bits", 64, bi_rgb, 40, {}},
        {"0 bits", 0, bi_rgb, 40, {}},
        {"0 bits, embedded png", 0, bi_png, 124, {}},
    };
    for (const Case& c : cases)
        for (int32_t height : {3, -3}) {
            bmp_shape s;
            s.bit_count = c.bits;
            s.compression = c.compression;
            s.header_size = c.header;
            std::copy(std::begin(c.masks), std::end(c.masks), s.masks);
            if (c.masks[0] == 0 && c.masks[1] == 0)
                std::copy(std::begin(rgb_masks), std::end(rgb_masks), s.masks);
            s.width = 5;
            s.height = height;
            s.gap = 3;
            s.trailing = 2;  // a 0-bit file has no rows, yet something must follow the headers
            expect_size_only(write_bmp(s), 5, 3, c.what);
        }
}

TEST(BmpDecode, TruncatedFilesAreRefusedAtEveryLength)
{
    bmp_shape s8;
    s8.bit_count = 8;
    s8.width = 3;
    s8.height = 2;
    bmp_shape s24;
    s24.width = 5;
    s24.height = 3;
    bmp_shape s32;
    s32.bit_count = 32;
    s32.compression = bi_bitfields;
    s32.width = 2;
    s32.height = 2;
    bmp_shape s32v5 = s32;
    s32v5.header_size = 124;
    bmp_shape s16;
    s16.bit_count = 16;
    s16.width = 3;
    s16.height = 2;
    bmp_shape rle;
    rle.bit_count = 8;
    rle.compression = bi_rle8;
    for (const bmp_shape& s : {s8, s24, s32, s32v5, s16}) {
        const bmp_file f = write_bmp(s);
        SCOPED_TRACE(testing::Message() << s.bit_count << " bits, header " << s.header_size);
        for (size_t n = 0; n < f.rows_end; ++n) {
            const decoded d = decode(f.bytes, n);
            EXPECT_EQ(d.info.status, bmp_status::invalid) << "length " << n;
        }
        // The last row's fill bytes may be missing.
        for (size_t n = f.rows_end; n <= f.bytes.size(); ++n)
            EXPECT_NE(decode(f.bytes, n).info.status, bmp_status::invalid) << "length " << n;
    }
    // Run-length data has no rows to count, but headers and palette must be complete and at
    // least one byte must follow them.
    const bmp_file f = write_bmp(rle);
    for (size_t n = 0; n <= f.pixel_start; ++n)
        EXPECT_EQ(decode(f.bytes, n).info.status, bmp_status::invalid) << "length " << n;
}

TEST(BmpDecode, ImpossibleDimensionsAreRefused)
{
    struct Case {
        const char* what;
        int32_t width, height;
        bool refused;
    };
    const Case cases[] = {
        {"zero width", 0, 3, true},
        {"zero height", 3, 0, true},
        {"negative width", -3, 3, true},
        {"most negative height", 3, INT32_MIN, true},
        {"width above the bound", bmp_max_dimension + 1, 1, true},
        {"height above the bound", 1, bmp_max_dimension + 1, true},
        {"top-down height above the bound", 1, -(bmp_max_dimension + 1), true},
        {"largest width", INT32_MAX, 1, true},
        {"65536 squared", 65536, 65536, true},
        {"pixel bytes above INT_MAX", 30000, 30000, true},
        {"widest accepted", bmp_max_dimension, 42, false},  // 2,113,929,216 pixel bytes
        {"one row too many", bmp_max_dimension, 43, true},
        {"tallest accepted", 1, -bmp_max_dimension, false},
    };
    for (const Case& c : cases) {
        // Run-length files have no rows to check against the file, so only the dimension rule
        // stands between such headers and the caller.
        bmp_shape rle;
        rle.bit_count = 8;
        rle.compression = bi_rle8;
        bmp_file f = write_bmp(rle);
        put_u32(f.bytes, 18, uint32_t(c.width));
        put_u32(f.bytes, 22, uint32_t(c.height));
        const decoded d = decode(f.bytes);
        if (c.refused) {
            EXPECT_EQ(d.info.status, bmp_status::invalid) << c.what;
        } else {
            EXPECT_EQ(d.info.status, bmp_status::size_only) << c.what;
            EXPECT_EQ(d.info.width, c.width) << c.what;
            EXPECT_EQ(d.info.height, std::abs(c.height)) << c.what;
        }
        // Uncompressed, the same headers on a small file are refused however they are sized.
        for (uint16_t bits : {8, 24, 32}) {
            bmp_shape s;
            s.bit_count = bits;
            s.width = 4;
            s.height = 4;
            bmp_file g = write_bmp(s);
            put_u32(g.bytes, 18, uint32_t(c.width));
            put_u32(g.bytes, 22, uint32_t(c.height));
            expect_invalid(g.bytes, std::string(c.what) + " at " + std::to_string(bits) + " bits");
        }
    }
}

TEST(BmpDecode, PixelStartMustLieInsideTheFileAfterTheHeaders)
{
    bmp_shape s24;
    s24.width = 2;
    s24.height = 2;
    bmp_shape masks = s24;
    masks.bit_count = 32;
    masks.compression = bi_bitfields;
    bmp_shape v5 = s24;
    v5.header_size = 124;
    bmp_shape s8 = s24;
    s8.bit_count = 8;
    struct Case {
        const char* what;
        const bmp_shape* shape;
        int64_t start;
        bool from_end;  // start counts from the end of the file
    };
    const Case cases[] = {
        {"zero", &s24, 0, false},
        {"inside the file header", &s24, 10, false},
        {"inside the info header", &s24, 53, false},
        {"inside the masks after the header", &masks, 65, false},
        {"inside a 124-byte header", &v5, 137, false},
        {"inside the palette", &s8, 54 + 1020, false},
        {"at the end of the file", &s24, 0, true},
        {"past the end of the file", &s24, 100000, false},
        {"largest offset", &s24, 0xFFFFFFFF, false},
        {"one byte before the end", &s24, -1, true},  // rows no longer fit
    };
    for (const Case& c : cases) {
        bmp_file f = write_bmp(*c.shape);
        const int64_t start = c.from_end ? int64_t(f.bytes.size()) + c.start : c.start;
        put_u32(f.bytes, 10, uint32_t(start));
        expect_invalid(f.bytes, c.what);
    }
    // Moved later, into the pixel rows: still inside and after the headers, so it is obeyed, and
    // the rows it leaves room for decide.
    bmp_file f = write_bmp(s24);
    put_u32(f.bytes, 10, uint32_t(f.pixel_start + f.stride));
    expect_invalid(f.bytes, "one row later, two rows declared");
    put_u32(f.bytes, 22, 1);
    const decoded d = decode(f.bytes);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, std::vector<uint8_t>({red(0, 0), green(0, 0), blue(0, 0), red(1, 0), green(1, 0), blue(1, 0)}));
}

TEST(BmpDecode, PaletteMustFitBeforeThePixels)
{
    bmp_shape short_palette;
    short_palette.bit_count = 8;
    short_palette.colours_used = 2;
    short_palette.width = 3;
    short_palette.height = 2;
    expect_decoded(short_palette);  // the stated two entries are there

    bmp_shape missing = short_palette;
    missing.colours_used = 0;  // a full 256 entries expected
    missing.palette_entries = 2;
    expect_invalid(write_bmp(missing).bytes, "full palette expected, two entries present");

    bmp_shape too_many = short_palette;
    too_many.colours_used = 300;
    too_many.palette_entries = 256;
    expect_invalid(write_bmp(too_many).bytes, "more entries stated than present");

    bmp_shape huge = short_palette;
    huge.colours_used = 0xFFFFFFFF;
    huge.palette_entries = 2;
    expect_invalid(write_bmp(huge).bytes, "largest entry count");

    bmp_shape four_bits = short_palette;
    four_bits.bit_count = 4;
    four_bits.colours_used = 0;
    four_bits.palette_entries = 15;  // one short of 16
    expect_invalid(write_bmp(four_bits).bytes, "4 bits, 15 entries");
}

TEST(BmpDecode, OnlyKnownInfoHeaderSizesAreRead)
{
    for (uint32_t size : {0u, 1u, 12u, 16u, 39u, 41u, 64u, 100u, 125u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        bmp_shape s;
        s.header_size = 124;  // room for any of the smaller ones
        bmp_file f = write_bmp(s);
        put_u32(f.bytes, 14, size);
        expect_invalid(f.bytes, "header size " + std::to_string(size));
    }
}

TEST(BmpDecode, OnlyTheBmSignatureIsAccepted)
{
    for (const char* magic : {"BA", "CI", "CP", "IC", "PT", "bm", "MB"}) {
        bmp_file f = write_bmp(bmp_shape{});
        f.bytes[0] = uint8_t(magic[0]);
        f.bytes[1] = uint8_t(magic[1]);
        expect_invalid(f.bytes, magic);
    }
}

TEST(BmpDecode, NullOrOversizedInputIsRefused)
{
    EXPECT_EQ(bmp_probe(nullptr, 100).status, bmp_status::invalid);
    bmp_file f = write_bmp(bmp_shape{});
    f.bytes.resize(bmp_max_file_size, 0);
    const bmp_info at_limit = bmp_probe(f.bytes.data(), f.bytes.size());
    EXPECT_EQ(at_limit.status, bmp_status::decoded);
    EXPECT_EQ(at_limit.buf_size, 3);
    f.bytes.push_back(0);
    EXPECT_EQ(bmp_probe(f.bytes.data(), f.bytes.size()).status, bmp_status::invalid);
}

TEST(BmpDecode, DecodeRefusesWithoutWritingWhenItCannotBeSafe)
{
    bmp_shape s;
    s.width = 3;
    s.height = 3;
    const bmp_file f = write_bmp(s);
    const bmp_info info = bmp_probe(f.bytes.data(), f.bytes.size());
    ASSERT_EQ(info.status, bmp_status::decoded);
    ASSERT_EQ(info.buf_size, 27);
    const std::vector<uint8_t> untouched(64, 0x5A);

    std::vector<uint8_t> out = untouched;
    EXPECT_FALSE(bmp_decode(info, f.bytes.data(), f.bytes.size(), out.data(), 26)) << "buffer one byte short";
    EXPECT_FALSE(bmp_decode(info, f.bytes.data(), f.bytes.size(), nullptr, 64)) << "no buffer";
    EXPECT_FALSE(bmp_decode(info, nullptr, f.bytes.size(), out.data(), 64)) << "no file";
    EXPECT_FALSE(bmp_decode(info, f.bytes.data(), f.bytes.size() - 5, out.data(), 64)) << "file shorter than probed";
    EXPECT_FALSE(bmp_decode(bmp_info{}, f.bytes.data(), f.bytes.size(), out.data(), 64)) << "invalid result";
    bmp_info forged = info;
    forged.stride = 8;  // rows overlapping
    EXPECT_FALSE(bmp_decode(forged, f.bytes.data(), f.bytes.size(), out.data(), 64)) << "stride below row";
    forged = info;
    forged.height = 4;
    EXPECT_FALSE(bmp_decode(forged, f.bytes.data(), f.bytes.size(), out.data(), 64)) << "more rows than stored";
    forged = info;
    forged.pixel_offset = f.bytes.size();
    EXPECT_FALSE(bmp_decode(forged, f.bytes.data(), f.bytes.size(), out.data(), 64)) << "start at the end";
    EXPECT_EQ(out, untouched);

    // Exactly buf_size bytes are written, nothing after them.
    EXPECT_TRUE(bmp_decode(info, f.bytes.data(), f.bytes.size(), out.data(), out.size()));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 27, expected_rgb(3, 3).begin()));
    EXPECT_TRUE(std::all_of(out.begin() + 27, out.end(), [](uint8_t b) { return b == 0x5A; }));
}

TEST(BmpDecode, ImageMagickFilesDecodeToTheirPicture)
{
    // Pixel (x, y) of tests/data/pattern_7x3.ppm, row 0 at the top.
    std::vector<uint8_t> picture;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 7; ++x) {
            picture.push_back(uint8_t(40 * x + 10));
            picture.push_back(uint8_t(80 * y + 20));
            picture.push_back(uint8_t(250 - 20 * x - 40 * y));
        }
    struct Case {
        const char* name;
        bmp_status status;
        size_t pixel_start;
    };
    const Case cases[] = {
        {"rgb24_bmp3_7x3.bmp", bmp_status::decoded, 54},
        {"rgb24_v5_7x3.bmp", bmp_status::decoded, 138},
        {"rgba32_v5_7x3.bmp", bmp_status::decoded, 138},
        {"indexed8_bmp3_7x3.bmp", bmp_status::decoded, 1078},
        {"indexed8_v5_7x3.bmp", bmp_status::decoded, 1162},
        {"rle8_bmp3_7x3.bmp", bmp_status::size_only, 1078},
        {"indexed4_bmp3_7x3.bmp", bmp_status::size_only, 118},
        {"rgb565_v5_7x3.bmp", bmp_status::size_only, 138},
        {"os2_7x3.bmp", bmp_status::invalid, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> file = read_data_file(c.name);
        ASSERT_GT(file.size(), 54u);
        const decoded d = decode(file);
        ASSERT_EQ(d.info.status, c.status);
        if (c.status == bmp_status::invalid)
            continue;
        EXPECT_EQ(d.info.width, 7);
        EXPECT_EQ(d.info.height, 3);
        EXPECT_EQ(d.info.pixel_offset, c.pixel_start);
        if (c.status == bmp_status::size_only) {
            EXPECT_EQ(size_t(d.info.buf_size), file.size() - c.pixel_start);
        } else if (d.info.pixels == bmp_pixels::indices8) {
            // Rows of 7 indices and a fill byte, bottom row first; each names its colour in the
            // palette (blue, green, red, unused) right after the header.
            ASSERT_TRUE(d.ok);
            ASSERT_EQ(d.info.buf_size, 24);
            const size_t palette = 14 + file[14];
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 7; ++x) {
                    const size_t entry = palette + 4 * size_t(d.pixels[size_t((2 - y) * 8 + x)]);
                    const size_t at = size_t(y * 7 + x) * 3;
                    EXPECT_EQ(file[entry + 2], picture[at]) << x << "," << y;
                    EXPECT_EQ(file[entry + 1], picture[at + 1]) << x << "," << y;
                    EXPECT_EQ(file[entry], picture[at + 2]) << x << "," << y;
                }
        } else {
            ASSERT_TRUE(d.ok);
            EXPECT_EQ(d.pixels, picture);
        }
    }
}
