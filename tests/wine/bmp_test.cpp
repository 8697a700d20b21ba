// LoadBMPData through the export: files written here and by ImageMagick (tests/data, copied
// beside this program), files that must yield nothing, and what the caller's buffer receives.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "kel_vout.h"

namespace {

constexpr uint8_t guard_byte = 0x5A;
constexpr size_t guard_bytes = 256;
constexpr int unset_size = -7, unset_width = -8, unset_height = -9;

uint8_t red(int x, int y) { return uint8_t(x * 13 + y * 7 + 1); }
uint8_t green(int x, int y) { return uint8_t(x * 5 + y * 29 + 2); }
uint8_t blue(int x, int y) { return uint8_t(x * 11 + y * 3 + 3); }
uint8_t index_at(int x, int y) { return uint8_t(x * 7 + y * 31); }

void put_u32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

struct bmp_file {
    std::vector<uint8_t> bytes;
    size_t pixel_start = 0;
};

// An uncompressed file of 8, 24 or 32 bits; a negative height stores the top row first. With a
// 124-byte header a 32-bit file carries the standard colour masks.
bmp_file make_bmp(int width, int height, int bits, uint32_t header_size = 40)
{
    bmp_file f;
    const int h = std::abs(height);
    const size_t stride = (size_t(width) * size_t(bits) + 31) / 32 * 4;
    const size_t palette = bits == 8 ? 256 : 0;
    f.pixel_start = 14 + header_size + 4 * palette;
    std::vector<uint8_t>& b = f.bytes;
    b.assign(f.pixel_start + stride * size_t(h), 0xEE);  // fill bytes stay 0xEE
    std::fill(b.begin(), b.begin() + std::ptrdiff_t(f.pixel_start), 0);
    b[0] = 'B';
    b[1] = 'M';
    put_u32(b, 2, uint32_t(b.size()));
    put_u32(b, 10, uint32_t(f.pixel_start));
    put_u32(b, 14, header_size);
    put_u32(b, 18, uint32_t(width));
    put_u32(b, 22, uint32_t(height));
    b[26] = 1;
    b[28] = uint8_t(bits);
    if (header_size >= 52 && bits == 32) {
        put_u32(b, 30, 3);  // colour masks
        put_u32(b, 54, 0x00FF0000);
        put_u32(b, 58, 0x0000FF00);
        put_u32(b, 62, 0x000000FF);
    }
    for (int r = 0; r < h; ++r) {
        const int y = height < 0 ? r : h - 1 - r;
        uint8_t* row = b.data() + f.pixel_start + size_t(r) * stride;
        for (int x = 0; x < width; ++x) {
            if (bits == 8) {
                row[x] = index_at(x, y);
                continue;
            }
            uint8_t* p = row + x * (bits / 8);
            p[0] = blue(x, y);
            p[1] = green(x, y);
            p[2] = red(x, y);
            if (bits == 32)
                p[3] = 0x77;
        }
    }
    return f;
}

std::vector<uint8_t> expected_rgb(int w, int h)
{
    std::vector<uint8_t> p;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            p.push_back(red(x, y));
            p.push_back(green(x, y));
            p.push_back(blue(x, y));
        }
    return p;
}

// The folder of this program, where its data folder is copied and its files are written.
std::string program_dir()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1);
}

