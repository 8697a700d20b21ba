// The copies that write frames past the cache: every length and alignment comes out byte for
// byte, and nothing outside the destination is written.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "stream_copy.h"

namespace {

std::vector<uint8_t> pattern(size_t bytes)
{
    std::vector<uint8_t> v(bytes);
    for (size_t i = 0; i < bytes; ++i)
        v[i] = uint8_t(i * 37 + (i >> 8) + 1);
    return v;
}

}  // namespace

TEST(StreamCopy, EveryLengthAtEveryAlignment)
{
    const std::vector<uint8_t> src = pattern(256 + 16);
    for (const size_t frame : {size_t(64), kStreamFrameBytes}) {  // copied plainly, then streamed
#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
        // Every x86 build of ours has the streaming stores: the second round must use them.
        EXPECT_EQ(frame_writer(frame, true).streams(), frame == kStreamFrameBytes);
#endif
        for (size_t dst_off = 0; dst_off < 16; ++dst_off)
            for (size_t src_off = 0; src_off < 16; src_off += 5)
                for (size_t len = 0; len <= 256; ++len) {
                    std::vector<uint8_t> dst(len + 48, 0xC3);
                    {
                        frame_writer out(frame, true);
                        out.copy(dst.data() + 16 + dst_off, src.data() + src_off, len);
                    }
                    const size_t at = 16 + dst_off;
                    for (size_t i = 0; i < dst.size(); ++i) {
                        const uint8_t want = i >= at && i < at + len ? src[src_off + i - at] : uint8_t(0xC3);
                        ASSERT_EQ(dst[i], want) << "frame " << frame << ", dst+" << dst_off << ", src+" << src_off
                                                << ", " << len << " bytes, byte " << i;
                    }
                }
    }
}

TEST(StreamCopy, NewlyAllocatedMemoryIsWrittenTheOrdinaryWay)
{
    // Fresh pages come zeroed and cached: streaming past the cache would only slow the copy.
    EXPECT_FALSE(frame_writer(8 * kStreamFrameBytes, false).streams());
    EXPECT_FALSE(frame_writer(kStreamFrameBytes - 1, true).streams());
}

TEST(StreamCopy, RowsOfAFullHdFrameWithPaddedAndTightStrides)
{
    // 1080p luma rows of 1921 bytes, 2048 apart at the source (rows land at every alignment),
    // or back to back.
    const size_t row = 1921, rows = 1080;
    for (size_t stride : {size_t(2048), row}) {
        const std::vector<uint8_t> src = pattern(stride * rows);
        std::vector<uint8_t> dst(row * rows + 7, 0x11);
        {
            frame_writer out(row * rows, true);
            out.copy_rows(dst.data() + 3, src.data(), stride, row, rows);
        }
        for (size_t r = 0; r < rows; ++r)
            for (size_t x = 0; x < row; ++x)
                ASSERT_EQ(dst[3 + r * row + x], src[r * stride + x]) << "stride " << stride << ", row " << r << ", x " << x;
        for (size_t i : {size_t(0), size_t(1), size_t(2), dst.size() - 4, dst.size() - 3, dst.size() - 2, dst.size() - 1})
            EXPECT_EQ(dst[i], 0x11) << "stride " << stride << ", byte " << i;
    }
}
