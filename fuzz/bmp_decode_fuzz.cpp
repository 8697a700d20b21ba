// libFuzzer target for the BMP decoder: any bytes are probed, and a file that is accepted is
// decoded into a buffer of exactly the size reported, so a read or write outside the input or the
// output is caught by AddressSanitizer. Broken promises of the decoder abort as findings too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bmp_decode.h"

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const bmp_info info = bmp_probe(data, size);
    if (info.status == bmp_status::invalid)
        return 0;
    require(info.width > 0 && info.height > 0 && info.buf_size >= 0);
    require(info.width <= bmp_max_dimension && info.height <= bmp_max_dimension);
    require(info.pixel_offset < size);
    if (info.status == bmp_status::size_only) {
        require(info.pixels == bmp_pixels::none);
        require(size_t(info.buf_size) == size - info.pixel_offset);
        std::vector<uint8_t> out(size);
        require(!bmp_decode(info, data, size, out.data(), out.size()));
        return 0;
    }
    if (info.pixels == bmp_pixels::indices8)
        require(size_t(info.buf_size) == size - info.pixel_offset);
    else
        require(int64_t{info.buf_size} == int64_t{info.width} * info.height * 3);

    std::vector<uint8_t> out(size_t(info.buf_size));
    require(bmp_decode(info, data, size, out.data(), out.size()));
    require(!bmp_decode(info, data, size, out.data(), out.size() - 1));
    return 0;
}