// A file written for one test and deleted after it.
struct temp_file {
    explicit temp_file(const std::vector<uint8_t>& bytes, const char* tag = "")
        : name(program_dir() + "bmp_test_" + std::to_string(GetCurrentProcessId()) + "_" +
               std::to_string(GetCurrentThreadId()) + tag + ".bmp")
    {
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    ~temp_file() { DeleteFileA(name.c_str()); }
    std::string name;
};

std::vector<uint8_t> read_bytes(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One call of the export with a buffer of `capacity` bytes followed by guard bytes.
struct load_result {
    int size = unset_size, width = unset_width, height = unset_height;
    std::vector<uint8_t> buf;
    size_t capacity = 0;

    bool untouched() const
    {
        return size == unset_size && width == unset_width && height == unset_height && pixels_untouched();
    }
    bool pixels_untouched() const
    {
        for (uint8_t b : buf)
            if (b != guard_byte)
                return false;
        return true;
    }
    // Nothing was written past the bytes the call reported.
    bool guard_intact() const
    {
        const size_t written = size > 0 ? size_t(size) : 0;
        for (size_t i = written; i < buf.size(); ++i)
            if (buf[i] != guard_byte)
                return false;
        return true;
    }
    std::vector<uint8_t> pixels() const
    {
        return std::vector<uint8_t>(buf.begin(), buf.begin() + std::ptrdiff_t(size));
    }
};

load_result load(const char* name, size_t capacity)
{
    load_result r;
    r.capacity = capacity;
    r.buf.assign(capacity + guard_bytes, guard_byte);
    LoadBMPData(r.buf.data(), &r.size, &r.width, &r.height, name);
    return r;
}

load_result load(const std::string& name, size_t capacity)
{
    return load(name.c_str(), capacity);
}

}  // namespace

TEST(Bmp, WrittenFilesLoadAtEveryDepth)
{
    struct Case {
        int w, h, bits;
        uint32_t header;
    };
    const Case cases[] = {
        {1, 1, 24, 40},    {5, 3, 24, 40},   {5, -3, 24, 40},   {641, 481, 24, 40}, {3, 2, 24, 124},
        {1, 1, 32, 40},    {5, 3, 32, 40},   {5, -3, 32, 124},  {641, 481, 32, 124},
        {1, 1, 8, 40},     {5, 3, 8, 40},    {641, 481, 8, 108},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " " << c.bits << " bits, header " << c.header);
        const bmp_file f = make_bmp(c.w, c.h, c.bits, c.header);
        const temp_file file(f.bytes);
        const load_result r = load(file.name, f.bytes.size());
        ASSERT_EQ(r.width, c.w);
        ASSERT_EQ(r.height, std::abs(c.h));
        EXPECT_TRUE(r.guard_intact());
        if (c.bits == 8) {
            ASSERT_EQ(size_t(r.size), f.bytes.size() - f.pixel_start);
            EXPECT_EQ(r.pixels(), std::vector<uint8_t>(f.bytes.begin() + std::ptrdiff_t(f.pixel_start), f.bytes.end()));
        } else {
            ASSERT_EQ(r.size, c.w * std::abs(c.h) * 3);
            EXPECT_EQ(r.pixels(), expected_rgb(c.w, std::abs(c.h)));
        }
    }
}

TEST(Bmp, FileLargerThanAFullHdFrameLoads)
{
    // 2000 x 1200 x 4 bytes of pixels: more than 1920 x 1080 x 4.
    const bmp_file f = make_bmp(2000, 1200, 32);
    const temp_file file(f.bytes);
    const load_result r = load(file.name, size_t(2000) * 1200 * 3);
    ASSERT_EQ(r.size, 2000 * 1200 * 3);
    EXPECT_EQ(r.width, 2000);
    EXPECT_EQ(r.height, 1200);
    EXPECT_TRUE(r.guard_intact());
    EXPECT_EQ(r.pixels(), expected_rgb(2000, 1200));
}

TEST(Bmp, ImageMagickFilesLoad)
{
    std::vector<uint8_t> picture;  // tests/data/pattern_7x3.ppm
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 7; ++x) {
            picture.push_back(uint8_t(40 * x + 10));
            picture.push_back(uint8_t(80 * y + 20));
            picture.push_back(uint8_t(250 - 20 * x - 40 * y));
        }
    for (const char* name : {"rgb24_bmp3_7x3.bmp", "rgb24_v5_7x3.bmp", "rgba32_v5_7x3.bmp"}) {
        SCOPED_TRACE(name);
        const load_result r = load(program_dir() + "bmp_data\\" + name, 63);
        ASSERT_EQ(r.size, 63);
        EXPECT_EQ(r.width, 7);
        EXPECT_EQ(r.height, 3);
        EXPECT_TRUE(r.guard_intact());
        EXPECT_EQ(r.pixels(), picture);
    }
    // 8 bits: rows of 7 indices and a fill byte, as stored.
    for (const char* name : {"indexed8_bmp3_7x3.bmp", "indexed8_v5_7x3.bmp"}) {
        SCOPED_TRACE(name);
        const std::string path = program_dir() + "bmp_data\\" + name;
        const std::vector<uint8_t> bytes = read_bytes(path);
        ASSERT_GT(bytes.size(), 24u);
        const load_result r = load(path, 24);
        ASSERT_EQ(r.size, 24);
        EXPECT_EQ(r.width, 7);
        EXPECT_EQ(r.height, 3);
        EXPECT_TRUE(r.guard_intact());
        EXPECT_EQ(r.pixels(), std::vector<uint8_t>(bytes.end() - 24, bytes.end()));
    }
}

TEST(Bmp, UnconvertedFilesReportOnlyTheirSize)
{
    struct Case {
        const char* name;
        int size;  // bytes from the pixel start to the end of the file
    };
    for (const Case& c : {Case{"rle8_bmp3_7x3.bmp", 1132 - 1078}, Case{"indexed4_bmp3_7x3.bmp", 130 - 118},
                          Case{"rgb565_v5_7x3.bmp", 186 - 138}}) {
        SCOPED_TRACE(c.name);
        const load_result r = load(program_dir() + "bmp_data\\" + c.name, 64);
        EXPECT_EQ(r.size, c.size);
        EXPECT_EQ(r.width, 7);
        EXPECT_EQ(r.height, 3);
        EXPECT_TRUE(r.pixels_untouched());
    }
}

TEST(Bmp, MissingOrUnreadableFilesLeaveEverythingUntouched)
{
    const std::string dir = program_dir();
    for (const char* name : {"no_such_file.bmp", "Z:\\no\\such\\dir\\file.bmp", "", ".", "NUL"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(load(name, 64).untouched());
    }
    EXPECT_TRUE(load(dir, 64).untouched()) << "a folder";
    EXPECT_TRUE(load(nullptr, 64).untouched()) << "null name";
}

TEST(Bmp, InvalidFilesLeaveEverythingUntouched)
{
    const bmp_file good = make_bmp(5, 3, 24);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    files.emplace_back("empty", std::vector<uint8_t>());
    for (size_t n : {size_t{1}, size_t{14}, size_t{30}, size_t{53}, size_t{54}, good.bytes.size() - 16})
        files.emplace_back("cut to " + std::to_string(n),
                           std::vector<uint8_t>(good.bytes.begin(), good.bytes.begin() + std::ptrdiff_t(n)));
    auto patched = [&](const char* what, size_t at, uint32_t v) {
        std::vector<uint8_t> b = good.bytes;
        put_u32(b, at, v);
        files.emplace_back(what, b);
    };
    patched("pixel start past the end", 10, 100000);
    patched("pixel start inside the header", 10, 40);
    patched("unknown header size", 14, 64);
    patched("zero width", 18, 0);
    patched("huge width", 18, 0x7FFFFFFF);
    patched("huge height", 22, 0x40000000);
    patched("huge top-down height", 22, 0x80000000);
    patched("more rows than stored", 22, 4);
    patched("signature", 0, 0x12345678);
    files.emplace_back("ImageMagick 12-byte header", read_bytes(program_dir() + "bmp_data\\os2_7x3.bmp"));
    ASSERT_FALSE(files.back().second.empty());
    for (const auto& [what, bytes] : files) {
        const temp_file file(bytes);
        EXPECT_TRUE(load(file.name, 64).untouched()) << what;
    }
}

TEST(Bmp, NullBufferReportsTheSizesOnly)
{
    const bmp_file f = make_bmp(5, 3, 24);
    const temp_file file(f.bytes);
    int size = unset_size, width = unset_width, height = unset_height;
    LoadBMPData(nullptr, &size, &width, &height, file.name.c_str());
    EXPECT_EQ(size, 45);
    EXPECT_EQ(width, 5);
    EXPECT_EQ(height, 3);
}

TEST(Bmp, NullOutputPointersAreRefused)
{
    const bmp_file f = make_bmp(5, 3, 24);
    const temp_file file(f.bytes);
    std::vector<uint8_t> buf(64, guard_byte);
    int a = unset_size, b = unset_width;
    LoadBMPData(buf.data(), nullptr, &a, &b, file.name.c_str());
    LoadBMPData(buf.data(), &a, nullptr, &b, file.name.c_str());
    LoadBMPData(buf.data(), &a, &b, nullptr, file.name.c_str());
    EXPECT_EQ(a, unset_size);
    EXPECT_EQ(b, unset_width);
    EXPECT_EQ(buf, std::vector<uint8_t>(64, guard_byte));
}

TEST(Bmp, FilesAboveTheSizeLimitAreNotRead)
{
    // A sound 1 x 1 file padded with zeros to the limit loads; one byte more and it is refused
    // as a file that cannot be opened.
    const bmp_file f = make_bmp(1, 1, 24);
    const temp_file file(f.bytes);
    const LONGLONG limit = LONGLONG{256} * 1024 * 1024;
    for (LONGLONG length : {limit, limit + 1}) {
        HANDLE h = CreateFileA(file.name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        LARGE_INTEGER at;
        at.QuadPart = length;
        ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h));
        CloseHandle(h);
        const load_result r = load(file.name, 3);
        if (length == limit) {
            EXPECT_EQ(r.size, 3);
            EXPECT_EQ(r.pixels(), expected_rgb(1, 1));
            EXPECT_TRUE(r.guard_intact());
        } else {
            EXPECT_TRUE(r.untouched());
        }
    }
}

TEST(Bmp, CallsOnSeveralThreadsAtOnce)
{
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            const int w = 17 + t, h = 9 + t;
            const bmp_file f = make_bmp(w, h, t % 2 ? 32 : 24);
            const temp_file file(f.bytes, "_mt");
            const std::vector<uint8_t> expected = expected_rgb(w, h);
            for (int i = 0; i < 25; ++i) {
                const load_result r = load(file.name, expected.size());
                if (r.size != int(expected.size()) || r.pixels() != expected || !r.guard_intact())
                    ++failures[size_t(t)];
            }
        });
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}
